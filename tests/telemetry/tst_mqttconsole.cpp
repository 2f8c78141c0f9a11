// The real console publishing to a real broker: the program itself (killed, or cut
// off from the network), and a console in this process on the simulated generator
// while the broker goes away, freezes, refuses the login, or floods the console.
#include "brokerrig.h"
#include "e2erig.h"
#include "mqttpublisher.h"
#include "ptyend.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <signal.h>
#include <unistd.h>

using namespace ondrel;
using namespace ondrel::e2e;
using namespace ondrel::testing;
using namespace std::chrono_literals;

namespace {

constexpr int kDeadlineMs = 30000;

QString LastStatus(const CSubscriber& s, const QString& prefix)
{
    const QStringList all = Payloads(s.On(prefix + "/status"));
    return all.isEmpty() ? QString() : all.last();
}

QByteArray ReadAllOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QProcessEnvironment ConsoleEnvironment(const QString& home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home);
    env.insert("XDG_RUNTIME_DIR", home);
    return env;
}

} // namespace

class TestMqttConsole : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void program_data();
    void program();
    void outages_data();
    void outages();
    void refusedLogin();
    void hostileBroker_data();
    void hostileBroker();
    void badUrls_data();
    void badUrls();
    void brokenPipe();
    void recordOnOwnPort();

private:
    MqttSettings Settings(const QString& prefix, int port) const;
    std::unique_ptr<CBroker> m_broker;
};

void TestMqttConsole::initTestCase()
{
    m_broker = std::make_unique<CBroker>();
    QString error;
    QVERIFY2(m_broker->Start(&error), qPrintable(error));
}

MqttSettings TestMqttConsole::Settings(const QString& prefix, int port) const
{
    QString error;
    return *ParseMqttUrl(QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(port).arg(prefix), "pc",
                         &error);
}

void TestMqttConsole::program_data()
{
    QTest::addColumn<int>("signal");
    // Both end in the Last Will: a killed process's socket closes at once, a
    // stopped one falls silent and the broker waits out 1.5 keep-alives (9 s).
    QTest::newRow("killed") << int(SIGKILL);
    QTest::newRow("network lost") << int(SIGSTOP);
}

void TestMqttConsole::program()
{
    QFETCH(int, signal);
    const QString prefix = QStringLiteral("lab/program%1").arg(signal);
    CSubscriber watcher;
    QVERIFY(watcher.Connect(m_broker->plainPort, prefix + "/#"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), kDeadlineMs);

    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.path());
    env.insert("ONDREL_MQTT_PASSWORD", m_broker->password);
    QProcess console;
    console.setProcessEnvironment(env);
    console.start(QStringLiteral(ONDREL_BINARY), {"--simulate", "--mqtt",
                                                  QStringLiteral("mqtt://%1@127.0.0.1:%2/%3")
                                                      .arg(m_broker->user)
                                                      .arg(m_broker->passwordPort)
                                                      .arg(prefix)});
    QVERIFY(console.waitForStarted(kDeadlineMs));
    const qint64 pid = console.processId();
    auto cleanup = qScopeGuard([&] {
        ::kill(pid_t(pid), SIGKILL);
        ::kill(pid_t(pid), SIGCONT);
        console.waitForFinished(kDeadlineMs);
    });

    QTRY_VERIFY_WITH_TIMEOUT(watcher.On(prefix + "/reading").size() >= 11, kDeadlineMs);
    QCOMPARE(LastStatus(watcher, prefix), "online");
    QCOMPARE(Payloads(watcher.On(prefix + "/version")), QStringList{"2000"});
    const QList<Message> readings = watcher.On(prefix + "/reading");
    QList<qint64> gaps;
    QDateTime previous;
    for (const Message& m : readings) {
        const QJsonObject o = Json(m);
        // The simulator's idle readings, as the form shows them.
        QCOMPARE(o.value("kv").toString(), "000.0");
        QCOMPARE(o.value("ua").toString(), "0000");
        QCOMPARE(o.value("faults").toString(), "No Error");
        QVERIFY(QRegularExpression("^0[0-9]{2}\\.[0-9]$")
                    .match(o.value("temperature").toString())
                    .hasMatch());
        QCOMPARE(o.value("temperature_value").toDouble(),
                 o.value("temperature").toString().toDouble());
        const QDateTime t = QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs);
        if (previous.isValid())
            gaps << previous.msecsTo(t);
        previous = t;
    }
    // Five a second by the console's own time stamps; the median is unmoved by a
    // late tick or two on a loaded machine.
    std::sort(gaps.begin(), gaps.end());
    const qint64 median = gaps.at(gaps.size() / 2);
    QVERIFY2(median >= 150 && median <= 300, qPrintable(QString::number(median)));

    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    QVERIFY(cmdline.open(QIODevice::ReadOnly));
    QVERIFY(!cmdline.readAll().contains(m_broker->password.toUtf8()));

    ::kill(pid_t(pid), signal);
    QTRY_COMPARE_WITH_TIMEOUT(LastStatus(watcher, prefix), "offline", kDeadlineMs);

    ::kill(pid_t(pid), SIGKILL);
    ::kill(pid_t(pid), SIGCONT);
    QVERIFY(console.state() == QProcess::NotRunning || console.waitForFinished(kDeadlineMs));
    const QByteArray output = console.readAllStandardOutput() + console.readAllStandardError();
    QVERIFY(!output.contains(m_broker->password.toUtf8()));
}

void TestMqttConsole::outages_data()
{
    QTest::addColumn<bool>("freeze");
    // 3 s outages: the loss and the recovery go the same way at any length past
    // the first retry.
    QTest::newRow("broker stopped") << false;
    QTest::newRow("broker frozen") << true;
}

void TestMqttConsole::outages()
{
    QFETCH(bool, freeze);
    const QString prefix = QStringLiteral("lab/outage%1").arg(int(freeze));
    CSubscriber watcher(QStringLiteral("console-watcher%1").arg(int(freeze)));
    QVERIFY(watcher.Connect(m_broker->plainPort, prefix + "/#"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), kDeadlineMs);

    CE2ERig rig;
    CMqttPublisher publisher(Settings(prefix, m_broker->plainPort));
    QObject::connect(rig.view, &COndrelView::readingTaken, &publisher,
                     &CMqttPublisher::PublishReading);
    QObject::connect(rig.view, &COndrelView::consoleEvent, &publisher,
                     &CMqttPublisher::PublishEvent);
    QString error;
    QVERIFY2(publisher.Start(&error), qPrintable(error));
    std::string simError;
    QVERIFY2(rig.StartGenerator(&simError), simError.c_str());
    rig.StartConsole();
    QTRY_COMPARE_WITH_TIMEOUT(LastStatus(watcher, prefix), "online", kDeadlineMs);

    // The operator clears faults now and then during the outage; the poll goes on.
    QTimer operatorClicks;
    QObject::connect(&operatorClicks, &QTimer::timeout, rig.view, &COndrelView::OnClearFaults);
    const int fltBefore = rig.ReceivedCount(frames::kReadFaults);
    if (freeze)
        m_broker->Freeze(true);
    else
        m_broker->Terminate();
    operatorClicks.start(300ms);
    QElapsedTimer outage;
    outage.start();
    QVERIFY(QTest::qWaitFor([&] { return outage.elapsed() >= 3000; }, kDeadlineMs));
    operatorClicks.stop();
    const int fltDuring = rig.ReceivedCount(frames::kReadFaults) - fltBefore;
    if (freeze)
        m_broker->Freeze(false);
    else
        QVERIFY2(m_broker->Restart(&error), qPrintable(error));
    QVERIFY2(fltDuring >= 5, qPrintable(QString::number(fltDuring)));
    QVERIFY(rig.view->TimerRunning());

    auto clears = [&] {
        QStringList times;
        for (const Message& m : watcher.On(prefix + "/event")) {
            const QJsonObject o = Json(m);
            if (o.value("event") == "clear-faults" && !times.contains(o.value("time").toString()))
                times << o.value("time").toString(); // QoS 1 may repeat one
        }
        return times;
    };
    const int clicked = rig.ReceivedCount(frames::kClearFaults);
    QVERIFY(clicked >= 5);
    QTRY_COMPARE_WITH_TIMEOUT(clears().size(), clicked, kDeadlineMs);
    QStringList inOrder = clears();
    std::sort(inOrder.begin(), inOrder.end());
    QCOMPARE(clears(), inOrder);
    QTRY_COMPARE_WITH_TIMEOUT(LastStatus(watcher, prefix), "online", kDeadlineMs);

    // A generator falling silent is a console not responding.
    QVERIFY(rig.Inject("silent on").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(LastStatus(watcher, prefix), "not responding", kDeadlineMs);
}

void TestMqttConsole::refusedLogin()
{
    CE2ERig rig;
    QString error;
    MqttSettings s = *ParseMqttUrl(
        QStringLiteral("mqtt://lab@127.0.0.1:%1/lab/refused").arg(m_broker->passwordPort), "pc",
        &error);
    s.password = "not-the-password";
    CMqttPublisher publisher(s);
    QObject::connect(rig.view, &COndrelView::readingTaken, &publisher,
                     &CMqttPublisher::PublishReading);
    QObject::connect(rig.view, &COndrelView::consoleEvent, &publisher,
                     &CMqttPublisher::PublishEvent);
    QObject::connect(&publisher, &CMqttPublisher::statusMessage, rig.view,
                     &COndrelView::statusMessage);
    QVERIFY2(publisher.Start(&error), qPrintable(error));
    std::string simError;
    QVERIFY2(rig.StartGenerator(&simError), simError.c_str());
    rig.StartConsole();
    QTRY_VERIFY_WITH_TIMEOUT(publisher.GaveUp(), kDeadlineMs);
    const int polled = rig.ReceivedCount(frames::kReadFaults);
    QVERIFY(rig.WaitFor([&] { return rig.ReceivedCount(frames::kReadFaults) >= polled + 5; }));
    QCOMPARE(rig.statusMessages.filter("Telemetry").size(), 1);
    QCOMPARE(
        rig.StatusText().left(rig.StatusText().indexOf(" (")),
        QStringLiteral("Telemetry: 127.0.0.1:%1 refused the login").arg(m_broker->passwordPort));
}

void TestMqttConsole::hostileBroker_data()
{
    QTest::addColumn<int>("behaviour"); // a CFakeBroker::Behaviour
    QTest::addColumn<QString>("said");  // %1: the endpoint

    QTest::newRow("qos 2 flood")
        << int(CFakeBroker::Qos2Flood)
        << "Telemetry: %1 sent a message although Ondrel subscribes to nothing; reconnecting";
    QTest::newRow("one huge packet")
        << int(CFakeBroker::HugePacket)
        << "Telemetry: %1 sent more than a broker answers a publisher with; reconnecting";
}

// A broker sending what a publisher never asks for, again on each reconnection:
// the poll goes on at its pace and the console's memory stays bounded.
void TestMqttConsole::hostileBroker()
{
    QFETCH(int, behaviour);
    QFETCH(QString, said);

    CFakeBroker fake{CFakeBroker::Behaviour(behaviour)};
    CE2ERig rig;
    CMqttPublisher publisher(Settings("lab/hostile", fake.Port()));
    QObject::connect(rig.view, &COndrelView::readingTaken, &publisher,
                     &CMqttPublisher::PublishReading);
    QObject::connect(rig.view, &COndrelView::consoleEvent, &publisher,
                     &CMqttPublisher::PublishEvent);
    QObject::connect(&publisher, &CMqttPublisher::statusMessage, rig.view,
                     &COndrelView::statusMessage);
    std::string simError;
    QVERIFY2(rig.StartGenerator(&simError), simError.c_str());
    rig.StartConsole();
    QVERIFY(rig.WaitFor([&] { return rig.ReceivedCount(frames::kReadFaults) >= 1; }));

    const qint64 before = ResidentBytes();
    QVERIFY(before > 0);
    qint64 peak = before;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { peak = std::max(peak, ResidentBytes()); });
    sampler.start(20ms);
    QString error;
    QVERIFY2(publisher.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(fake.sent > 0, kDeadlineMs);

    const int fltBefore = rig.ReceivedCount(frames::kReadFaults);
    QElapsedTimer flood;
    flood.start();
    QVERIFY(QTest::qWaitFor([&] { return flood.elapsed() >= 3000; }, kDeadlineMs));
    const int fltDuring = rig.ReceivedCount(frames::kReadFaults) - fltBefore;
    QVERIFY2(fltDuring >= 5, qPrintable(QString::number(fltDuring)));
    QVERIFY(rig.view->TimerRunning());

    // Left and come back to more than once, said once.
    QTRY_VERIFY_WITH_TIMEOUT(fake.connections >= 3, kDeadlineMs);
    const QString endpoint = QStringLiteral("127.0.0.1:%1").arg(fake.Port());
    QCOMPARE(rig.statusMessages.filter("Telemetry"),
             QStringList({"Telemetry: connected to " + endpoint, said.arg(endpoint)}));
    QVERIFY2(peak - before < kHostileBrokerMemoryBound,
             qPrintable(QStringLiteral("%1 MB more").arg((peak - before) >> 20)));
    QVERIFY(rig.view->TimerRunning());
    publisher.Stop();
}

void TestMqttConsole::badUrls_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("said"); // on standard error, after "ondrel: --mqtt: "

    QTest::newRow("password behind an encoded colon")
        << "mqtt://ops%3Ahunter2@127.0.0.1/x"
        << "the URL must not hold a password; give it in ONDREL_MQTT_PASSWORD or "
           "--mqtt-password-file.";
    QTest::newRow("a # wildcard in the prefix") << "mqtt://127.0.0.1/lab/#"
                                                << "the topic prefix \"lab/#\" holds a wildcard "
                                                   "(+ or #).";
    QTest::newRow("a prefix too long for a topic")
        << "mqtt://127.0.0.1/" + QString(65530, 'p')
        << "the topic prefix is 65530 bytes long; with \"/version\" a topic would pass MQTT's "
           "limit of 65,535 bytes.";
}

// A bad --mqtt is a usage error like any other: said on standard error, exit 2,
// no window.
void TestMqttConsole::badUrls()
{
    QFETCH(QString, url);
    QFETCH(QString, said);
    QTemporaryDir home;
    QProcess console;
    console.setProcessEnvironment(ConsoleEnvironment(home.path()));
    console.start(QStringLiteral(ONDREL_BINARY), {"--simulate", "--mqtt", url});
    QVERIFY(console.waitForStarted(kDeadlineMs));
    auto cleanup = qScopeGuard([&] {
        console.kill();
        console.waitForFinished(kDeadlineMs);
    });
    QVERIFY(console.waitForFinished(kDeadlineMs));
    const QString err = QString::fromLocal8Bit(console.readAllStandardError());
    QCOMPARE(console.exitStatus(), QProcess::NormalExit);
    QCOMPARE(console.exitCode(), 2);
    QVERIFY2(err.contains("ondrel: --mqtt: " + said + "\n"), qPrintable(err.left(300)));
    QVERIFY(!err.contains("hunter2"));
}

// Standard error closed under the console (its reader gone, as with `| head`):
// the console goes on recording, and still ends with its stop row.
void TestMqttConsole::brokenPipe()
{
    QTemporaryDir home;
    const QString record = home.filePath("r.csv");
    int log[2];
    QCOMPARE(::pipe2(log, O_CLOEXEC), 0);
    QProcess console;
    console.setProcessEnvironment(ConsoleEnvironment(home.path()));
    // Standard error into a pipe of the test's own, whose reader then goes away.
    const int writeEnd = log[1];
    console.setChildProcessModifier([writeEnd] { ::dup2(writeEnd, STDERR_FILENO); });
    console.start(QStringLiteral(ONDREL_BINARY), {"--simulate", "--sim-log", "--record", record});
    ::close(log[1]);
    QVERIFY(console.waitForStarted(kDeadlineMs));
    const qint64 pid = console.processId();
    auto cleanup = qScopeGuard([&] {
        ::kill(pid_t(pid), SIGKILL);
        console.waitForFinished(kDeadlineMs);
    });
    char some[256];
    QVERIFY(::read(log[0], some, sizeof some) > 0);
    ::close(log[0]);
    const qsizetype rowsThen = ReadAllOf(record).count('\n');
    // Each reading is traffic on the simulated line's log, so each is a write
    // into the closed pipe.
    QTRY_VERIFY_WITH_TIMEOUT(ReadAllOf(record).count('\n') >= rowsThen + 5, kDeadlineMs);
    QCOMPARE(console.state(), QProcess::Running);
    ::kill(pid_t(pid), SIGTERM);
    QVERIFY(console.waitForFinished(kDeadlineMs));
    QVERIFY2(ReadAllOf(record).contains(",stop,"), ReadAllOf(record).right(200).constData());
}

// --record naming the console's own line, by another name: refused with a word
// on standard error, and the console runs on without a record.
void TestMqttConsole::recordOnOwnPort()
{
    QTemporaryDir home;
    CPtyEnd line;
    const QString alias = home.filePath("also-the-port");
    QVERIFY(QFile::link(line.SlavePath(), alias));
    QProcess console;
    console.setProcessEnvironment(ConsoleEnvironment(home.path()));
    console.start(QStringLiteral(ONDREL_BINARY), {"--port", line.SlavePath(), "--record", alias});
    QVERIFY(console.waitForStarted(kDeadlineMs));
    auto cleanup = qScopeGuard([&] {
        console.kill();
        console.waitForFinished(kDeadlineMs);
    });
    QByteArray err;
    const QByteArray expected = "ondrel: Cannot record to " + QFile::encodeName(alias) +
                                ": it is the console's own serial port (running without a "
                                "record)\n";
    QTRY_VERIFY_WITH_TIMEOUT((err += console.readAllStandardError()).contains(expected),
                             kDeadlineMs);
    QCOMPARE(console.state(), QProcess::Running);
}

QTEST_MAIN(TestMqttConsole)
#include "tst_mqttconsole.moc"
