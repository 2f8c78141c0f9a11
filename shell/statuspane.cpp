#include "statuspane.h"

#include <QLabel>
#include <QStatusBar>

namespace ondrel {

bool CStatusPane::Make()
{
    if (m_label || !m_bar)
        return m_label != nullptr;
    m_label = new QLabel(m_bar);
    m_label->setObjectName(m_objectName);
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setMinimumWidth(m_label->fontMetrics().horizontalAdvance(m_widest) + 8);
    m_bar->addPermanentWidget(m_label);
    return true;
}

void CStatusPane::Show(const QString& text, const QString& toolTip)
{
    if (!Make())
        return;
    m_label->setText(text);
    m_label->setToolTip(toolTip);
    m_label->show();
}

void CStatusPane::Hide()
{
    if (m_label)
        m_label->hide();
}

} // namespace ondrel
