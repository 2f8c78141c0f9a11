#include "mainicon.h"

#include "stringtable.h"

namespace ondrel {

QIcon MainIcon()
{
    InitResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/res/mainframe32.xpm"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/res/mainframe16.xpm"), QSize(16, 16));
    return icon;
}

} // namespace ondrel
