// Closing the console with the X-Ray On/Off box checked, against the simulated
// generator: the question and each of its answers as the wire sees them, and
// the termination signals in a console process of its own (this program run
// again with --child).
#include "generatorsim.h"
#include "ondrelview.h"
#include "resource.h"
#include "shellrig.h"

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace ondrel;

namespace {

constexpr int kDeadlineMs = 30000;
const QByteArray kOn = "\x02"
                       "ENBL1\r";
const QByteArray kOff = "\x02"
                        "ENBL0\r";
const QString kQuestion = QStringLiteral("X-rays may still be on. Switch them off before closing?");

// The enable frames the generator received from `mark` on; the poll's are left out.
QList<QByteArray> EnableFrames(const sim::CGeneratorSim& generator, int mark = 0)
{
    QList<QByteArray> frames;
    const std::vector<std::string> all = generator.ReceivedFrames();
    for (size_t i = size_t(mark); i < all.size(); ++i) {
        if (all[i].find("ENBL") != std::string::npos)
            frames << QByteArray::fromStdString(all[i]);
    }
    return frames;
}

int FrameCount(const sim::CGeneratorSim& generator)
{
    return int(generator.ReceivedFrames().size());
}

COndrelView* View()
{
    return CShellRig::Frame()->View();
}

void Say(const char* line)
{
    std::puts(line);
    std::fflush(stdout);
}

// The child's part when a signal is to come during a command's time-out box:
// checks the X-Ray box on "click", says "box" once a box is up, and dismisses
// the box on "go", a tick after it read it.
class CChildScript : public QObject
{
public:
    explicit CChildScript(COndrelView* view) : m_view(view)
    {
        ::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK);
        connect(&m_timer, &QTimer::timeout, this, &CChildScript::Tick);
        m_timer.start(10);
    }

private:
    void Tick()
    {
        char buffer[64];
        const ssize_t count = ::read(0, buffer, sizeof buffer);
        if (count > 0)
            m_input.append(buffer, int(count));
        if (m_step == 0 && m_input.contains("click")) {
            m_step = 1;
            // Not from inside this tick: the command's box runs a loop of its own,
            // and this timer must go on ticking in it.
            QTimer::singleShot(0, m_view->m_checkXray, &QCheckBox::click);
        } else if (m_step == 1 && qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            m_step = 2;
            Say("box");
        } else if (m_step == 2 && m_input.contains("go")) {
            m_step = 3; // the loop polls the signal's pipe before the next tick
        } else if (m_step == 3) {
            m_step = 4;
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->button(QMessageBox::Ok)->click();
        }
    }

    COndrelView* m_view;
    QTimer m_timer;
    QByteArray m_input;
    int m_step = 0;
};

// The child: the whole application on `port`, watching the signals as the
// program does; "checked" checks the X-Ray box at once, "box" follows the
// script above. Says "ready" when it is.
int RunChild(int argc, char* argv[])
{
    const QString port = QString::fromLocal8Bit(argv[2]);
    const QByteArray mode = argv[3];
    COndrelApp app(argc, argv);
    if (!app.InitInstance({QStringLiteral("ondrel"), QStringLiteral("--port"), port}))
        return 90;
    app.WatchTerminationSignals();
    COndrelView* view = app.MainWindow()->View();
    if (mode == "checked")
        view->m_checkXray->click();
    std::unique_ptr<CChildScript> script;
    if (mode == "box")
        script = std::make_unique<CChildScript>(view);
    Say("ready");
    return app.exec();
}

bool ReadLine(QProcess& child, const QByteArray& expected, int deadlineMs)
{
    QDeadlineTimer deadline(deadlineMs);
    while (!child.canReadLine() && !deadline.hasExpired() && child.state() == QProcess::Running)
        child.waitForReadyRead(100);
    const QByteArray line = child.readLine().trimmed();
    if (line != expected)
        qWarning("the child said \"%s\", not \"%s\"", line.constData(), expected.constData());
    return line == expected;
}

} // namespace

class TestClosing : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void question_data();
    void question();
    void silentGeneratorOnSwitchOff();
    void signal_data();
    void signal();

private:
    std::unique_ptr<sim::CGeneratorSim> m_generator;
    std::unique_ptr<CShellRig> m_rig;
};

void TestClosing::init()
{
    m_generator = std::make_unique<sim::CGeneratorSim>();
    m_generator->SetLogSink([](const std::string&) {});
    std::string error;
    QVERIFY2(m_generator->Start(&error), error.c_str());
}

void TestClosing::cleanup()
{
    m_rig.reset(); // the console goes before the generator it talks to
    m_generator.reset();
}

void TestClosing::question_data()
{
    QTest::addColumn<bool>("byExit"); // File > Exit, else the window's close box
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("answer"); // "" takes the default
    QTest::addColumn<bool>("closes");
    QTest::addColumn<bool>("switchesOff");
    for (bool byExit : {true, false}) {
        const char* how = byExit ? "Exit" : "close box";
        QTest::addRow("%s, Switch Off and Close", how)
            << byExit << true << "Switch Off and Close" << true << true;
        QTest::addRow("%s, default", how) << byExit << true << "" << true << true;
        QTest::addRow("%s, Close Anyway", how) << byExit << true << "Close Anyway" << true << false;
        QTest::addRow("%s, Cancel", how) << byExit << true << "Cancel" << false << false;
        QTest::addRow("%s, box clear", how) << byExit << false << "" << true << false;
    }
}

void TestClosing::question()
{
    QFETCH(bool, byExit);
    QFETCH(bool, checked);
    QFETCH(QString, answer);
    QFETCH(bool, closes);
    QFETCH(bool, switchesOff);
    m_rig = std::make_unique<CShellRig>();
    QVERIFY(m_rig->Start({"--port", QString::fromStdString(m_generator->SlavePath())}));
    QCOMPARE(m_rig->answerer.Count(), 0);
    if (checked) {
        View()->m_checkXray->click();
        QCOMPARE(EnableFrames(*m_generator), QList<QByteArray>{kOn});
    }
    const int mark = FrameCount(*m_generator);
    m_rig->answerer.SetAnswer([&](const AnsweredBox&, int) { return answer; });
    if (byExit)
        m_rig->Run(ID_APP_EXIT);
    else
        CShellRig::Frame()->close();

    QCOMPARE(m_rig->answerer.Texts(), checked ? QStringList{kQuestion} : QStringList{});
    if (checked) {
        const AnsweredBox& box = m_rig->answerer.Boxes().first();
        QCOMPARE(box.title, QStringLiteral("Ondrel"));
        QStringList buttons = box.buttonTexts;
        buttons.sort();
        QCOMPARE(buttons, (QStringList{"Cancel", "Close Anyway", "Switch Off and Close"}));
    }
    QCOMPARE(CShellRig::Frame()->isVisible(), !closes);
    QCOMPARE(EnableFrames(*m_generator, mark),
             switchesOff ? QList<QByteArray>{kOff} : QList<QByteArray>{});
    QCOMPARE(View()->XraysMayBeOn(), checked && !switchesOff);
}

void TestClosing::silentGeneratorOnSwitchOff()
{
    m_rig = std::make_unique<CShellRig>();
    QVERIFY(m_rig->Start({"--port", QString::fromStdString(m_generator->SlavePath())}));
    View()->m_checkXray->click();
    const int mark = FrameCount(*m_generator);
    // Silent from the answer on, so that the poll before it is not slowed down.
    m_rig->answerer.SetAnswer([this](const AnsweredBox&, int index) {
        if (index == 0)
            m_generator->Command("silent on");
        return QString();
    });
    m_rig->Run(ID_APP_EXIT);

    QCOMPARE(m_rig->answerer.Texts(), (QStringList{kQuestion, "TimeOut...Restart Application"}));
    QVERIFY(!CShellRig::Frame()->isVisible());
    QCOMPARE(EnableFrames(*m_generator, mark), QList<QByteArray>{kOff});
}

void TestClosing::signal_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("during"); // what the console is doing when it comes
    QTest::newRow("SIGTERM") << SIGTERM << true << "";
    QTest::newRow("SIGHUP") << SIGHUP << true << "";
    QTest::newRow("SIGINT") << SIGINT << true << "";
    QTest::newRow("SIGTERM during a reply wait") << SIGTERM << true << "wait";
    // The box closes without its click, and the rest of the switch-on never
    // follows: ENBL1 must not come after ENBL0.
    QTest::newRow("SIGTERM during a switch-on's time-out box") << SIGTERM << true << "box";
    QTest::newRow("SIGTERM, box clear") << SIGTERM << false << "";
}

void TestClosing::signal()
{
    QFETCH(int, number);
    QFETCH(bool, checked);
    QFETCH(QString, during);
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString mode = during == "box" ? "box" : checked ? "checked" : "clear";
    child.start(QCoreApplication::applicationFilePath(),
                {"--child", QString::fromStdString(m_generator->SlavePath()), mode});
    QVERIFY(child.waitForStarted(kDeadlineMs));
    QVERIFY(ReadLine(child, "ready", kDeadlineMs));
    if (during == "box") {
        QCOMPARE(m_generator->Command("silent on"), std::string("ok silent on"));
        child.write("click\n");
        QVERIFY(ReadLine(child, "box", kDeadlineMs));
    } else {
        QCOMPARE(EnableFrames(*m_generator),
                 checked ? QList<QByteArray>{kOn} : QList<QByteArray>{});
    }
    if (during == "wait") {
        QCOMPARE(m_generator->Command("delay 800"), std::string("ok delay 800 ms"));
        const int mark = FrameCount(*m_generator);
        QVERIFY(QTest::qWaitFor([&] { return FrameCount(*m_generator) > mark; }, kDeadlineMs));
    }

    QCOMPARE(::kill(pid_t(child.processId()), number), 0);
    if (during == "box") {
        QCOMPARE(m_generator->Command("silent off"), std::string("ok silent off"));
        child.write("go\n");
    }
    QVERIFY(child.waitForFinished(kDeadlineMs));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 128 + number);
    // The child waited for the reply to ENBL0 before it ended, so the generator
    // had it by then.
    const QList<QByteArray> expected = during == "box" ? QList<QByteArray>{kOff}
                                       : checked       ? QList<QByteArray>{kOn, kOff}
                                                       : QList<QByteArray>{};
    QCOMPARE(EnableFrames(*m_generator), expected);
}

int main(int argc, char* argv[])
{
    if (argc >= 4 && std::strcmp(argv[1], "--child") == 0)
        return RunChild(argc, argv);
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    COndrelApp app(argc, argv);
    TestClosing test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_closing.moc"
