// The fleet as the web page shows it, judged on the Qt thread by the lab's own
// rules (the fleet window's), and written as the JSON the page renders: a
// snapshot of everything, then deltas of what changed, each numbered so that the
// page never applies a delta to a snapshot it does not follow. No network: the
// broker's messages come in through the slots, time from the clock passed in.
#pragma once

#include "alarmlatch.h"
#include "generator.h"
#include "liveround.h"
#include "message.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace ondrel::web {

class CLiveFleet : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<qint64()>; // ms since the epoch, this computer's

    static constexpr int kGeneratorLimit = 5000;

    // `root` without a trailing '/'.
    CLiveFleet(QString root, Clock clock, QObject* parent = nullptr);
    ~CLiveFleet() override;

    // The whole fleet as the last delta left it, numbered as that one, every
    // generator whole with its read-outs.
    QByteArray Snapshot() const;
    // Re-judges what time alone changes, then what changed since the last
    // delta, numbered one past it: of a generator already sent, only the
    // members that changed. With nothing changed, nothing unless heartbeat:
    // then one that carries only its number and the clock.
    std::shared_ptr<const LiveRound> Delta(bool heartbeat);
    qint64 Sequence() const { return m_seq; }

    int Generators() const { return int(m_rows.size()); }

public slots:
    void OnMessages(const QList<ondrel::lab::BrokerMessage>& messages);
    void OnBrokerConnected();
    void OnBrokerLost();

private:
    struct Row
    {
        lab::Generator g;
        QJsonObject sent; // whole, as the last delta left it
        // Its members sent only where it is shown, as the last delta left them.
        std::shared_ptr<const LiveRound::Tile> live = std::make_shared<LiveRound::Tile>();
        bool dirty = true; // a message came since
    };
    Row* Entry(const QString& prefix, const QString& name);
    void MarkAll();
    void Rejudge(lab::Generator& g, qint64 now);
    QJsonObject GeneratorJson(const lab::Generator& g, int n) const;
    QJsonObject Common(const char* type, qint64 now) const;
    QString Summary() const;
    QJsonArray AlarmsJson() const;

    const QString m_root;
    const Clock m_clock;
    std::vector<std::unique_ptr<Row>> m_rows;
    QHash<QString, int> m_rowOfPrefix;
    lab::CAlarmLatch m_latch;
    bool m_contact = false;
    bool m_everConnected = false;
    qint64 m_lostMs = 0;
    bool m_limitReached = false;
    qint64 m_seq = 0;
    QString m_sentSummary;
    QJsonArray m_sentAlarms;
};

} // namespace ondrel::web
