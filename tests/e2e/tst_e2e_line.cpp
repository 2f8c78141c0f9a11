// Start-up and the line itself: the version read against a misbehaving
// generator, a port path that is missing or vanishes, a line that hangs up, and
// a port another program already holds.
#include "e2erig.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using namespace ondrel;
using namespace ondrel::e2e;

class TestE2ELine : public QObject
{
    Q_OBJECT
private slots:
    void versionRead_data();
    void versionRead();
    void lateVersionReplyIsTakenAfterTheBox();
    void missingPortThenNew();
    void vanishedPath();
    void hangUpBetweenTicks();
    void hangUpDuringPollWait();
    void hangUpDuringCommandBox();
    void portHeldByAnotherProgram();
    void portHeldWithoutLockFile();
};

namespace {

const char* const kHoldArgument = "--hold-port";

bool WaitForStop(CE2ERig& rig)
{
    return rig.WaitFor([] { return g_linkFailed == 1; });
}

// Every later tick finds the poll stopped: nothing reaches the generator.
bool NothingPolledLater(CE2ERig& rig)
{
    const int count = rig.ReceivedCount();
    return rig.WaitTicks(3) && rig.ReceivedCount() == count;
}

QString StatusLine(CE2ERig& rig)
{
    return QStringLiteral("status bar: \"%1\"").arg(rig.StatusText());
}

} // namespace

void TestE2ELine::versionRead_data()
{
    QTest::addColumn<QStringList>("inject");
    QTest::addColumn<int>("boxes");
    QTest::addColumn<QByteArray>("version"); // as Latin-1 bytes
    // Empty while the poll runs on; else the read-outs once it has stopped.
    QTest::addColumn<QStringList>("stopped");

    auto next = [](const QByteArray& reply) { return QString::fromStdString(NextCommand(reply)); };
    const QStringList runs;
    const QStringList blank(4, QString());

    QTest::newRow("answered") << QStringList{} << 0 << QByteArray("2000") << runs;
    // One box, an empty version, then the first tick's two waits stop the poll.
    QTest::newRow("silence") << QStringList{"silent on"} << 1 << QByteArray() << blank;
    // Five of six: the box, then the five are read and shown, and nothing is left.
    QTest::newRow("short reply") << QStringList{next("\x02"
                                                     "200")}
                                 << 1
                                 << QByteArray("\x02"
                                               "200")
                                 << runs;
    // Eight for six: the count overshoots, the read takes the first six (which
    // are the expected reply) and leaves "99". With them the fault reply makes 21,
    // not 19; those 21 are what the monitor wait of the same tick wants, so the
    // fault reply is read as readings.
    QTest::newRow("long reply") << QStringList{next("\x02"
                                                    "2000\r99")}
                                << 1 << QByteArray("2000")
                                << QStringList{QString(),
                                               QString::fromLatin1("9\x02"
                                                                   "0. "),
                                               " 0 0", "0 0. "};
    QTest::newRow("garbled reply, shown as received") << QStringList{next("\x02"
                                                                          "2?0?\r")}
                                                      << 0
                                                      << QByteArray("\x02"
                                                                    "2?0?\r")
                                                      << runs;
    // "XY" before the six: the read takes "XY" and four, "0\r" is left over, with
    // the same effect on the first poll.
    QTest::newRow("stray characters before the reply") << QStringList{"stray XY"} << 1
                                                       << QByteArray("XY\x02"
                                                                     "200")
                                                       << QStringList{QString(),
                                                                      QString::fromLatin1("\r\x02"
                                                                                          "0. "),
                                                                      " 0 0", "0 0. "};
    QTest::newRow("bytes 0x80-0xFF") << QStringList{next("\x02\xB0\xE9\xFF\x80\r")} << 0
                                     << QByteArray("\x02\xB0\xE9\xFF\x80\r") << runs;
    const QByteArray withNul("\x02"
                             "2\0"
                             "00\r",
                             6);
    QTest::newRow("NUL inside") << QStringList{next(withNul)} << 0 << withNul << runs;
    QTest::newRow("delayed inside the wait")
        << QStringList{"delay 3000"} << 0 << QByteArray("2000") << runs;
}

void TestE2ELine::versionRead()
{
    QFETCH(QStringList, inject);
    QFETCH(int, boxes);
    QFETCH(QByteArray, version);
    QFETCH(QStringList, stopped);

    CE2ERig rig;
    std::string error;
    QVERIFY2(rig.StartGenerator(&error), error.c_str());
    for (const QString& command : inject)
        QVERIFY2(rig.Inject(command.toStdString()).isEmpty(), qPrintable(command));
    rig.StartConsole();

    QCOMPARE(rig.answerer.Texts(), QStringList(boxes, CE2ERig::TimeOutText()));
    QCOMPARE(rig.answerer.Titles(), QStringList(boxes, QStringLiteral("Ondrel")));
    QCOMPARE(rig.view->m_editVersion->text(), QString::fromLatin1(version));
    QCOMPARE(rig.ReceivedCount(), 1);
    QCOMPARE(g_ready, 1);
    QVERIFY(rig.view->TimerRunning());

    if (!stopped.isEmpty()) {
        // Keeps the real monitor reply from joining leftovers before the first look.
        QVERIFY(rig.Inject("delay 100").isEmpty());
        QVERIFY(WaitForStop(rig));
        E2E_VERIFY_READINGS_STOPPED(rig, stopped);
        QCOMPARE(rig.StatusText(), CE2ERig::StoppedText());
        QVERIFY(rig.WaitForReceived(3));
        QCOMPARE(rig.Received(), (Frames{Frame(frames::kReadVersion), Frame(frames::kReadFaults),
                                         Frame(frames::kReadMonitor)}));
        QVERIFY(rig.Inject("normal").isEmpty());
        QVERIFY(NothingPolledLater(rig));
    } else {
        QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));
        QCOMPARE(g_linkFailed, 0);
    }
    QCOMPARE(rig.answerer.Count(), boxes);
}

void TestE2ELine::lateVersionReplyIsTakenAfterTheBox()
{
    // Delayed past the wait: the box, and the reply landing while it is up is
    // what the read after the box takes.
    CE2ERig rig;
    std::string error;
    QVERIFY2(rig.StartGenerator(&error), error.c_str());
    bool landed = false;
    rig.answerer.SetWhileShown([&](QWidget*, int) {
        landed = rig.WaitFor([&] { return rig.Waiting() == frames::kReadVersion.replyLength; });
        rig.Inject("delay 0");
    });
    QVERIFY(rig.Inject("delay 4000").isEmpty());
    rig.StartConsole();

    QCOMPARE(rig.answerer.Texts(), QStringList{CE2ERig::TimeOutText()});
    QVERIFY(landed);
    QCOMPARE(rig.view->m_editVersion->text(), QStringLiteral("2000"));
    QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));
    QCOMPARE(g_linkFailed, 0);
}

void TestE2ELine::missingPortThenNew()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("generator"));

    CE2ERig rig;
    std::string error;
    QVERIFY2(rig.StartGenerator(&error, path), error.c_str());
    rig.StartConsole();

    // No line, so no frame; one box naming the path and the reason.
    QCOMPARE(rig.answerer.Count(), 1);
    const AnsweredBox box = rig.answerer.Boxes().first();
    QCOMPARE(box.title, QStringLiteral("Ondrel"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, QStringLiteral("Cannot open %1: No such file or directory").arg(path));
    QCOMPARE(rig.ReceivedCount(), 0);
    QVERIFY(!rig.view->m_comm.GetPortOpen());
    QCOMPARE(rig.view->m_editVersion->text(), QString());
    E2E_VERIFY_READINGS_STOPPED(rig, QStringList(4, QString()));
    QCOMPARE(rig.StatusText(), box.text);
    QVERIFY(rig.view->TimerRunning());

    // An operator command has no line to send on: it says so and leaves the flags.
    rig.view->m_checkXray->click();
    QVERIFY2(
        rig.StatusText().startsWith(QStringLiteral("Cannot send: port %1 is not open").arg(path)),
        qPrintable(StatusLine(rig)));
    QCOMPARE(rig.answerer.Count(), 1);
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);
    QCOMPARE(rig.ReceivedCount(), 0);

    // The path appears (the cable plugged in); New starts up again and opens it.
    QVERIFY(QFile::link(rig.SlavePath(), path));
    rig.view->OnInitialUpdate();
    QCOMPARE(rig.answerer.Count(), 1);
    QVERIFY(rig.view->m_comm.GetPortOpen());
    QCOMPARE(rig.view->m_editVersion->text(), QStringLiteral("2000"));
    QCOMPARE(rig.Received(), Frames{Frame(frames::kReadVersion)});
    // The poll, once stopped, stays stopped; the operator commands work again.
    QVERIFY(NothingPolledLater(rig));
    rig.view->m_checkXray->click();
    QCOMPARE(rig.Received(), (Frames{Frame(frames::kReadVersion), Frame(frames::kDisable)}));
    QCOMPARE(rig.answerer.Count(), 1);
}

void TestE2ELine::vanishedPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    sim::Options options;
    options.linkPath = dir.filePath(QStringLiteral("generator")).toStdString();
    const QString link = QString::fromStdString(options.linkPath);

    CE2ERig rig(options);
    std::string error;
    QVERIFY2(rig.StartGenerator(&error, link), error.c_str());
    rig.StartConsole();
    QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));

    // The name goes; the open line does not.
    QVERIFY(rig.Inject("unlink").isEmpty());
    QVERIFY(!QFileInfo::exists(link));
    int mark = rig.ReceivedCount();
    rig.view->m_checkXray->click();
    QCOMPARE(
        rig.ReceivedSince(mark),
        (Frames{Frame(frames::kVoltageZero), Frame(frames::kCurrentZero), Frame(frames::kEnable)}));
    QCOMPARE(rig.answerer.Count(), 0);

    // New with the port still open leaves it alone: no reopen, no frame, no box.
    mark = rig.ReceivedCount();
    rig.view->OnInitialUpdate();
    QCOMPARE(rig.ReceivedCount(), mark);
    QCOMPARE(rig.answerer.Count(), 0);
    QVERIFY(rig.WaitFor([&] { return rig.ReceivedCount() >= mark + 4; })); // polls go on
    QCOMPARE(g_linkFailed, 0);

    // Once the port is closed, a start-up looks for the name and finds nothing.
    QCloseEvent close;
    QCoreApplication::sendEvent(rig.view, &close);
    QVERIFY(!rig.view->m_comm.GetPortOpen());
    mark = rig.ReceivedCount();
    rig.view->OnInitialUpdate();
    QCOMPARE(rig.answerer.Texts(),
             QStringList{QStringLiteral("Cannot open %1: No such file or directory").arg(link)});
    QCOMPARE(rig.ReceivedCount(), mark);
    QCOMPARE(g_linkFailed, 1);
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);
    QVERIFY2(rig.StatusText().startsWith(QStringLiteral("Cannot open %1").arg(link)),
             qPrintable(StatusLine(rig)));
}

void TestE2ELine::hangUpBetweenTicks()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    sim::Options options;
    options.linkPath = dir.filePath(QStringLiteral("generator")).toStdString();
    const QString link = QString::fromStdString(options.linkPath);

    CE2ERig rig(options);
    std::string error;
    QVERIFY2(rig.StartGenerator(&error, link), error.c_str());
    const QString path = link;
    rig.StartConsole();
    QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));

    // The cable pulled: the pty the console holds is hung up for good (the
    // generator comes back on a new one).
    QVERIFY(rig.Inject("reopen 100").isEmpty());
    QVERIFY(rig.SlavePath() != path);
    const QStringList last = rig.ReadOutTexts();
    QVERIFY(WaitForStop(rig));
    E2E_VERIFY_READINGS_STOPPED(rig, last);
    // The next poll's frame cannot go out.
    QVERIFY2(rig.StatusText().startsWith(
                 QStringLiteral("%1 (Cannot send to %2").arg(CE2ERig::StoppedText(), path)),
             qPrintable(StatusLine(rig)));
    QCOMPARE(rig.answerer.Count(), 0);

    // The dead line has been let go: an operator command says so and ends early.
    QVERIFY(!rig.view->m_comm.GetPortOpen());
    rig.view->m_checkXray->click();
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);
    QCOMPARE(rig.answerer.Count(), 0);
    QVERIFY2(
        rig.StatusText().startsWith(QStringLiteral("Cannot send: port %1 is not open").arg(path)),
        qPrintable(StatusLine(rig)));
    QCOMPARE(rig.ReceivedCount(frames::kEnable), 0);
    QVERIFY(rig.WaitTicks(3)); // and the ticks do nothing harmful
    QCOMPARE(rig.answerer.Count(), 0);

    // Plugged back in (the name now leads to the new line): New opens it again and
    // reads the revision; polling stays stopped, the commands reach the generator.
    const int mark = rig.ReceivedCount();
    rig.view->OnInitialUpdate();
    QVERIFY(rig.view->m_comm.GetPortOpen());
    QCOMPARE(rig.view->m_editVersion->text(), QStringLiteral("2000"));
    QCOMPARE(rig.answerer.Count(), 0);
    QVERIFY(NothingPolledLater(rig));
    rig.view->m_checkXray->click(); // off again: the click on the dead line turned it on
    QCOMPARE(rig.ReceivedSince(mark),
             (Frames{Frame(frames::kReadVersion), Frame(frames::kDisable)}));
    QCOMPARE(rig.answerer.Count(), 0);
}

void TestE2ELine::hangUpDuringPollWait()
{
    CE2ERig rig;
    std::string error;
    QVERIFY2(rig.StartGenerator(&error), error.c_str());
    const QString path = rig.SlavePath();
    rig.StartConsole();
    QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));

    // The poll is blocked in its wait when the line goes: the hang-up comes from
    // the generator's side, on another thread.
    const QStringList last = rig.ReadOutTexts();
    const int mark = rig.ReceivedCount();
    QVERIFY(rig.Inject("silent on").isEmpty());
    std::string reopenAnswer;
    std::thread puller([&] {
        QDeadlineTimer deadline(kLongDeadlineMs);
        while (!deadline.hasExpired() && int(rig.generator.ReceivedFrames().size()) <= mark)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        reopenAnswer = rig.generator.Command("reopen 100");
    });
    const bool stopped = WaitForStop(rig);
    puller.join();
    QVERIFY(stopped);
    QVERIFY2(reopenAnswer.rfind("ok", 0) == 0, reopenAnswer.c_str());
    E2E_VERIFY_READINGS_STOPPED(rig, last);
    // The wait's look at the line fails.
    QVERIFY2(rig.StatusText().startsWith(
                 QStringLiteral("%1 (Cannot read from %2").arg(CE2ERig::StoppedText(), path)),
             qPrintable(StatusLine(rig)));
    QCOMPARE(rig.answerer.Count(), 0);
}

void TestE2ELine::hangUpDuringCommandBox()
{
    CE2ERig rig;
    std::string error;
    QVERIFY2(rig.StartGenerator(&error), error.c_str());
    const QString path = rig.SlavePath();
    rig.StartConsole();
    QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));

    // Switching on against silence; the cable goes while the first box is up, so
    // the read after it finds a dead line and the handler ends there.
    QVERIFY(rig.Inject("silent on").isEmpty());
    rig.answerer.SetWhileShown([&](QWidget*, int index) {
        if (index == 0)
            rig.Inject("reopen 100");
    });
    const int mark = rig.ReceivedCount();
    rig.view->m_checkXray->click();

    QCOMPARE(rig.answerer.Texts(), QStringList{CE2ERig::TimeOutText()});
    QCOMPARE(rig.ReceivedSince(mark), Frames{Frame(frames::kVoltageZero)});
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);
    QVERIFY2(rig.StatusText().contains(path), qPrintable(StatusLine(rig)));

    // The next tick polls the dead line and stops for good, quietly.
    QVERIFY(WaitForStop(rig));
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);
    QCOMPARE(rig.answerer.Count(), 1);
    QVERIFY2(rig.StatusText().startsWith(CE2ERig::StoppedText()), qPrintable(StatusLine(rig)));
}

void TestE2ELine::portHeldByAnotherProgram()
{
    CE2ERig rig;
    std::string error;
    QVERIFY2(rig.StartGenerator(&error), error.c_str());
    const QString path = rig.SlavePath();

    // Another program that opened the port as a serial port (lock file, TIOCEXCL).
    QProcess holder;
    holder.start(QCoreApplication::applicationFilePath(),
                 {QString::fromLatin1(kHoldArgument), path});
    QVERIFY(holder.waitForStarted());
    QVERIFY(
        rig.WaitFor([&] { return holder.canReadLine() || holder.state() != QProcess::Running; }));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

    rig.StartConsole();
    QCOMPARE(rig.answerer.Count(), 1);
    const QString text = rig.answerer.Boxes().first().text;
    QVERIFY2(text.startsWith(QStringLiteral("Cannot open %1: in use by another program").arg(path)),
             qPrintable(text));
    QCOMPARE(rig.ReceivedCount(), 0);
    QCOMPARE(g_linkFailed, 1);
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);

    // Once the other program lets go, New opens the port.
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished());
    QCOMPARE(holder.exitCode(), 0);
    rig.view->OnInitialUpdate();
    QCOMPARE(rig.answerer.Count(), 1);
    QCOMPARE(rig.view->m_editVersion->text(), QStringLiteral("2000"));
}

void TestE2ELine::portHeldWithoutLockFile()
{
    // A program that opened the node directly and made it exclusive, leaving no
    // lock file. Linux lets root past TIOCEXCL, so as root (as in CI) the console
    // opens the port too and, while the other program reads nothing, works.
    CE2ERig rig;
    std::string error;
    QVERIFY2(rig.StartGenerator(&error), error.c_str());
    const QByteArray path = rig.SlavePath().toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(fd >= 0);
    QCOMPARE(::ioctl(fd, TIOCEXCL), 0);
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    rig.StartConsole();
    if (::geteuid() != 0) {
        QCOMPARE(rig.answerer.Count(), 1);
        QVERIFY2(
            rig.answerer.Boxes().first().text.startsWith(
                QStringLiteral("Cannot open %1: in use by another program").arg(rig.SlavePath())),
            qPrintable(rig.answerer.Boxes().first().text));
        QCOMPARE(rig.ReceivedCount(), 0);
        return;
    }
    QCOMPARE(rig.answerer.Count(), 0);
    QCOMPARE(rig.view->m_editVersion->text(), QStringLiteral("2000"));
    QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));
    QCOMPARE(g_linkFailed, 0);
}

// Run with --hold-port PATH, the test program stands in for another program that
// has the port open: it holds it until its standard input closes.
int main(int argc, char* argv[])
{
    if (argc == 3 && qstrcmp(argv[1], kHoldArgument) == 0) {
        QCoreApplication app(argc, argv);
        QSerialPort port(QString::fromLocal8Bit(argv[2]));
        if (!port.open(QIODevice::ReadWrite)) {
            std::printf("cannot hold: %s\n", qPrintable(port.errorString()));
            return 1;
        }
        std::printf("held\n");
        std::fflush(stdout);
        QFile input;
        if (input.open(stdin, QIODevice::ReadOnly))
            input.readAll();
        return 0;
    }
    QApplication app(argc, argv);
    TestE2ELine test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_line.moc"
