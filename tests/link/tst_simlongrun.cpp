// A long run against the simulated generator at real line speed, replies
// trickling in a character at a time: the wait must never time out spuriously,
// and no exchange may leave characters behind for the next one.
#include "exchange.h"
#include "frames.h"
#include "generatorsim.h"
#include "mscomm.h"
#include "qserialdevice.h"

#include <QtTest>
#include <string>

using namespace ondrel;

class TestSimLongRun : public QObject
{
    Q_OBJECT

private slots:
    void thousandExchanges_data();
    void thousandExchanges();
};

void TestSimLongRun::thousandExchanges_data()
{
    // Letting QSerialPort read while a reply trickles in leaves its first
    // characters in QSerialPort's buffer and the rest in the kernel, as a message
    // box's event loop would.
    QTest::addColumn<int>("exchanges");
    QTest::addColumn<int>("splitEvery");

    QTest::newRow("no event loop") << 1000 << 0;
    QTest::newRow("reply split every third exchange") << 300 << 3;
}

void TestSimLongRun::thousandExchanges()
{
    QFETCH(int, exchanges);
    QFETCH(int, splitEvery);

    sim::Options options;
    options.baudPace = true;
    sim::CGeneratorSim generator(options);
    generator.SetLogSink([](const std::string&) {});
    std::string error;
    QVERIFY2(generator.Start(&error), error.c_str());

    const QString port = QString::fromStdString(generator.SlavePath());
    CMSComm comm(nullptr, port);
    auto owned = std::make_unique<CQSerialDevice>();
    CQSerialDevice* device = owned.get();
    comm.SetDevice(std::move(owned));
    comm.SetCommPort(1);
    comm.SetSettings(QStringLiteral("9600,N,8,1"));
    comm.SetInputLen(1);
    comm.SetInputMode(0);
    comm.SetPortOpen(true);

    const frames::Command cycle[] = {
        frames::kReadVersion, frames::kReadFaults,  frames::kReadMonitor, frames::kVoltage805,
        frames::kCurrent1100, frames::kEnable,      frames::kReadMonitor, frames::kReadFaults,
        frames::kDisable,     frames::kVoltageZero, frames::kCurrentZero, frames::kClearFaults,
    };
    const int cycleLength = int(std::size(cycle));
    int split = 0;
    for (int i = 0; i < exchanges; ++i) {
        const frames::Command& c = cycle[i % cycleLength];
        comm.SetOutput(QString::fromLatin1(c.frame));
        comm.SetInputLen(short(c.replyLength));
        if (splitEvery > 0 && i % splitEvery == 0) {
            QVERIFY(device->Port().waitForReadyRead(10000));
            if (device->Port().bytesAvailable() < c.replyLength)
                ++split;
        }
        const bool ok = WaitForReply(comm, c.replyLength);
        QVERIFY2(ok, qPrintable(QStringLiteral("exchange %1 (%2) timed out with %3 waiting")
                                    .arg(i)
                                    .arg(QString::fromLatin1(c.frame + 1).trimmed())
                                    .arg(comm.GetInBufferCount())));
        const QByteArray reply = ReplyText(comm.GetInput());
        QCOMPARE(reply.size(), c.replyLength);
        QCOMPARE(reply.front(), '\x02');
        QCOMPARE(reply.back(), '\r');
        QCOMPARE(int(comm.GetInBufferCount()), 0);
    }
    QCOMPARE(generator.RepliesSent(), long(exchanges));
    if (splitEvery > 0) // else the run proved nothing about split replies
        QVERIFY2(split > exchanges / splitEvery / 2, qPrintable(QString::number(split)));
}

QTEST_GUILESS_MAIN(TestSimLongRun)
#include "tst_simlongrun.moc"
