#include "exchange.h"

#include "mscomm.h"

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

timespec Add(const timespec& t, nanoseconds ns)
{
    const long long sum = static_cast<long long>(t.tv_nsec) + ns.count();
    return timespec{t.tv_sec + static_cast<time_t>(sum / 1000000000LL),
                    static_cast<long>(sum % 1000000000LL)};
}

// Puts the line and the operator's pointer back however the wait ends, a hang-up
// thrown out of it included.
class CWaitScope
{
public:
    CWaitScope(CSerialDevice& device, const CWaitContext::LongWaitHook& hook)
        : m_device(device), m_hook(hook)
    {}
    ~CWaitScope()
    {
        if (m_armed)
            m_device.DisarmWake();
        if (m_long && m_hook)
            m_hook(false);
    }
    CWaitScope(const CWaitScope&) = delete;
    CWaitScope& operator=(const CWaitScope&) = delete;

    InputWake Arm(qint64 count)
    {
        m_armed = true;
        return m_device.ArmWake(count);
    }
    bool Long() const { return m_long; }
    void MarkLong()
    {
        if (m_long)
            return;
        m_long = true;
        if (m_hook)
            m_hook(true);
    }

private:
    CSerialDevice& m_device;
    const CWaitContext::LongWaitHook& m_hook;
    bool m_armed = false;
    bool m_long = false;
};

} // namespace

void CMonotonicWaitClock::Begin()
{
    clock_gettime(CLOCK_MONOTONIC, &m_start);
}

nanoseconds CMonotonicWaitClock::Elapsed()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec - m_start.tv_sec) +
           nanoseconds(now.tv_nsec - m_start.tv_nsec);
}

bool CMonotonicWaitClock::SleepTo(const timespec& deadline)
{
    if (m_cutFd < 0) {
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        }
        return true;
    }
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const nanoseconds left = std::chrono::seconds(deadline.tv_sec - now.tv_sec) +
                                 nanoseconds(deadline.tv_nsec - now.tv_nsec);
        if (left <= nanoseconds::zero())
            return true;
        const timespec timeout = ToTimespec(left);
        pollfd cut{m_cutFd, POLLIN, 0};
        if (::ppoll(&cut, 1, &timeout, nullptr) > 0)
            return false;
    }
}

void CMonotonicWaitClock::SleepUntil(nanoseconds until, const InputWake& wake)
{
    if (wake.fd < 0) {
        SleepTo(Add(m_start, until));
        return;
    }
    if (wake.quiet > nanoseconds::zero() &&
        !SleepTo(Add(m_start, std::min(until, Elapsed() + wake.quiet))))
        return;
    const nfds_t count = m_cutFd < 0 ? 1 : 2;
    for (;;) {
        const nanoseconds left = until - Elapsed();
        if (left <= nanoseconds::zero())
            return;
        const timespec timeout = ToTimespec(left);
        pollfd p[2] = {{wake.fd, wake.events, 0}, {m_cutFd, POLLIN, 0}};
        const int ready = ::ppoll(p, count, &timeout, nullptr);
        if (count == 2 && p[1].revents != 0)
            return;
        if (ready > 0 && !(p[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            return;
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            // A hang-up is usually seen by the next look. Should the line go on
            // counting, it stays "hung up" for poll(): look once a step rather
            // than spin on it.
            SleepTo(Add(m_start, std::min(until, Elapsed() + kWaitStep)));
            return;
        }
    }
}

bool WaitForReply(CMSComm& comm, int n, CWaitContext& context)
{
    CWaitClock& clock = context.Clock();
    clock.Begin();
    CWaitScope scope(comm.Device(), context.LongWait());
    for (;;) {
        const int count = comm.GetInBufferCount();
        if (count == n)
            return true;
        if (!scope.Long() && clock.Elapsed() >= kLongWait)
            scope.MarkLong();
        // Nothing is read during the wait, so a count past n stays past it: then
        // only a hang-up or the end is worth waking for.
        if (clock.Elapsed() >= kLastLook) {
            // That was the look that ends step kWaitLimit. The last step is slept
            // through without one: a reply completed during it is not seen, so
            // the time-out falls where operators know it to fall.
            clock.SleepUntil(kWaitEnd, InputWake{});
            return false;
        }
        const InputWake wake = scope.Arm(count < n ? n : 0);
        nanoseconds until = scope.Long() ? kLastLook : std::min<nanoseconds>(kLongWait, kLastLook);
        if (!wake.armed) {
            // Nothing will say when input comes: look again at the next whole step.
            const nanoseconds next = (clock.Elapsed() / kWaitStep + 1) * kWaitStep;
            until = std::min(until, next);
        }
        clock.SleepUntil(until, wake);
    }
}

bool WaitForReply(CMSComm& comm, int n)
{
    CWaitContext context;
    return WaitForReply(comm, n, context);
}

QByteArray ReplyText(const QVariant& input)
{
    return VariantBytes(input).value_or(QByteArray());
}

} // namespace ondrel
