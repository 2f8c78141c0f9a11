#include "virtualclock.h"

#include <algorithm>

namespace ondrel {

void CVirtualClock::Begin()
{
    m_begin = m_now;
    ++m_begins;
}

std::chrono::nanoseconds CVirtualClock::Elapsed()
{
    return std::chrono::milliseconds(m_now - m_begin);
}

void CVirtualClock::SleepUntil(std::chrono::nanoseconds until, const InputWake& wake)
{
    Q_UNUSED(wake);
    ++m_sleeps;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until);
    qint64 target = std::max(m_now, m_begin + qint64(ms.count()));
    if (!m_callbacks.empty())
        target = std::min(target, std::max(m_now, m_callbacks.begin()->first));
    if (m_inputWake) {
        const std::optional<qint64> input = m_inputWake();
        if (input && *input > m_now)
            target = std::min(target, *input);
    }
    m_waited += target - m_now;
    MoveTo(target);
}

void CVirtualClock::Advance(qint64 ms)
{
    if (ms > 0)
        MoveTo(m_now + ms);
    else
        MoveTo(m_now);
}

void CVirtualClock::AdvanceTo(qint64 atMs)
{
    MoveTo(atMs);
}

void CVirtualClock::ResetCounts()
{
    m_begins = 0;
    m_sleeps = 0;
    m_waited = 0;
}

void CVirtualClock::At(qint64 atMs, std::function<void()> fn)
{
    m_callbacks.emplace(atMs, std::move(fn));
}

void CVirtualClock::MoveTo(qint64 t)
{
    if (t > m_now)
        m_now = t;
    // A callback that schedules another one for a time already reached gets it
    // run in the same move, so guard against re-entering from inside a callback.
    if (m_running)
        return;
    m_running = true;
    struct Reset
    {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{m_running};
    while (!m_callbacks.empty() && m_callbacks.begin()->first <= m_now) {
        auto fn = std::move(m_callbacks.begin()->second);
        m_callbacks.erase(m_callbacks.begin());
        if (fn)
            fn();
    }
}

} // namespace ondrel
