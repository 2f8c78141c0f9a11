#include "replywake.h"

#include <algorithm>
#include <optional>
#include <poll.h>

namespace ondrel {

namespace {

// A generator slower than this to start its reply is not one to sleep through
// a prediction for: the wait is woken by its first character instead.
constexpr std::chrono::milliseconds kLongestLag{100};

} // namespace

void CReplyWake::LineSet(const LineSettings& s)
{
    const int bits =
        1 + s.dataBits + (s.parity == Parity::None ? 0 : 1) + (s.stopBits == StopBits::Two ? 2 : 1);
    m_charTime = std::chrono::nanoseconds(1000000000LL * bits / s.baud);
    m_lag.Forget();
}

void CReplyWake::FrameSent()
{
    m_lastWrite = Clock::now();
    m_replyDue = true;
    m_measureReply = m_lag.NextIsMeasured();
    m_phase = Phase::None;
}

InputWake CReplyWake::Arm(int fd, qint64 target, qint64 queued)
{
    // Once VMIN characters are queued the descriptor stays readable: polling it
    // would spin, so a reply this long is looked at step by step from there.
    if (target > kMaxVmin && queued >= kMaxVmin)
        return {};
    // The tty wakes a sleeping poller at every character it receives, whatever
    // VMIN says, only for it to find the line not ready yet. So the wait is woken
    // by the first character of a reply, and then sleeps without the descriptor
    // for as long as the rest needs on the wire before it asks for all of it.
    InputWake wake{fd, POLLIN, true};
    const qint64 missing = target - queued;
    qint64 vmin = std::min(target, kMaxVmin);
    const Clock::time_point now = Clock::now();
    if (m_phase == Phase::FirstChar && queued > 0) {
        // Woken by the first character, or by the first few when they came
        // together: count back to when the first one arrived.
        const auto lag = std::chrono::duration_cast<std::chrono::nanoseconds>(
            now - m_lastWrite - (queued - 1) * m_charTime);
        if (lag.count() >= 0 && lag < kLongestLag)
            m_lag.Add(lag);
    }
    m_phase = Phase::None;
    if (queued == 0 && missing > 1) {
        // The reply's last character is due (target - 1) characters after its
        // first: sleep until one character before that, then ask for all of it.
        const std::optional<std::chrono::nanoseconds> lag = m_lag.Estimate();
        const auto quiet = m_replyDue && !m_measureReply && lag && target <= kMaxVmin
                               ? std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     m_lastWrite + *lag + (target - 2) * m_charTime - now)
                               : std::chrono::nanoseconds{0};
        if (quiet >= m_charTime) {
            wake.quiet = quiet;
            m_quietEnd = now + quiet;
            m_phase = Phase::Predicted;
        } else {
            vmin = 1;
            m_phase = m_replyDue ? Phase::FirstChar : Phase::None;
        }
    } else if (missing > 1) {
        wake.quiet = (missing - 1) * m_charTime;
    }
    if (!m_armed) {
        if (::tcgetattr(fd, &m_before) != 0)
            return {};
        m_armed = true;
        m_changed = false;
    }
    if (!m_changed || cc_t(vmin) != m_vmin) {
        termios t = m_before;
        t.c_cc[VMIN] = cc_t(vmin);
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd, TCSANOW, &t) != 0)
            return {};
        m_vmin = cc_t(vmin);
        m_changed = true;
    }
    return wake;
}

void CReplyWake::Disarm(int fd)
{
    // A reply that was all there the moment the sleep ended came sooner than
    // learned, and may have been seen late: measure the lag again next time.
    if (m_phase == Phase::Predicted && Clock::now() - m_quietEnd < m_charTime / 2)
        m_lag.Forget();
    m_phase = Phase::None;
    m_replyDue = false;
    if (!m_armed)
        return;
    m_armed = false;
    if (fd >= 0 && m_changed)
        ::tcsetattr(fd, TCSANOW, &m_before);
}

} // namespace ondrel
