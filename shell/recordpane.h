// The REC pane of the status bar: made only for a console that records. While
// the record is written it says REC; once recording has stopped it says so,
// with the reason as its tool tip, for as long as the window lasts.
#pragma once

#include "statuspane.h"

namespace ondrel {

class CRecordPane
{
public:
    explicit CRecordPane(QStatusBar* bar);

    void ShowRecording();
    void ShowStopped(const QString& message);
    // Null until recording was first shown.
    QLabel* Label() const { return m_pane.Label(); }

private:
    CStatusPane m_pane;
};

} // namespace ondrel
