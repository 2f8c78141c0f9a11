// The trend's model without any drawing: the ring's bound, a clock that steps
// back, and the X-ray spans and markers an event sequence leaves.
#include "trendmodel.h"

#include <QTest>

using namespace ondrel;

namespace {

const QDateTime kT0 = QDateTime(QDate(2026, 12, 8), QTime(6, 0), Qt::UTC);

Reading ReadingAt(qint64 msecs, const QString& kilovolts = QStringLiteral("080.5"))
{
    return Reading::FromForm(kT0.addMSecs(msecs), kilovolts, QStringLiteral("1100"),
                             QStringLiteral("035.0"), QStringLiteral("No faults"), "000");
}

} // namespace

class TestTrendModel : public QObject
{
    Q_OBJECT
private slots:
    void ringBound_data();
    void ringBound();
    void clockSteps_data();
    void clockSteps();
    void spansAndMarkers_data();
    void spansAndMarkers();
};

void TestTrendModel::ringBound_data()
{
    QTest::addColumn<int>("periodMs");
    QTest::addColumn<int>("readings");
    QTest::addColumn<int>("kept");
    QTest::newRow("a poll's pace, ten minutes") << 200 << 3000 << 3000;
    QTest::newRow("a poll's pace, two hours: the last hour") << 200 << 36000 << 18001;
    QTest::newRow("far faster than a poll: the count's cap")
        << 10 << 40000 << int(CTrendModel::kMaxSamples);
}

void TestTrendModel::ringBound()
{
    QFETCH(int, periodMs);
    QFETCH(int, readings);
    QFETCH(int, kept);
    CTrendModel model;
    for (int i = 0; i < readings; ++i)
        model.AddReading(ReadingAt(qint64(i) * periodMs));
    QCOMPARE(int(model.Samples().size()), kept);
    const qint64 last = qint64(readings - 1) * periodMs;
    QCOMPARE(model.Samples().back().msecs, kT0.toMSecsSinceEpoch() + last);
    QVERIFY(model.Samples().front().msecs >= kT0.toMSecsSinceEpoch() + last - 3600 * 1000);
}

void TestTrendModel::clockSteps_data()
{
    QTest::addColumn<QList<int>>("offsets"); // ms after kT0, as the readings say
    QTest::addColumn<QList<int>>("stored");
    QTest::newRow("in order") << QList<int>{0, 200, 400} << QList<int>{0, 200, 400};
    QTest::newRow("a nudge back: no time passes")
        << QList<int>{0, 400, 300, 600} << QList<int>{0, 400, 400, 600};
    QTest::newRow("a step back: afresh")
        << QList<int>{0, 5000, 1000, 1200} << QList<int>{1000, 1200};
}

void TestTrendModel::clockSteps()
{
    QFETCH(QList<int>, offsets);
    QFETCH(QList<int>, stored);
    CTrendModel model;
    for (int offset : offsets)
        model.AddReading(ReadingAt(offset));
    QList<int> got;
    for (const CTrendModel::Sample& sample : model.Samples())
        got << int(sample.msecs - kT0.toMSecsSinceEpoch());
    QCOMPARE(got, stored);
}

void TestTrendModel::spansAndMarkers_data()
{
    // Events as "kind@seconds[:detail]", readings as "r@seconds".
    QTest::addColumn<QStringList>("sequence");
    QTest::addColumn<QString>("spans");   // "begin-end" in seconds, "begin-" while on
    QTest::addColumn<QString>("markers"); // "seconds label"
    QTest::addColumn<QString>("stopped"); // the last reading's time, or "-"
    QTest::newRow("on and off") << QStringList{"xray-on@10", "xray-off@70"} << "10-70"
                                << ""
                                << "-";
    QTest::newRow("still on") << QStringList{"xray-on@10", "xray-on@20"} << "10-"
                              << ""
                              << "-";
    QTest::newRow("an unanswered off is no end")
        << QStringList{"xray-on@10", "xray-off-unanswered@20", "xray-off@70"} << "10-70"
        << ""
        << "-";
    QTest::newRow("off without on") << QStringList{"xray-off@5"} << ""
                                    << ""
                                    << "-";
    QTest::newRow("two exposures")
        << QStringList{"xray-on@1", "xray-off@2", "xray-on@3", "stop@4"} << "1-2,3-4"
        << ""
        << "-";
    QTest::newRow("a restart ends an exposure")
        << QStringList{"xray-on@1", "start@9", "version@9"} << "1-9"
        << ""
        << "-";
    QTest::newRow("command time-out") << QStringList{"xray-on@10", "timeout@14:XRAY ON"} << "10-"
                                      << "14 Time-out: XRAY ON"
                                      << "-";
    QTest::newRow("readings stop")
        << QStringList{"r@1", "r@2", "timeout@6:STATUS", "readings-stopped@6"} << ""
        << "6 Time-out: STATUS|6 Readings stopped"
        << "2";
    QTest::newRow("readings come again")
        << QStringList{"r@1", "readings-stopped@5", "start@20", "r@21"} << ""
        << "5 Readings stopped"
        << "-";
    QTest::newRow("an hour later the first marks are gone")
        << QStringList{"xray-on@1", "xray-off@2", "timeout@3", "xray-on@3700", "timeout@3701"}
        << "3700-"
        << "3701 Time-out"
        << "-";
}

void TestTrendModel::spansAndMarkers()
{
    QFETCH(QStringList, sequence);
    QFETCH(QString, spans);
    QFETCH(QString, markers);
    QFETCH(QString, stopped);
    const QMap<QString, EventKind> kinds{
        {"start", EventKind::Start},     {"version", EventKind::Version},
        {"xray-on", EventKind::XrayOn},  {"xray-off", EventKind::XrayOff},
        {"timeout", EventKind::Timeout}, {"readings-stopped", EventKind::ReadingsStopped},
        {"stop", EventKind::Stop},       {"xray-off-unanswered", EventKind::XrayOffUnanswered},
    };
    const qint64 t0 = kT0.toMSecsSinceEpoch();
    auto seconds = [t0](qint64 msecs) { return QString::number((msecs - t0) / 1000); };

    CTrendModel model;
    for (const QString& step : sequence) {
        const QString name = step.section('@', 0, 0);
        const QString when = step.section('@', 1).section(':', 0, 0);
        const QString detail = step.section('@', 1).section(':', 1);
        const qint64 msecs = when.toLongLong() * 1000;
        if (name == QLatin1String("r")) {
            model.AddReading(ReadingAt(msecs));
            continue;
        }
        QVERIFY2(kinds.contains(name), qPrintable(step));
        model.AddEvent({kT0.addMSecs(msecs), kinds.value(name), detail});
    }

    QStringList gotSpans;
    for (const CTrendModel::Span& span : model.XraySpans())
        gotSpans << seconds(span.begin) + '-' + (span.end ? seconds(*span.end) : QString());
    QCOMPARE(gotSpans.join(','), spans);
    QStringList gotMarkers;
    for (const CTrendModel::Marker& marker : model.Markers())
        gotMarkers << seconds(marker.msecs) + ' ' + marker.label;
    QCOMPARE(gotMarkers.join('|'), markers);
    const QString expectStopped =
        stopped == QLatin1String("-")
            ? QString()
            : QStringLiteral("No readings since ") +
                  kT0.addSecs(stopped.toInt()).toLocalTime().toString(QStringLiteral("HH:mm:ss"));
    QCOMPARE(model.StoppedText(), expectStopped);
}

QTEST_GUILESS_MAIN(TestTrendModel)
#include "tst_trendmodel.moc"
