#include "recordpane.h"

#include "resource.h"
#include "stringtable.h"

#include <QLabel>
#include <QStatusBar>

namespace ondrel {

namespace {

const char* const kRecordStopped = "REC stopped";

} // namespace

bool CRecordPane::Make()
{
    if (m_label || !m_bar)
        return m_label != nullptr;
    m_label = new QLabel(m_bar);
    m_label->setObjectName(QStringLiteral("recordPane"));
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setMinimumWidth(
        m_label->fontMetrics().horizontalAdvance(QString::fromLatin1(kRecordStopped)) + 8);
    m_bar->addPermanentWidget(m_label);
    return true;
}

void CRecordPane::ShowRecording()
{
    if (!Make())
        return;
    m_label->setText(LoadString(ID_INDICATOR_REC));
    m_label->setToolTip(QString());
}

void CRecordPane::ShowStopped(const QString& message)
{
    if (!Make())
        return;
    m_label->setText(QString::fromLatin1(kRecordStopped));
    m_label->setToolTip(message);
}

} // namespace ondrel
