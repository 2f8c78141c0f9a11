#include "termsignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace ondrel {

namespace {

constexpr int kSignals[3] = {SIGTERM, SIGHUP, SIGINT};

// The handler can reach nothing else: only async-signal-safe calls are allowed.
volatile std::sig_atomic_t g_writeEnd = -1;
volatile std::sig_atomic_t g_hurryEnd = -1;
volatile std::sig_atomic_t g_received = 0;

extern "C" void OnSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    if (g_writeEnd >= 0) {
        // A full pipe already holds enough wake-ups; the byte may be dropped.
        [[maybe_unused]] const ssize_t written = ::write(g_writeEnd, &number, 1);
    }
    if (g_received < 2)
        g_received = g_received + 1;
    if (g_received >= 2 && g_hurryEnd >= 0) {
        // Wakes a reply wait that sleeps on the UI thread, whichever thread ran this.
        [[maybe_unused]] const ssize_t written = ::write(g_hurryEnd, &number, 1);
    }
    errno = savedErrno;
}

} // namespace

CTerminationSignals::CTerminationSignals(QObject* parent) : QObject(parent)
{
    if (g_writeEnd >= 0 || ::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    if (::pipe2(m_hurry, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
        m_pipe[0] = m_pipe[1] = m_hurry[0] = m_hurry[1] = -1;
        return;
    }
    g_received = 0;
    g_hurryEnd = m_hurry[1];
    g_writeEnd = m_pipe[1];
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls keep the serial line's reads and writes whole.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        m_installed[i] = ::sigaction(kSignals[i], &action, &m_previous[i]) == 0;
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CTerminationSignals::OnReadable);
}

CTerminationSignals::~CTerminationSignals()
{
    for (int i = 0; i < 3; ++i) {
        if (m_installed[i])
            ::sigaction(kSignals[i], &m_previous[i], nullptr);
    }
    if (m_pipe[1] >= 0 && g_writeEnd == m_pipe[1]) {
        g_writeEnd = -1;
        g_hurryEnd = -1;
        g_received = 0;
    }
    delete m_notifier;
    for (int fd : {m_pipe[0], m_pipe[1], m_hurry[0], m_hurry[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool CTerminationSignals::Hurried()
{
    return g_received >= 2;
}

void CTerminationSignals::OnReadable()
{
    unsigned char numbers[16];
    const ssize_t count = ::read(m_pipe[0], numbers, sizeof numbers);
    for (ssize_t i = 0; i < count; ++i)
        emit received(numbers[i]);
}

} // namespace ondrel
