// The fleet as a watcher of the broker knows it: one generator per topic prefix
// under the root that has sent anything, its state, the alarms it raised and
// what the window says about it. No widgets and no network: messages come in
// through OnMessages, time from the clock passed in, so every table of states and
// alarms runs without a broker, a window or a real second going by.
#pragma once

#include "alarmlatch.h"
#include "generator.h"
#include "message.h"
#include "payloads.h"
#include "texts.h"

#include <QAbstractListModel>
#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace ondrel::fleet {

using lab::EventLine;
using lab::Generator;
using lab::IsAlarmState;
using lab::State;

using lab::ClockText;
using lab::StateText;

using FleetMessage = lab::BrokerMessage;

using lab::Alarm;

class CAlarmModel;

class CFleetModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role
    {
        NameRole = Qt::UserRole + 1, // QString
        StateRole,                   // int (State)
        StateTextRole,               // QString
        AttentionRole,               // int: sorts needs-attention first
        ReadoutsRole,                // QStringList: kV, µA, temperature with their ages
        GreyedRole,                  // bool: nothing on the tile is live
        VersionRole,                 // QString
        BeamTimeRole,                // QString: "X-rays 12.5 s"
        LastHeardRole,               // QString
        EventsRole,                  // QStringList: the last three events, newest first
        NotesRole,                   // QStringList: clock off, events missed, unreadable...
        ReadoutTextsRole,            // QStringList: kV, µA, temperature without ages
        ReadingAgeRole,              // QString: "4 s old", empty while fresh
    };

    using Clock = std::function<qint64()>; // ms since the epoch, this computer's
    using Complaint = std::function<void(const QString&)>;

    static constexpr int kGeneratorLimit = 5000;
    static constexpr qint64 kPayloadLimit = lab::kPayloadLimit;

    // `root` without a trailing '/'. Complaints (the first unreadable message of
    // each kind) go to standard error unless another sink is given.
    CFleetModel(QString root, Clock clock, QObject* parent = nullptr,
                Complaint complain = Complaint());
    ~CFleetModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    void OnMessages(const QList<FleetMessage>& messages);
    void OnMessage(const FleetMessage& message) { OnMessages({message}); }
    // The fleet's own link to the broker.
    void OnBrokerConnected();
    void OnBrokerLost();
    bool BrokerContact() const { return m_contact; }

    // Re-judges what time alone changes (staleness, ages) and tells the views of
    // every change at once; the window calls it a few times a second, tests after
    // moving their clock. Between calls, views hear of changes within
    // kNotifyPeriodMs; data() is always current.
    void Refresh();
    static constexpr int kNotifyPeriodMs = 200;

    const Generator* Find(const QString& name) const;
    const Generator* FindPrefix(const QString& prefix) const;
    const Generator& At(int row) const { return *m_rows.at(size_t(row)); }
    int RowOf(const QString& name) const;
    QString AccessibleName(const Generator& g) const;
    QString Description(const Generator& g) const;
    QString Summary() const;
    bool LimitReached() const { return m_limitReached; }

    CAlarmModel* Alarms() const { return m_alarms.get(); }
    // False when that raise is no longer the alarm's current one (the generator
    // got worse since) or the alarm is gone: nothing is acknowledged then.
    bool Acknowledge(const QString& prefix, qint64 raise);
    void AcknowledgeAll();

    QString Root() const { return m_root; }
    qint64 Now() const { return m_clock(); }

signals:
    void summaryChanged();
    // A live reading or event of one generator, for its trend window.
    void readingReceived(const QString& name, const ondrel::Reading& reading);
    void eventReceived(const QString& name, const ondrel::ConsoleEvent& event);

private:
    Generator* Entry(const QString& prefix, const QString& name, int* row);
    void Apply(Generator& g, const lab::Payload& p, const FleetMessage& m);
    void Unreadable(Generator& g, Subtopic subtopic, const QString& why);
    void Rejudge(Generator& g, qint64 now);
    void EmitRows(int first, int last);
    void Flush();

    const QString m_root;
    const Clock m_clock;
    const Complaint m_complain;
    std::vector<std::unique_ptr<Generator>> m_rows; // in order of their first message
    QHash<QString, int> m_rowOfPrefix;
    QHash<QString, int> m_rowOfName;
    QSet<QString> m_complained;
    bool m_contact = false;
    bool m_everConnected = false;
    qint64 m_lostMs = 0;
    bool m_limitReached = false;
    std::unique_ptr<CAlarmModel> m_alarms;
    QString m_lastSummary;
    // Views hear of changed rows at most this often: a thousand generators send
    // five thousand messages a second, and no one reads a tile faster.
    QTimer m_flushTimer;
    int m_dirtyFirst = -1;
    int m_dirtyLast = -1;
};

// The alarm list over the latch: unacknowledged first, each group newest first.
class CAlarmModel : public QAbstractListModel, private lab::CAlarmLatch::IListener
{
    Q_OBJECT
public:
    enum Role
    {
        NameRole = Qt::UserRole + 1,
        AcknowledgedRole,
        ActiveRole,
        TimeRole,   // QString HH:MM:SS
        PrefixRole, // QString
        RaiseRole,  // qint64
    };
    CAlarmModel();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    const std::vector<Alarm>& List() const { return m_latch.List(); }
    int Unacknowledged() const { return m_latch.Unacknowledged(); }
    const Alarm* Of(const QString& prefix) const { return m_latch.Of(prefix); }
    void Follow(const Generator& g, qint64 now) { m_latch.Follow(g, now); }
    bool Acknowledge(const QString& prefix, qint64 raise);
    void AcknowledgeAll() { m_latch.AcknowledgeAll(); }

private:
    void BeforeInsert(int row) override;
    void AfterInsert() override;
    void BeforeRemove(int row) override;
    void AfterRemove() override;
    void Changed() override;
    void BeforeReorder() override;
    void AfterReorder(const std::vector<int>& rowNow) override;

    lab::CAlarmLatch m_latch{this};
};

} // namespace ondrel::fleet
