#include "generatorsim.h"
#include "ptyend.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

using ondrel::CPtyEnd;
using ondrel::sim::CGeneratorSim;
using ondrel::sim::Options;

namespace {

QByteArray Frame(const char* body)
{
    return QByteArray("\x02") + body + "\r";
}

// Bytes with NULs in them: the literal's length, not strlen.
template <std::size_t N> QByteArray Raw(const char (&s)[N])
{
    return QByteArray(s, qsizetype(N - 1));
}

const QByteArray kFrevReply = Frame("2000");
const QByteArray kCleanFlt = Frame("0 0 0 0 0 0 0 0 0");

struct Running
{
    std::unique_ptr<CGeneratorSim> sim;
    std::unique_ptr<CPtyEnd> client;
};

// A simulator with exact readings and no log, and a client on its line.
Running StartSim(Options options = {})
{
    options.startCommands.insert(options.startCommands.begin(), "noise off");
    Running r;
    r.sim = std::make_unique<CGeneratorSim>(options);
    r.sim->SetLogSink(nullptr);
    std::string error;
    if (!r.sim->Start(&error))
        qWarning("simulator did not start: %s", error.c_str());
    r.client = std::make_unique<CPtyEnd>(r.sim->SlavePath());
    return r;
}

QByteArray Mon(CPtyEnd& c)
{
    return c.Exchange(Frame("MON"), 21);
}

// Polls MON until kV and µA read as given (exact readings), or the deadline.
bool WaitForOutput(CPtyEnd& c, const QByteArray& kv, const QByteArray& ua, QByteArray* last)
{
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        *last = Mon(c);
        if (last->mid(1, 4) == kv && last->mid(6, 4) == ua)
            return true;
    }
    return false;
}

} // namespace

class TestGeneratorSim : public QObject
{
    Q_OBJECT

private slots:
    void replies_data();
    void replies();
    void injections_data();
    void injections();
    void noReply_data();
    void noReply();
    void faultFlags_data();
    void faultFlags();
    void rampUpAndDown();
    void faultCutsOutput();
    void noiseFollowsSeed();
    void commands_data();
    void commands();
    void reopenServesAtNewPath();
    void unlinkKeepsLine();
    void consoleReopensSlave();
    void consoleThatNeverReads();
    void commandsFromOtherThreads();
    void logShowsTraffic();
    void programPrintsPathAndLinks();
    void programRejectsBadOptions_data();
    void programRejectsBadOptions();
    void programAcceptsLargestValues();
};

void TestGeneratorSim::replies_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("length");

    QTest::newRow("FREV") << QStringList() << Frame("FREV") << kFrevReply << 6;
    QTest::newRow("FREV other firmware")
        << QStringList{"firmware 2105"} << Frame("FREV") << Frame("2105") << 6;
    QTest::newRow("FLT") << QStringList() << Frame("FLT") << kCleanFlt << 19;
    QTest::newRow("MON at rest") << QStringList() << Frame("MON") << Frame("0000 0000 0250 0000")
                                 << 21;
    QTest::newRow("VP0805") << QStringList() << Frame("VP0805") << Frame("VP0805") << 8;
    QTest::newRow("VP0000") << QStringList() << Frame("VP0000") << Frame("VP0000") << 8;
    QTest::newRow("CP1100") << QStringList() << Frame("CP1100") << Frame("CP1100") << 8;
    QTest::newRow("CP0000") << QStringList() << Frame("CP0000") << Frame("CP0000") << 8;
    QTest::newRow("ENBL1") << QStringList() << Frame("ENBL1") << Frame("ENBL1") << 7;
    QTest::newRow("ENBL0") << QStringList() << Frame("ENBL0") << Frame("ENBL0") << 7;
    QTest::newRow("CLR") << QStringList() << Frame("CLR") << Frame("CLR") << 5;
}

void TestGeneratorSim::replies()
{
    QFETCH(QStringList, setup);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, reply);
    QFETCH(int, length);

    Running r = StartSim();
    QVERIFY(r.client->IsOpen());
    for (const QString& c : setup)
        QVERIFY(r.sim->Command(c.toStdString()).rfind("ok", 0) == 0);
    QByteArray got = r.client->Exchange(frame, length);
    QCOMPARE(got, reply);
    QCOMPARE(got.size(), length);
    // Nothing beyond the reply: the next exchange gets exactly its own answer.
    QCOMPARE(r.client->Exchange(Frame("FLT"), 19), kCleanFlt);
    QCOMPARE(r.sim->RepliesSent(), 2L);
}

void TestGeneratorSim::injections_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QByteArray>("frames");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("short 2") << QStringList{"short 2"} << Frame("FREV")
                             << QByteArray("\x02"
                                           "200");
    QTest::newRow("short cuts all") << QStringList{"short 6"} << Frame("FREV") << QByteArray();
    QTest::newRow("long 3") << QStringList{"long 3"} << Frame("FLT") << kCleanFlt + "999";
    QTest::newRow("garble 2") << QStringList{"garble 2"} << Frame("FREV")
                              << QByteArray("\x02??00\r");
    QTest::newRow("garble past end")
        << QStringList{"garble 50"} << Frame("CLR") << QByteArray("\x02????");
    QTest::newRow("garble then short")
        << QStringList{"garble 1", "short 1"} << Frame("FREV") << QByteArray("\x02?000");
    QTest::newRow("stray once") << QStringList{"stray AB\\x80\\r"} << Frame("FREV") + Frame("FREV")
                                << QByteArray("AB\x80\r") + kFrevReply + kFrevReply;
    QTest::newRow("next replaces") << QStringList{"next \\x02"
                                                  "2105\\r"}
                                   << Frame("FREV") << Frame("2105");
    QTest::newRow("next any bytes")
        << QStringList{"next \\x00\\xff\\x80 \\\\"} << Frame("MON") << Raw("\x00\xff\x80 \\");
    QTest::newRow("next queue") << QStringList{"next A", "next BC"}
                                << Frame("FLT") + Frame("FLT") + Frame("FREV")
                                << QByteArray("ABC") + kFrevReply;
    QTest::newRow("next ignores short")
        << QStringList{"short 3", "next XYZ"} << Frame("FREV") << QByteArray("XYZ");
    QTest::newRow("nul in MON") << QStringList{"nul on"} << Frame("MON")
                                << Raw("\x02"
                                       "0\x00"
                                       "00 0000 0250 0000\r");
    QTest::newRow("nul spares FREV") << QStringList{"nul on"} << Frame("FREV") << kFrevReply;
    QTest::newRow("delay") << QStringList{"delay 30"} << Frame("FREV") << kFrevReply;
    QTest::newRow("drop then answer")
        << QStringList{"drop 2"} << Frame("MON") + Frame("FLT") + Frame("FREV") << kFrevReply;
    QTest::newRow("drop keeps the effect")
        << QStringList{"drop 1"} << Frame("CP1100") + Frame("VP0805") + Frame("ENBL1")
        << Frame("VP0805") + Frame("ENBL1");
}

void TestGeneratorSim::injections()
{
    QFETCH(QStringList, setup);
    QFETCH(QByteArray, frames);
    QFETCH(QByteArray, expected);

    Running r = StartSim();
    for (const QString& c : setup) {
        std::string answer = r.sim->Command(c.toStdString());
        QVERIFY2(answer.rfind("ok", 0) == 0, answer.c_str());
    }
    QVERIFY(r.client->Send(frames));
    if (!expected.isEmpty())
        QCOMPARE(r.client->Read(expected.size()), expected);
    // Once the sim has decided on every frame, lift the injections and check
    // that nothing more than the expected bytes was sent.
    const int frameCount = int(frames.count('\r'));
    QTRY_COMPARE_WITH_TIMEOUT(int(r.sim->ReceivedFrames().size()), frameCount, 10000);
    QVERIFY(r.sim->Command("normal").rfind("ok", 0) == 0);
    QCOMPARE(r.client->Exchange(Frame("FREV"), 6), kFrevReply);
}

void TestGeneratorSim::noReply_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("frames"); // complete frames among the bytes

    QTest::newRow("unknown mnemonic") << QStringList() << Frame("XYZ") << 1;
    QTest::newRow("empty frame") << QStringList() << Frame("") << 1;
    QTest::newRow("VP with a letter") << QStringList() << Frame("VP08a5") << 1;
    QTest::newRow("VP three digits") << QStringList() << Frame("VP805") << 1;
    QTest::newRow("ENBL2") << QStringList() << Frame("ENBL2") << 1;
    QTest::newRow("lower case") << QStringList() << Frame("frev") << 1;
    QTest::newRow("NUL inside") << QStringList() << Raw("\x02M\x00N\r") << 1;
    QTest::newRow("broken by the next STX") << QStringList() << QByteArray("\x02MO") << 0;
    QTest::newRow("CR without STX") << QStringList() << QByteArray("FREV\r") << 0;
    QTest::newRow("garbage without STX")
        << QStringList() << QByteArray(300, 'A') + Raw("\x00\x80\xff\r\n") << 0;
    QTest::newRow("overlong frame") << QStringList() << "\x02" + QByteArray(200, '7') + "\r" << 0;
    QTest::newRow("silent") << QStringList{"silent on"} << Frame("FLT") + Frame("MON") << 2;
    QTest::newRow("drop") << QStringList{"drop 3"} << Frame("FLT") + Frame("VP0805") + Frame("MON")
                          << 3;
}

void TestGeneratorSim::noReply()
{
    QFETCH(QStringList, setup);
    QFETCH(QByteArray, bytes);
    QFETCH(int, frames);

    Running r = StartSim();
    for (const QString& c : setup)
        QVERIFY(r.sim->Command(c.toStdString()).rfind("ok", 0) == 0);
    QVERIFY(r.client->Send(bytes));
    QTRY_COMPARE_WITH_TIMEOUT(int(r.sim->ReceivedFrames().size()), frames, 10000);
    QVERIFY(r.sim->Command("normal").rfind("ok", 0) == 0);
    // Replies keep their order, so a reply to the bad bytes would come first.
    QCOMPARE(r.client->Exchange(Frame("FREV"), 6), kFrevReply);
    QCOMPARE(r.sim->RepliesSent(), 1L);
    QCOMPARE(r.sim->FramesUnanswered(), long(frames));
}

void TestGeneratorSim::faultFlags_data()
{
    QTest::addColumn<int>("flag");
    QTest::addColumn<bool>("byFrame"); // CLR on the line, or the clear command

    for (int flag = 1; flag <= 9; ++flag) {
        bool byFrame = flag % 2 == 1;
        QTest::addRow("fault %d, %s", flag, byFrame ? "CLR" : "clear") << flag << byFrame;
    }
}

void TestGeneratorSim::faultFlags()
{
    QFETCH(int, flag);
    QFETCH(bool, byFrame);

    Running r = StartSim();
    QVERIFY(r.sim->Command("fault " + std::to_string(flag)).rfind("ok", 0) == 0);
    QByteArray expected = kCleanFlt;
    expected[1 + 2 * (flag - 1)] = '1';
    QCOMPARE(r.client->Exchange(Frame("FLT"), 19), expected);
    if (byFrame)
        QCOMPARE(r.client->Exchange(Frame("CLR"), 5), Frame("CLR"));
    else
        QVERIFY(r.sim->Command("clear").rfind("ok", 0) == 0);
    QCOMPARE(r.client->Exchange(Frame("FLT"), 19), kCleanFlt);
}

void TestGeneratorSim::rampUpAndDown()
{
    Running r = StartSim();
    CPtyEnd& c = *r.client;
    QCOMPARE(c.Exchange(Frame("VP0805"), 8), Frame("VP0805"));
    QCOMPARE(c.Exchange(Frame("CP1100"), 8), Frame("CP1100"));
    // Set points alone switch nothing on.
    QCOMPARE(Mon(c), Frame("0000 0000 0250 0000"));
    QCOMPARE(c.Exchange(Frame("ENBL1"), 7), Frame("ENBL1"));
    QByteArray last;
    QVERIFY2(WaitForOutput(c, "0805", "1100", &last), last.constData());
    QCOMPARE(last.size(), 21);
    QCOMPARE(last.at(0), '\x02');
    QCOMPARE(last.at(20), '\r');
    // The tube warms while it runs.
    QTRY_VERIFY_WITH_TIMEOUT(Mon(c).mid(11, 4).toInt() > 250, 20000);

    QCOMPARE(c.Exchange(Frame("ENBL0"), 7), Frame("ENBL0"));
    QVERIFY2(WaitForOutput(c, "0000", "0000", &last), last.constData());
}

void TestGeneratorSim::faultCutsOutput()
{
    Running r = StartSim();
    CPtyEnd& c = *r.client;
    c.Exchange(Frame("VP0805"), 8);
    c.Exchange(Frame("CP1100"), 8);
    c.Exchange(Frame("ENBL1"), 7);
    QByteArray last;
    QVERIFY(WaitForOutput(c, "0805", "1100", &last));
    QVERIFY(r.sim->Command("fault 4").rfind("ok", 0) == 0);
    // An interlock: no ramp down, and clearing the fault does not re-enable.
    QCOMPARE(Mon(c).mid(1, 9), QByteArray("0000 0000"));
    QCOMPARE(c.Exchange(Frame("CLR"), 5), Frame("CLR"));
    QCOMPARE(Mon(c).mid(1, 9), QByteArray("0000 0000"));
    QVERIFY(r.sim->Command("status").find("ENBL0") != std::string::npos);
}

void TestGeneratorSim::noiseFollowsSeed()
{
    auto readings = [](unsigned seed) {
        Options o;
        o.seed = seed;
        o.startCommands = {"noise on"}; // after StartSim's "noise off"
        Running r = StartSim(o);
        QByteArray all;
        for (int i = 0; i < 30; ++i)
            all += Mon(*r.client);
        return all;
    };
    QByteArray first = readings(7);
    QCOMPARE(first.size(), 30 * 21);
    QCOMPARE(readings(7), first);
    QVERIFY(readings(8) != first);
    // Noise on the temperature only, and only a tenth either way.
    for (int i = 0; i < 30; ++i) {
        QByteArray m = first.mid(i * 21, 21);
        QCOMPARE(m.mid(1, 9), QByteArray("0000 0000"));
        QVERIFY2(qAbs(m.mid(11, 4).toInt() - 250) <= 1, m.constData());
    }
}

void TestGeneratorSim::commands_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("accepted");

    const char* good[] = {"help",     "status",        "normal",     "fault 1",    "fault 9",
                          "clear",    "silent on",     "silent off", "short 0",    "long 12",
                          "garble 3", "stray hi \\n",  "next \\x02", "delay 0",    "drop 5",
                          "nul off",  "firmware A1.b", "noise on",   "  status  ", ""};
    for (const char* line : good)
        QTest::addRow("ok '%s'", line) << QString(line) << true;
    const char* bad[] = {"bogus",          "fault",      "fault 0",        "fault 10",
                         "fault x",        "silent",     "silent maybe",   "short -1",
                         "long 1 2",       "garble two", "stray",          "next \\q",
                         "next \\x4",      "next end\\", "delay 99999999", "firmware 123",
                         "firmware 12345", "reopen x",   "help me",        "STATUS"};
    for (const char* line : bad)
        QTest::addRow("bad '%s'", line) << QString(line) << false;
}

void TestGeneratorSim::commands()
{
    QFETCH(QString, line);
    QFETCH(bool, accepted);

    CGeneratorSim sim;
    sim.SetLogSink(nullptr);
    std::string error;
    QCOMPARE(CGeneratorSim::ValidateCommand(line.toStdString(), &error), accepted);
    std::string answer = sim.Command(line.toStdString());
    if (accepted) {
        QVERIFY2(answer.rfind("error", 0) != 0, answer.c_str());
    } else {
        QVERIFY2(answer.rfind("error: ", 0) == 0, answer.c_str());
        QVERIFY(answer.find('\n') == std::string::npos);
        QVERIFY(!error.empty());
    }
}

void TestGeneratorSim::reopenServesAtNewPath()
{
    QTemporaryDir dir;
    const std::string link = dir.filePath("port").toStdString();
    Options o;
    o.linkPath = link;
    Running r = StartSim(o);
    std::vector<std::string> announced;
    std::mutex announcedMutex;
    r.sim->SetPathSink([&](const std::string& p) {
        std::lock_guard<std::mutex> l(announcedMutex);
        announced.push_back(p);
    });
    QCOMPARE(r.client->Exchange(Frame("FREV"), 6), kFrevReply);
    QVERIFY(r.sim->Command("fault 2").rfind("ok", 0) == 0);

    std::string answer = r.sim->Command("reopen 50");
    QVERIFY2(answer.rfind("ok", 0) == 0, answer.c_str());
    QVERIFY(r.client->WaitHangup());
    const std::string path = r.sim->SlavePath();
    QVERIFY(QFileInfo::exists(QString::fromStdString(path)));
    QCOMPARE(QFileInfo(QString::fromStdString(link)).symLinkTarget(), QString::fromStdString(path));
    {
        std::lock_guard<std::mutex> l(announcedMutex);
        QCOMPARE(announced, std::vector<std::string>{path});
    }
    CPtyEnd again(link);
    QVERIFY(again.IsOpen());
    QByteArray expected = kCleanFlt;
    expected[3] = '1'; // the generator kept its state through the pulled cable
    QCOMPARE(again.Exchange(Frame("FLT"), 19), expected);
}

void TestGeneratorSim::unlinkKeepsLine()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("port");
    Options o;
    o.linkPath = link.toStdString();
    Running r = StartSim(o);
    QVERIFY(QFileInfo(link).isSymLink());
    QVERIFY(r.sim->Command("unlink").rfind("ok", 0) == 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QCOMPARE(r.client->Exchange(Frame("FREV"), 6), kFrevReply);
    r.sim->Stop();
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestGeneratorSim::consoleReopensSlave()
{
    Running r = StartSim();
    QCOMPARE(r.client->Exchange(Frame("FREV"), 6), kFrevReply);
    r.client.reset();
    for (int round = 0; round < 3; ++round) {
        CPtyEnd c(r.sim->SlavePath());
        QVERIFY(c.IsOpen());
        QCOMPARE(c.Exchange(Frame("FLT"), 19), kCleanFlt);
    }
}

void TestGeneratorSim::consoleThatNeverReads()
{
    std::mutex logMutex; // outlives the simulator, which logs as it stops
    QStringList log;
    Running r = StartSim();
    r.sim->SetLogSink([&](const std::string& line) {
        std::lock_guard<std::mutex> l(logMutex);
        log << QString::fromStdString(line);
    });
    const int frames = 5000; // far more reply bytes than a pty buffers
    QByteArray burst;
    for (int i = 0; i < frames; ++i)
        burst += Frame("MON");
    QVERIFY(r.client->Send(burst, 60000));
    QTRY_COMPARE_WITH_TIMEOUT(int(r.sim->ReceivedFrames().size()), frames, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(r.sim->RepliesSent() == frames, 60000);
    {
        std::lock_guard<std::mutex> l(logMutex);
        QVERIFY(!log.filter("output dropped").isEmpty());
    }
    // Still serving once the console catches up.
    r.client->Drain();
    QVERIFY(r.client->Send(Frame("FREV")));
    QByteArray tail;
    QDeadlineTimer deadline(20000);
    while (!tail.endsWith(kFrevReply) && !deadline.hasExpired())
        tail += r.client->Read(4096, 100);
    QVERIFY(tail.endsWith(kFrevReply));
}

void TestGeneratorSim::commandsFromOtherThreads()
{
    Options o;
    o.baudPace = true;
    o.turnaroundMs = 0;
    Running r = StartSim(o);
    std::atomic<bool> done{false};
    std::thread other([&] {
        while (!done) {
            r.sim->Command("status");
            r.sim->Command("delay 0");
            r.sim->ReceivedFrames();
        }
    });
    bool allGood = true;
    for (int i = 0; i < 40 && allGood; ++i)
        allGood = r.client->Exchange(Frame("FREV"), 6) == kFrevReply &&
                  r.client->Exchange(Frame("FLT"), 19) == kCleanFlt;
    done = true;
    other.join();
    QVERIFY(allGood);
    QCOMPARE(r.sim->RepliesSent(), 80L);
}

void TestGeneratorSim::logShowsTraffic()
{
    std::mutex logMutex; // outlives the simulator, which logs as it stops
    QStringList log;
    Running r = StartSim();
    r.sim->SetLogSink([&](const std::string& line) {
        std::lock_guard<std::mutex> l(logMutex);
        log << QString::fromStdString(line);
    });
    QVERIFY(r.client->Send(Raw("\x80\x00")));
    QCOMPARE(r.client->Exchange(Frame("FREV"), 6), kFrevReply);
    QCOMPARE(r.client->Exchange(Frame("NOPE"), 0), QByteArray());
    QTRY_COMPARE_WITH_TIMEOUT(int(r.sim->ReceivedFrames().size()), 2, 10000);
    std::lock_guard<std::mutex> l(logMutex);
    const QString all = log.join('\n');
    QVERIFY2(all.contains("<- <STX>FREV<CR>"), qPrintable(all));
    QVERIFY2(all.contains("-> <STX>2000<CR>"), qPrintable(all));
    QVERIFY2(all.contains("<x80><x00>"), qPrintable(all));
    QVERIFY2(all.contains("<- <STX>NOPE<CR>"), qPrintable(all));
    QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ").match(log.first()).hasMatch());
}

void TestGeneratorSim::programPrintsPathAndLinks()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("generator");
    QProcess p;
    p.start(ONDREL_SIM_EXE, {"--link", link, "--quiet", "--firmware", "3001"});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(p.canReadLine(), 20000);
    const QString path = QString::fromLocal8Bit(p.readLine()).trimmed();
    QVERIFY2(path.startsWith("/"), qPrintable(path));
    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(QFileInfo(link).symLinkTarget(), path);

    CPtyEnd c(link.toStdString());
    QCOMPARE(c.Exchange(Frame("FREV"), 6), Frame("3001"));
    p.write("fault 2\nbogus\n");
    QTRY_VERIFY_WITH_TIMEOUT(p.canReadLine(), 20000);
    QVERIFY(p.readLine().startsWith("ok"));
    // End of standard input does not end the generator.
    p.closeWriteChannel();
    QByteArray expected = kCleanFlt;
    expected[3] = '1';
    QCOMPARE(c.Exchange(Frame("FLT"), 19), expected);
    QVERIFY(p.state() == QProcess::Running);

    p.terminate();
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(p.readAllStandardError().contains("unknown command 'bogus'"));
}

void TestGeneratorSim::programRejectsBadOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown") << QStringList{"--bogus"} << "unknown option";
    QTest::newRow("missing value") << QStringList{"--link"} << "needs a value";
    QTest::newRow("firmware length") << QStringList{"--firmware", "123"} << "four";
    QTest::newRow("turnaround") << QStringList{"--turnaround", "soon"} << "--turnaround";
    QTest::newRow("seed") << QStringList{"--seed", "-3"} << "--seed";
    QTest::newRow("seed too large") << QStringList{"--seed", "4294967296"} << "--seed";
    QTest::newRow("bad --do") << QStringList{"--do", "fault 10"} << "fault";
    QTest::newRow("flag with value") << QStringList{"--quiet=yes"} << "takes no value";
}

void TestGeneratorSim::programRejectsBadOptions()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    QProcess p;
    p.start(ONDREL_SIM_EXE, args);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    QCOMPARE(err.count('\n'), 1);
    QVERIFY(p.readAllStandardOutput().isEmpty());
}

// The ends of the ranges the usage text gives are taken.
void TestGeneratorSim::programAcceptsLargestValues()
{
    QProcess p;
    p.start(ONDREL_SIM_EXE, {"--quiet", "--seed", "4294967295", "--turnaround=60000"});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(p.canReadLine() || p.state() != QProcess::Running, 20000);
    QVERIFY2(p.readLine().startsWith("/"), p.readAllStandardError().constData());
    p.terminate();
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestGeneratorSim)
#include "tst_generatorsim.moc"
