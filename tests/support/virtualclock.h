// A virtual millisecond clock for the bounded wait. Nothing ever really sleeps: a
// sleep moves "now" straight to the next thing that can happen (a callback, the
// armed port's input, or the sleep's deadline), so a full 3.7 s time-out runs in
// microseconds and every wake-up of it can be inspected.
//
// Typical use:
//   ondrel::CVirtualClock clock;
//   auto owned = std::make_unique<ondrel::CFakePort>(&clock);
//   ondrel::CFakePort* port = owned.get();
//   ondrel::CMSComm comm(std::move(owned));
//   ondrel::CWaitContext context;
//   context.SetClock(&clock);
//   ... WaitForReply(comm, n, context) now runs on virtual time ...
#pragma once

#include "exchange.h"

#include <QtGlobal>
#include <functional>
#include <map>
#include <optional>

namespace ondrel {

class CVirtualClock : public CWaitClock
{
public:
    CVirtualClock() = default;
    CVirtualClock(const CVirtualClock&) = delete;
    CVirtualClock& operator=(const CVirtualClock&) = delete;

    // CWaitClock: Begin() marks the start of one wait at the current time;
    // SleepUntil moves now to the earliest of the wait's start + until (rounded up
    // to a whole ms), the next callback, and the armed input wake, running the
    // callbacks that come due. It never moves backwards.
    void Begin() override;
    std::chrono::nanoseconds Elapsed() override;
    void SleepUntil(std::chrono::nanoseconds until, const InputWake& wake) override;

    // Virtual milliseconds since construction (starts at 0).
    qint64 Now() const { return m_now; }
    // Moves time forward by ms (not backwards), running due callbacks.
    void Advance(qint64 ms);
    // Moves time to an absolute value (ignored if it is in the past).
    void AdvanceTo(qint64 atMs);

    // Start of the current (last) wait, as set by Begin().
    qint64 WaitStart() const { return m_begin; }
    // Since construction or ResetCounts(): how often Begin() and SleepUntil() were
    // called, and how many virtual ms passed inside SleepUntil.
    int Begins() const { return m_begins; }
    int Sleeps() const { return m_sleeps; }
    qint64 WaitedMs() const { return m_waited; }
    void ResetCounts();

    // Runs fn once when virtual time first reaches atMs (from a sleep, Advance or
    // AdvanceTo). A sleep wakes at every callback's time: what a callback does
    // stands for something happening on the line. A callback whose time has
    // already passed runs at the next move. Callbacks with the same time run in
    // the order they were added. A callback may add further callbacks; it must not
    // move the clock itself.
    void At(qint64 atMs, std::function<void()> fn);
    // The same, relative to now.
    void After(qint64 delayMs, std::function<void()> fn) { At(m_now + delayMs, std::move(fn)); }
    int PendingCallbacks() const { return int(m_callbacks.size()); }

    // For a port armed by a wait: when its input will wake the sleep (asked at each
    // sleep; a time at or before now, or none, adds no wake-up). nullptr disarms.
    using WakeTime = std::function<std::optional<qint64>()>;
    void SetInputWake(WakeTime wake) { m_inputWake = std::move(wake); }

private:
    void MoveTo(qint64 t);

    qint64 m_now = 0;
    qint64 m_begin = 0;
    int m_begins = 0;
    int m_sleeps = 0;
    qint64 m_waited = 0;
    bool m_running = false;
    std::multimap<qint64, std::function<void()>> m_callbacks;
    WakeTime m_inputWake;
};

} // namespace ondrel
