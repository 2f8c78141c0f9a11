// The alarm latch: an alarm a generator raised stays until it has been both
// acknowledged and its condition has ended, in either order, and an
// acknowledgement given for one raise does not cover a later, worse one. Kept in
// the order a list shows it: unacknowledged first, each group newest first. Pure:
// a list view follows its rows through the listener.
#pragma once

#include "generator.h"

#include <QString>
#include <vector>

namespace ondrel::lab {

struct Alarm
{
    QString prefix; // who raised it: names are not unique across roots
    QString name;
    // Which raise of that generator's alarm this is: an acknowledgement given for
    // one raise does not cover a later, worse one.
    qint64 raise = 0;
    State condition = State::Stale; // the worst state since it was raised
    qint64 raisedMs = 0;
    bool acknowledged = false;
    bool active = true; // the condition still holds
};

class CAlarmLatch
{
public:
    // Told of each row as it comes, goes or moves, before and after, so that a
    // view's selection stays on the alarm it was made on.
    class IListener
    {
    public:
        virtual void BeforeInsert(int row) = 0;
        virtual void AfterInsert() = 0;
        virtual void BeforeRemove(int row) = 0;
        virtual void AfterRemove() = 0;
        virtual void Changed() = 0; // any alarm may read differently now
        virtual void BeforeReorder() = 0;
        // rowNow[old row] is its row now.
        virtual void AfterReorder(const std::vector<int>& rowNow) = 0;

    protected:
        ~IListener() = default;
    };

    explicit CAlarmLatch(IListener* listener = nullptr) : m_listener(listener) {}

    const std::vector<Alarm>& List() const { return m_alarms; }
    int Unacknowledged() const;
    const Alarm* Of(const QString& prefix) const;

    // A generator judged afresh: its alarm raised, worsened, carried on or ended.
    // Unknown changes nothing: without the broker nothing is known.
    void Follow(const Generator& g, qint64 now);
    // False when that raise is no longer the alarm's current one (the generator
    // got worse since) or the alarm is gone: nothing is acknowledged then.
    bool Acknowledge(const QString& prefix, qint64 raise);
    void AcknowledgeAll();

private:
    Alarm* Find(const QString& prefix);
    void Raise(const Generator& g, qint64 now);
    void Remove(size_t row);
    void Reorder();

    IListener* const m_listener;
    std::vector<Alarm> m_alarms;
    qint64 m_lastRaise = 0;
};

} // namespace ondrel::lab
