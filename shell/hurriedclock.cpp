#include "hurriedclock.h"

#include "termsignals.h"

#include <algorithm>

namespace ondrel {

CHurriedWaitClock::CHurriedWaitClock(const CTerminationSignals& watcher)
    : m_monotonic(watcher.HurryFd())
{}

std::chrono::nanoseconds CHurriedWaitClock::Elapsed()
{
    const std::chrono::nanoseconds elapsed = m_monotonic.Elapsed();
    return CTerminationSignals::Hurried() ? std::max<std::chrono::nanoseconds>(elapsed, kWaitEnd)
                                          : elapsed;
}

} // namespace ondrel
