#include "busypointer.h"

#include <QCursor>
#include <QGuiApplication>

namespace ondrel {

void ShowBusyPointer(bool busy)
{
    if (busy)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    else
        QGuiApplication::restoreOverrideCursor();
}

} // namespace ondrel
