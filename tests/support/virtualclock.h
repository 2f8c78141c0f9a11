// A virtual millisecond clock for the bounded wait. Nothing ever really sleeps:
// Sleep(k) moves "now" to the wait's start + k ms, so a full 3.7 s time-out runs
// in microseconds and every step of it can be inspected.
//
// Typical use:
//   ondrel::CVirtualClock clock;   // installs itself as the sleep of every wait
//   auto owned = std::make_unique<ondrel::CFakePort>(&clock);
//   ondrel::CFakePort* port = owned.get();
//   ondrel::CMSComm comm(std::move(owned));
//   ... WaitForReply(comm, n) now runs on virtual time ...
// The destructor uninstalls it again (the real monotonic sleep comes back).
#pragma once

#include "exchange.h"

#include <QtGlobal>
#include <functional>
#include <map>

namespace ondrel {

class CVirtualClock : public CMillisecondSleep
{
public:
    // install = true makes this clock the sleep of every WaitForReply
    // (SetMillisecondSleep(this)) until it is destroyed or Uninstall() is called.
    explicit CVirtualClock(bool install = true);
    ~CVirtualClock() override;
    CVirtualClock(const CVirtualClock&) = delete;
    CVirtualClock& operator=(const CVirtualClock&) = delete;

    void Install();
    void Uninstall(); // only if this clock is the installed one

    // CMillisecondSleep: Begin() marks the start of one wait at the current time;
    // Sleep(k) sets now = start + k (never backwards) and runs the callbacks that
    // have come due.
    void Begin() override;
    void Sleep(int k) override;

    // Virtual milliseconds since construction (starts at 0).
    qint64 Now() const { return m_now; }
    // Moves time forward by ms (not backwards), running due callbacks.
    void Advance(qint64 ms);
    // Moves time to an absolute value (ignored if it is in the past).
    void AdvanceTo(qint64 atMs);

    // Start of the current (last) wait, as set by Begin().
    qint64 WaitStart() const { return m_begin; }
    // How often Begin() and Sleep() were called since construction or ResetCounts().
    int Begins() const { return m_begins; }
    int Sleeps() const { return m_sleeps; }
    // The k passed to the last Sleep() (0 before any).
    int LastSleepIndex() const { return m_lastK; }
    void ResetCounts();

    // Runs fn once when virtual time first reaches atMs (from Sleep, Advance or
    // AdvanceTo). A callback whose time has already passed runs at the next move.
    // Callbacks with the same time run in the order they were added. A callback
    // may add further callbacks; it must not move the clock itself.
    void At(qint64 atMs, std::function<void()> fn);
    // The same, relative to now.
    void After(qint64 delayMs, std::function<void()> fn) { At(m_now + delayMs, std::move(fn)); }
    int PendingCallbacks() const { return int(m_callbacks.size()); }

private:
    void MoveTo(qint64 t);

    qint64 m_now = 0;
    qint64 m_begin = 0;
    int m_begins = 0;
    int m_sleeps = 0;
    int m_lastK = 0;
    bool m_running = false;
    std::multimap<qint64, std::function<void()>> m_callbacks;
};

} // namespace ondrel
