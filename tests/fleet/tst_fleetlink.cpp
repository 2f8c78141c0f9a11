// The fleet's subscriber against a real mosquitto: it publishes nothing, its
// session outlives a dropped link so that no QoS 1 event is lost, two windows
// never share a client id, and the broker's refusals are said as the console
// says them.
#include "brokerrig.h"
#include "fleetmodel.h"
#include "fleetsubscriber.h"
#include "mqttpublisher.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <functional>
#include <memory>

using namespace ondrel;
using namespace ondrel::fleet;
using namespace ondrel::lab;
using namespace ondrel::testing;

namespace {

constexpr int kDeadlineMs = 30000;

// A TCP relay between the fleet and the broker that can be cut: the fleet's own
// link drops while the consoles' stay up.
class CRelay : public QObject
{
public:
    explicit CRelay(int brokerPort) : m_brokerPort(brokerPort)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* in = m_server.nextPendingConnection()) {
                auto* out = new QTcpSocket(in);
                out->connectToHost(QHostAddress::LocalHost, quint16(m_brokerPort));
                connect(in, &QTcpSocket::readyRead, out, [in, out] { out->write(in->readAll()); });
                connect(out, &QTcpSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
                connect(out, &QTcpSocket::disconnected, in, &QTcpSocket::disconnectFromHost);
                connect(in, &QTcpSocket::disconnected, in, &QObject::deleteLater);
                m_sockets << in;
            }
        });
    }
    bool Listen(quint16 port = 0) { return m_server.listen(QHostAddress::LocalHost, port); }
    int Port() const { return m_server.serverPort(); }
    void Cut()
    {
        m_server.close();
        for (QTcpSocket* s : std::as_const(m_sockets))
            if (s)
                s->abort();
        m_sockets.clear();
    }

private:
    int m_brokerPort;
    QTcpServer m_server;
    QList<QPointer<QTcpSocket>> m_sockets;
};

MqttSettings Url(const QString& url)
{
    QString error;
    std::optional<MqttSettings> s = ParseMqttUrl(url, "pc", &error, "ondrel", "URL");
    if (!s)
        qFatal("%s", qPrintable(error));
    s->firstRetry = std::chrono::seconds(1);
    return *s;
}

ConsoleEvent Event(EventKind kind, const QString& detail = QString())
{
    return {TelemetryNow(), kind, detail};
}

} // namespace

class TestFleetLink : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void readOnly();
    void dropLosesNoEvent();
    void keptClientId();
    void unusableClientId_data();
    void unusableClientId();
    void refusals_data();
    void refusals();
    void bigPayload();
    void brokerFaults_data();
    void brokerFaults();

private:
    std::unique_ptr<CBroker> m_broker;
};

void TestFleetLink::initTestCase()
{
    m_broker = std::make_unique<CBroker>();
    QString error;
    QVERIFY2(m_broker->Start(&error), qPrintable(error));
}

void TestFleetLink::readOnly()
{
    CSubscriber watcher("watcher-readonly");
    QVERIFY(watcher.Connect(m_broker->plainPort, "#"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), kDeadlineMs);

    CMqttPublisher console(
        Url(QStringLiteral("mqtt://127.0.0.1:%1/ro/gen1").arg(m_broker->plainPort)));
    QString error;
    QVERIFY2(console.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(console.Connected(), kDeadlineMs);
    console.PublishEvent(Event(EventKind::Version, "2000"));

    qint64 now = QDateTime::currentMSecsSinceEpoch();
    CFleetModel model("ro", [&now] { return now; });
    CFleetSubscriber fleet(Url(QStringLiteral("mqtt://127.0.0.1:%1/ro").arg(m_broker->plainPort)));
    CFleetSubscriber second(Url(QStringLiteral("mqtt://127.0.0.1:%1/ro").arg(m_broker->plainPort)));
    QVERIFY(fleet.ClientId() != second.ClientId());
    fleet.Feed(&model);
    QSignalSpy said(&fleet, &CFleetSubscriber::statusMessage);
    QVERIFY2(fleet.Start(&error), qPrintable(error));
    QVERIFY2(second.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(fleet.Connected() && second.Connected(), kDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 1, kDeadlineMs);
    console.PublishReading(
        Reading::FromForm(TelemetryNow(), "080.5", "1100", "025.0", "No Error", {}));
    now = QDateTime::currentMSecsSinceEpoch();
    QTRY_VERIFY_WITH_TIMEOUT(model.At(0).reading.has_value(), kDeadlineMs);
    model.Refresh();
    QCOMPARE(model.data(model.index(0), Qt::AccessibleTextRole).toString(), "gen1: Ready");
    QCOMPARE(said.at(0).at(0).toString(),
             QStringLiteral("Broker: connected to 127.0.0.1:%1").arg(m_broker->plainPort));
    // Both windows stay connected: neither throws the other off.
    QVERIFY(fleet.Connected() && second.Connected());

    fleet.Stop();
    second.Stop();
    console.Stop();
    QTRY_COMPARE_WITH_TIMEOUT(Payloads(watcher.On("ro/gen1/status")).last(), "offline",
                              kDeadlineMs);
    // Everything the watcher saw came from the console.
    for (const Message& m : watcher.Messages())
        QVERIFY2(m.topic.startsWith("ro/gen1/"), qPrintable(m.topic));
}

void TestFleetLink::dropLosesNoEvent()
{
    CRelay relay(m_broker->plainPort);
    QVERIFY(relay.Listen());
    const int relayPort = relay.Port();

    CMqttPublisher console(
        Url(QStringLiteral("mqtt://127.0.0.1:%1/drop/gen1").arg(m_broker->plainPort)));
    QString error;
    QVERIFY2(console.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(console.Connected(), kDeadlineMs);
    console.PublishEvent(Event(EventKind::Version, "2000"));

    CFleetModel model("drop", [] { return QDateTime::currentMSecsSinceEpoch(); });
    CFleetSubscriber fleet(Url(QStringLiteral("mqtt://127.0.0.1:%1/drop").arg(relayPort)));
    fleet.Feed(&model);
    QStringList details;
    connect(&model, &CFleetModel::eventReceived, this,
            [&details](const QString&, const ConsoleEvent& e) {
                if (e.kind == EventKind::Timeout)
                    details << e.detail;
            });
    QSignalSpy lost(&fleet, &CFleetSubscriber::brokerLost);
    QVERIFY2(fleet.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(fleet.Connected() && model.rowCount() == 1, kDeadlineMs);
    console.PublishEvent(Event(EventKind::Timeout, "0"));
    QTRY_COMPARE_WITH_TIMEOUT(details, QStringList{"0"}, kDeadlineMs);

    relay.Cut();
    QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, kDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(model.data(model.index(0), Qt::AccessibleTextRole).toString(),
                              "gen1: Unknown", kDeadlineMs);
    QStringList sent{"0"};
    for (int i = 1; i <= 20; ++i) {
        sent << QString::number(i);
        console.PublishEvent(Event(EventKind::Timeout, QString::number(i)));
    }
    QTest::qWait(200); // let the broker take them while the fleet is away
    QVERIFY(relay.Listen(quint16(relayPort)));
    QTRY_COMPARE_WITH_TIMEOUT(details, sent, kDeadlineMs);
    QCOMPARE(model.At(0).eventsMissed, 0);
    // The retained status came again on the new subscription.
    QTRY_COMPARE_WITH_TIMEOUT(model.data(model.index(0), CFleetModel::StateRole).toInt() !=
                                  int(State::Unknown),
                              true, kDeadlineMs);
    fleet.Stop();
    console.Stop();
}

// An archive that restarts within the session expiry under its own client id
// still receives the QoS 1 events sent while it was away.
void TestFleetLink::keptClientId()
{
    CSubscriber watcher("watcher-kept");
    QVERIFY(watcher.Connect(m_broker->plainPort, "kept/#"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), kDeadlineMs);
    CMqttPublisher console(
        Url(QStringLiteral("mqtt://127.0.0.1:%1/kept/gen1").arg(m_broker->plainPort)));
    QString error;
    QVERIFY2(console.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(console.Connected(), kDeadlineMs);
    console.PublishEvent(Event(EventKind::Version, "2000"));

    const MqttSettings settings =
        Url(QStringLiteral("mqtt://127.0.0.1:%1/kept").arg(m_broker->plainPort));
    QStringList details;
    auto run = [&](const std::function<void()>& meanwhile) {
        CFleetModel model("kept", [] { return QDateTime::currentMSecsSinceEpoch(); });
        connect(&model, &CFleetModel::eventReceived, this,
                [&details](const QString&, const ConsoleEvent& e) {
                    if (e.kind == EventKind::Timeout)
                        details << e.detail;
                });
        CFleetSubscriber archive(settings, "ondrel-lab-kept-1");
        QCOMPARE(archive.ClientId(), "ondrel-lab-kept-1");
        archive.Feed(&model);
        QVERIFY2(archive.Start(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(archive.Connected() && model.rowCount() == 1, kDeadlineMs);
        meanwhile();
        archive.Stop();
    };
    run([] {});
    for (int i = 1; i <= 5; ++i)
        console.PublishEvent(Event(EventKind::Timeout, QString::number(i)));
    QTRY_COMPARE_WITH_TIMEOUT(watcher.On("kept/gen1/event").size(), 6, kDeadlineMs);
    run([&] {
        QTRY_COMPARE_WITH_TIMEOUT(details, (QStringList{"1", "2", "3", "4", "5"}), kDeadlineMs);
    });
    console.Stop();
}

void TestFleetLink::unusableClientId_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("a space") << QByteArray("lab archive");
    QTest::newRow("a topic's slash") << QByteArray("lab/archive");
    QTest::newRow("not ASCII") << QByteArray("labor\xc3\xa9");
    QTest::newRow("65 characters") << QByteArray(65, 'a');
}

// Said before any connection is tried: a broker would refuse it, or worse, take
// a sanitised id that another archive already uses.
void TestFleetLink::unusableClientId()
{
    QFETCH(QByteArray, id);
    CFleetSubscriber archive(Url(QStringLiteral("mqtt://127.0.0.1:%1/x").arg(m_broker->plainPort)),
                             id);
    QString error;
    QVERIFY(!archive.Start(&error));
    QVERIFY2(error.startsWith("Broker: the client id \"") &&
                 error.endsWith("\" is not 1 to 64 letters, digits and '-'"),
             qPrintable(error));
    QVERIFY(!archive.Connected());
}

void TestFleetLink::refusals_data()
{
    QTest::addColumn<QString>("listener");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("said");

    QTest::newRow("right password")
        << "password" << m_broker->password << "Broker: connected to 127.0.0.1:%1";
    QTest::newRow("wrong password")
        << "password"
        << "wrong"
        << "Broker: 127.0.0.1:%1 refused the login (Not authorized); not retrying";
    QTest::newRow("tls wrong ca") << "tls"
                                  << ""
                                  << "Broker: cannot verify the certificate of 127.0.0.1:%1 "
                                     "(certificate verify failed); not retrying";
}

void TestFleetLink::refusals()
{
    QFETCH(QString, listener);
    QFETCH(QString, password);
    QFETCH(QString, said);
    const bool tls = listener == "tls";
    const int port = tls ? m_broker->tlsPort : m_broker->passwordPort;
    MqttSettings s = Url((tls ? QStringLiteral("mqtts://127.0.0.1:%1/x")
                              : QStringLiteral("mqtt://lab@127.0.0.1:%1/x"))
                             .arg(port));
    s.password = password;
    s.caFile = m_broker->otherCaFile;
    CFleetSubscriber fleet(s);
    QSignalSpy spy(&fleet, &CFleetSubscriber::statusMessage);
    QString error;
    QVERIFY2(fleet.Start(&error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, kDeadlineMs);
    QCOMPARE(spy.at(0).at(0).toString(), said.arg(port));
    if (!said.contains("connected"))
        QTRY_VERIFY_WITH_TIMEOUT(fleet.GaveUp(), kDeadlineMs);
}

// A payload over 1 MiB is counted on its tile and not kept; the link stays up.
void TestFleetLink::bigPayload()
{
    CMqttPublisher console(
        Url(QStringLiteral("mqtt://127.0.0.1:%1/big/gen1").arg(m_broker->plainPort)));
    QString error;
    QVERIFY2(console.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(console.Connected(), kDeadlineMs);
    console.PublishEvent(Event(EventKind::Version, "2000"));

    CFleetModel model(
        "big", [] { return QDateTime::currentMSecsSinceEpoch(); }, nullptr, [](const QString&) {});
    CFleetSubscriber fleet(Url(QStringLiteral("mqtt://127.0.0.1:%1/big").arg(m_broker->plainPort)));
    fleet.Feed(&model);
    QVERIFY2(fleet.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(fleet.Connected() && model.rowCount() == 1, kDeadlineMs);

    CSubscriber sender("big-sender");
    QVERIFY(sender.Connect(m_broker->plainPort, "nothing"));
    QTRY_VERIFY_WITH_TIMEOUT(sender.Subscribed(), kDeadlineMs);
    QVERIFY(sender.Publish("big/gen1/reading", QByteArray(1024 * 1024 + 1, '{'), 1));
    QVERIFY(sender.Publish("big/gen1/event", QByteArray("{\"time\":1}"), 1));
    QTRY_COMPARE_WITH_TIMEOUT(model.At(0).unreadable, 2, kDeadlineMs);
    QVERIFY(fleet.Connected());
    fleet.Stop();
    console.Stop();
}

// The broker absent at start, stopped, frozen: every tile says "Unknown" while
// contact is lost, with the time it was lost, and the retained topics refresh
// them once it is back.
void TestFleetLink::brokerFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("stopped") << "stopped";
    QTest::newRow("frozen") << "frozen";
}

void TestFleetLink::brokerFaults()
{
    QFETCH(QString, fault);
    const QString root = "faults" + fault;
    CMqttPublisher console(
        Url(QStringLiteral("mqtt://127.0.0.1:%1/%2/gen1").arg(m_broker->plainPort).arg(root)));
    QString error;
    QVERIFY2(console.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(console.Connected(), kDeadlineMs);
    console.PublishEvent(Event(EventKind::Version, "2000"));

    CFleetModel model(root, [] { return QDateTime::currentMSecsSinceEpoch(); });
    CFleetSubscriber fleet(
        Url(QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(m_broker->plainPort).arg(root)));
    fleet.Feed(&model);
    QSignalSpy said(&fleet, &CFleetSubscriber::statusMessage);
    QVERIFY2(fleet.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(fleet.Connected() && model.rowCount() == 1, kDeadlineMs);
    // Online without a reading is "Unknown" too: one is needed to tell them apart.
    console.PublishReading(
        Reading::FromForm(TelemetryNow(), "080.5", "1100", "025.0", "No Error", {}));
    auto tile = [&model] { return model.data(model.index(0), Qt::AccessibleTextRole).toString(); };
    QTRY_VERIFY_WITH_TIMEOUT(tile() != "gen1: Unknown", kDeadlineMs);

    if (fault == "frozen")
        m_broker->Freeze(true);
    else
        m_broker->Terminate();
    QTRY_COMPARE_WITH_TIMEOUT(tile(), "gen1: Unknown", kDeadlineMs);
    QVERIFY2(model.Summary().startsWith("1 generator: 1 unknown;") &&
                 model.Summary().contains("; no contact with the broker since "),
             qPrintable(model.Summary()));
    if (fault == "frozen")
        m_broker->Freeze(false);
    else
        QVERIFY2(m_broker->Restart(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(fleet.Connected(), kDeadlineMs);
    QTRY_VERIFY_WITH_TIMEOUT(tile() != "gen1: Unknown", kDeadlineMs);
    QStringList texts;
    for (const QList<QVariant>& args : said)
        texts << args.at(0).toString();
    const QString endpoint = QStringLiteral("127.0.0.1:%1").arg(m_broker->plainPort);
    QCOMPARE(texts.first(), "Broker: connected to " + endpoint);
    QVERIFY2(texts.contains("Broker: connected to " + endpoint) &&
                 texts.filter("Broker: cannot reach " + endpoint).size() == 1,
             qPrintable(texts.join(" | ")));
    fleet.Stop();
    console.Stop();
}

QTEST_GUILESS_MAIN(TestFleetLink)
#include "tst_fleetlink.moc"
