// The console's wait clock while the signals are watched: the monotonic clock,
// except that once the watcher is hurried every wait counts as over, so that a
// reply wait on the one UI thread cannot hold up an exit the operator insisted on.
#pragma once

#include "exchange.h"

namespace ondrel {

class CTerminationSignals;

class CHurriedWaitClock : public CWaitClock
{
public:
    explicit CHurriedWaitClock(const CTerminationSignals& watcher);

    void Begin() override { m_monotonic.Begin(); }
    std::chrono::nanoseconds Elapsed() override;
    // The hurry pipe cuts the sleep short; Elapsed() then says the wait is over.
    void SleepUntil(std::chrono::nanoseconds until, const InputWake& wake) override
    {
        m_monotonic.SleepUntil(until, wake);
    }

private:
    CMonotonicWaitClock m_monotonic;
};

} // namespace ondrel
