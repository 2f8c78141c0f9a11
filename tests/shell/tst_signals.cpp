// SIGTERM, SIGHUP and SIGINT against the whole console on the simulated
// generator, in a process of its own: what reaches the generator, the exposure
// record's last rows, the exit code and standard error, for each state the
// generator and the X-Ray box can be in. Rows that need a click on the X-Ray box
// run this program again with --child (the application as main.cpp starts it);
// the start-up rows run the real program.
#include "consolechild.h"
#include "generatorsim.h"
#include "mainfrm.h"
#include "ondrelapp.h"
#include "ondrelview.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace ondrel;
using namespace ondrel::testing;

namespace {

// A deadline, not an expected duration: the slowest row ends after two waits
// of 3.7 s, and a console that waits for a click never ends.
constexpr int kDeadlineMs = 30000;
const QByteArray kOn = "\x02"
                       "ENBL1\r";
const QByteArray kOff = "\x02"
                        "ENBL0\r";
const QString kNoEnbl0Reply =
    QStringLiteral("ondrel: TimeOut...Restart Application (ENBL0): X-rays may still be on\n");

// The child's eyes and hands: says "box TEXT" for every message box that shows,
// and checks the X-Ray box when "click" comes on standard input.
class CChildHands : public QObject
{
public:
    explicit CChildHands(QCheckBox* xray)
        : m_xray(xray), m_stdin(STDIN_FILENO, QSocketNotifier::Read)
    {
        qApp->installEventFilter(this);
        connect(&m_stdin, &QSocketNotifier::activated, this, [this] {
            char buffer[64];
            const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (count > 0 && QByteArray(buffer, int(count)).contains("click"))
                // Not from here: the command's box runs a loop of its own.
                QTimer::singleShot(0, m_xray, &QCheckBox::click);
        });
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto* box = qobject_cast<QMessageBox*>(watched))
                Say("box " + box->text().toLocal8Bit());
        }
        return false;
    }

private:
    QCheckBox* m_xray;
    QSocketNotifier m_stdin;
};

// --child PORT RECORD MODE: "on" checks the X-Ray box once started.
int RunChild(int argc, char* argv[])
{
    const QString port = QString::fromLocal8Bit(argv[2]);
    const QString record = QString::fromLocal8Bit(argv[3]);
    const QByteArray mode = argv[4];
    COndrelApp app(argc, argv);
    app.WatchTerminationSignals();
    if (!app.InitInstance({"ondrel", "--port", port, "--record", record}))
        return 90;
    QCheckBox* xray = app.MainWindow()->View()->m_checkXray;
    CChildHands hands(xray);
    if (mode == "on")
        xray->click();
    Say("ready");
    return app.exec();
}

QList<QByteArray> EnableFrames(const sim::CGeneratorSim& generator, int mark)
{
    QList<QByteArray> frames;
    const std::vector<std::string> all = generator.ReceivedFrames();
    for (size_t i = size_t(mark); i < all.size(); ++i) {
        if (all[i].find("ENBL") != std::string::npos)
            frames << QByteArray::fromStdString(all[i]);
    }
    return frames;
}

bool Received(const sim::CGeneratorSim& generator, const char* mnemonic, int mark = 0)
{
    const std::vector<std::string> all = generator.ReceivedFrames();
    for (size_t i = size_t(mark); i < all.size(); ++i) {
        if (all[i].find(mnemonic) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

class TestSignals : public QObject
{
    Q_OBJECT
private slots:
    void signal_data();
    void signal();
};

void TestSignals::signal_data()
{
    QTest::addColumn<int>("number");
    // answering; silent (the poll has stopped on it); falling silent (just now,
    // a poll may be waiting); slow (every reply 3 s late).
    QTest::addColumn<QString>("generator");
    // off; on; switching (the signal comes while a switch-on's time-out box is up).
    QTest::addColumn<QString>("xrays");
    // running; start-up (in the version read); no port (its error box is up).
    QTest::addColumn<QString>("phase");
    QTest::addColumn<bool>("twice"); // a second signal during the ENBL0 wait
    QTest::addColumn<QList<QByteArray>>("enables");
    QTest::addColumn<QStringList>("lastEvents");
    QTest::addColumn<QString>("stderrText");

    const QList<QByteArray> none;
    const QList<QByteArray> off{kOff};
    QTest::newRow("SIGTERM, answering, X-rays on")
        << SIGTERM << "answering"
        << "on"
        << "running" << false << off << QStringList{"xray-off", "stop"} << "";
    QTest::newRow("SIGHUP, answering, X-rays off")
        << SIGHUP << "answering"
        << "off"
        << "running" << false << none << QStringList{"stop"} << "";
    QTest::newRow("SIGINT, falling silent, X-rays on")
        << SIGINT << "falling silent"
        << "on"
        << "running" << false << off
        << QStringList{"timeout ENBL0", "xray-off-unanswered ENBL0", "stop"} << kNoEnbl0Reply;
    QTest::newRow("SIGHUP, silent, X-rays on")
        << SIGHUP << "silent"
        << "on"
        << "running" << false << off
        << QStringList{"readings-stopped", "timeout ENBL0", "xray-off-unanswered ENBL0", "stop"}
        << kNoEnbl0Reply;
    QTest::newRow("SIGTERM, silent, X-rays off")
        << SIGTERM << "silent"
        << "off"
        << "running" << false << none << QStringList{"readings-stopped", "stop"} << "";
    // Closed without a click, and the rest of the switch-on never follows.
    QTest::newRow("SIGTERM, silent, in a switch-on's time-out box")
        << SIGTERM << "silent"
        << "switching"
        << "running" << false << off
        << QStringList{"timeout VP0000", "timeout ENBL0", "xray-off-unanswered ENBL0", "stop"}
        << kNoEnbl0Reply;
    QTest::newRow("second SIGTERM, slow, X-rays on")
        << SIGTERM << "slow"
        << "on"
        << "running" << true << off
        << QStringList{"timeout ENBL0", "xray-off-unanswered ENBL0", "stop"} << kNoEnbl0Reply;
    QTest::newRow("SIGTERM, silent, start-up")
        << SIGTERM << "silent"
        << "off"
        << "start-up" << false << none << QStringList{"timeout FREV", "version", "stop"} << "";
    QTest::newRow("SIGINT, slow, start-up")
        << SIGINT << "slow"
        << "off"
        << "start-up" << false << none << QStringList{"version 2000", "stop"} << "";
    QTest::newRow("SIGTERM, no port, start-up")
        << SIGTERM << "answering"
        << "off"
        << "no port" << false << none << QStringList{"stop"} << "";
}

void TestSignals::signal()
{
    QFETCH(int, number);
    QFETCH(QString, generator);
    QFETCH(QString, xrays);
    QFETCH(QString, phase);
    QFETCH(bool, twice);
    QFETCH(QList<QByteArray>, enables);
    QFETCH(QStringList, lastEvents);
    QFETCH(QString, stderrText);

    sim::CGeneratorSim sim;
    sim.SetLogSink([](const std::string&) {});
    std::string error;
    QVERIFY2(sim.Start(&error), error.c_str());
    const QString port = phase == "no port" ? QStringLiteral("/nonexistent/ondrel-signal-port")
                                            : QString::fromStdString(sim.SlavePath());
    QTemporaryDir dir;
    const QString record = dir.filePath("r.csv");
    const bool startUp = phase != "running";
    if (startUp && generator == "silent")
        QCOMPARE(sim.Command("silent on"), std::string("ok silent on"));
    if (startUp && generator == "slow")
        QCOMPARE(sim.Command("delay 2000"), std::string("ok delay 2000 ms"));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess console;
    console.setProcessEnvironment(env);
    if (startUp)
        console.start(QStringLiteral(ONDREL_BINARY), {"--port", port, "--record", record});
    else
        console.start(QCoreApplication::applicationFilePath(),
                      {"--child", port, record, xrays == "on" ? "on" : "off"});
    QVERIFY(console.waitForStarted(kDeadlineMs));
    auto recorded = [&](const QString& event) {
        return QTest::qWaitFor([&] { return RecordEvents(record).contains(event); }, kDeadlineMs);
    };

    int mark = 0;
    if (phase == "start-up") {
        QVERIFY(QTest::qWaitFor([&] { return Received(sim, "FREV"); }, kDeadlineMs));
    } else if (phase == "no port") {
        QVERIFY(QTest::qWaitFor(
            [&] { return RecordEvents(record).join(' ').contains("port-error"); }, kDeadlineMs));
    } else {
        QVERIFY(ReadLine(console, "ready", kDeadlineMs));
        if (xrays == "on")
            QVERIFY(QTest::qWaitFor([&] { return EnableFrames(sim, 0) == QList<QByteArray>{kOn}; },
                                    kDeadlineMs));
        mark = int(sim.ReceivedFrames().size());
        if (generator == "silent" || generator == "falling silent")
            QCOMPARE(sim.Command("silent on"), std::string("ok silent on"));
        if (generator == "slow")
            QCOMPARE(sim.Command("delay 3000"), std::string("ok delay 3000 ms"));
        if (generator == "silent")
            QVERIFY(recorded("readings-stopped"));
        if (xrays == "switching") {
            console.write("click\n");
            QVERIFY(ReadLine(console, "box TimeOut...Restart Application", kDeadlineMs));
        }
    }

    QCOMPARE(::kill(pid_t(console.processId()), number), 0);
    if (twice) {
        QVERIFY(QTest::qWaitFor([&] { return Received(sim, "ENBL0", mark); }, kDeadlineMs));
        QCOMPARE(::kill(pid_t(console.processId()), number), 0);
    }
    const bool ended = console.waitForFinished(kDeadlineMs);
    if (!ended) {
        console.kill();
        console.waitForFinished();
    }
    QVERIFY2(ended, "the console is still running");
    const QString errors = QString::fromLocal8Bit(console.readAllStandardError());
    QCOMPARE(console.exitStatus(), QProcess::NormalExit);
    QVERIFY2(console.exitCode() == 128 + number, qPrintable(errors));
    QCOMPARE(EnableFrames(sim, mark), enables);
    const QStringList events = RecordEvents(record);
    if (events.mid(events.size() - lastEvents.size()) != lastEvents)
        qWarning("the record's events: %s; standard error: %s", qPrintable(events.join(", ")),
                 qPrintable(errors));
    QCOMPARE(events.mid(events.size() - lastEvents.size()), lastEvents);
    if (stderrText.isEmpty())
        QVERIFY2(!errors.contains("ENBL0"), qPrintable(errors));
    else
        QCOMPARE(errors.count(stderrText), 1);
    // No box opened after the signal (the switch-on's own was up before it).
    if (!startUp)
        QVERIFY(!console.readAllStandardOutput().contains("box"));
}

int main(int argc, char* argv[])
{
    if (argc >= 5 && std::strcmp(argv[1], "--child") == 0)
        return RunChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestSignals test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_signals.moc"
