// CMSComm over QSerialPort against a real pseudo-terminal: what the console
// relies on when no event loop runs during a wait.
#include "countingclock.h"
#include "exchange.h"
#include "mscomm.h"
#include "ptyend.h"
#include "qserialdevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <termios.h>
#include <thread>

using namespace ondrel;

namespace {

constexpr int kGenerousMs = CPtyEnd::kGenerousMs;

// Polls the count without an event loop until it reaches n or the deadline passes.
int CountReaching(CMSComm& comm, int n)
{
    QDeadlineTimer deadline(kGenerousMs);
    int count = comm.GetInBufferCount();
    while (count < n && !deadline.hasExpired()) {
        std::this_thread::yield();
        count = comm.GetInBufferCount();
    }
    return count;
}

CQSerialDevice* NewDevice(CMSComm& comm)
{
    auto owned = std::make_unique<CQSerialDevice>();
    CQSerialDevice* device = owned.get();
    comm.SetDevice(std::move(owned));
    return device;
}

// VMIN and VTIME as the line has them now; {-1, -1} when they cannot be read.
using WakeChars = std::pair<int, int>;
WakeChars LineWakeChars(CQSerialDevice& device)
{
    termios t{};
    if (::tcgetattr(device.Port().handle(), &t) != 0)
        return {-1, -1};
    return {t.c_cc[VMIN], t.c_cc[VTIME]};
}

enum class Op
{
    Count,
    Input,
    Output
};

} // namespace

Q_DECLARE_METATYPE(Op)

class TestPtyLine : public QObject
{
    Q_OBJECT

private slots:

    void opensSlave_data();
    void opensSlave();
    void lineSettings_data();
    void lineSettings();
    void framingRefused_data();
    void framingRefused();
    void outputLeavesBeforeReturn();
    void countWithoutEventLoop();
    void inputSplitAcrossBuffers_data();
    void inputSplitAcrossBuffers();
    void waitSeesReplyWithoutEventLoop();
    void hangUp_data();
    void hangUp();
    void openErrors_data();
    void openErrors();
    void portInUse();
    void staleInputDiscarded();
    void waitWokenOnceByVmin_data();
    void waitWokenOnceByVmin();
    void waitWokenByHangUp();
    void learnedLagMissesNoReply_data();
    void learnedLagMissesNoReply();
};

void TestPtyLine::opensSlave_data()
{
    QTest::addColumn<bool>("viaSymlink");
    QTest::newRow("slave device") << false;
    QTest::newRow("symlink to the slave") << true;
}

void TestPtyLine::opensSlave()
{
    QFETCH(bool, viaSymlink);
    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    QTemporaryDir dir;
    QString path = pty.SlavePath();
    if (viaSymlink) {
        path = dir.filePath(QStringLiteral("generator"));
        QVERIFY(QFile::link(pty.SlavePath(), path));
    }
    CMSComm comm(nullptr, path);
    comm.SetCommPort(1);
    comm.SetSettings(QStringLiteral("9600,N,8,1"));
    comm.SetPortOpen(true);
    QVERIFY(comm.GetPortOpen());
    comm.SetOutput(QStringLiteral("\x02MON\r"));
    QCOMPARE(pty.Read(5), QByteArray("\x02MON\r"));
    comm.SetPortOpen(false);
    QVERIFY(!comm.GetPortOpen());
}

void TestPtyLine::lineSettings_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("twoStop");

    QTest::newRow("9600,N,8,1") << "9600,N,8,1" << int(B9600) << false;
    QTest::newRow("19200,N,8,2") << "19200,N,8,2" << int(B19200) << true;
    QTest::newRow("1200,N,8,1") << "1200,N,8,1" << int(B1200) << false;
    QTest::newRow("115200,n,8,2") << "115200,n,8,2" << int(B115200) << true;
}

void TestPtyLine::lineSettings()
{
    QFETCH(QString, settings);
    QFETCH(int, speed);
    QFETCH(bool, twoStop);

    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    const auto check = [&] {
        const termios t = pty.Termios();
        QCOMPARE(int(cfgetospeed(&t)), speed);
        QCOMPARE(bool(t.c_cflag & CSTOPB), twoStop);
        QCOMPARE(int(t.c_cflag & CSIZE), int(CS8));
        QCOMPARE(bool(t.c_cflag & PARENB), false);
    };

    // Set before the open ...
    {
        CMSComm comm(nullptr, port);
        comm.SetSettings(settings);
        comm.SetPortOpen(true);
        check();
        if (QTest::currentTestFailed())
            return;
    }
    // ... and changed on an open port, which must take effect at once.
    CMSComm comm(nullptr, port);
    comm.SetSettings(QStringLiteral("2400,N,8,1"));
    comm.SetPortOpen(true);
    comm.SetSettings(settings);
    check();
}

// A pty carries only 8 data bits without parity; asking for anything else must
// fail loudly rather than leave the line in a format the far end does not expect.
void TestPtyLine::framingRefused_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("reason");

    QTest::newRow("7 data bits") << "9600,N,7,1"
                                 << "7 data bits";
    QTest::newRow("even parity") << "9600,E,8,1"
                                 << "even parity";
    QTest::newRow("odd parity, 7 bits") << "9600,O,7,1"
                                        << "";
    QTest::newRow("space parity") << "9600,S,8,1"
                                  << "the device does not take space parity";
    QTest::newRow("odd parity") << "9600,O,8,1"
                                << "the device does not take odd parity";
    QTest::newRow("mark parity") << "9600,M,8,1"
                                 << "the device does not take mark parity";
}

void TestPtyLine::framingRefused()
{
    QFETCH(QString, settings);
    QFETCH(QString, reason);

    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    {
        CMSComm comm(nullptr, port);
        comm.SetSettings(settings);
        try {
            comm.SetPortOpen(true);
            QFAIL("a framing the device does not carry was accepted at open");
        } catch (const CCommError& e) {
            QVERIFY2(e.Message().startsWith(QStringLiteral("Cannot open ") + pty.SlavePath()),
                     qPrintable(e.Message()));
            QVERIFY2(e.Message().contains(reason), qPrintable(e.Message()));
        }
        QVERIFY(!comm.GetPortOpen());
    }
    CMSComm comm(nullptr, port);
    comm.SetPortOpen(true);
    QVERIFY_THROWS_EXCEPTION(CCommError, comm.SetSettings(settings));
    QCOMPARE(comm.GetSettings(), QStringLiteral("9600,N,8,1"));
}

// Without an event loop a write that only reached QSerialPort's buffer would
// never leave, so a bounded poll of the master without one proves it left.
void TestPtyLine::outputLeavesBeforeReturn()
{
    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    CMSComm comm(nullptr, port);
    CQSerialDevice* device = NewDevice(comm);
    comm.SetPortOpen(true);

    const QByteArray frames[] = {"\x02"
                                 "FREV\r",
                                 "\x02"
                                 "VP0805\r",
                                 "\x02"
                                 "ENBL1\r"};
    for (const QByteArray& frame : frames) {
        comm.SetOutput(QString::fromLatin1(frame));
        QCOMPARE(device->Port().bytesToWrite(), qint64(0));
        QCOMPARE(pty.Read(frame.size()), frame);
    }
    // A block larger than the kernel takes in one go, while the far end reads.
    const QByteArray big(100000, 'z');
    QByteArray received;
    std::thread reader([&] { received = pty.Read(big.size()); });
    comm.SetOutput(big);
    QCOMPARE(device->Port().bytesToWrite(), qint64(0));
    reader.join();
    QCOMPARE(received.size(), big.size());
}

void TestPtyLine::countWithoutEventLoop()
{
    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    CMSComm comm(nullptr, port);
    CQSerialDevice* device = NewDevice(comm);
    comm.SetPortOpen(true);

    QCOMPARE(int(comm.GetInBufferCount()), 0);
    QVERIFY(pty.Send("\x02"
                     "0 0 0 0 0 0 0 0 0\r"));
    QCOMPARE(CountReaching(comm, 19), 19);
    QCOMPARE(device->Port().bytesAvailable(), qint64(0)); // all still in the kernel
    // Counting removes nothing.
    QCOMPARE(int(comm.GetInBufferCount()), 19);
    comm.SetInputLen(19);
    QCOMPARE(ReplyText(comm.GetInput()), QByteArray("\x02"
                                                    "0 0 0 0 0 0 0 0 0\r"));
    QCOMPARE(int(comm.GetInBufferCount()), 0);
}

void TestPtyLine::inputSplitAcrossBuffers_data()
{
    QTest::addColumn<QByteArray>("buffered");
    QTest::addColumn<QByteArray>("queued");
    QTest::addColumn<int>("inputLen");
    QTest::addColumn<QByteArray>("taken");

    QTest::newRow("reply split in two") << QByteArray("\x02"
                                                      "20")
                                        << QByteArray("00\r") << 6
                                        << QByteArray("\x02"
                                                      "2000\r");
    QTest::newRow("one character buffered") << QByteArray("\x02") << QByteArray("CLR\r") << 5
                                            << QByteArray("\x02"
                                                          "CLR\r");
    QTest::newRow("InputLen inside the buffered part") << QByteArray("\x02"
                                                                     "CLR\r\x02")
                                                       << QByteArray("ENBL1\r") << 5
                                                       << QByteArray("\x02"
                                                                     "CLR\r");
    QTest::newRow("InputLen 0 takes both parts")
        << QByteArray("ab\x80") << QByteArray("\xff\0cd", 4) << 0
        << QByteArray("ab\x80\xff\0cd", 7);
    QTest::newRow("InputLen beyond both parts") << QByteArray("\x02"
                                                              "2")
                                                << QByteArray("00") << 6
                                                << QByteArray("\x02"
                                                              "200");
}

void TestPtyLine::inputSplitAcrossBuffers()
{
    QFETCH(QByteArray, buffered);
    QFETCH(QByteArray, queued);
    QFETCH(int, inputLen);
    QFETCH(QByteArray, taken);

    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    CMSComm comm(nullptr, port);
    CQSerialDevice* device = NewDevice(comm);
    comm.SetPortOpen(true);

    // First part: let the event loop move it into QSerialPort, as a message box would.
    QVERIFY(pty.Send(buffered));
    QTRY_COMPARE_WITH_TIMEOUT(device->Port().bytesAvailable(), qint64(buffered.size()),
                              kGenerousMs);
    // Second part stays in the kernel: no event loop from here on.
    QVERIFY(pty.Send(queued));
    const int total = buffered.size() + queued.size();
    QCOMPARE(CountReaching(comm, total), total);
    QCOMPARE(device->Port().bytesAvailable(), qint64(buffered.size()));

    comm.SetInputLen(short(inputLen));
    QCOMPARE(ReplyText(comm.GetInput()), taken);
    QCOMPARE(int(comm.GetInBufferCount()), total - taken.size());
    comm.SetInputLen(0);
    QCOMPARE(ReplyText(comm.GetInput()), (buffered + queued).mid(taken.size()));
}

// The whole exchange on the real line with the real deadline sleep; the reply is
// written by another thread while the wait blocks this one.
void TestPtyLine::waitSeesReplyWithoutEventLoop()
{
    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    CMSComm comm(nullptr, port);
    comm.SetPortOpen(true);

    std::thread generator([&pty] {
        const QByteArray frame = pty.Read(6);
        if (frame == "\x02"
                     "FREV\r") {
            pty.Send("\x02"
                     "20");
            pty.Send("00\r");
        }
    });
    comm.SetOutput(QStringLiteral("\x02"
                                  "FREV\r"));
    comm.SetInputLen(6);
    const bool ok = WaitForReply(comm, 6);
    generator.join();
    QVERIFY(ok);
    QCOMPARE(ReplyText(comm.GetInput()), QByteArray("\x02"
                                                    "2000\r"));
}

void TestPtyLine::hangUp_data()
{
    QTest::addColumn<Op>("op");
    QTest::addColumn<bool>("eventLoopFirst");

    QTest::newRow("count") << Op::Count << false;
    QTest::newRow("input") << Op::Input << false;
    QTest::newRow("output") << Op::Output << false;
    QTest::newRow("event loop first, then count") << Op::Count << true;
    QTest::newRow("event loop first, then input") << Op::Input << true;
    QTest::newRow("event loop first, then output") << Op::Output << true;
}

void TestPtyLine::hangUp()
{
    QFETCH(Op, op);
    QFETCH(bool, eventLoopFirst);

    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    CMSComm comm(nullptr, port);
    CQSerialDevice* device = NewDevice(comm);
    comm.SetPortOpen(true);
    pty.DropOwnSlave();
    pty.Close();

    // Once the hang-up is seen the descriptor must be gone, or its read notifier
    // would keep the event loop spinning.
    if (eventLoopFirst)
        QTRY_VERIFY_WITH_TIMEOUT(!device->Port().isOpen(), kGenerousMs);
    try {
        switch (op) {
        case Op::Count:
            comm.GetInBufferCount();
            break;
        case Op::Input:
            comm.SetInputLen(6);
            comm.GetInput();
            break;
        case Op::Output:
            comm.SetOutput(QStringLiteral("\x02MON\r"));
            break;
        }
        QFAIL("a hung-up line went unnoticed");
    } catch (const CCommError& e) {
        QVERIFY2(e.Message().contains(pty.SlavePath()), qPrintable(e.Message()));
        QVERIFY2(!e.Message().contains(QLatin1String("not open")), qPrintable(e.Message()));
    }
    QVERIFY(!device->Port().isOpen());
    // The console still sees its port open, and closing it works.
    QVERIFY(comm.GetPortOpen());
    QVERIFY_THROWS_EXCEPTION(CCommError, comm.GetInBufferCount());
    comm.SetPortOpen(false);
    QVERIFY(!comm.GetPortOpen());
}

void TestPtyLine::openErrors_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no such device") << "ttyNone"
                                    << "No such file or directory";
    QTest::newRow("dangling symlink") << "dangling"
                                      << "No such file or directory";
    QTest::newRow("directory in the path") << "file/ttyS0"
                                           << "Not a directory";
    QTest::newRow("not a serial device") << "file"
                                         << "";
}

void TestPtyLine::openErrors()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")),
                        dir.filePath(QStringLiteral("dangling"))));
    QFile file(dir.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    const QString path = dir.filePath(name);
    CMSComm comm(nullptr, path);
    try {
        comm.SetPortOpen(true);
        QFAIL("opened a device that is not there");
    } catch (const CCommError& e) {
        const QString expected = QStringLiteral("Cannot open %1: %2").arg(path, reason);
        if (reason.isEmpty()) // the system's words for "no tty" vary; any reason will do
            QVERIFY2(e.Message().startsWith(expected) && e.Message().size() > expected.size() + 3,
                     qPrintable(e.Message()));
        else
            QCOMPARE(e.Message(), expected);
    }
    QVERIFY(!comm.GetPortOpen());
}

void TestPtyLine::portInUse()
{
    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    CMSComm first(nullptr, port);
    first.SetPortOpen(true);
    CMSComm second(nullptr, port);
    try {
        second.SetPortOpen(true);
        QFAIL("a port in use was opened twice");
    } catch (const CCommError& e) {
        QVERIFY2(
            e.Message().startsWith(
                QStringLiteral("Cannot open %1: in use by another program").arg(pty.SlavePath())),
            qPrintable(e.Message()));
    }
    QVERIFY(first.GetPortOpen());
}

// Leftovers of an earlier run (a reply that came after a time-out, stray
// characters) must not spoil the first exchange after the port is opened again,
// or restarting the console would not bring it back.
void TestPtyLine::staleInputDiscarded()
{
    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    QVERIFY(pty.Send("stale before open"));
    CMSComm comm(nullptr, port);
    comm.SetPortOpen(true);
    QCOMPARE(int(comm.GetInBufferCount()), 0);

    QVERIFY(pty.Send("left at close"));
    QCOMPARE(CountReaching(comm, 13), 13);
    comm.SetPortOpen(false);
    comm.SetPortOpen(true);
    QCOMPARE(int(comm.GetInBufferCount()), 0);

    // What arrives once the port is open is kept, whole.
    QVERIFY(pty.Send("\x02"
                     "2000\r"));
    QCOMPARE(CountReaching(comm, 6), 6);
    comm.SetInputLen(6);
    QCOMPARE(ReplyText(comm.GetInput()), QByteArray("\x02"
                                                    "2000\r"));
}

// On a tty, VMIN with VTIME 0 makes poll() report the line readable only once
// that many characters are queued: the wait sleeps through a reply that comes a
// character at a time (woken by its first character, then once for the rest),
// and gives the line its own VMIN back afterwards.
void TestPtyLine::waitWokenOnceByVmin_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("result");
    // One sleep a piece would mean VMIN did nothing; -1: not counted.
    QTest::addColumn<int>("maxSleeps");

    QList<QByteArray> paced;
    for (char c : QByteArray("\x02"
                             "0805 1100 0250 0000\r"))
        paced << QByteArray(1, c);
    // The first character, the rest, and the long-wait mark on a slow machine.
    QTest::newRow("reply a character at a time") << paced << 21 << true << 3;
    QTest::newRow("reply longer than VMIN can hold")
        << QList<QByteArray>{QByteArray(280, 'a'), QByteArray(20, 'b')} << 300 << true << -1;
    QTest::newRow("more than n, then the end") << QList<QByteArray>{QByteArray("\x02"
                                                                               "2000\r\x02\x02")}
                                               << 6 << false << 4;
}

void TestPtyLine::waitWokenOnceByVmin()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, n);
    QFETCH(bool, result);
    QFETCH(int, maxSleeps);

    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    CMSComm comm(nullptr, port);
    CQSerialDevice* device = NewDevice(comm);
    comm.SetPortOpen(true);
    const WakeChars before = LineWakeChars(*device);
    QVERIFY(before.first >= 0);

    std::thread generator([&pty, pieces] {
        if (pty.Read(6) != "\x02"
                           "FREV\r")
            return;
        for (const QByteArray& piece : pieces) {
            pty.Send(piece);
            // Paced like a 9600 baud line, so the pieces reach a sleeping wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    CCountingClock clock;
    CWaitContext context;
    context.SetClock(&clock);
    comm.SetOutput(QStringLiteral("\x02"
                                  "FREV\r"));
    const bool ok = WaitForReply(comm, n, context);
    generator.join();

    QCOMPARE(ok, result);
    if (maxSleeps >= 0)
        QVERIFY2(clock.sleeps <= maxSleeps, qPrintable(QString::number(clock.sleeps)));
    QCOMPARE(LineWakeChars(*device), before);
    int total = 0;
    for (const QByteArray& piece : pieces)
        total += piece.size();
    QCOMPARE(int(comm.GetInBufferCount()), total);
}

// A line that hangs up wakes the sleeping wait, which reports it rather than
// sleeping on to a time-out.
void TestPtyLine::waitWokenByHangUp()
{
    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    const QString port = pty.SlavePath();
    CMSComm comm(nullptr, port);
    comm.SetPortOpen(true);
    pty.DropOwnSlave();

    std::thread generator([&pty] {
        pty.Read(6);
        pty.Close();
    });
    CCountingClock clock;
    CWaitContext context;
    context.SetClock(&clock);
    comm.SetOutput(QStringLiteral("\x02"
                                  "FREV\r"));
    bool threw = false;
    try {
        WaitForReply(comm, 6, context);
    } catch (const CCommError& e) {
        threw = true;
        QVERIFY2(e.Message().contains(pty.SlavePath()), qPrintable(e.Message()));
    }
    generator.join();
    QVERIFY(threw);
    QVERIFY(clock.Elapsed() < kWaitEnd);
}

// Once the line has learned how soon its generator answers, the wait sleeps
// through most of a reply. A generator that answers sooner, later, or stalls
// half-way must still have every reply seen, and the line keep its own VMIN.
void TestPtyLine::learnedLagMissesNoReply_data()
{
    QTest::addColumn<QList<int>>("lagsMs"); // one exchange each
    QTest::addColumn<int>("stallMs");       // in the middle of the last reply
    const QList<int> learn{6, 6, 6, 6, 6};
    QTest::newRow("as learned") << learn + QList<int>{6, 6} << 0;
    QTest::newRow("all at once, sooner than learned") << learn + QList<int>{0, 6} << 0;
    QTest::newRow("later than learned") << learn + QList<int>{30, 6} << 0;
    QTest::newRow("stalls half-way") << learn + QList<int>{6} << 25;
}

void TestPtyLine::learnedLagMissesNoReply()
{
    QFETCH(QList<int>, lagsMs);
    QFETCH(int, stallMs);
    const QByteArray reply("\x02"
                           "0805 1100 0250 0000\r");
    CPtyEnd pty;
    QVERIFY(pty.IsOpen());
    CMSComm comm(nullptr, pty.SlavePath());
    CQSerialDevice* device = NewDevice(comm);
    comm.SetPortOpen(true);
    const WakeChars before = LineWakeChars(*device);
    QVERIFY(before.first >= 0);

    std::thread generator([&pty, lagsMs, stallMs, reply] {
        using std::chrono::milliseconds;
        for (int i = 0; i < lagsMs.size(); ++i) {
            if (pty.Read(5) != "\x02MON\r")
                return;
            const bool last = i == lagsMs.size() - 1;
            if (lagsMs[i] == 0) {
                pty.Send(reply);
                continue;
            }
            std::this_thread::sleep_for(milliseconds(lagsMs[i]));
            for (int c = 0; c < reply.size(); ++c) {
                pty.Send(reply.mid(c, 1));
                std::this_thread::sleep_for(milliseconds(last && c == 10 ? stallMs : 1));
            }
        }
    });
    int seen = 0;
    for (int i = 0; i < lagsMs.size(); ++i) {
        comm.SetOutput(QStringLiteral("\x02MON\r"));
        if (!WaitForReply(comm, int(reply.size())))
            break;
        if (ReplyText(comm.GetInput()) == reply)
            ++seen;
    }
    generator.join();
    QCOMPARE(seen, lagsMs.size());
    QCOMPARE(LineWakeChars(*device), before);
}

QTEST_GUILESS_MAIN(TestPtyLine)
#include "tst_ptyline.moc"
