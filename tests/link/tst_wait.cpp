// The bounded wait, wake-up by wake-up on virtual time: when it looks, when it
// ends, and that it never takes anything out of the receive buffer.
#include "exchange.h"
#include "fakeport.h"
#include "mscomm.h"
#include "replylag.h"
#include "virtualclock.h"

#include <QtTest>

using namespace ondrel;

namespace {

struct Burst
{
    qint64 atMs; // relative to the start of the wait
    int bytes;
};
using Bursts = QList<Burst>;

// The wait must measure from its own Begin(), not from time zero.
constexpr qint64 kStart = 1000;

struct Rig
{
    CVirtualClock clock;
    CWaitContext context;
    CFakePort* port = nullptr;
    CMSComm comm;
    QStringList hookCalls; // "true@200", "false@3701": what the hook heard, and when

    Rig() : comm(std::make_unique<CFakePort>(&clock))
    {
        port = static_cast<CFakePort*>(&comm.Device());
        context.SetClock(&clock);
        context.SetLongWaitHook([this](bool waiting) {
            hookCalls << QStringLiteral("%1@%2")
                             .arg(waiting ? QLatin1String("true") : QLatin1String("false"))
                             .arg(clock.Now() - kStart);
        });
        clock.AdvanceTo(kStart);
        comm.SetPortOpen(true);
    }
};

} // namespace

Q_DECLARE_METATYPE(Bursts)

class TestWait : public QObject
{
    Q_OBJECT

private slots:
    void waitForReply_data();
    void waitForReply();
    void longWaitHook_data();
    void longWaitHook();
    void waitsMeasureFromTheirOwnBegin();
    void countErrorEscapesTheWait();
    void clockBelongsToItsContext();
    void replyLagEstimate_data();
    void replyLagEstimate();
    void replyLagMeasuredNowAndThen();
};

void TestWait::waitForReply_data()
{
    QTest::addColumn<Bursts>("arrivals");
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("stepping");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("looks");
    QTest::addColumn<qint64>("endsAtMs");
    QTest::addColumn<int>("leftWaiting");

    // Each case twice: on a port that wakes the wait once the count is there, and
    // on one that cannot, where the wait looks every millisecond as it always did.
    // A woken wait that fails still looks once when step kWaitLimit ends, so that
    // what arrives during the last step goes unseen on either port.
    const auto add = [](const char* name, const Bursts& arrivals, int n, bool result,
                        int wokenLooks, int steppedLooks, qint64 endsAtMs, int left) {
        QTest::addRow("%s, woken", name)
            << arrivals << n << false << result << wokenLooks << endsAtMs << left;
        QTest::addRow("%s, stepping", name)
            << arrivals << n << true << result << steppedLooks << endsAtMs << left;
    };
    const int all = kWaitLimit + 1;
    add("exact n before the first check", {{0, 6}}, 6, true, 1, 1, 0, 6);
    add("exact n at a later check", {{250, 19}}, 19, true, 3, 251, 250, 19);
    add("exact n at the last check", {{kWaitLimit, 21}}, 21, true, 3, all, kWaitLimit, 21);
    add("a character at a time", {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}, 5, true, 2, 6, 5, 5);
    add("nothing arrives", {}, 6, false, 3, all, all, 0);
    add("fewer than n, nothing removed", {{0, 4}}, 6, false, 3, all, all, 4);
    add("more than n at every check", {{0, 9}}, 7, false, 3, all, all, 9);
    add("stale characters plus the reply", {{0, 2}, {3, 19}}, 19, false, 4, all, all, 21);
    add("n arrives exactly at the end", {{kWaitLimit + 1, 8}}, 8, false, 3, all, all, 8);
    add("count jumps from n-1 to n+1", {{0, 4}, {40, 2}}, 5, false, 4, all, all, 6);
    add("n = 0 with nothing waiting", {}, 0, true, 1, 1, 0, 0);
    add("n beyond what the count can show", {{0, 40000}}, 40000, false, 3, all, all, 40000);
    add("reply in pieces across wake-ups", {{0, 2}, {150, 2}, {250, 2}}, 6, true, 3, 251, 250, 6);
    add("more than n in one piece", {{30, 8}}, 6, false, 4, all, all, 8);
    add("reply exactly at the long-wait mark", {{200, 6}}, 6, true, 2, 201, 200, 6);
    add("last character in the last step", {{0, 5}, {kWaitLimit, 1}}, 6, true, 3, all, kWaitLimit,
        6);
}

void TestWait::waitForReply()
{
    QFETCH(Bursts, arrivals);
    QFETCH(int, n);
    QFETCH(bool, stepping);
    QFETCH(bool, result);
    QFETCH(int, looks);
    QFETCH(qint64, endsAtMs);
    QFETCH(int, leftWaiting);

    Rig rig;
    rig.port->SetWakeSupported(!stepping);
    for (const Burst& b : arrivals)
        rig.port->Arrive(QByteArray(b.bytes, 'x'), kStart + b.atMs);

    QCOMPARE(WaitForReply(rig.comm, n, rig.context), result);
    QCOMPARE(rig.port->CountCalls(), looks);
    QVERIFY(rig.port->CountCalls() <= kWaitLimit + 1);
    QCOMPARE(rig.clock.Now() - kStart, endsAtMs);
    QCOMPARE(rig.port->ReadCalls(), 0);
    QCOMPARE(rig.port->Pending().size(), leftWaiting);
    // The line is put back as it was however the wait ended.
    QVERIFY(!rig.port->WakeArmed());
    QCOMPARE(rig.port->ArmCalls() > 0, looks > 1);
}

// The busy pointer's cue: only a wait that goes on past the mark, and always
// taken back, a hang-up thrown out of the wait included.
void TestWait::longWaitHook_data()
{
    QTest::addColumn<qint64>("replyAtMs");  // -1: none
    QTest::addColumn<qint64>("hangUpAtMs"); // -1: none
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("reply before the mark") << qint64(150) << qint64(-1) << QStringList{};
    QTest::newRow("reply exactly at the mark") << qint64(200) << qint64(-1) << QStringList{};
    QTest::newRow("reply after the mark")
        << qint64(201) << qint64(-1) << QStringList{"true@200", "false@201"};
    QTest::newRow("time-out") << qint64(-1) << qint64(-1) << QStringList{"true@200", "false@3701"};
    QTest::newRow("hang-up after the mark")
        << qint64(-1) << qint64(300) << QStringList{"true@200", "false@300"};
    QTest::newRow("hang-up before the mark") << qint64(-1) << qint64(100) << QStringList{};
}

void TestWait::longWaitHook()
{
    QFETCH(qint64, replyAtMs);
    QFETCH(qint64, hangUpAtMs);
    QFETCH(QStringList, calls);

    Rig rig;
    if (replyAtMs >= 0)
        rig.port->Arrive("\x02"
                         "2000\r",
                         kStart + replyAtMs);
    if (hangUpAtMs >= 0)
        rig.clock.At(kStart + hangUpAtMs, [&rig] { rig.port->HangUp(); });
    bool threw = false;
    try {
        QCOMPARE(WaitForReply(rig.comm, 6, rig.context), replyAtMs >= 0);
    } catch (const CCommError&) {
        threw = true;
    }
    QCOMPARE(threw, hangUpAtMs >= 0);
    QCOMPARE(rig.hookCalls, calls);
    QVERIFY(!rig.port->WakeArmed());
}

// Each wait measures its deadlines from its own start.
void TestWait::waitsMeasureFromTheirOwnBegin()
{
    Rig rig;
    QVERIFY(!WaitForReply(rig.comm, 3, rig.context));
    QCOMPARE(rig.clock.Now(), kStart + kWaitLimit + 1);
    rig.port->ArriveIn("abc", 30);
    QVERIFY(WaitForReply(rig.comm, 3, rig.context));
    QCOMPARE(rig.clock.Begins(), 2);
    QCOMPARE(rig.clock.WaitStart(), kStart + kWaitLimit + 1);
    QCOMPARE(rig.clock.Now(), kStart + kWaitLimit + 1 + 30);
}

void TestWait::countErrorEscapesTheWait()
{
    Rig rig;
    rig.clock.After(50, [&rig] { rig.port->HangUp(); });

    try {
        WaitForReply(rig.comm, 6, rig.context);
        QFAIL("a vanished device must not look like a time-out");
    } catch (const CCommError& e) {
        QVERIFY2(e.Message().contains(QLatin1String("Input/output error")),
                 qPrintable(e.Message()));
    }
    // Woken by the hang-up itself, not by a millisecond step.
    QCOMPARE(rig.port->CountCalls(), 2);
    QCOMPARE(rig.clock.Now(), kStart + 50);
    QVERIFY(!rig.port->WakeArmed());
}

// A clock given to one context is seen by nothing else, and is gone with it.
void TestWait::clockBelongsToItsContext()
{
    CWaitContext fresh;
    CWaitClock* monotonic = &fresh.Clock();
    QVERIFY(dynamic_cast<CMonotonicWaitClock*>(monotonic));
    {
        Rig rig;
        QCOMPARE(&rig.context.Clock(), static_cast<CWaitClock*>(&rig.clock));
        QCOMPARE(&fresh.Clock(), monotonic);
        rig.context.SetClock(nullptr);
        QVERIFY(dynamic_cast<CMonotonicWaitClock*>(&rig.context.Clock()));
    }
    QCOMPARE(&fresh.Clock(), monotonic);
}

// A script of lags measured (milliseconds) and "f" for a reply that came sooner
// than the estimate; the estimate must never be longer than a recent measurement.
void TestWait::replyLagEstimate_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("estimateMs"); // -1: none yet
    QTest::newRow("nothing measured") << "" << -1;
    QTest::newRow("two are too few") << "5 3" << -1;
    QTest::newRow("the shortest of three") << "5 3 9" << 3;
    QTest::newRow("a short one rolls out after eight") << "1 5 6 5 7 5 8 5 9" << 5;
    QTest::newRow("a reply sooner than that: none") << "5 3 9 f" << -1;
    QTest::newRow("measured afresh after it") << "5 3 9 f 7 8 6" << 6;
}

void TestWait::replyLagEstimate()
{
    QFETCH(QString, script);
    QFETCH(int, estimateMs);
    CReplyLag lag;
    for (const QString& step : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (step == QLatin1String("f"))
            lag.Forget();
        else
            lag.Add(std::chrono::milliseconds(step.toInt()));
    }
    const std::optional<std::chrono::nanoseconds> estimate = lag.Estimate();
    QCOMPARE(estimate.has_value(), estimateMs >= 0);
    if (estimate)
        QCOMPARE(*estimate, std::chrono::nanoseconds(std::chrono::milliseconds(estimateMs)));
}

// Every reply is measured until there is an estimate, and after that one now
// and then, so that a generator that has slowed down is noticed.
void TestWait::replyLagMeasuredNowAndThen()
{
    CReplyLag lag;
    int measured = 0;
    for (int reply = 0; reply < 4 * CReplyLag::kMeasureEvery; ++reply) {
        if (lag.NextIsMeasured()) {
            ++measured;
            lag.Add(std::chrono::milliseconds(2));
        }
    }
    QCOMPARE(measured, CReplyLag::kFirst + 4);
    lag.Forget();
    QVERIFY(lag.NextIsMeasured());
}

QTEST_GUILESS_MAIN(TestWait)
#include "tst_wait.moc"
