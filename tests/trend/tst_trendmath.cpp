// The trend's arithmetic without a chart: which readings a line keeps when there
// are more than pixel columns, where lines break, and the value axis around them.
#include "trendmath.h"

#include <QTest>

using namespace ondrel;

namespace {

// Ten columns of 100 ms each.
constexpr qint64 kBegin = 0;
constexpr qint64 kEnd = 1000;
constexpr double kColumns = 10;

// "0:5 100:- |200:3": kV readings at msecs 0 and 200, none at 100; the bar keeps
// the line from joining 200 to what came before.
std::deque<CTrendModel::Sample> Samples(const QString& spec)
{
    std::deque<CTrendModel::Sample> samples;
    for (QString token : spec.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        CTrendModel::Sample sample;
        if (token.startsWith(QLatin1Char('|'))) {
            sample.breakBefore = true;
            token.remove(0, 1);
        }
        const QStringList parts = token.split(QLatin1Char(':'));
        sample.msecs = parts[0].toLongLong();
        if (parts[1] != QLatin1String("-"))
            sample.value[CTrendModel::Kilovolts] = parts[1].toDouble();
        samples.push_back(sample);
    }
    return samples;
}

// The runs as "x:y x:y / x:y".
QString RunsText(const std::vector<QList<QPointF>>& runs)
{
    QStringList texts;
    for (const QList<QPointF>& run : runs) {
        QStringList points;
        for (const QPointF& point : run)
            points << QStringLiteral("%1:%2").arg(point.x()).arg(point.y());
        texts << points.join(QLatin1Char(' '));
    }
    return texts.join(QLatin1String(" / "));
}

} // namespace

class TestTrendMath : public QObject
{
    Q_OBJECT
private slots:
    void thinning_data();
    void thinning();
    void valueAxis_data();
    void valueAxis();
};

void TestTrendMath::thinning_data()
{
    QTest::addColumn<QString>("samples");
    QTest::addColumn<QString>("runs");
    QTest::newRow("nothing") << ""
                             << "";
    QTest::newRow("a lone reading") << "500:3"
                                    << "500:3";
    QTest::newRow("one a column: all kept") << "0:1 100:2 200:3"
                                            << "0:1 100:2 200:3";
    QTest::newRow("a column keeps its high and low in time order")
        << "0:5 110:4 120:9 130:1 140:6 150:7 250:5"
        << "0:5 120:9 130:1 250:5";
    QTest::newRow("the run's first and last kept, extremes or not")
        << "0:5 10:1 20:9 250:5 260:2 270:3"
        << "0:5 10:1 20:9 250:5 260:2 270:3";
    QTest::newRow("a flat column: one point") << "0:1 110:3 120:3 130:3 250:3"
                                              << "0:1 110:3 250:3";
    QTest::newRow("a missing reading breaks the line") << "0:1 100:2 200:- 300:3 400:4"
                                                       << "0:1 100:2 / 300:3 400:4";
    QTest::newRow("a marked break") << "0:1 100:2 |300:3"
                                    << "0:1 100:2 / 300:3";
    QTest::newRow("a lone reading between gaps") << "0:1 100:- 200:2 300:- 400:3"
                                                 << "0:1 / 200:2 / 400:3";
    QTest::newRow("before the axis begins: left out") << "-200:7 -100:8 0:1 100:2"
                                                      << "0:1 100:2";
    QTest::newRow("nothing but gaps") << "0:- 100:-"
                                      << "";
}

void TestTrendMath::thinning()
{
    QFETCH(QString, samples);
    const TrendLines lines =
        LinesOf(Samples(samples), CTrendModel::Kilovolts, kBegin, kEnd, kColumns);
    QTEST(RunsText(lines.runs), "runs");
    // The other quantities have no readings here.
    QVERIFY(LinesOf(Samples(samples), CTrendModel::Microamps, kBegin, kEnd, kColumns).runs.empty());
}

void TestTrendMath::valueAxis_data()
{
    QTest::addColumn<QString>("samples");
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<int>("ticks");
    QTest::newRow("nothing to show") << "" << 0.0 << 1.5 << 4;
    QTest::newRow("one value: 5 % around it") << "0:80.5 100:80.5" << 75.0 << 85.0 << 5;
    QTest::newRow("zero alone: a unit above") << "0:0" << 0.0 << 1.0 << 5;
    QTest::newRow("a tenth of the span around it") << "0:10 100:20" << 5.0 << 25.0 << 5;
    QTest::newRow("never below zero for positive read-outs") << "0:2 100:10" << 0.0 << 12.5 << 6;
    QTest::newRow("a step of 50") << "0:0.5 100:100" << 0.0 << 150.0 << 4;
    QTest::newRow("below zero when a read-out is") << "0:-5 100:5" << -10.0 << 10.0 << 5;
    QTest::newRow("readings before the axis do not count")
        << "-100:50 0:10 100:20" << 5.0 << 25.0 << 5;
    QTest::newRow("across a break") << "0:10 |500:20" << 5.0 << 25.0 << 5;
}

void TestTrendMath::valueAxis()
{
    QFETCH(QString, samples);
    const AxisRange range =
        LinesOf(Samples(samples), CTrendModel::Kilovolts, kBegin, kEnd, kColumns).values;
    QTEST(range.from, "from");
    QTEST(range.to, "to");
    QTEST(range.ticks, "ticks");
}

QTEST_APPLESS_MAIN(TestTrendMath)
#include "tst_trendmath.moc"
