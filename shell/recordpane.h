// The REC pane of the status bar, beside the lock indicators: made only for a
// console that records, so that without a record the bar is as it always was.
// While the record is written it says REC; once recording has stopped it says
// so, with the reason as its tool tip, for as long as the window lasts, whatever
// the message pane says meanwhile.
#pragma once

#include <QString>

class QLabel;
class QStatusBar;

namespace ondrel {

class CRecordPane
{
public:
    explicit CRecordPane(QStatusBar* bar) : m_bar(bar) {}

    void ShowRecording();
    void ShowStopped(const QString& message);
    // Null until recording was first shown.
    QLabel* Label() const { return m_label; }

private:
    bool Make();

    QStatusBar* m_bar;
    QLabel* m_label = nullptr; // owned by the bar
};

} // namespace ondrel
