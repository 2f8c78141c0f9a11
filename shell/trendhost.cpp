#include "trendhost.h"

#include "trendwindow.h"

#include <QAction>

namespace ondrel {

CTrendHost::CTrendHost(QWidget* frame, QAction* item) : m_window(new CTrendWindow(frame))
{
    QObject::connect(m_window, &CTrendWindow::visibilityChanged, item, &QAction::setChecked);
}

bool CTrendHost::Shown() const
{
    return !m_window->isHidden();
}

void CTrendHost::Toggle()
{
    m_window->setVisible(m_window->isHidden());
    if (m_window->isVisible())
        m_window->raise();
}

} // namespace ondrel
