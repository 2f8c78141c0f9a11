// The bounded wait for a fixed-length reply, and the pieces of one exchange.
#pragma once

#include "serialdevice.h"

#include <QByteArray>
#include <QVariant>
#include <chrono>
#include <ctime>
#include <functional>

namespace ondrel {

class CMSComm;

// The wait's bound in 1 ms steps, the time-out an operator knows: a missing
// reply ends when step kWaitLimit + 1 does, 3.701 s after the start.
inline constexpr int kWaitLimit = 3700;
inline constexpr std::chrono::milliseconds kWaitStep{1};
inline constexpr std::chrono::milliseconds kWaitEnd = (kWaitLimit + 1) * kWaitStep;
// The last look at the count comes when step kWaitLimit ends.
inline constexpr std::chrono::milliseconds kLastLook = kWaitLimit * kWaitStep;
// Long enough for an operator to notice that the console is not responding.
inline constexpr std::chrono::milliseconds kLongWait{200};

// The clock a wait sleeps on; times count from the last Begin().
class CWaitClock
{
public:
    virtual ~CWaitClock() = default;
    virtual void Begin() = 0;
    virtual std::chrono::nanoseconds Elapsed() = 0;
    // Returns once Elapsed() reaches until, or earlier when wake fires. An early
    // return is harmless: the wait looks at the count and sleeps again.
    virtual void SleepUntil(std::chrono::nanoseconds until, const InputWake& wake) = 0;
};

// Deadlines on the monotonic clock, measured from Begin(): a late wake-up never
// pushes the following deadlines back, so a missing reply costs 3.701 s and not more.
class CMonotonicWaitClock : public CWaitClock
{
public:
    // cutFd, when given, ends any sleep as soon as it is readable: how an exit
    // that cannot wait (a second termination signal) reaches a running wait.
    explicit CMonotonicWaitClock(int cutFd = -1) : m_cutFd(cutFd) {}

    void Begin() override;
    std::chrono::nanoseconds Elapsed() override;
    void SleepUntil(std::chrono::nanoseconds until, const InputWake& wake) override;

private:
    // Sleeps to an absolute deadline; false when cut short.
    bool SleepTo(const timespec& deadline);

    const int m_cutFd;
    timespec m_start{};
};

// What the waits of one console share: the clock they run on, and who is told
// when a wait has gone on for kLongWait.
class CWaitContext
{
public:
    // Told true once a wait has lasted kLongWait, and false when that wait ends.
    // It runs inside the wait: it must neither block nor run an event loop.
    using LongWaitHook = std::function<void(bool waiting)>;

    CWaitContext() = default;
    CWaitContext(const CWaitContext&) = delete;
    CWaitContext& operator=(const CWaitContext&) = delete;

    // nullptr puts the monotonic clock back. The clock must outlive its use here.
    void SetClock(CWaitClock* clock) { m_clock = clock; }
    CWaitClock& Clock() { return m_clock ? *m_clock : m_monotonic; }
    void SetLongWaitHook(LongWaitHook hook) { m_longWait = std::move(hook); }
    const LongWaitHook& LongWait() const { return m_longWait; }

private:
    CMonotonicWaitClock m_monotonic;
    CWaitClock* m_clock = nullptr;
    LongWaitHook m_longWait;
};

// True as soon as exactly n characters wait in the receive buffer; false once
// kWaitEnd has passed, without a look after it. Removes nothing, and sleeps until
// input comes or a deadline passes instead of looking every millisecond.
bool WaitForReply(CMSComm& comm, int n, CWaitContext& context);
// The same on the monotonic clock with no hook, for tools and threads of their own.
bool WaitForReply(CMSComm& comm, int n);

// The reply as 8-bit text, byte for byte (each 16-bit unit below 256 becomes that byte).
QByteArray ReplyText(const QVariant& input);

} // namespace ondrel
