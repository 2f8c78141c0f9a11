// The live page in headless Chromium (driven by browser.py through chromedriver)
// against a real mosquitto and `ondrel-lab serve --listen` as a process: a
// hostile console prefix shows as text and runs nothing; stopping the service
// greys the page within 2 s, starting it again brings the page back by itself;
// a tab frozen while a generator goes stale says so the moment it is shown
// again; the history pages draw the archive, and their CSV is the CLI's.
#include "brokerrig.h"
#include "browserdriver.h"
#include "fleetstates.h"
#include "labprocess.h"
#include "labscript.h"
#include "payloads.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace ondrel;
using namespace ondrel::testing;

namespace {

const QString kHostile = "<img src=x onerror=alert(1)>";

} // namespace

class TestLivePage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void hostilePrefixIsText();
    void sixtyFitAWallScreen();
    void everyStateAsTheFleetWindowSaysIt();
    void scrolledIntoViewIsCurrent();
    void lostServiceGreysThenResynchronises();
    void frozenTabShowsStaleAtOnce();
    void historyCsvIsTheCli();
    void trendPageDrawsAGenerator();

private:
    bool StartLab();
    void Publish(const QString& prefix, const QByteArray& subtopic, const QByteArray& payload);
    QString Contact() { return m_browser.Eval(kContactJs).toString(); }
    void Open(const QString& page)
    {
        m_browser.Call(
            {{"op", "get"}, {"url", QString("http://127.0.0.1:%1/%2").arg(m_port).arg(page)}});
    }
    void PublishHistory();

    static inline const QString kContactJs =
        "const c = document.getElementById('contact');"
        "return (document.body.classList.contains('lost') ? 'greyed: ' : 'live: ') +"
        "  (c.hidden ? '' : c.textContent);";
    static inline const QString kLabelsJs =
        "return Array.from(document.querySelectorAll('#tiles .tile'))"
        "  .map(t => t.getAttribute('aria-label')).join(' | ');";

    CBroker m_broker;
    CSubscriber m_publisher;
    CBrowser m_browser{ONDREL_BROWSER_SCRIPT};
    QTemporaryDir m_dir;
    QProcess m_lab;
    int m_port = 0;
};

void TestLivePage::initTestCase()
{
    QString error;
    QVERIFY2(m_broker.Start(&error), qPrintable(error));
    QVERIFY(m_publisher.Connect(m_broker.plainPort, "nothing/#"));
    m_port = FreePort();
    QVERIFY(StartLab());
    QVERIFY2(m_browser.Start(&error), qPrintable(error));
}

void TestLivePage::cleanupTestCase()
{
    m_lab.terminate();
    m_lab.waitForFinished(10000);
}

bool TestLivePage::StartLab()
{
    QByteArray said;
    if (StartServeWithPage(m_lab, ONDREL_LAB_BINARY,
                           {"serve", QString("mqtt://127.0.0.1:%1/lab").arg(m_broker.plainPort),
                            "--db", m_dir.filePath("lab.sqlite"), "--listen",
                            QString("127.0.0.1:%1").arg(m_port)},
                           &said))
        return true;
    qWarning("ondrel-lab serve: %s", said.constData());
    return false;
}

void TestLivePage::Publish(const QString& prefix, const QByteArray& subtopic,
                           const QByteArray& payload)
{
    QVERIFY(m_publisher.Publish(prefix + "/" + subtopic, payload, 1, true));
}

void TestLivePage::hostilePrefixIsText()
{
    Publish("lab/" + kHostile, "status", StatusPayload(ConsoleStatus::Offline));
    Publish("lab/gen2", "status", StatusPayload(ConsoleStatus::Offline));
    m_browser.Call({{"op", "get"}, {"url", QString("http://127.0.0.1:%1/").arg(m_port)}});
    QVERIFY(QTest::qWaitFor(
        [&] {
            return m_browser.Eval(kLabelsJs).toString() == kHostile + ": Offline | gen2: Offline";
        },
        10000));
    QCOMPARE(m_browser.Eval("return document.querySelector('#tiles .name').textContent").toString(),
             kHostile);
    QCOMPARE(m_browser.Eval("return document.querySelectorAll('img').length").toInt(), 0);
    QCOMPARE(m_browser.Call({{"op", "alert"}}), QJsonValue());
    QCOMPARE(m_browser.Eval("return document.getElementById('summary').textContent").toString(),
             "2 generators: 2 offline; 2 alarms unacknowledged");
}

// All of the shared table's consoles at once, on one page: each tile's word, its
// label and its data-state, as tst_fleetmodel finds the fleet window's model
// says them, and its name on one line however long the word beside it. After the sixty, whose wall
// screen has no room for these as well.
void TestLivePage::everyStateAsTheFleetWindowSaysIt()
{
    QStringList expected;
    QJsonArray names;
    for (const FleetStateRow& row : FleetStateRows()) {
        for (const ConsoleMessage& m : row.messages)
            QVERIFY(m_publisher.Publish("lab/" + row.name + "/" + m.subtopic, m.payload, 1,
                                        m.retained));
        expected << row.name + ": " + row.word;
        names << row.name;
    }
    Open("");
    const QString wordsJs =
        "const tiles = Array.from(document.querySelectorAll('#tiles .tile'));"
        "return " +
        QString::fromUtf8(QJsonDocument(names).toJson(QJsonDocument::Compact)) +
        ".map(n => {"
        "  const t = tiles.find(t => t.querySelector('.name').textContent === n);"
        "  if (!t) return n + ': (no tile)';"
        "  const said = n + ': ' + t.querySelector('.word').textContent;"
        "  const name = document.createRange();"
        "  name.selectNodeContents(t.querySelector('.name'));"
        "  const lines = name.getClientRects().length;"
        "  return t.getAttribute('aria-label') === said &&"
        "    said.endsWith(': ' + t.dataset.state) && lines === 1"
        "    ? said : said + ' (labelled ' + t.getAttribute('aria-label') + ', data-state ' +"
        "      t.dataset.state + ', name on ' + lines + ' lines)';"
        "}).join('\\n');";
    const auto words = [&] { return m_browser.Eval(wordsJs).toString().split('\n'); };
    // Stale ones need their quiet first; the comparison then shows any difference.
    (void)QTest::qWaitFor([&] { return words() == expected; }, 15000);
    QCOMPARE(words(), expected);
}

// browser.py's window is 1920 by 1080, a wall screen with the browser's own bars.
void TestLivePage::sixtyFitAWallScreen()
{
    for (int i = 1; i <= 60; ++i)
        Publish(QString("lab/generator-%1").arg(i), "status",
                StatusPayload(ConsoleStatus::Offline));
    m_browser.Call({{"op", "get"}, {"url", QString("http://127.0.0.1:%1/").arg(m_port)}});
    QVERIFY(QTest::qWaitFor(
        [&] {
            return m_browser.Eval("return document.querySelectorAll('.tile').length >= 60")
                .toBool();
        },
        10000));
    QCOMPARE(m_browser.Eval("return document.documentElement.scrollHeight > innerHeight"),
             QJsonValue(false));
}

// The service sends read-outs only for the tiles a page shows: one scrolled to
// must get what it missed meanwhile.
void TestLivePage::scrolledIntoViewIsCurrent()
{
    for (int i = 1; i <= 150; ++i)
        Publish(QString("lab/below-%1").arg(i), "status", StatusPayload(ConsoleStatus::Offline));
    const auto reading = [&](const char* kv) {
        const Reading r =
            Reading::FromForm(QDateTime::currentDateTimeUtc(), kv, "0100", "025.0", "No Error", {});
        QVERIFY(m_publisher.Publish("lab/zz-last/reading", ReadingJson(r), 0, false));
    };
    Publish("lab/zz-last", "status", StatusPayload(ConsoleStatus::Online));
    reading("060.0");
    Open("");
    const QString tileJs = "const t = Array.from(document.querySelectorAll('#tiles .tile'))"
                           "  .find(t => t.querySelector('.name').textContent === 'zz-last');";
    QVERIFY(QTest::qWaitFor(
        [&] {
            return m_browser.Eval(tileJs + "return t ? t.getBoundingClientRect().top : -1")
                       .toDouble() > m_browser.Eval("return innerHeight + 500").toDouble();
        },
        10000));
    // Off the screen it says when its read-outs were read, not an age it
    // would have to rewrite every second.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return QRegularExpression(
                       R"(^060\.0 kV, 0100 µA, 025\.0 °C \(read at \d\d:\d\d:\d\d\)$)")
                .match(m_browser.Eval(tileJs + "return t.querySelector('.readouts').textContent")
                           .toString())
                .hasMatch();
        },
        3000));
    reading("061.0");
    m_browser.Eval(tileJs + "t.scrollIntoView()");
    QVERIFY(QTest::qWaitFor(
        [&] {
            return m_browser.Eval(tileJs + "return t.querySelector('.readouts').textContent")
                .toString()
                .startsWith("061.0 kV");
        },
        3000));
}

void TestLivePage::lostServiceGreysThenResynchronises()
{
    m_browser.Call({{"op", "get"}, {"url", QString("http://127.0.0.1:%1/").arg(m_port)}});
    QVERIFY(QTest::qWaitFor([&] { return Contact() == "live: "; }, 10000));

    m_lab.terminate();
    QVERIFY(m_lab.waitForFinished(10000));
    QElapsedTimer since;
    since.start();
    QVERIFY(QTest::qWaitFor(
        [&] { return Contact().startsWith("greyed: no contact with the lab service since "); },
        5000));
    QVERIFY2(since.elapsed() <= 2000, qPrintable(QString::number(since.elapsed())));

    // What changed meanwhile shows once the service is back.
    Publish("lab/gen2", "status", StatusPayload(ConsoleStatus::NotResponding));
    QVERIFY(StartLab());
    QVERIFY(QTest::qWaitFor([&] { return Contact() == "live: "; }, 15000));
    QVERIFY(QTest::qWaitFor(
        [&] { return m_browser.Eval(kLabelsJs).toString().contains("gen2: Not responding"); },
        10000));
}

// A hidden tab's timers are throttled, a frozen one's stop altogether: what it
// shows when it comes back must come from the service's clock and judgement,
// not from timers that did not run.
void TestLivePage::frozenTabShowsStaleAtOnce()
{
    const QString gen = "stale1"; // as the page names lab/stale1
    Publish("lab/" + gen, "info",
            test::ScriptLine("09:00:00 info 09:00:00 ops").payload); // every 200 ms
    Publish("lab/" + gen, "status", StatusPayload(ConsoleStatus::Online));
    QElapsedTimer quiet;
    QTimer readings;
    QObject::connect(&readings, &QTimer::timeout, [&] {
        const Reading r = Reading::FromForm(QDateTime::currentDateTimeUtc(), "050.0", "0100",
                                            "025.0", "No Error", {});
        QVERIFY(m_publisher.Publish("lab/" + gen + "/reading", ReadingJson(r), 0, false));
        quiet.start();
    });
    readings.start(200);
    Open("");
    const QString labelJs = "return Array.from(document.querySelectorAll('#tiles .tile'))"
                            "  .filter(t => t.querySelector('.name').textContent === '" +
                            gen +
                            "').map(t => (t.scrollIntoView({block: 'nearest'}),"
                            "  t.getAttribute('aria-label') + ', ' +"
                            "  t.querySelector('.readouts').textContent)).join()";
    QVERIFY(QTest::qWaitFor(
        [&] { return m_browser.Eval(labelJs).toString().startsWith(gen + ": Ready, 050.0 kV"); },
        10000));

    m_browser.Call({{"op", "cdp"},
                    {"cmd", "Page.setWebLifecycleState"},
                    {"params", QJsonObject{{"state", "frozen"}}}});
    readings.stop();
    // Stale after three silent periods (600 ms); the tab stays frozen well past that.
    QVERIFY(QTest::qWaitFor([&] { return quiet.elapsed() >= 4000; }, 10000));
    m_browser.Call({{"op", "cdp"},
                    {"cmd", "Page.setWebLifecycleState"},
                    {"params", QJsonObject{{"state", "active"}}}});
    QElapsedTimer shown;
    shown.start();
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QString label = m_browser.Eval(labelJs).toString();
            return label.startsWith(gen + ": Stale, 050.0 kV") && label.contains(" s old)");
        },
        3000));
    QVERIFY2(shown.elapsed() <= 1000, qPrintable(QString::number(shown.elapsed())));
    QVERIFY(Contact() == "live: ");
}

void TestLivePage::PublishHistory()
{
    for (const char* line :
         {"09:00:00 info 09:00:00 ops", "10:00:01 event xray-on 1 VP0805 CP1100 ENBL1",
          "10:00:02 reading 080.5 1100 on 1", "10:00:04 event xray-off 2"}) {
        const test::ScriptMessage m = test::ScriptLine(line);
        QVERIFY(m_publisher.Publish("lab/hist1/" + m.subtopic, m.payload, 1, false));
    }
}

void TestLivePage::historyCsvIsTheCli()
{
    PublishHistory();
    Open("history.html?from=2026-05-04&to=2026-05-04&tz=UTC");
    const QString downloadJs =
        "return fetch(document.getElementById('download').href).then(r => r.text())";
    QVERIFY(QTest::qWaitFor(
        [&] { return m_browser.Eval(downloadJs).toString().contains("lab/hist1,"); }, 10000));
    Open("history.html?from=2026-05-04&to=2026-05-04&tz=UTC");
    QVERIFY(QTest::qWaitFor(
        [&] {
            return m_browser.Eval("return document.getElementById('status').textContent")
                       .toString() == "1 exposures from 2026-05-04 to 2026-05-04";
        },
        10000));

    QProcess cli;
    cli.start(ONDREL_LAB_BINARY, {"exposures", "--db", m_dir.filePath("lab.sqlite"), "--from",
                                  "2026-05-04", "--to", "2026-05-04", "--tz", "UTC"});
    QVERIFY(cli.waitForFinished(20000));
    const QByteArray printed = cli.readAllStandardOutput();
    QVERIFY(printed.contains("lab/hist1,2026-05-04T10:00:01.000+00:00,"));
    QCOMPARE(m_browser.Eval(downloadJs).toString().toUtf8(), printed);
    QCOMPARE(m_browser.Eval("return document.getElementById('download').getAttribute('href')"),
             QJsonValue("exposures.csv?from=2026-05-04&to=2026-05-04&tz=UTC"));
    QCOMPARE(
        m_browser
            .Eval("return Array.from(document.querySelectorAll('#exposures td'))"
                  "  .map(td => td.textContent).join('|')")
            .toString(),
        "lab/hist1|2026-05-04T10:00:01.000+00:00|2026-05-04T10:00:04.000+00:00|3.000|80.5|1100|ops|"
        "xray-off");
    QCOMPARE(m_browser
                 .Eval("const c = Chart.getChart('beam');"
                       "return c.canvas.width > 0 && c.data.labels.join() + ' ' +"
                       "  c.data.datasets.map(d => d.label + ': ' + d.data.join()).join()")
                 .toString(),
             "2026-05-04 lab/hist1: 3");
}

void TestLivePage::trendPageDrawsAGenerator()
{
    PublishHistory();
    Open("trend.html?generator=lab%2Fhist1&span=86400&end=2026-05-04T12:00:00Z");
    QVERIFY(QTest::qWaitFor(
        [&] {
            return m_browser.Eval("return document.getElementById('status').textContent")
                       .toString() == "lab/hist1: 1 point from its readings; 1 exposure.";
        },
        10000));
    QCOMPARE(m_browser
                 .Eval("const c = Chart.getChart('trend');"
                       "return c.data.datasets.map(d => d.label + ' ' +"
                       "  d.data.filter(p => p.y !== null).map(p => p.y)).join(', ')")
                 .toString(),
             "kV 80.5, µA 1100, temperature (°C) 25");
}

QTEST_GUILESS_MAIN(TestLivePage)
#include "tst_livepage.moc"
