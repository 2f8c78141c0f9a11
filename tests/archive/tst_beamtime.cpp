// Beam time per local calendar period in Europe/Berlin, across the changes to
// and from summer time in 2026: the periods are the zone's, and they add up to
// the total to the millisecond.
#include "beamtime.h"
#include "csv.h"

#include <QtTest>

using namespace ondrel::archive;

class TestBeamTime : public QObject
{
    Q_OBJECT
private slots:
    void split_data();
    void split();
};

namespace {
QDateTime Utc(const QString& iso)
{
    return QDateTime::fromString(iso, Qt::ISODate).toUTC();
}
} // namespace

void TestBeamTime::split_data()
{
    QTest::addColumn<QString>("period");
    QTest::addColumn<QStringList>("spans"); // "FROM TO" in UTC, generator gen1
    QTest::addColumn<QStringList>("csv");   // without the header

    QTest::newRow("a 23-hour day")
        << "day" << QStringList{"2026-03-28T20:00:00Z 2026-03-30T01:00:00Z"}
        << QStringList{
               "gen1,2026-03-28,2026-03-28T00:00:00+01:00,2026-03-29T00:00:00+01:00,10800.000",
               "gen1,2026-03-29,2026-03-29T00:00:00+01:00,2026-03-30T00:00:00+02:00,82800.000",
               "gen1,2026-03-30,2026-03-30T00:00:00+02:00,2026-03-31T00:00:00+02:00,10800.000",
               "gen1,total,2026-03-01T01:00:01+01:00,2026-11-01T01:00:01+01:00,104400.000"};
    QTest::newRow("a 25-hour day, two spans in it")
        << "day"
        << QStringList{"2026-10-24T21:00:00Z 2026-10-25T00:00:00.250Z",
                       "2026-10-25T00:00:00.250Z 2026-10-26T00:00:00Z"}
        << QStringList{
               "gen1,2026-10-24,2026-10-24T00:00:00+02:00,2026-10-25T00:00:00+02:00,3600.000",
               "gen1,2026-10-25,2026-10-25T00:00:00+02:00,2026-10-26T00:00:00+01:00,90000.000",
               "gen1,2026-10-26,2026-10-26T00:00:00+01:00,2026-10-27T00:00:00+01:00,3600.000",
               "gen1,total,2026-03-01T01:00:01+01:00,2026-11-01T01:00:01+01:00,97200.000"};
    QTest::newRow("the week of the spring change is 167 hours")
        << "week" << QStringList{"2026-03-22T23:00:00Z 2026-03-29T22:00:00Z"}
        << QStringList{
               "gen1,2026-W13,2026-03-23T00:00:00+01:00,2026-03-30T00:00:00+02:00,601200.000",
               "gen1,total,2026-03-01T01:00:01+01:00,2026-11-01T01:00:01+01:00,601200.000"};
    QTest::newRow("months, clipped to the range")
        << "month"
        << QStringList{"2026-02-27T12:00:00Z 2026-03-01T00:00:01.5Z",
                       "2026-10-31T22:59:59Z 2026-11-02T00:00:00Z"}
        << QStringList{"gen1,2026-03,2026-03-01T00:00:00+01:00,2026-04-01T00:00:00+02:00,0.500",
                       "gen1,2026-10,2026-10-01T00:00:00+02:00,2026-11-01T00:00:00+01:00,1.000",
                       "gen1,2026-11,2026-11-01T00:00:00+01:00,2026-12-01T00:00:00+01:00,3601.000",
                       "gen1,total,2026-03-01T01:00:01+01:00,2026-11-01T01:00:01+01:00,3602.500"};
}

void TestBeamTime::split()
{
    QFETCH(QString, period);
    QFETCH(QStringList, spans);
    QFETCH(QStringList, csv);
    std::vector<BeamSpan> counted;
    for (const QString& span : spans)
        counted.push_back({"gen1", Utc(span.section(' ', 0, 0)), Utc(span.section(' ', 1, 1))});
    const QTimeZone berlin("Europe/Berlin");
    QVERIFY(berlin.isValid());
    const BeamTime got =
        SplitBeamTime(counted, *PeriodFromName(period), Utc("2026-03-01T00:00:01Z"),
                      Utc("2026-11-01T00:00:01Z"), berlin);
    QStringList lines = QString::fromUtf8(BeamTimeCsv(got)).split("\r\n");
    QCOMPARE(lines.takeFirst(), "generator,period,start,end,beam_s");
    QCOMPARE(lines.takeLast(), "");
    QCOMPARE(lines, csv);
}

QTEST_GUILESS_MAIN(TestBeamTime)
#include "tst_beamtime.moc"
