// What SIGTERM, SIGHUP and SIGINT do to a running console: the box the view has
// open closes and its command is cut short, X-rays are switched off if the
// X-Ray On/Off box is checked (no question, no box; a time-out is announced and
// said on standard error), and every event loop ends with 128 + the signal's
// number. A second signal ends them at once, a reply wait that runs included.
// Nothing here waits for a person.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

namespace ondrel {

class CHurriedWaitClock;
class COndrelView;
class CTerminationSignals;
class CWaitClock;

class CTermination : public QObject
{
    Q_OBJECT
public:
    // `view` finds the console's view, if there is one, when a signal comes.
    explicit CTermination(std::function<COndrelView*()> view, QObject* parent = nullptr);
    ~CTermination() override;

    // The clock each view is to wait on, so that a second signal cuts its waits
    // short; null when the signals could not be watched.
    CWaitClock* WaitClock() const;

    void OnSignal(int signalNumber);

private:
    void CarryOut();
    void EndEventLoops();

    std::function<COndrelView*()> m_view;
    std::unique_ptr<CTerminationSignals> m_signals;
    std::unique_ptr<CHurriedWaitClock> m_clock;
    bool m_terminating = false;
    bool m_loopsEnded = false;
    int m_exitCode = 0;
};

} // namespace ondrel
