// The exposure-interval rule over scripted message sequences: one console's
// events, readings, status words and info, as a store would receive them.
#include "exposure.h"
#include "labscript.h"

#include <QtTest>

using namespace ondrel;
using namespace ondrel::lab;

class TestExposure : public QObject
{
    Q_OBJECT
private slots:
    void intervals_data();
    void intervals();
    void setPoint_data();
    void setPoint();
};

namespace {

QString Clock(const QDateTime& time)
{
    return time.isValid() ? time.toString(QStringLiteral("HH:mm:ss")) : QStringLiteral("?");
}

QString Number(const std::optional<double>& value)
{
    return value ? QString::number(*value) : QStringLiteral("-");
}

QString Describe(const IntervalChange& change)
{
    const ExposureInterval& i = change.interval;
    QString text = ChangeKindName(change.kind) + QLatin1Char(' ') + Clock(i.start);
    if (i.endState == EndState::Closed)
        text += QStringLiteral(" to %1").arg(Clock(i.latestEnd));
    else if (i.endState == EndState::Uncertain)
        text += QStringLiteral(" to [%1, %2]").arg(Clock(i.earliestEnd), Clock(i.latestEnd));
    if (!i.endReason.isEmpty())
        text += QStringLiteral(" (%1)").arg(i.endReason);
    if (change.kind == IntervalChange::Kind::Opened)
        text += QStringLiteral(" by %1 at %2 kV %3 µA")
                    .arg(i.user, Number(i.setKilovolts), Number(i.setMicroamps));
    if (change.kind == IntervalChange::Kind::Closed)
        text += QStringLiteral(" measured %1/%2 kV %3/%4 µA")
                    .arg(Number(i.kilovolts.Mean()), Number(i.kilovolts.Max()),
                         Number(i.microamps.Mean()), Number(i.microamps.Max()));
    return text;
}

CExposureTracker::Changes Feed(CExposureTracker& tracker, const QString& line)
{
    const QString gen = QStringLiteral("lab/gen1");
    const test::ScriptMessage m = test::ScriptLine(line);
    QString why;
    if (m.subtopic == QLatin1String("event")) {
        std::optional<qint64> seq;
        return tracker.OnEvent(gen, *EventFromJson(m.payload, &why, &seq), seq);
    }
    if (m.subtopic == QLatin1String("reading")) {
        ReadCounters counters;
        const std::optional<Reading> r = ReadingFromJson(m.payload, &why, &counters);
        return tracker.OnReading(gen, *r, counters);
    }
    if (m.subtopic == QLatin1String("status"))
        return tracker.OnStatus(gen, *StatusFromPayload(m.payload), m.time);
    return tracker.OnInfo(gen, *InfoFromJson(m.payload, &why));
}

} // namespace

void TestExposure::intervals_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("changes");

    const QString info = QStringLiteral("09:00:00 info 09:00:00 ops");
    const QString on = QStringLiteral("10:00:01 event xray-on 3 VP0805 CP1100 ENBL1");
    const QString opened = QStringLiteral("opened 10:00:01 by ops at 80.5 kV 1100 µA");

    QTest::newRow("confirmed off")
        << QStringList{info, on, "10:00:02 reading 080.0 1090 on", "10:00:03 reading 080.5 1100 on",
                       "10:00:04 event xray-off 4"}
        << QStringList{
               opened,
               "closed 10:00:01 to 10:00:04 (xray-off) measured 80.25/80.5 kV 1095/1100 µA"};
    QTest::newRow("unanswered off, then answered off")
        << QStringList{info, on, "10:00:05 event xray-off-unanswered 4 ENBL0",
                       "10:00:08 event xray-off 5"}
        << QStringList{opened, "closed 10:00:01 to 10:00:08 (xray-off) measured -/- kV -/- µA"};
    QTest::newRow("unanswered off, then offline")
        << QStringList{info, on, "10:00:05 event xray-off-unanswered 4 ENBL0",
                       "10:00:06 reading 080.5 1100 on", "10:00:20 status offline"}
        << QStringList{opened, "uncertain 10:00:01 to [10:00:06, ?] (offline)"};
    QTest::newRow("stop with X-rays on")
        << QStringList{info, on, "10:00:02 reading 080.5 1100 on", "10:00:03 event stop 4"}
        << QStringList{opened, "uncertain 10:00:01 to [10:00:02, ?] (stop)"};
    QTest::newRow("restart while on, then the beam seen off")
        << QStringList{info, on, "10:00:02 reading 080.5 1100 on", "10:00:30 info 10:00:29 ops",
                       "10:00:31 reading 000.0 0000 off"}
        << QStringList{opened, "uncertain 10:00:01 to [10:00:02, ?] (restart)",
                       "end-resolved 10:00:01 to [10:00:02, 10:00:31] (restart)"};
    QTest::newRow("offline, high voltage still seen, then kV 0")
        << QStringList{info,
                       on,
                       "10:00:02 reading 080.5 1100 on",
                       "10:00:10 status offline",
                       "10:00:15 reading 080.5 1100 off",
                       "10:00:16 reading 000.0 0000 off",
                       "10:00:17 reading 000.0 0000 off"}
        << QStringList{opened, "uncertain 10:00:01 to [10:00:02, ?] (offline)",
                       "earliest-end-moved 10:00:01 to [10:00:15, ?] (offline)",
                       "end-resolved 10:00:01 to [10:00:15, 10:00:16] (offline)"};
    QTest::newRow("not responding, then answered off")
        << QStringList{info, on, "10:00:03 status not responding", "10:00:09 event xray-off 4"}
        << QStringList{opened, "closed 10:00:01 to 10:00:09 (xray-off) measured -/- kV -/- µA"};
    QTest::newRow("a second xray-on and a repeated one open nothing")
        << QStringList{info, on, "10:00:02 event xray-on 4 VP0805 CP1100 ENBL1",
                       "10:00:03 event xray-off 5", on}
        << QStringList{opened, "closed 10:00:01 to 10:00:03 (xray-off) measured -/- kV -/- µA"};
    QTest::newRow("no info yet: no user, and offline with nothing open")
        << QStringList{"09:59:00 status offline", "10:00:01 event xray-on 3 VP0000",
                       "10:00:02 event xray-off 4"}
        << QStringList{"opened 10:00:01 by  at 0 kV - µA",
                       "closed 10:00:01 to 10:00:02 (xray-off) measured -/- kV -/- µA"};
}

void TestExposure::intervals()
{
    QFETCH(QStringList, script);
    QFETCH(QStringList, changes);
    CExposureTracker tracker;
    QStringList got;
    for (const QString& line : script) {
        for (const IntervalChange& change : Feed(tracker, line))
            got << Describe(change);
    }
    QCOMPARE(got, changes);
}

void TestExposure::setPoint_data()
{
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("set");
    QTest::newRow("both") << "VP0805 CP1100 ENBL1"
                          << "80.5 1100";
    QTest::newRow("zero") << "VP0000 CP0000 ENBL1"
                          << "0 0";
    QTest::newRow("with a note") << "VP0805 CP1100 ENBL1; unanswered ENBL1"
                                 << "80.5 1100";
    QTest::newRow("garbled") << "VP08x5 CP11000"
                             << "- -";
    QTest::newRow("empty") << ""
                           << "- -";
}

void TestExposure::setPoint()
{
    QFETCH(QString, detail);
    QFETCH(QString, set);
    const SetPoint got = SetPointFromDetail(detail);
    QCOMPARE(Number(got.kilovolts) + QLatin1Char(' ') + Number(got.microamps), set);
}

QTEST_GUILESS_MAIN(TestExposure)
#include "tst_exposure.moc"
