#include "recordpane.h"

#include "resource.h"
#include "stringtable.h"

namespace ondrel {

namespace {

const char* const kRecordStopped = "REC stopped";

} // namespace

CRecordPane::CRecordPane(QStatusBar* bar)
    : m_pane(bar, QStringLiteral("recordPane"), QString::fromLatin1(kRecordStopped))
{}

void CRecordPane::ShowRecording()
{
    m_pane.Show(LoadString(ID_INDICATOR_REC), QString());
}

void CRecordPane::ShowStopped(const QString& message)
{
    m_pane.Show(QString::fromLatin1(kRecordStopped), message);
}

} // namespace ondrel
