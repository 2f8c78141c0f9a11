// The real wait clock, counting how often a wait went to sleep: how many times
// it woke is what a wait's CPU and its responsiveness come down to.
#pragma once

#include "exchange.h"

namespace ondrel {

class CCountingClock : public CWaitClock
{
public:
    void Begin() override { m_real.Begin(); }
    std::chrono::nanoseconds Elapsed() override { return m_real.Elapsed(); }
    void SleepUntil(std::chrono::nanoseconds until, const InputWake& wake) override
    {
        ++sleeps;
        m_real.SleepUntil(until, wake);
    }

    long sleeps = 0;

private:
    CMonotonicWaitClock m_real;
};

} // namespace ondrel
