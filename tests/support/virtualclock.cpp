#include "virtualclock.h"

namespace ondrel {

CVirtualClock::CVirtualClock(bool install)
{
    if (install)
        Install();
}

CVirtualClock::~CVirtualClock()
{
    Uninstall();
}

void CVirtualClock::Install()
{
    SetMillisecondSleep(this);
}

void CVirtualClock::Uninstall()
{
    if (&CurrentMillisecondSleep() == this)
        SetMillisecondSleep(nullptr);
}

void CVirtualClock::Begin()
{
    m_begin = m_now;
    ++m_begins;
}

void CVirtualClock::Sleep(int k)
{
    ++m_sleeps;
    m_lastK = k;
    MoveTo(m_begin + k);
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
    m_lastK = 0;
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
