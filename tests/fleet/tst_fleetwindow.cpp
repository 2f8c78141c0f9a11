// The fleet window fed straight from its model (no broker): what a screen
// reader reads off the tiles and the alarm list, the two orders and the filter,
// acknowledging, the grid reflowing, and a generator's trend.
#include "fleetwindow.h"
#include "trendwindow.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QtTest>
#include <ctime>

using namespace ondrel;
using namespace ondrel::fleet;

namespace {

constexpr qint64 kT0 = 1796710967000; // 2026-12-08T06:22:47Z

class CRig
{
public:
    CRig()
        : model(
              "lab", [this] { return now; }, nullptr, [](const QString&) {}),
          window(&model)
    {
        model.OnBrokerConnected();
        window.resize(1000, 600);
        window.show();
    }

    void Send(const QString& gen, const char* sub, const QByteArray& payload)
    {
        model.OnMessage(
            {QStringLiteral("lab/%1/%2").arg(gen, QLatin1String(sub)), payload, false, false, now});
    }

    void Generator(const QString& gen, const QString& faults, bool xray)
    {
        Send(gen, "status", "online");
        Send(gen, "reading",
             "{\"time\":\"" +
                 IsoTime(QDateTime::fromMSecsSinceEpoch(now, QTimeZone::utc())).toUtf8() +
                 "\",\"kv\":\"080.5\",\"ua\":\"1100\",\"temperature\":\"025.0\",\"faults\":\"" +
                 faults.toUtf8() + "\",\"seq\":1,\"xray_on\":" + (xray ? "true" : "false") +
                 ",\"beam_on_s\":2.0}");
    }

    // What a screen reader reads off a list view, item by item.
    static QStringList Read(QListView* view, QAccessible::Text what = QAccessible::Name)
    {
        QStringList out;
        QAccessibleInterface* list = QAccessible::queryAccessibleInterface(view);
        for (int i = 0; list && i < list->childCount(); ++i)
            if (QAccessibleInterface* item = list->child(i))
                if (item->role() == QAccessible::ListItem || item->role() == QAccessible::Cell)
                    out << item->text(what);
        return out;
    }

    qint64 now = kT0;
    CFleetModel model;
    CFleetWindow window;
};

} // namespace

class TestFleetWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void order_data();
    void order();
    void description();
    void acknowledge_data();
    void acknowledge();
    void accessibleTiles_data();
    void accessibleTiles();
    void reflows();
    void trend();
};

void TestFleetWindow::initTestCase()
{
    qputenv("TZ", "UTC");
    tzset();
    QAccessible::setActive(true);
}

void TestFleetWindow::order_data()
{
    QTest::addColumn<int>("sort"); // the sort box's index
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("tiles");

    QTest::newRow("needs attention first")
        << 0 << ""
        << QStringList{"c: Contact lost, X-rays may be on", "b: Fault", "e: Offline",
                       "d: X-rays on", "a: Ready"};
    QTest::newRow("by name") << 1 << ""
                             << QStringList{"a: Ready", "b: Fault",
                                            "c: Contact lost, X-rays may be on", "d: X-rays on",
                                            "e: Offline"};
    QTest::newRow("filtered, any case") << 0 << "B" << QStringList{"b: Fault"};
    QTest::newRow("filter matching none") << 1 << "zz" << QStringList();
}

void TestFleetWindow::order()
{
    QFETCH(int, sort);
    QFETCH(QString, filter);
    QFETCH(QStringList, tiles);
    CRig rig;
    rig.Generator("a", "No Error", false);
    rig.Generator("b", "Error.Please Clear", false);
    rig.Generator("c", "No Error", true);
    rig.Send("c", "status", "offline");
    rig.Generator("d", "No Error", true);
    rig.Generator("e", "No Error", false);
    rig.Send("e", "status", "offline");
    QCOMPARE(rig.window.windowTitle(), "Fleet - Ondrel");
    rig.window.SortBox()->setCurrentIndex(sort);
    QTest::keyClicks(rig.window.FilterBox(), filter);
    // Read once before the order settles: a screen reader asks at any time.
    CRig::Read(rig.window.Tiles());
    QTRY_COMPARE(CRig::Read(rig.window.Tiles()), tiles);
    QTRY_COMPARE(rig.window.SummaryLabel()->text(),
                 "5 generators: 1 contact lost with X-rays on, 1 X-rays on, 1 fault, 1 offline; 3 "
                 "alarms unacknowledged");
}

void TestFleetWindow::description()
{
    CRig rig;
    rig.Generator("gen1", "No Error", false);
    rig.Send("gen1", "version", "2000");
    rig.now += 2500;
    rig.model.Refresh();
    QTRY_COMPARE(CRig::Read(rig.window.Tiles()), QStringList{"gen1: Stale"});
    QTRY_COMPARE(CRig::Read(rig.window.Tiles(), QAccessible::Description),
                 QStringList{"080.5 kV (2 s old), 1100 µA (2 s old), 025.0 °C (2 s old); firmware "
                             "2000; X-ray time 2.0 s; last heard 06:22:47"});
}

void TestFleetWindow::acknowledge_data()
{
    // "one" (the newest selected), "all", "unselected" (nothing selected), "one, then two
    // more" (the newest selected, then two newer raised above it before the press)
    QTest::addColumn<QString>("press");
    QTest::addColumn<QStringList>("alarms");
    QTest::addColumn<QString>("summary");

    QTest::newRow("nothing pressed") << "" << QStringList{"c: Offline", "b: Fault"}
                                     << "3 generators: 1 fault, 1 offline; 2 alarms unacknowledged";
    QTest::newRow("acknowledge the selected")
        << "one" << QStringList{"b: Fault", "c: Offline"}
        << "3 generators: 1 fault, 1 offline; 1 alarm unacknowledged";
    QTest::newRow("acknowledge all")
        << "all" << QStringList{"c: Offline", "b: Fault"} << "3 generators: 1 fault, 1 offline";
    QTest::newRow("pressed with nothing selected")
        << "unselected" << QStringList{"c: Offline", "b: Fault"}
        << "3 generators: 1 fault, 1 offline; 2 alarms unacknowledged";
    QTest::newRow("the selected one, after two more came above it")
        << "one, then two more" << QStringList{"e: Offline", "d: Fault", "b: Fault", "c: Offline"}
        << "5 generators: 2 faults, 2 offline; 3 alarms unacknowledged";
}

void TestFleetWindow::acknowledge()
{
    QFETCH(QString, press);
    QFETCH(QStringList, alarms);
    QFETCH(QString, summary);
    CRig rig;
    rig.Generator("a", "No Error", false);
    rig.Generator("b", "Error.Please Clear", false);
    rig.now += 1000;
    rig.Generator("c", "No Error", false);
    rig.Send("c", "status", "offline");
    QListView* list = rig.window.AlarmList();
    QPushButton* button = rig.window.AcknowledgeButton();
    QVERIFY(!button->isEnabled());
    if (press.startsWith("one")) {
        list->setCurrentIndex(list->model()->index(0, 0)); // c, the newest
        QVERIFY(button->isEnabled());
        if (press == "one, then two more") {
            rig.now += 1000;
            rig.Generator("d", "Error.Please Clear", false);
            rig.now += 1000;
            rig.Generator("e", "No Error", false);
            rig.Send("e", "status", "offline");
        }
        QTest::mouseClick(button, Qt::LeftButton);
    } else if (press == "unselected") {
        QTest::mouseClick(button, Qt::LeftButton);
    } else if (press == "all") {
        QTest::mouseClick(rig.window.AcknowledgeAllButton(), Qt::LeftButton);
    }
    QTRY_COMPARE(CRig::Read(list), alarms);
    QTRY_COMPARE(rig.window.SummaryLabel()->text(), summary);
    QCOMPARE(rig.window.SummaryLabel()->accessibleName(), summary);
}

// Every tile, in the order shown, as a screen reader reaches it through the list:
// a thousand of them, while and after the order changes.
void TestFleetWindow::accessibleTiles_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("first"); // the others are "gNNNN: Ready" by name

    QTest::newRow("as they came") << ""
                                  << "g0000: Ready";
    QTest::newRow("re-sorted") << "fault"
                               << "g0500: Fault";
    QTest::newRow("a filter typed and cleared") << "filter"
                                                << "g0000: Ready";
    QTest::newRow("the broker lost and back") << "broker"
                                              << "g0000: Ready";
}

void TestFleetWindow::accessibleTiles()
{
    QFETCH(QString, step);
    QFETCH(QString, first);
    CRig rig;
    QStringList names;
    for (int i = 0; i < 1000; ++i)
        names << QStringLiteral("g%1").arg(i, 4, 10, QLatin1Char('0'));
    for (const QString& name : names)
        rig.Generator(name, "No Error", false);
    auto tilesOf = [](const QStringList& gens, const QString& state) {
        QStringList tiles;
        for (const QString& name : gens)
            tiles << name + ": " + state;
        return tiles;
    };
    QListView* tiles = rig.window.Tiles();
    QTRY_COMPARE(CRig::Read(tiles), tilesOf(names, "Ready"));
    // A screen reader keeps hold of the list itself.
    const QAccessible::Id list =
        QAccessible::uniqueId(QAccessible::queryAccessibleInterface(tiles));

    if (step == "fault") {
        rig.Generator("g0500", "Error.Please Clear", false);
    } else if (step == "filter") {
        QTest::keyClicks(rig.window.FilterBox(), "g05");
        QTRY_COMPARE(CRig::Read(tiles), tilesOf(names.mid(500, 100), "Ready"));
        rig.window.FilterBox()->clear();
    } else if (step == "broker") {
        rig.model.OnBrokerLost();
        QTRY_COMPARE(CRig::Read(tiles), tilesOf(names, "Unknown"));
        rig.model.OnBrokerConnected();
        for (const QString& name : names)
            rig.Send(name, "status", "online");
    }
    QStringList expected = tilesOf(names, "Ready");
    expected.removeOne(first.section(':', 0, 0) + ": Ready");
    expected.prepend(first);
    // Before the window has re-sorted: every tile, each with what it says now.
    QStringList now = CRig::Read(tiles);
    now.sort();
    QStringList sorted = expected;
    sorted.sort();
    QCOMPARE(now, sorted);
    QTRY_COMPARE(CRig::Read(tiles), expected);
    QCOMPARE(QAccessible::uniqueId(QAccessible::queryAccessibleInterface(tiles)), list);
}

void TestFleetWindow::reflows()
{
    CRig rig;
    for (const char* name : {"a", "b", "c"})
        rig.Generator(name, "No Error", false);
    rig.window.SortBox()->setCurrentIndex(1);
    rig.window.resize(1400, 600);
    QListView* tiles = rig.window.Tiles();
    auto rowOf = [tiles](int i) { return tiles->visualRect(tiles->model()->index(i, 0)).top(); };
    QTRY_VERIFY(rowOf(0) == rowOf(2)); // wide: one row
    rig.window.resize(360, 900);
    QTRY_VERIFY(rowOf(0) < rowOf(1) && rowOf(1) < rowOf(2)); // narrow: one column
}

void TestFleetWindow::trend()
{
    CRig rig;
    rig.Generator("gen1", "No Error", false);
    rig.now += 200;
    rig.Send("gen1", "event",
             "{\"time\":\"2026-12-08T06:22:47.200Z\",\"event\":\"xray-on\",\"seq\":1}");
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    QListView* tiles = rig.window.Tiles();
    QTRY_VERIFY(tiles->visualRect(tiles->model()->index(0, 0)).isValid());
    const QRect tile = tiles->visualRect(tiles->model()->index(0, 0));
    // A double click as a mouse makes it: a click, then the second press.
    QTest::mouseClick(tiles->viewport(), Qt::LeftButton, {}, tile.center());
    QTest::mouseDClick(tiles->viewport(), Qt::LeftButton, {}, tile.center());
    CTrendWindow* trend = rig.window.Trend("gen1");
    QVERIFY(trend);
    QCOMPARE(trend->windowTitle(), "Trend - gen1 - Ondrel");
    QTRY_VERIFY(trend->isVisible());
    // What came before the window was opened, and what comes after.
    QCOMPARE(trend->Model().Samples().size(), size_t(1));
    QCOMPARE(trend->Model().XraySpans().size(), size_t(1));
    rig.now += 200;
    rig.Generator("gen1", "No Error", true);
    QCOMPARE(trend->Model().Samples().size(), size_t(2));
    QCOMPARE(*trend->Model().Samples().back().value[CTrendModel::Kilovolts], 80.5);
}

QTEST_MAIN(TestFleetWindow)
#include "tst_fleetwindow.moc"
