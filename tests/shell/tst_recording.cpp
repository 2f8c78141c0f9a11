// --record in the application: the option, a path it cannot record to, and a
// disk that fills while the console runs.
#include "cmdlineinfo.h"
#include "consolestate.h"
#include "ondrelview.h"
#include "record.h"
#include "resource.h"
#include "shellrig.h"

#include <QLabel>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace ondrel;

namespace {

constexpr rlim_t kFileSizeLimit = 300; // the header and a few rows

// A disk that fills up, for one process: files stop growing at a few hundred
// bytes, and a write past that fails with EFBIG instead of raising SIGXFSZ.
void LimitFileSize()
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{kFileSizeLimit, kFileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

// Puts this process's limit back when it goes.
class CFileSizeLimit
{
public:
    CFileSizeLimit()
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{kFileSizeLimit, m_saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~CFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }
    CFileSizeLimit(const CFileSizeLimit&) = delete;
    CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;

private:
    rlimit m_saved{};
    void (*m_handler)(int) = nullptr;
};

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT
private slots:
    void option_data();
    void option();
    void badPath_data();
    void badPath();
    void diskFillsUp();
    void recordPane_data();
    void recordPane();
    void stopSaidOnce();
};

void TestRecording::option_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("record");
    QTest::addColumn<QString>("error"); // part of it
    QTest::newRow("none") << QStringList{} << ""
                          << "";
    QTest::newRow("a file") << QStringList{"--record", "/tmp/r.csv"} << "/tmp/r.csv"
                            << "";
    QTest::newRow("with a document") << QStringList{"--record=r.csv", "doc"} << "r.csv"
                                     << "";
    QTest::newRow("no file") << QStringList{"--record"} << ""
                             << "Missing value";
    QTest::newRow("empty file") << QStringList{"--record", ""} << ""
                                << "--record needs a file name";
    QTest::newRow("twice") << QStringList{"--record", "a", "--record", "b"} << ""
                           << "--record may be given only once";
}

void TestRecording::option()
{
    QFETCH(QStringList, args);
    QFETCH(QString, record);
    QFETCH(QString, error);
    const CCommandLineInfo info = CCommandLineInfo::Parse(QStringList{"ondrel"} + args);
    QCOMPARE(info.record, record);
    QVERIFY2(error.isEmpty() ? info.shellCommand != CCommandLineInfo::Shell::Error
                             : info.error.contains(error),
             qPrintable(info.error));
    if (error.isEmpty())
        QVERIFY(CCommandLineInfo::HelpText().contains("--record FILE"));
}

void TestRecording::badPath_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder") << "folder"
                            << "it is a folder";
    QTest::newRow("FIFO") << "fifo"
                          << "it is a FIFO (named pipe), not a file";
    QTest::newRow("missing folder") << "missing"
                                    << "No such file or directory";
}

void TestRecording::badPath()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("r.csv"));
    if (kind == QLatin1String("folder"))
        path = dir.path();
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else
        path = dir.filePath(QStringLiteral("none/r.csv"));

    CShellRig rig;
    QVERIFY(rig.Start({"--record", path}));
    QVERIFY(!rig.App()->Record());
    QCOMPARE(
        rig.Frame()->MessageText(),
        QStringLiteral("Cannot record to %1: %2 (running without a record)").arg(path, reason));
    QVERIFY(rig.Frame()->isVisible());
}

void TestRecording::diskFillsUp()
{
    CShellRig rig;
    QVERIFY(rig.Start({"--simulate", "--record", "/dev/full"}));
    QVERIFY(rig.App()->Record());
    QTRY_COMPARE(rig.Frame()->MessageText(),
                 QStringLiteral("Recording stopped: No space left on device"));
    QVERIFY(!rig.App()->Record()->Recording());
    // The console goes on: its view still ticks, and a later start-up (New) finds
    // the recording ended and says nothing more about it.
    auto* view = rig.Frame()->findChild<COndrelView*>();
    QVERIFY(view);
    QVERIFY(view->TimerRunning());
    rig.Frame()->SetMessageText(QString());
    rig.Run(ID_FILE_NEW);
    QCoreApplication::processEvents();
    QVERIFY(!rig.Frame()->MessageText().startsWith(QLatin1String("Recording stopped")));
}

void TestRecording::recordPane_data()
{
    QTest::addColumn<QString>("record"); // none, file, filling
    QTest::addColumn<QString>("text");   // "" = no pane
    QTest::addColumn<QString>("toolTip");
    QTest::newRow("no record") << "none"
                               << ""
                               << "";
    QTest::newRow("recording") << "file"
                               << "REC"
                               << "";
    QTest::newRow("the disk fills up") << "filling"
                                       << "REC stopped"
                                       << "Recording stopped: File too large";
}

void TestRecording::recordPane()
{
    QFETCH(QString, record);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QTemporaryDir dir;
    QStringList args{"--simulate"};
    if (record != "none")
        args << "--record" << dir.filePath("r.csv");
    ResetConsoleState(); // the rows come from polls, which an earlier missing port stopped
    CShellRig rig;
    std::unique_ptr<CFileSizeLimit> limit;
    if (record == "filling")
        limit = std::make_unique<CFileSizeLimit>();
    QVERIFY(rig.Start(args));
    QLabel* pane = rig.Frame()->RecordPane();
    if (text.isEmpty()) {
        QVERIFY(!pane);
        return;
    }
    QVERIFY(pane);
    QTRY_COMPARE(pane->text(), text);
    QVERIFY(pane->isVisible());
    QCOMPARE(pane->toolTip(), toolTip);
    // Beside the lock indicators, and lasting: another message does not take it away.
    QCOMPARE(pane->parentWidget(), rig.Frame()->StatusBar());
    QVERIFY(pane->x() > rig.Frame()->Indicator(ID_INDICATOR_SCRL)->x());
    rig.Frame()->SetMessageText(QStringLiteral("Telemetry: connected"));
    QCoreApplication::processEvents();
    QCOMPARE(pane->text(), text);
    QCOMPARE(pane->toolTip(), toolTip);
}

void TestRecording::stopSaidOnce()
{
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess console;
    console.setProcessEnvironment(env);
    console.setChildProcessModifier(&LimitFileSize);
    console.start(QStringLiteral(ONDREL_BINARY), {"--simulate", "--record", dir.filePath("r.csv")});
    QVERIFY(console.waitForStarted());
    const QByteArray said = "ondrel: Recording stopped: File too large\n";
    QByteArray errors;
    QTRY_VERIFY_WITH_TIMEOUT((errors += console.readAllStandardError()).contains(said), 30000);
    // The exit, with its stop row, does not say it again.
    QCOMPARE(::kill(pid_t(console.processId()), SIGTERM), 0);
    QVERIFY(console.waitForFinished(30000));
    errors += console.readAllStandardError();
    QCOMPARE(console.exitCode(), 128 + SIGTERM);
    QCOMPARE(errors.count(said), 1);
}

ONDREL_SHELL_TEST_MAIN(TestRecording)
#include "tst_recording.moc"
