#include "hurriedclock.h"

#include "termsignals.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>

namespace ondrel {

using std::chrono::nanoseconds;

namespace {

timespec ToTimespec(nanoseconds ns)
{
    const long long count = ns.count();
    return timespec{static_cast<time_t>(count / 1000000000LL),
                    static_cast<long>(count % 1000000000LL)};
}

} // namespace

nanoseconds CHurriedWaitClock::Elapsed()
{
    const nanoseconds elapsed = m_monotonic.Elapsed();
    return CTerminationSignals::Hurried() ? std::max<nanoseconds>(elapsed, kWaitEnd) : elapsed;
}

void CHurriedWaitClock::SleepOnHurry(nanoseconds until)
{
    for (;;) {
        if (CTerminationSignals::Hurried())
            return;
        const nanoseconds left = until - m_monotonic.Elapsed();
        if (left <= nanoseconds::zero())
            return;
        const timespec timeout = ToTimespec(left);
        pollfd p{m_signals.HurryFd(), POLLIN, 0};
        ::ppoll(&p, 1, &timeout, nullptr);
    }
}

void CHurriedWaitClock::SleepUntil(nanoseconds until, const InputWake& wake)
{
    if (m_signals.HurryFd() < 0) {
        m_monotonic.SleepUntil(until, wake);
        return;
    }
    // The monotonic clock's sleep, with the hurry pipe as one more reason to wake.
    if (wake.fd < 0) {
        SleepOnHurry(until);
        return;
    }
    if (wake.quiet > nanoseconds::zero())
        SleepOnHurry(std::min(until, m_monotonic.Elapsed() + wake.quiet));
    for (;;) {
        if (CTerminationSignals::Hurried())
            return;
        const nanoseconds left = until - m_monotonic.Elapsed();
        if (left <= nanoseconds::zero())
            return;
        const timespec timeout = ToTimespec(left);
        pollfd p[2] = {{wake.fd, wake.events, 0}, {m_signals.HurryFd(), POLLIN, 0}};
        const int ready = ::ppoll(p, 2, &timeout, nullptr);
        if (p[1].revents != 0)
            return;
        if (ready > 0 && !(p[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            return;
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            // As the monotonic clock does: a line that stays "hung up" for poll()
            // is looked at every step rather than spun on.
            SleepOnHurry(std::min(until, m_monotonic.Elapsed() + kWaitStep));
            return;
        }
    }
}

} // namespace ondrel
