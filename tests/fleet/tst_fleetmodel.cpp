// The fleet's model fed as the broker would feed it, on a clock of the test's
// own: every state and transition, the alarm latch, what a tile notes, bad input
// and the bounds, all as the words a user reads.
#include "fleetmodel.h"
#include "fleetstates.h"

#include <QtTest>
#include <ctime>

using namespace ondrel;
using namespace ondrel::fleet;

namespace {

// 2026-12-08T06:22:47.000Z
constexpr qint64 kT0 = 1796710967000;

class CRig
{
public:
    CRig()
        : model(
              QStringLiteral("lab"), [this] { return now; }, nullptr,
              [this](const QString& text) { complaints << text; })
    {
        model.OnBrokerConnected();
    }

    void Send(const QString& topic, const QByteArray& payload, bool retained = false)
    {
        model.OnMessage({QStringLiteral("lab/") + topic, payload, retained, false, now});
    }

    QByteArray Reading(qint64 atMs, const QString& faults, std::optional<bool> xray, qint64 seq,
                       std::optional<bool> fault = std::nullopt)
    {
        QByteArray json = QByteArrayLiteral("{\"time\":\"") +
                          IsoTime(QDateTime::fromMSecsSinceEpoch(atMs, QTimeZone::utc())).toUtf8() +
                          "\",\"kv\":\"080.5\",\"ua\":\"1100\",\"temperature\":\"025.0\","
                          "\"faults\":\"" +
                          faults.toUtf8() + '"';
        if (seq > 0)
            json += ",\"seq\":" + QByteArray::number(seq);
        if (xray)
            json += *xray ? ",\"xray_on\":true,\"beam_on_s\":1.5" : ",\"xray_on\":false";
        if (fault)
            json += *fault ? ",\"fault\":true" : ",\"fault\":false";
        return json + '}';
    }

    QByteArray Event(const char* kind, qint64 seq)
    {
        return QByteArrayLiteral("{\"time\":\"") +
               IsoTime(QDateTime::fromMSecsSinceEpoch(now, QTimeZone::utc())).toUtf8() +
               "\",\"event\":\"" + kind + "\",\"seq\":" + QByteArray::number(seq) + '}';
    }

    // A script of steps separated by ';':
    //   status WORD | rstatus WORD (retained) | r | rx | rf | rold (retained, 10 s old)
    //   rfault ("fault": true, text "No Error") | rnofault ("fault": false, an error text)
    //   on | off | offu (xray-off-unanswered) | stop
    //   +MS (the clock moves) | lost | back | info MS | ackall
    //   ack NAME (its alarm as it is now) | pick NAME (remember it) | ackpicked
    // each step for generator `gen` unless written NAME:step.
    void Run(const QString& script)
    {
        for (QString step : script.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            step = step.trimmed();
            QString gen = QStringLiteral("gen1");
            const int colon = step.indexOf(QLatin1Char(':'));
            if (colon > 0 && !step.startsWith(QLatin1String("ack"))) {
                gen = step.left(colon);
                step = step.mid(colon + 1);
            }
            const QString verb = step.section(QLatin1Char(' '), 0, 0);
            const QString arg = step.section(QLatin1Char(' '), 1);
            if (verb == "status" || verb == "rstatus")
                Send(gen + "/status", arg.toUtf8(), verb == "rstatus");
            else if (verb == "r")
                Send(gen + "/reading", Reading(now, "No Error", false, ++readingSeq[gen]));
            else if (verb == "rx")
                Send(gen + "/reading", Reading(now, "No Error", true, ++readingSeq[gen]));
            else if (verb == "rf")
                Send(gen + "/reading",
                     Reading(now, "Error.Please Clear", false, ++readingSeq[gen]));
            else if (verb == "rfault")
                Send(gen + "/reading", Reading(now, "No Error", false, ++readingSeq[gen], true));
            else if (verb == "rnofault")
                Send(gen + "/reading",
                     Reading(now, "Error.Please Clear", false, ++readingSeq[gen], false));
            else if (verb == "rold")
                Send(gen + "/reading", Reading(now - 10000, "No Error", false, 0), true);
            else if (verb == "on")
                Send(gen + "/event", Event("xray-on", ++eventSeq[gen]));
            else if (verb == "off")
                Send(gen + "/event", Event("xray-off", ++eventSeq[gen]));
            else if (verb == "offu")
                Send(gen + "/event", Event("xray-off-unanswered", ++eventSeq[gen]));
            else if (verb == "stop")
                Send(gen + "/event", Event("stop", ++eventSeq[gen]));
            else if (verb.startsWith('+')) {
                now += verb.mid(1).toLongLong();
                model.Refresh();
            } else if (verb == "lost")
                model.OnBrokerLost();
            else if (verb == "back")
                model.OnBrokerConnected();
            else if (verb == "info")
                Send(gen + "/info", "{\"started\":\"2026-12-08T06:00:00.000Z\",\"host\":\"pc\","
                                    "\"port\":\"/dev/ttyS0\",\"program\":\"Ondrel 1.0.0.1\","
                                    "\"period_ms\":" +
                                        arg.toUtf8() + "}");
            else if (verb == "ack" || verb == "pick") {
                const Alarm* alarm = model.Alarms()->Of("lab/" + arg);
                QVERIFY2(alarm, qPrintable("no alarm for " + arg));
                picked = {alarm->prefix, alarm->raise};
                if (verb == "ack")
                    QVERIFY(model.Acknowledge(picked.first, picked.second));
            } else if (verb == "ackpicked")
                model.Acknowledge(picked.first, picked.second);
            else if (verb == "ackall")
                model.AcknowledgeAll();
            else
                QTest::qFail(qPrintable("unknown step " + step), __FILE__, __LINE__);
        }
    }

    QString Tile(const QString& name = QStringLiteral("gen1")) const
    {
        const int row = model.RowOf(name);
        if (row < 0)
            return QStringLiteral("(no tile)");
        return model.data(model.index(row), Qt::AccessibleTextRole).toString();
    }

    QStringList Notes(const QString& name = QStringLiteral("gen1")) const
    {
        return model.data(model.index(model.RowOf(name)), CFleetModel::NotesRole).toStringList();
    }

    QString AlarmList() const
    {
        QStringList items;
        const CAlarmModel* alarms = model.Alarms();
        for (int i = 0; i < alarms->rowCount(); ++i) {
            const QModelIndex index = alarms->index(i);
            items << alarms->data(index, Qt::AccessibleTextRole).toString() +
                         (alarms->data(index, CAlarmModel::AcknowledgedRole).toBool()
                              ? " (acknowledged)"
                              : "");
        }
        return items.join(" | ");
    }

    qint64 now = kT0;
    QHash<QString, qint64> readingSeq;
    QHash<QString, qint64> eventSeq;
    QStringList complaints;
    QPair<QString, qint64> picked;
    CFleetModel model;
};

} // namespace

class TestFleetModel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void states_data();
    void states();
    void sharedStates_data();
    void sharedStates();
    void alarms_data();
    void alarms();
    void notes_data();
    void notes();
    void badInput_data();
    void badInput();
    void generatorBound();
    void summary();
    void description();
};

void TestFleetModel::initTestCase()
{
    // The clock texts below are this computer's local time: pinned to UTC.
    qputenv("TZ", "UTC");
    tzset();
}

void TestFleetModel::states_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("tile");

    QTest::newRow("no status, unknown") << "r; on"
                                        << "gen1: Unknown";
    QTest::newRow("a status word not in the list") << "status ONLINE; r"
                                                   << "gen1: Unknown";
    QTest::newRow("online, no reading yet") << "status online; +1000"
                                            << "gen1: Unknown";
    QTest::newRow("ready") << "status online; r"
                           << "gen1: Ready";
    QTest::newRow("x-rays on by reading") << "status online; rx"
                                          << "gen1: X-rays on";
    QTest::newRow("x-rays on by event") << "status online; r; on"
                                        << "gen1: X-rays on";
    QTest::newRow("x-rays off again") << "status online; on; rx; off; +200; r"
                                      << "gen1: Ready";
    QTest::newRow("a later reading says off") << "status online; on; +200; r"
                                              << "gen1: Ready";
    QTest::newRow("fault") << "status online; rf"
                           << "gen1: Fault";
    QTest::newRow("fault above offline") << "status online; rf; status offline"
                                         << "gen1: Fault";
    QTest::newRow("fault cleared") << "status online; rf; +200; r"
                                   << "gen1: Ready";
    QTest::newRow("the fault flag over a No Error text") << "status online; rfault"
                                                         << "gen1: Fault";
    QTest::newRow("no fault flag over an error text") << "status online; rnofault"
                                                      << "gen1: Ready";
    QTest::newRow("not responding") << "status online; r; status not responding"
                                    << "gen1: Not responding";
    QTest::newRow("offline") << "status online; r; status offline"
                             << "gen1: Offline";
    QTest::newRow("offline with x-rays on") << "status online; rx; status offline"
                                            << "gen1: Contact lost, X-rays may be on";
    QTest::newRow("not responding with x-rays on by event")
        << "status online; r; on; status not responding"
        << "gen1: Contact lost, X-rays may be on";
    QTest::newRow("not responding with x-rays on by reading")
        << "status online; rx; status not responding"
        << "gen1: Contact lost, X-rays may be on";
    QTest::newRow("x-ray off unanswered, then offline")
        << "status online; r; on; offu; status offline"
        << "gen1: Contact lost, X-rays may be on";
    QTest::newRow("stop does not end x-rays") << "status online; rx; stop; status offline"
                                              << "gen1: Contact lost, X-rays may be on";
    QTest::newRow("x-ray off answered, then offline") << "status online; r; on; off; status offline"
                                                      << "gen1: Offline";
    QTest::newRow("not stale at 1 s") << "status online; r; +1000"
                                      << "gen1: Ready";
    QTest::newRow("stale past 1 s") << "status online; r; +1001"
                                    << "gen1: Stale";
    QTest::newRow("stale with x-rays on") << "status online; rx; +1500"
                                          << "gen1: Contact lost, X-rays may be on";
    QTest::newRow("three periods of a slow console") << "info 1000; status online; r; +2500"
                                                     << "gen1: Ready";
    QTest::newRow("stale after three slow periods") << "info 1000; status online; r; +3001"
                                                    << "gen1: Stale";
    QTest::newRow("online without any reading") << "status online; +1500"
                                                << "gen1: Stale";
    QTest::newRow("readings again") << "status online; r; +5000; r"
                                    << "gen1: Ready";
    QTest::newRow("a retained old reading is stale") << "rstatus online; rold"
                                                     << "gen1: Stale";
    QTest::newRow("broker lost") << "status online; rx; lost"
                                 << "gen1: Unknown";
    QTest::newRow("broker back, before the status") << "status online; r; lost; +5000; back"
                                                    << "gen1: Unknown";
    QTest::newRow("broker back, status refreshed")
        << "status online; r; lost; +5000; back; status online; r"
        << "gen1: Ready";
    QTest::newRow("a deeper prefix is a generator of its own")
        << "building2/gen3:status online; building2/gen3:r; gen1:status offline"
        << "building2/gen3: Ready";
    QTest::newRow("a deeper topic is not a subtopic")
        << "status online; r; gen1/reading/extra:status offline"
        << "gen1: Ready";
}

void TestFleetModel::states()
{
    QFETCH(QString, script);
    QFETCH(QString, tile);
    CRig rig;
    rig.Run(script);
    QCOMPARE(rig.Tile(tile.startsWith("building2") ? "building2/gen3" : "gen1"), tile);
}

// The latch: an alarm stays until it has been both acknowledged and its
// condition has ended, in either order; unacknowledged ones come first.
void TestFleetModel::sharedStates_data()
{
    QTest::addColumn<testing::FleetStateRow>("row");
    for (const testing::FleetStateRow& row : testing::FleetStateRows())
        QTest::newRow(row.tag) << row;
}

// As the live page's test publishes them, to a watcher already subscribed: the
// broker hands even the retained ones on as live messages then.
void TestFleetModel::sharedStates()
{
    QFETCH(testing::FleetStateRow, row);
    CRig rig;
    for (const testing::ConsoleMessage& m : row.messages)
        rig.model.OnMessage(
            {"lab/" + row.name + "/" + m.subtopic, m.payload, false, false, rig.now});
    rig.now += row.quietMs;
    rig.model.Refresh();
    QCOMPARE(rig.Tile(row.name), row.name + ": " + row.word);
}

void TestFleetModel::alarms_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("list");

    QTest::newRow("ready raises none") << "status online; r; on"
                                       << "";
    QTest::newRow("offline raises one") << "status online; r; status offline"
                                        << "gen1: Offline";
    QTest::newRow("ended, not acknowledged: stays")
        << "status online; r; status offline; +100; status online; r"
        << "gen1: Offline";
    QTest::newRow("acknowledged, still so: stays") << "status online; r; status offline; ack gen1"
                                                   << "gen1: Offline (acknowledged)";
    QTest::newRow("acknowledged then ended: gone")
        << "status online; r; status offline; ack gen1; status online; r"
        << "";
    QTest::newRow("ended then acknowledged: gone")
        << "status online; r; status offline; status online; r; ack gen1"
        << "";
    QTest::newRow("worse again after acknowledging")
        << "status online; rx; +1500; ack gen1; status offline"
        << "gen1: Contact lost, X-rays may be on (acknowledged)";
    QTest::newRow("escalation needs a new acknowledgement")
        << "status online; r; +1500; ack gen1; rf"
        << "gen1: Fault";
    QTest::newRow("acknowledging the raise picked")
        << "status online; r; +1500; pick gen1; ackpicked"
        << "gen1: Stale (acknowledged)";
    QTest::newRow("picked before it got worse: not acknowledged")
        << "status online; r; +1500; pick gen1; rf; ackpicked"
        << "gen1: Fault";
    QTest::newRow("back after it ended, unacknowledged again")
        << "status online; r; status offline; status online; r; status offline"
        << "gen1: Offline";
    QTest::newRow("unacknowledged first")
        << "gen1:status online; gen1:r; gen1:status offline; ack gen1; +1000;"
           "gen2:status online; gen2:rf"
        << "gen2: Fault | gen1: Offline (acknowledged)";
    QTest::newRow("acknowledge all")
        << "gen1:status online; gen1:status offline; gen2:status online; gen2:rf; gen2:+10; "
           "gen2:r; ackall"
        << "gen1: Offline (acknowledged)";
    QTest::newRow("the broker lost changes none")
        << "status online; r; status offline; lost; +60000"
        << "gen1: Offline";
}

void TestFleetModel::alarms()
{
    QFETCH(QString, script);
    QFETCH(QString, list);
    CRig rig;
    rig.Run(script);
    QCOMPARE(rig.AlarmList(), list);
}

void TestFleetModel::notes_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("notes");
    QTest::addColumn<QString>("kv"); // the first read-out line

    QTest::newRow("nothing to note") << "status online; r" << QStringList() << "080.5 kV";
    QTest::newRow("age after 1 s")
        << "status online; r; +1500" << QStringList() << "080.5 kV (1 s old)";
    QTest::newRow("a retained reading with its age")
        << "status online; rold" << QStringList() << "080.5 kV (10 s old)";
    QTest::newRow("events in sequence miss none")
        << "status online; on; off; on; off" << QStringList{"waiting for its first reading"} << "";
    QTest::newRow("the broker lost")
        << "status online; r; +2000; lost; +150000"
        << QStringList{"no contact with the broker since 06:22:49"} << "080.5 kV (2 min old)";
    QTest::newRow("a status word not in the list")
        << "status ONLINE; status Online"
        << QStringList{"waiting for its status", "2 unreadable messages"} << "";
    QTest::newRow("online, no reading yet")
        << "status online" << QStringList{"waiting for its first reading"} << "";
}

void TestFleetModel::notes()
{
    QFETCH(QString, script);
    QFETCH(QStringList, notes);
    QFETCH(QString, kv);
    CRig rig;
    rig.Run(script);
    QCOMPARE(rig.Notes(), notes);
    const QStringList readouts =
        rig.model.data(rig.model.index(0), CFleetModel::ReadoutsRole).toStringList();
    QCOMPARE(readouts.value(0), kv);
}

// What the broker may carry that no console sent: counted on the tile, said
// once on standard error, never a crash or a state made up from it.
void TestFleetModel::badInput_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("unreadable");
    QTest::addColumn<QString>("complaint"); // empty: none

    QTest::newRow("not JSON") << "gen1/reading" << QByteArray("080.5") << 1
                              << "ondrel-fleet: gen1/reading: unreadable: the reading is not JSON";
    QTest::newRow("wrong shape")
        << "gen1/reading" << QByteArray("{\"time\":1}") << 1
        << "ondrel-fleet: gen1/reading: unreadable: the reading has no text \"time\"";
    QTest::newRow("not UTF-8 status")
        << "gen1/status" << QByteArray("onl\xffne") << 1
        << "ondrel-fleet: gen1/status: unreadable: a status that is not online, not responding "
           "or offline";
    QTest::newRow("a status word not in the list")
        << "gen1/status" << QByteArray("ONLINE") << 1
        << "ondrel-fleet: gen1/status: unreadable: a status that is not online, not responding "
           "or offline";
    QTest::newRow("a version not UTF-8")
        << "gen1/version" << QByteArray("\xc3\x28") << 1
        << "ondrel-fleet: gen1/version: unreadable: a version that is not UTF-8 text";
    QTest::newRow("an event of no kind")
        << "gen1/event" << QByteArray("{\"time\":\"2026-12-08T06:22:47.123Z\",\"event\":\"boom\"}")
        << 1
        << "ondrel-fleet: gen1/event: unreadable: the event \"boom\" is not one a console sends";
    QTest::newRow("an unknown subtopic") << "gen1/colour" << QByteArray("red") << 0 << "";
    QTest::newRow("the root's own status") << "status" << QByteArray("online") << 0 << "";
}

void TestFleetModel::badInput()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(int, unreadable);
    QFETCH(QString, complaint);
    CRig rig;
    rig.Run("status online; r");
    for (int i = 0; i < 3; ++i)
        rig.Send(topic, payload);
    QCOMPARE(rig.model.rowCount(), 1);
    QCOMPARE(rig.Tile(), "gen1: Ready");
    QCOMPARE(rig.model.At(0).unreadable, 3 * unreadable);
    if (unreadable > 0)
        QCOMPARE(rig.Notes(),
                 QStringList{QStringLiteral("%1 unreadable messages").arg(3 * unreadable)});
    QCOMPARE(rig.complaints.size(), complaint.isEmpty() ? 0 : 1);
    if (!complaint.isEmpty())
        QVERIFY2(rig.complaints[0].startsWith(complaint), qPrintable(rig.complaints[0]));

    // Over 1 MiB: counted without being read.
    rig.model.OnMessage({"lab/gen1/reading", QByteArray(), false, true, rig.now});
    QCOMPARE(rig.model.At(0).unreadable, 3 * unreadable + 1);
}

void TestFleetModel::generatorBound()
{
    CRig rig;
    QList<FleetMessage> batch;
    for (int i = 0; i < 10000; ++i)
        batch.append({QStringLiteral("lab/g%1/status").arg(i), "online", true, false, rig.now});
    // Prefixes that never say their status are held to the bound as well.
    for (int i = 0; i < 10000; ++i)
        batch.append({QStringLiteral("lab/junk%1/reading").arg(i), "x", false, false, rig.now});
    rig.model.OnMessages(batch);
    QCOMPARE(rig.model.rowCount(), 5000);
    QCOMPARE(rig.model.Summary(),
             "5000 generators: 5000 unknown; only the first 5,000 generators are shown");
}

void TestFleetModel::summary()
{
    CRig rig;
    // 12 generators: 2 X-rays on, 1 fault, 1 offline, the rest ready.
    QString script;
    for (int i = 1; i <= 12; ++i)
        script += QStringLiteral("g%1:status online; g%1:r;").arg(i);
    script += "g1:on; g2:rx; g3:rf; g4:status offline; g5:status offline; g5:status online; g5:r";
    rig.Run(script);
    QCOMPARE(rig.model.Summary(),
             "12 generators: 2 X-rays on, 1 fault, 1 offline; 3 alarms unacknowledged");
    rig.Run("ack g3");
    QCOMPARE(rig.model.Summary(),
             "12 generators: 2 X-rays on, 1 fault, 1 offline; 2 alarms unacknowledged");
    rig.Run("+500; lost");
    QCOMPARE(rig.model.Summary(), "12 generators: 12 unknown; 2 alarms unacknowledged; no "
                                  "contact with the broker since 06:22:47");
}

void TestFleetModel::description()
{
    CRig rig;
    rig.Run("info 200; status online; rx; on; +3000");
    rig.Send("gen1/version", "2000");
    rig.Send("gen1/event", rig.Event("xray-on", 5)); // 2 to 4 never came
    // A console 5 s ahead of this computer.
    rig.Send("gen1/reading", rig.Reading(rig.now + 5000, "No Error", true, 2));
    QCOMPARE(rig.Tile(), "gen1: X-rays on");
    QCOMPARE(rig.Notes(), (QStringList{"clock off by 5 s", "3 events missed"}));
    QCOMPARE(rig.model.data(rig.model.index(0), Qt::AccessibleDescriptionRole).toString(),
             "080.5 kV, 1100 µA, 025.0 °C; firmware 2000; X-ray time 1.5 s; last heard "
             "06:22:50; clock off by 5 s; 3 events missed; events: 06:22:50 xray-on, 06:22:47 "
             "xray-on");
}

QTEST_GUILESS_MAIN(TestFleetModel)
#include "tst_fleetmodel.moc"
