#include "alarmlatch.h"

#include <algorithm>

namespace ondrel::lab {

int CAlarmLatch::Unacknowledged() const
{
    return int(std::count_if(m_alarms.begin(), m_alarms.end(),
                             [](const Alarm& a) { return !a.acknowledged; }));
}

const Alarm* CAlarmLatch::Of(const QString& prefix) const
{
    for (const Alarm& a : m_alarms)
        if (a.prefix == prefix)
            return &a;
    return nullptr;
}

Alarm* CAlarmLatch::Find(const QString& prefix)
{
    return const_cast<Alarm*>(Of(prefix));
}

void CAlarmLatch::Follow(const Generator& g, qint64 now)
{
    if (g.state == State::Unknown)
        return;
    Alarm* alarm = Find(g.prefix);
    if (IsAlarmState(g.state)) {
        if (!alarm || !alarm->active || int(g.state) < int(alarm->condition)) {
            Raise(g, now);
        } else if (alarm->condition != g.state) {
            alarm->condition = g.state;
            Reorder();
        }
    } else if (alarm && alarm->active) {
        alarm->active = false;
        if (alarm->acknowledged)
            Remove(size_t(alarm - m_alarms.data()));
        Reorder();
    }
}

void CAlarmLatch::Raise(const Generator& g, qint64 now)
{
    Alarm* a = Find(g.prefix);
    if (!a) {
        const int row = int(m_alarms.size());
        if (m_listener)
            m_listener->BeforeInsert(row);
        m_alarms.push_back(Alarm{g.prefix, g.name, ++m_lastRaise, g.state, now, false, true});
        if (m_listener)
            m_listener->AfterInsert();
    } else {
        a->raise = ++m_lastRaise;
        a->condition = g.state;
        a->raisedMs = now;
        a->acknowledged = false;
        a->active = true;
    }
    Reorder();
}

bool CAlarmLatch::Acknowledge(const QString& prefix, qint64 raise)
{
    Alarm* a = Find(prefix);
    if (!a || a->raise != raise)
        return false;
    a->acknowledged = true;
    if (!a->active)
        Remove(size_t(a - m_alarms.data()));
    Reorder();
    return true;
}

void CAlarmLatch::AcknowledgeAll()
{
    for (size_t row = m_alarms.size(); row-- > 0;) {
        m_alarms[row].acknowledged = true;
        if (!m_alarms[row].active)
            Remove(row);
    }
    Reorder();
}

void CAlarmLatch::Remove(size_t row)
{
    if (m_listener)
        m_listener->BeforeRemove(int(row));
    m_alarms.erase(m_alarms.begin() + qptrdiff(row));
    if (m_listener)
        m_listener->AfterRemove();
}

void CAlarmLatch::Reorder()
{
    const int n = int(m_alarms.size());
    if (n > 0 && m_listener)
        m_listener->Changed();
    std::vector<int> order(m_alarms.size());
    for (int i = 0; i < n; ++i)
        order[size_t(i)] = i;
    std::stable_sort(order.begin(), order.end(), [this](int l, int r) {
        const Alarm& a = m_alarms[size_t(l)];
        const Alarm& b = m_alarms[size_t(r)];
        if (a.acknowledged != b.acknowledged)
            return !a.acknowledged;
        return a.raisedMs > b.raisedMs;
    });
    if (std::is_sorted(order.begin(), order.end()))
        return;
    if (m_listener)
        m_listener->BeforeReorder();
    std::vector<int> rowNow(order.size());
    std::vector<Alarm> sorted;
    sorted.reserve(m_alarms.size());
    for (int i = 0; i < n; ++i) {
        rowNow[size_t(order[size_t(i)])] = i;
        sorted.push_back(std::move(m_alarms[size_t(order[size_t(i)])]));
    }
    m_alarms = std::move(sorted);
    if (m_listener)
        m_listener->AfterReorder(rowNow);
}

} // namespace ondrel::lab
