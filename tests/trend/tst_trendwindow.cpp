// The trend window in the running shell: gaps, no drawing while hidden, Save
// Image, and View → Trend following the window.
#include "ondrelview.h"
#include "resource.h"
#include "shellrig.h"
#include "trendwindow.h"

#include <QChartView>
#include <QImageReader>
#include <QLineSeries>
#include <QTemporaryDir>

using namespace ondrel;

namespace {

const QDateTime kT0 = QDateTime(QDate(2026, 12, 8), QTime(6, 0), Qt::UTC);

Reading ReadingAt(qint64 msecs, const QString& kilovolts)
{
    return Reading::FromForm(kT0.addMSecs(msecs), kilovolts, QStringLiteral("1100"),
                             QStringLiteral("035.0"), QStringLiteral("No faults"), "000");
}

// The non-empty lines of one chart as "first-last" reading numbers (readings
// are 200 ms apart from kT0), in time order.
QString Runs(CTrendWindow* trend, CTrendModel::Quantity quantity)
{
    QList<QPair<qint64, qint64>> runs;
    for (QAbstractSeries* series : trend->ChartView(quantity)->chart()->series()) {
        auto* line = static_cast<QLineSeries*>(series);
        if (line->count() > 0)
            runs << qMakePair(qint64(line->at(0).x()), qint64(line->at(line->count() - 1).x()));
    }
    std::sort(runs.begin(), runs.end());
    QStringList texts;
    const qint64 t0 = kT0.toMSecsSinceEpoch();
    for (const auto& [first, last] : runs)
        texts << QStringLiteral("%1-%2").arg((first - t0) / 200).arg((last - t0) / 200);
    return texts.join(',');
}

struct PaintCounter : QObject
{
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class TestTrendWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void gaps_data();
    void gaps();
    void thinnedLinesKeepTheExtremes();
    void noDrawingWhileHidden();
    void saveImage_data();
    void saveImage();
    void menuItemFollowsWindow_data();
    void menuItemFollowsWindow();
    void readingsReachTheTrendAfterNew();

private:
    CTrendWindow* Trend() { return CShellRig::Frame()->TrendWindow(); }
    std::unique_ptr<CShellRig> m_rig;
};

void TestTrendWindow::init()
{
    m_rig = std::make_unique<CShellRig>();
    QVERIFY(m_rig->Start());
    QVERIFY(Trend());
    m_rig->answerer.Clear(); // the missing port's box at start-up
}

void TestTrendWindow::cleanup()
{
    m_rig.reset();
}

void TestTrendWindow::gaps_data()
{
    // kV texts, one per 200 ms; "|" is the readings stopping, "~" a minute's pause.
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("runs");
    QTest::newRow("all numbers") << QStringList{"080.1", "080.2", "080.3"} << "0-2";
    QTest::newRow("a garbled reading") << QStringList{"080.1", "080.2",
                                                      "0\x7f"
                                                      "0.3",
                                                      "080.4", "080.5"}
                                       << "0-1,3-4";
    QTest::newRow("blank and a sign")
        << QStringList{"", "080.2", "080.3", "-80.4", "080.5"} << "1-2,4-4";
    QTest::newRow("nothing but garbage") << QStringList{"ERR", "?"} << "";
    QTest::newRow("readings stopped and came again")
        << QStringList{"080.1", "080.2", "|", "080.3", "080.4"} << "0-1,3-4";
    QTest::newRow("a long pause") << QStringList{"080.1", "080.2", "~", "080.3", "080.4"}
                                  << "0-1,303-304";
}

void TestTrendWindow::gaps()
{
    QFETCH(QStringList, texts);
    QFETCH(QString, runs);
    CTrendWindow* trend = Trend();
    trend->show();
    QVERIFY(QTest::qWaitForWindowExposed(trend));
    qint64 msecs = 0;
    for (const QString& text : texts) {
        if (text == QLatin1String("|"))
            trend->AddEvent({kT0.addMSecs(msecs), EventKind::ReadingsStopped, QString()});
        else if (text == QLatin1String("~"))
            msecs += 60 * 1000;
        else
            trend->AddReading(ReadingAt(msecs, text));
        msecs += 200;
    }
    QTRY_VERIFY(!trend->RefreshPending());
    QCOMPARE(Runs(trend, CTrendModel::Kilovolts), runs);
    // The other read-outs were numbers throughout: only breaks in time split them.
    QCOMPARE(Runs(trend, CTrendModel::Microamps).isEmpty(), false);
}

void TestTrendWindow::thinnedLinesKeepTheExtremes()
{
    // Ten minutes of readings are more points than the chart has pixel columns.
    CTrendWindow* trend = Trend();
    trend->show();
    QVERIFY(QTest::qWaitForWindowExposed(trend));
    const int count = 3000;
    for (int i = 0; i < count; ++i) {
        const QString text = i == 1234   ? "099.9"
                             : i == 2345 ? "001.0"
                                         : (i % 2 ? "080.4" : "080.6");
        trend->AddReading(ReadingAt(i * 200, text));
    }
    QTRY_VERIFY(!trend->RefreshPending());
    QCOMPARE(Runs(trend, CTrendModel::Kilovolts), QStringLiteral("0-2999"));
    auto* line = static_cast<QLineSeries*>(
        trend->ChartView(CTrendModel::Kilovolts)->chart()->series().first());
    QVERIFY(line->count() < count / 2);
    double low = 1e9, high = -1e9, lastX = -1;
    for (const QPointF& point : line->points()) {
        QVERIFY(point.x() > lastX);
        lastX = point.x();
        low = std::min(low, point.y());
        high = std::max(high, point.y());
    }
    QCOMPARE(low, 1.0);
    QCOMPARE(high, 99.9);
}

void TestTrendWindow::noDrawingWhileHidden()
{
    CTrendWindow* trend = Trend();
    QVERIFY(trend->isHidden());
    PaintCounter counter;
    for (int q = 0; q < CTrendModel::QuantityCount; ++q)
        trend->ChartView(CTrendModel::Quantity(q))->viewport()->installEventFilter(&counter);

    auto feed = [trend](int from, int count) {
        for (int i = from; i < from + count; ++i)
            trend->AddReading(ReadingAt(i * 200, QStringLiteral("080.5")));
        trend->AddEvent({kT0.addMSecs((from + count) * 200), EventKind::XrayOn, QString()});
    };
    feed(0, 50);
    QCoreApplication::processEvents();
    QVERIFY(!trend->RefreshPending());
    QCOMPARE(trend->Refreshes(), 0);
    QCOMPARE(counter.paints, 0);
    QCOMPARE(Runs(trend, CTrendModel::Kilovolts), QString());
    QCOMPARE(int(trend->Model().Samples().size()), 50);

    // Shown, it draws what it kept, at once; a burst of readings is one redraw.
    trend->show();
    QVERIFY(QTest::qWaitForWindowExposed(trend));
    QCOMPARE(trend->Refreshes(), 1);
    QCOMPARE(Runs(trend, CTrendModel::Kilovolts), QStringLiteral("0-49"));
    QTRY_VERIFY(counter.paints > 0);
    feed(51, 20);
    QTRY_VERIFY(!trend->RefreshPending());
    QCOMPARE(trend->Refreshes(), 2);
    QCOMPARE(Runs(trend, CTrendModel::Kilovolts), QStringLiteral("0-70"));

    trend->hide();
    QCoreApplication::processEvents();
    const int paints = counter.paints;
    feed(100, 20);
    QCoreApplication::processEvents();
    QVERIFY(!trend->RefreshPending());
    QCOMPARE(trend->Refreshes(), 2);
    QCOMPARE(counter.paints, paints);
}

void TestTrendWindow::saveImage_data()
{
    QTest::addColumn<QSize>("windowSize");
    QTest::addColumn<QString>("fileName"); // in a scratch folder
    QTest::addColumn<bool>("saved");
    QTest::newRow("small") << QSize(500, 400) << "trend.png" << true;
    QTest::newRow("large, no suffix") << QSize(1100, 800) << "trend" << true;
    QTest::newRow("missing folder") << QSize(500, 400) << "no/such/folder/trend.png" << false;
}

void TestTrendWindow::saveImage()
{
    QFETCH(QSize, windowSize);
    QFETCH(QString, fileName);
    QFETCH(bool, saved);
    QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    CTrendWindow* trend = Trend();
    for (int i = 0; i < 30; ++i)
        trend->AddReading(ReadingAt(i * 200, QString::number(80 + i % 3)));
    trend->resize(windowSize);
    trend->show();
    QVERIFY(QTest::qWaitForWindowExposed(trend));
    trend->SetFileNamePrompt([&](QWidget*, const QString& suggestion) {
        return suggestion.endsWith(QLatin1String(".png")) ? path : QString();
    });

    trend->OnSaveImage();
    if (!saved) {
        QCOMPARE(m_rig->answerer.Count(), 1);
        QVERIFY(m_rig->answerer.Texts().first().contains(path));
        QVERIFY(!QFile::exists(path));
        return;
    }
    QCOMPARE(m_rig->answerer.Count(), 0);
    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage image = reader.read();
    QCOMPARE(image.size(), trend->Charts()->size() * trend->devicePixelRatio());
    // The three charts, not the button row below them.
    QVERIFY(trend->Charts()->height() < trend->height() - 20);
}

void TestTrendWindow::menuItemFollowsWindow_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("View menu") << "menu";
    QTest::newRow("window closed") << "close";
    QTest::newRow("window hidden") << "hide";
}

void TestTrendWindow::menuItemFollowsWindow()
{
    QFETCH(QString, how);
    CMainFrame* frame = CShellRig::Frame();
    QAction* item = frame->Action(ID_VIEW_TREND);
    CTrendWindow* trend = Trend();
    QVERIFY(item->isCheckable());
    QVERIFY(!item->isChecked());
    QCOMPARE(trend->parentWidget(), frame);
    QVERIFY(trend->isWindow());
    QVERIFY(!trend->isModal());

    item->trigger();
    QVERIFY(trend->isVisible());
    QVERIFY(item->isChecked());
    QCOMPARE(trend->windowTitle(), QStringLiteral("Trend - Ondrel"));
    QCOMPARE(trend->ChartView(CTrendModel::Kilovolts)->accessibleName(), "kV trend");
    QCOMPARE(trend->ChartView(CTrendModel::Microamps)->accessibleName(), "\u00b5A trend");
    QCOMPARE(trend->ChartView(CTrendModel::Temperature)->accessibleName(), "Temperature trend");

    if (how == QLatin1String("menu"))
        item->trigger();
    else if (how == QLatin1String("close"))
        trend->close();
    else
        trend->hide();
    QVERIFY(trend->isHidden());
    QVERIFY(!item->isChecked());
    QVERIFY(frame->isVisible());
}

void TestTrendWindow::readingsReachTheTrendAfterNew()
{
    // New and Open run the view's start-up again; the trend must still hear it.
    for (int round = 1; round <= 2; ++round) {
        // Stamped now, as the view's own events around New are.
        emit CShellRig::Frame()->View()->readingTaken(
            Reading::FromForm(TelemetryNow(), "080.5", "1100", "035.0", "No faults", "000"));
        QCOMPARE(int(Trend()->Model().Samples().size()), round);
        m_rig->answerer.Clear();
        m_rig->Run(ID_FILE_NEW);
    }
}

ONDREL_SHELL_TEST_MAIN(TestTrendWindow)
#include "tst_trendwindow.moc"
