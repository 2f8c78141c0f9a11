// The bounded wait, step by step on virtual time: which reads it makes, how
// often it sleeps, and that it never takes anything out of the receive buffer.
#include "exchange.h"
#include "fakeport.h"
#include "mscomm.h"
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

} // namespace

Q_DECLARE_METATYPE(Bursts)

class TestWait : public QObject
{
    Q_OBJECT

private slots:
    void waitForReply_data();
    void waitForReply();
    void sleepsAgainstOneBegin();
    void countErrorEscapesTheWait();
    void virtualClockRestoresRealSleep();
};

void TestWait::waitForReply_data()
{
    QTest::addColumn<Bursts>("arrivals");
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("reads");
    QTest::addColumn<int>("sleeps");
    QTest::addColumn<int>("leftWaiting");

    const int all = kWaitLimit + 1;
    QTest::newRow("exact n before the first check") << Bursts{{0, 6}} << 6 << true << 1 << 0 << 6;
    QTest::newRow("exact n at a later check")
        << Bursts{{250, 19}} << 19 << true << 251 << 250 << 19;
    QTest::newRow("exact n at the last check")
        << Bursts{{kWaitLimit, 21}} << 21 << true << all << kWaitLimit << 21;
    QTest::newRow("a character at a time")
        << Bursts{{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}} << 5 << true << 6 << 5 << 5;
    QTest::newRow("nothing arrives") << Bursts{} << 6 << false << all << all << 0;
    QTest::newRow("fewer than n, nothing removed")
        << Bursts{{0, 4}} << 6 << false << all << all << 4;
    QTest::newRow("more than n at every check") << Bursts{{0, 9}} << 7 << false << all << all << 9;
    QTest::newRow("stale characters plus the reply")
        << Bursts{{0, 2}, {3, 19}} << 19 << false << all << all << 21;
    QTest::newRow("n arrives during the last sleep")
        << Bursts{{kWaitLimit + 1, 8}} << 8 << false << all << all << 8;
    QTest::newRow("count jumps from n-1 to n+1")
        << Bursts{{0, 4}, {40, 2}} << 5 << false << all << all << 6;
    QTest::newRow("n = 0 with nothing waiting") << Bursts{} << 0 << true << 1 << 0 << 0;
    QTest::newRow("n beyond what the count can show")
        << Bursts{{0, 40000}} << 40000 << false << all << all << 40000;
}

void TestWait::waitForReply()
{
    QFETCH(Bursts, arrivals);
    QFETCH(int, n);
    QFETCH(bool, result);
    QFETCH(int, reads);
    QFETCH(int, sleeps);
    QFETCH(int, leftWaiting);

    CVirtualClock clock;
    clock.AdvanceTo(kStart);
    auto owned = std::make_unique<CFakePort>(&clock);
    CFakePort* port = owned.get();
    CMSComm comm(std::move(owned));
    comm.SetPortOpen(true);
    for (const Burst& b : arrivals)
        port->Arrive(QByteArray(b.bytes, 'x'), kStart + b.atMs);

    QCOMPARE(WaitForReply(comm, n), result);
    QCOMPARE(port->CountCalls(), reads);
    QVERIFY(port->CountCalls() <= kWaitLimit + 1);
    QCOMPARE(clock.Sleeps(), sleeps);
    QCOMPARE(port->ReadCalls(), 0);
    QCOMPARE(port->Pending().size(), leftWaiting);
}

// Each wait starts its own deadline and numbers its sleeps 1, 2, 3, ... so the
// real sleep can aim every step at start + k ms.
void TestWait::sleepsAgainstOneBegin()
{
    CVirtualClock clock;
    auto owned = std::make_unique<CFakePort>(&clock);
    CFakePort* port = owned.get();
    CMSComm comm(std::move(owned));
    comm.SetPortOpen(true);

    std::vector<int> indices;
    struct CRecordingSleep : CMillisecondSleep
    {
        CVirtualClock& inner;
        std::vector<int>& seen;
        CRecordingSleep(CVirtualClock& c, std::vector<int>& s) : inner(c), seen(s) {}
        void Begin() override { inner.Begin(); }
        void Sleep(int k) override
        {
            seen.push_back(k);
            inner.Sleep(k);
        }
    } recording(clock, indices);
    SetMillisecondSleep(&recording);

    QVERIFY(!WaitForReply(comm, 3));
    port->ArriveIn("abc", 30);
    QVERIFY(WaitForReply(comm, 3));
    SetMillisecondSleep(nullptr);

    QCOMPARE(clock.Begins(), 2);
    QCOMPARE(int(indices.size()), kWaitLimit + 1 + 30);
    for (int k = 0; k <= kWaitLimit; ++k)
        QCOMPARE(indices[size_t(k)], k + 1);
    for (int k = 0; k < 30; ++k)
        QCOMPARE(indices[size_t(kWaitLimit + 1 + k)], k + 1);
}

void TestWait::countErrorEscapesTheWait()
{
    CVirtualClock clock;
    auto owned = std::make_unique<CFakePort>(&clock);
    CFakePort* port = owned.get();
    CMSComm comm(std::move(owned));
    comm.SetPortOpen(true);
    clock.After(50, [port] { port->HangUp(); });

    try {
        WaitForReply(comm, 6);
        QFAIL("a vanished device must not look like a time-out");
    } catch (const CCommError& e) {
        QVERIFY2(e.Message().contains(QLatin1String("Input/output error")),
                 qPrintable(e.Message()));
    }
    QCOMPARE(port->CountCalls(), 51);
}

void TestWait::virtualClockRestoresRealSleep()
{
    CMillisecondSleep* before = &CurrentMillisecondSleep();
    {
        CVirtualClock clock;
        QCOMPARE(&CurrentMillisecondSleep(), static_cast<CMillisecondSleep*>(&clock));
    }
    QCOMPARE(&CurrentMillisecondSleep(), before);
}

QTEST_GUILESS_MAIN(TestWait)
#include "tst_wait.moc"
