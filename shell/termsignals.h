// SIGTERM, SIGHUP and SIGINT delivered as a Qt signal on the UI thread. The
// handler only writes the signal's number to a pipe; the notifier reads it when
// the event loop next runs, so a signal that arrives during a blocking exchange
// is seen after that exchange. One watcher per process; the previous handlers
// come back when it goes.
#pragma once

#include <QObject>
#include <csignal>

class QSocketNotifier;

namespace ondrel {

class CTerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit CTerminationSignals(QObject* parent = nullptr);
    ~CTerminationSignals() override;
    CTerminationSignals(const CTerminationSignals&) = delete;
    CTerminationSignals& operator=(const CTerminationSignals&) = delete;

    // False when the pipe or a handler could not be set up (the signals then
    // keep their default action).
    bool IsWatching() const { return m_notifier != nullptr; }

    // True once a second signal has come: the process is to end without
    // waiting any more, not even in a reply wait that is running.
    static bool Hurried();
    // Readable once Hurried(); -1 without a watcher.
    int HurryFd() const { return m_hurry[0]; }

signals:
    void received(int signalNumber);

private:
    void OnReadable();

    int m_pipe[2] = {-1, -1};
    int m_hurry[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
    struct sigaction m_previous[3] = {};
    bool m_installed[3] = {};
};

} // namespace ondrel
