// A generator that answers some exchanges and not others, against the whole
// console in a process of its own with its exposure record and a real broker:
// whatever went unanswered, the record, the event topic, the last reading and the
// status bar never say X-rays are off before the generator confirmed it.
#include "brokerrig.h"
#include "consolechild.h"
#include "consolehands.h"
#include "generatorsim.h"

#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <unistd.h>

using namespace ondrel;
using namespace ondrel::testing;

namespace {

// A deadline, not an expected duration: a row waits out at most three missing
// replies of 3.7 s.
constexpr int kDeadlineMs = 30000;
const QString kNoEnbl0Reply =
    QStringLiteral("ondrel: TimeOut...Restart Application (ENBL0): X-rays may still be on\n");

QStringList TopicEvents(const CSubscriber& watcher, const QString& prefix)
{
    QStringList events;
    for (const Message& m : watcher.On(prefix + "/event")) {
        const QJsonObject o = Json(m);
        events << (o.value("event").toString() + ' ' + o.value("detail").toString()).trimmed();
    }
    return events;
}

} // namespace

class TestUnanswered : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void truth_data();
    void truth();

private:
    std::unique_ptr<CBroker> m_broker;
};

void TestUnanswered::initTestCase()
{
    m_broker = std::make_unique<CBroker>();
    QString error;
    QVERIFY2(m_broker->Start(&error), qPrintable(error));
}

void TestUnanswered::truth_data()
{
    // Steps: on / off (switched, answered), click, mute:X / unmute (the generator stops
    // or starts answering frames beginning with X), slow (3 s a reply), box (the
    // time-out box shows), question (the close question shows), pane:TEXT (_ for a space), reading
    // (a reading after the last step), close (File -> Exit, answered Switch Off and Close), term /
    // term2 (SIGTERM, and a second one once ENBL0 is on its way).
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("lastEvents"); // the record's, and the event topic's
    QTest::addColumn<bool>("lastXrayOn");        // in the last reading published
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stderrText");

    const QString on = "xray-on VP0000 CP0000 ENBL1";
    // Why, and since when.
    const QString mayBeOn =
        QStringLiteral("pane:X-RAYS MAY BE ON | The generator did not answer ENBL0 (X-rays off) "
                       "at 20")
            .replace(' ', '_');
    QTest::newRow("off from the box, answered")
        << "on off reading pane:none term" << QStringList{on, "xray-off", "stop"} << false << 143
        << "";
    QTest::newRow("off from the box, unanswered, answered at SIGTERM")
        << "on mute:ENBL0 click box reading " + mayBeOn + " unmute term"
        << QStringList{on, "timeout ENBL0", "xray-off-unanswered ENBL0", "xray-off", "stop"} << true
        << 143 << "";
    QTest::newRow("off from Close, Switch Off and Close, unanswered")
        << "on mute:ENBL0 reading close question box"
        << QStringList{on, "timeout ENBL0", "xray-off-unanswered ENBL0", "stop"} << true << 0 << "";
    QTest::newRow("Close asks again after an unanswered off")
        << "on mute:ENBL0 click box reading close question box"
        << QStringList{on,
                       "timeout ENBL0",
                       "xray-off-unanswered ENBL0",
                       "timeout ENBL0",
                       "xray-off-unanswered ENBL0",
                       "stop"}
        << true << 0 << "";
    QTest::newRow("SIGTERM, unanswered")
        << "on mute:ENBL0 reading term"
        << QStringList{on, "timeout ENBL0", "xray-off-unanswered ENBL0", "stop"} << true << 143
        << kNoEnbl0Reply;
    QTest::newRow("a second SIGTERM cuts the ENBL0 wait short")
        << "on reading slow term term2"
        << QStringList{"timeout ENBL0", "xray-off-unanswered ENBL0", "stop"} << true << 143
        << kNoEnbl0Reply;
    QTest::newRow("switch-on with ENBL1 unanswered")
        << "mute:ENBL1 click box unmute reading pane:none term"
        << QStringList{"timeout ENBL1", on + "; unanswered ENBL1", "xray-off", "stop"} << true
        << 143 << "";
}

void TestUnanswered::truth()
{
    QFETCH(QString, script);
    QFETCH(QStringList, lastEvents);
    QFETCH(bool, lastXrayOn);
    QFETCH(int, exitCode);
    QFETCH(QString, stderrText);

    sim::CGeneratorSim sim;
    sim.SetLogSink([](const std::string&) {});
    std::string error;
    QVERIFY2(sim.Start(&error), error.c_str());
    const QString prefix = QStringLiteral("lab/truth%1").arg(QTest::currentDataTag()).remove(' ');
    CSubscriber watcher;
    QVERIFY(watcher.Connect(m_broker->plainPort, prefix + "/#"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), kDeadlineMs);

    QTemporaryDir dir;
    const QString record = dir.filePath("r.csv");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess console;
    console.setProcessEnvironment(env);
    console.start(QCoreApplication::applicationFilePath(),
                  {"--child", QString::fromStdString(sim.SlavePath()), record,
                   QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(m_broker->plainPort).arg(prefix)});
    QVERIFY(console.waitForStarted(kDeadlineMs));
    QVERIFY(ReadLine(console, "ready", kDeadlineMs));
    auto frames = [&] { return int(sim.ReceivedFrames().size()); };
    auto readings = [&] { return watcher.On(prefix + "/reading").size(); };
    int mark = frames();
    int readingMark = readings();

    for (const QString& step : script.split(' ')) {
        if (step == "on" || step == "off") {
            const QString event = "xray-" + step;
            console.write("click\n");
            QVERIFY(QTest::qWaitFor(
                [&] {
                    const QStringList events = RecordEvents(record);
                    return !events.isEmpty() && events.last().startsWith(event);
                },
                kDeadlineMs));
        } else if (step == "click") {
            console.write("click\n");
        } else if (step.startsWith("mute:")) {
            QCOMPARE(sim.Command("mute " + step.mid(5).toStdString()),
                     "ok mute " + step.mid(5).toStdString());
        } else if (step == "unmute") {
            QCOMPARE(sim.Command("mute -"), std::string("ok mute off"));
        } else if (step == "slow") {
            QCOMPARE(sim.Command("delay 3000"), std::string("ok delay 3000 ms"));
        } else if (step == "box") {
            QVERIFY(ReadLine(console, "box TimeOut...Restart Application", kDeadlineMs));
        } else if (step == "question") {
            QVERIFY(ReadLine(console, "box X-rays may still be on. Switch them off before closing?",
                             kDeadlineMs));
        } else if (step.startsWith("pane:")) {
            console.write("pane\n");
            QVERIFY(
                ReadLine(console, "pane " + step.mid(5).replace('_', ' ').toUtf8(), kDeadlineMs));
        } else if (step == "reading") {
            QVERIFY(QTest::qWaitFor([&] { return readings() > readingMark; }, kDeadlineMs));
        } else if (step == "close") {
            console.write("close\n");
        } else if (step == "term") {
            mark = frames();
            QCOMPARE(::kill(pid_t(console.processId()), SIGTERM), 0);
        } else if (step == "term2") {
            QVERIFY(QTest::qWaitFor(
                [&] {
                    const std::vector<std::string> all = sim.ReceivedFrames();
                    return std::any_of(all.begin() + mark, all.end(), [](const std::string& f) {
                        return f.find("ENBL0") != std::string::npos;
                    });
                },
                kDeadlineMs));
            QCOMPARE(::kill(pid_t(console.processId()), SIGTERM), 0);
        } else {
            QFAIL(qPrintable("unknown step " + step));
        }
        readingMark = readings();
    }

    const bool ended = console.waitForFinished(kDeadlineMs);
    if (!ended) {
        console.kill();
        console.waitForFinished();
    }
    QVERIFY2(ended, "the console is still running");
    const QString errors = QString::fromLocal8Bit(console.readAllStandardError());
    QCOMPARE(console.exitStatus(), QProcess::NormalExit);
    QVERIFY2(console.exitCode() == exitCode, qPrintable(errors));
    if (stderrText.isEmpty())
        QVERIFY2(!errors.contains("ENBL0"), qPrintable(errors));
    else
        QCOMPARE(errors.count(stderrText), 1);

    const QStringList recorded = RecordEvents(record);
    QCOMPARE(recorded.mid(recorded.size() - lastEvents.size()), lastEvents);
    // The publisher's last events are acknowledged before its clean disconnect.
    QTRY_VERIFY_WITH_TIMEOUT(TopicEvents(watcher, prefix).endsWith("stop"), kDeadlineMs);
    const QStringList published = TopicEvents(watcher, prefix);
    QCOMPARE(published.mid(published.size() - lastEvents.size()), lastEvents);
    const QList<Message> all = watcher.On(prefix + "/reading");
    QVERIFY(!all.isEmpty());
    QCOMPARE(Json(all.last()).value("xray_on").toBool(!lastXrayOn), lastXrayOn);
}

int main(int argc, char* argv[])
{
    // --child PORT RECORD URL
    if (argc >= 5 && std::strcmp(argv[1], "--child") == 0)
        return RunConsoleWithHands(argc, argv,
                                   {"--port", QString::fromLocal8Bit(argv[2]), "--record",
                                    QString::fromLocal8Bit(argv[3]), "--mqtt",
                                    QString::fromLocal8Bit(argv[4])});
    QCoreApplication app(argc, argv);
    TestUnanswered test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_unanswered.moc"
