// The publisher against a real mosquitto: topics, retained state, the Last Will,
// refusals, and outages of the broker with events published meanwhile.
#include "brokerrig.h"
#include "mqttpublisher.h"
#include "payloads.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <memory>
#include <mutex>

using namespace ondrel;
using namespace ondrel::testing;
using namespace std::chrono_literals;

namespace {

constexpr int kDeadlineMs = 20000;

ConsoleEvent Event(EventKind kind, const QString& detail)
{
    return {TelemetryNow(), kind, detail};
}

Reading Sample(const QString& kv, const QString& ua = "1100", const QString& temp = "025.0")
{
    return Reading::FromForm(TelemetryNow(), kv, ua, temp, "No Error",
                             "\x02"
                             "FLT 0000\r");
}

} // namespace

class TestMqttPublisher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void url_data();
    void url();
    void readingJson_data();
    void readingJson();
    void publishes();
    void counters_data();
    void counters();
    void refusals_data();
    void refusals();
    void outages_data();
    void outages();
    void brokers_data();
    void brokers();

private:
    MqttSettings Plain(const QString& prefix) const;
    std::unique_ptr<CBroker> m_broker;
};

void TestMqttPublisher::initTestCase()
{
    m_broker = std::make_unique<CBroker>();
    QString error;
    QVERIFY2(m_broker->Start(&error), qPrintable(error));
}

MqttSettings TestMqttPublisher::Plain(const QString& prefix) const
{
    QString error;
    auto s =
        ParseMqttUrl(QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(m_broker->plainPort).arg(prefix),
                     "pc", &error);
    return *s;
}

void TestMqttPublisher::url_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("endpoint"); // empty: refused
    QTest::addColumn<QString>("prefix");   // or part of the error
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("user");

    QTest::newRow("defaults") << "mqtt://broker"
                              << "broker:1883"
                              << "ondrel/pc" << false << "";
    QTest::newRow("tls default port") << "mqtts://broker.lab/"
                                      << "broker.lab:8883"
                                      << "ondrel/pc" << true << "";
    QTest::newRow("all parts") << "mqtts://ops@10.0.0.5:9883/lab/gen1/"
                               << "10.0.0.5:9883"
                               << "lab/gen1" << true << "ops";
    QTest::newRow("ipv6") << "mqtt://[::1]:1884/a"
                          << "[::1]:1884"
                          << "a" << false << "";
    QTest::newRow("password in url") << "mqtt://ops:hunter2@b/x"
                                     << ""
                                     << "must not hold a password" << false << "";
    QTest::newRow("other scheme") << "http://b/x"
                                  << ""
                                  << "mqtt or mqtts" << false << "";
    QTest::newRow("no scheme") << "broker:1883"
                               << ""
                               << "not a URL" << false << "";
    QTest::newRow("no host") << "mqtt:///x"
                             << ""
                             << "no host" << false << "";
    QTest::newRow("bad port") << "mqtt://b:99999/x"
                              << ""
                              << "not a URL" << false << "";
    QTest::newRow("port 0") << "mqtt://b:0/x"
                            << ""
                            << "port 0" << false << "";
    QTest::newRow("wildcard") << "mqtt://b/lab/+"
                              << ""
                              << "wildcard" << false << "";
    QTest::newRow("hash") << "mqtt://b/lab/%23"
                          << ""
                          << "wildcard" << false << "";
    QTest::newRow("empty level") << "mqtt://b/lab//gen"
                                 << ""
                                 << "empty level" << false << "";
    QTest::newRow("query") << "mqtt://b/x?y=1"
                           << ""
                           << "query" << false << "";
    QTest::newRow("empty user") << "mqtt://@b/x"
                                << ""
                                << "user name" << false << "";
    QTest::newRow("empty") << ""
                           << ""
                           << "not a URL" << false << "";
    QTest::newRow("password behind an encoded colon") << "mqtt://ops%3Ahunter2@b/x"
                                                      << ""
                                                      << "must not hold a password" << false << "";
    QTest::newRow("hash, which a URL takes for a fragment")
        << "mqtt://b/lab/#"
        << ""
        << "the topic prefix \"lab/#\" holds a wildcard" << false << "";
    QTest::newRow("prefix too long for a topic") << "mqtt://b/" + QString(65528, 'p') << ""
                                                 << "65,535 bytes" << false << "";
    QTest::newRow("longest prefix")
        << "mqtt://b/" + QString(65527, 'p') << "b:1883" << QString(65527, 'p') << false << "";
}

void TestMqttPublisher::url()
{
    QFETCH(QString, url);
    QFETCH(QString, endpoint);
    QFETCH(QString, prefix);
    QFETCH(bool, tls);
    QFETCH(QString, user);

    QString error;
    const auto s = ParseMqttUrl(url, "pc", &error);
    if (endpoint.isEmpty()) {
        QVERIFY(!s);
        QVERIFY2(error.startsWith("--mqtt: ") && error.contains(prefix), qPrintable(error));
        QVERIFY2(!error.contains("hunter2"), qPrintable(error));
        return;
    }
    QVERIFY2(s, qPrintable(error));
    QCOMPARE(s->Endpoint(), endpoint);
    QCOMPARE(s->prefix, prefix);
    QCOMPARE(s->tls, tls);
    QCOMPARE(s->user, user);
}

// The payload is written by hand: whatever a garbled reply puts in a text, a
// JSON reader must get it back unchanged, and numbers only where the text is one.
void TestMqttPublisher::readingJson_data()
{
    QTest::addColumn<QString>("kv");
    QTest::addColumn<QVariant>("kvValue"); // invalid: no kv_value at all

    QTest::newRow("a reading") << "080.5" << QVariant(80.5);
    QTest::newRow("zero") << "000.0" << QVariant(0.0);
    QTest::newRow("quote and backslash") << "0\"\\.5" << QVariant();
    QTest::newRow("control characters") << QString("\x02\r\n\x1f\x7f") << QVariant();
    QTest::newRow("a byte above 0x7E") << QString::fromLatin1("08\xe9.5") << QVariant();
    QTest::newRow("empty") << "" << QVariant();
}

void TestMqttPublisher::readingJson()
{
    QFETCH(QString, kv);
    QFETCH(QVariant, kvValue);

    QJsonParseError error{};
    const QByteArray payload = ReadingJson(Sample(kv));
    const QJsonObject o = QJsonDocument::fromJson(payload, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, payload.constData());
    QCOMPARE(o.value("kv").toString(), kv);
    QCOMPARE(o.contains("kv_value"), kvValue.isValid());
    if (kvValue.isValid())
        QCOMPARE(o.value("kv_value").toDouble(), kvValue.toDouble());
    QCOMPARE(o.value("ua_value").toDouble(), 1100.0);
    QCOMPARE(o.value("faults").toString(), "No Error");
    QVERIFY(QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs).isValid());
}

void TestMqttPublisher::publishes()
{
    CSubscriber watcher;
    QVERIFY(watcher.Connect(m_broker->plainPort, "lab/pub/#"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), kDeadlineMs);

    const ConsoleInfo about{TelemetryNow(), "lab-pc", "/dev/pts/3", 200, "Ondrel 1.0.0.1", "lab"};
    CMqttPublisher publisher(Plain("lab/pub"), about);
    QSignalSpy said(&publisher, &CMqttPublisher::statusMessage);
    QString error;
    QVERIFY2(publisher.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(publisher.Connected(), kDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(said.size(), 1, kDeadlineMs);
    QCOMPARE(said.at(0).at(0).toString(),
             QStringLiteral("Telemetry: connected to 127.0.0.1:%1").arg(m_broker->plainPort));

    // No `online` before the version read is done.
    publisher.PublishEvent(Event(EventKind::Start, "/dev/pts/3 9600,n,8,1"));
    publisher.PublishEvent(Event(EventKind::Version, "2000"));
    publisher.PublishReading(Sample("080.5"));
    publisher.PublishReading(Sample("08\x01.5", "----", "025.0"));
    QTRY_COMPARE_WITH_TIMEOUT(watcher.On("lab/pub/reading").size(), 2, kDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.On("lab/pub/event").size(), 2, kDeadlineMs);

    QCOMPARE(Payloads(watcher.On("lab/pub/status")), QStringList{"online"});
    QCOMPARE(Payloads(watcher.On("lab/pub/version")), QStringList{"2000"});
    const QList<Message> events = watcher.On("lab/pub/event");
    QCOMPARE(Json(events[0]).value("event").toString(), "start");
    QCOMPARE(Json(events[0]).value("detail").toString(), "/dev/pts/3 9600,n,8,1");
    QCOMPARE(Json(events[1]).value("event").toString(), "version");
    QCOMPARE(Json(events[0]).value("seq").toInt(), 1);
    QCOMPARE(Json(events[1]).value("seq").toInt(), 2);
    QVERIFY(Json(events[1]).value("time").toString().endsWith('Z'));
    for (const Message& m : events)
        QVERIFY(m.qos == 1 && !m.retained);
    const QList<Message> readings = watcher.On("lab/pub/reading");
    const QJsonObject good = Json(readings[0]);
    QCOMPARE(good.value("kv").toString(), "080.5");
    QCOMPARE(good.value("kv_value").toDouble(), 80.5);
    QCOMPARE(good.value("ua_value").toDouble(), 1100.0);
    QCOMPARE(good.value("temperature").toString(), "025.0");
    QCOMPARE(good.value("faults").toString(), "No Error");
    QCOMPARE(good.value("seq").toInt(), 1);
    QCOMPARE(good.value("xray_on").toBool(true), false);
    QVERIFY(QDateTime::fromString(good.value("time").toString(), Qt::ISODateWithMs).isValid());
    // Not a number: the text as shown, and no value at all.
    const QJsonObject bad = Json(readings[1]);
    QCOMPARE(bad.value("kv").toString(), QString("08\x01.5"));
    QVERIFY(!bad.contains("kv_value") && !bad.contains("ua_value"));
    QCOMPARE(bad.value("temperature_value").toDouble(), 25.0);
    QVERIFY(readings[0].qos == 0);

    // A late watcher learns the state and the last reading from the retained messages.
    {
        CSubscriber late;
        QVERIFY(late.Connect(m_broker->plainPort, "lab/pub/#"));
        QTRY_COMPARE_WITH_TIMEOUT(late.Messages().size(), 4, kDeadlineMs);
        QCOMPARE(late.On("lab/pub/info").size(), 1);
        const QJsonObject info = Json(late.On("lab/pub/info")[0]);
        QCOMPARE(info.value("host").toString(), "lab-pc");
        QCOMPARE(info.value("port").toString(), "/dev/pts/3");
        QCOMPARE(info.value("period_ms").toInt(), 200);
        QCOMPARE(info.value("program").toString(), "Ondrel 1.0.0.1");
        QCOMPARE(info.value("user").toString(), "lab");
        QCOMPARE(info.value("started").toString(), IsoTime(about.started));
        QCOMPARE(late.On("lab/pub/info")[0].qos, 1);
        QCOMPARE(Payloads(late.On("lab/pub/status")), QStringList{"online"});
        QCOMPARE(Payloads(late.On("lab/pub/version")), QStringList{"2000"});
        QCOMPARE(late.On("lab/pub/reading").size(), 1);
        QCOMPARE(Json(late.On("lab/pub/reading")[0]).value("kv").toString(), QString("08\x01.5"));
        for (const Message& m : late.Messages())
            QVERIFY(m.retained);
    }

    publisher.PublishEvent(Event(EventKind::Timeout, "FLT"));
    publisher.PublishEvent(Event(EventKind::ReadingsStopped, ""));
    QTRY_COMPARE_WITH_TIMEOUT(Payloads(watcher.On("lab/pub/status")),
                              (QStringList{"online", "not responding"}), kDeadlineMs);

    publisher.Stop();
    QTRY_COMPARE_WITH_TIMEOUT(Payloads(watcher.On("lab/pub/status")).last(), "offline",
                              kDeadlineMs);
    QCOMPARE(said.size(), 1);
}

// What the readings count: the sequence, whether X-rays are on and for how long
// in all since the console started, from the events between them.
void TestMqttPublisher::counters_data()
{
    // r@MS a reading, on@MS / off@MS / unanswered@MS (ENBL0) / stop@MS events
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("last"); // the last reading's seq, xray_on, beam_on_s

    QTest::newRow("no X-rays") << "r@0 r@200 r@400"
                               << "3 false 0.0";
    QTest::newRow("rays on") << "r@0 on@100 r@1350"
                             << "2 true 1.3";
    QTest::newRow("two exposures") << "on@0 r@500 off@2000 r@2100 on@3000 r@3500 off@4000 r@4200"
                                   << "4 false 3.0";
    QTest::newRow("a second xray-on does not restart the span") << "on@0 on@1000 r@2000"
                                                                << "1 true 2.0";
    // The console stops counting; whether the generator stopped, nobody knows.
    QTest::newRow("stop ends the count, not the X-rays") << "on@0 stop@1000 r@5000"
                                                         << "1 true 1.0";
    QTest::newRow("an unanswered off keeps counting") << "on@0 unanswered@1000 r@2500"
                                                      << "1 true 2.5";
    QTest::newRow("unanswered, then answered") << "on@0 unanswered@1000 off@3000 r@4000"
                                               << "1 false 3.0";
}

void TestMqttPublisher::counters()
{
    QFETCH(QString, script);
    QFETCH(QString, last);

    const QString prefix =
        QStringLiteral("lab/counters%1").arg(QTest::currentDataTag()).remove(' ');
    CSubscriber watcher;
    QVERIFY(watcher.Connect(m_broker->plainPort, prefix + "/reading"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), kDeadlineMs);
    CMqttPublisher publisher(Plain(prefix));
    QString error;
    QVERIFY2(publisher.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(publisher.Connected(), kDeadlineMs);

    const QDateTime t0 = TelemetryNow();
    int readings = 0;
    for (const QString& step : script.split(' ')) {
        const QString what = step.section('@', 0, 0);
        const QDateTime at = t0.addMSecs(step.section('@', 1).toInt());
        if (what == "r") {
            Reading r = Sample("080.5");
            r.time = at;
            publisher.PublishReading(r);
            ++readings;
        } else {
            const EventKind kind = what == "on"           ? EventKind::XrayOn
                                   : what == "off"        ? EventKind::XrayOff
                                   : what == "unanswered" ? EventKind::XrayOffUnanswered
                                                          : EventKind::Stop;
            publisher.PublishEvent({at, kind, QString()});
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(watcher.Messages().size(), readings, kDeadlineMs);
    const QJsonObject o = Json(watcher.Messages().last());
    QCOMPARE(QStringLiteral("%1 %2 %3")
                 .arg(o.value("seq").toInt())
                 .arg(o.value("xray_on").toBool() ? "true" : "false")
                 .arg(o.value("beam_on_s").toDouble(), 0, 'f', 1),
             last);
}

void TestMqttPublisher::refusals_data()
{
    QTest::addColumn<QString>("listener");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("rightCa");
    QTest::addColumn<QString>("said");

    QTest::newRow("right password")
        << "password" << m_broker->password << true << "Telemetry: connected to 127.0.0.1:";
    QTest::newRow("wrong password")
        << "password"
        << "wrong" << true
        << "Telemetry: 127.0.0.1:%1 refused the login (Connection Refused: not authorised); not "
           "retrying";
    QTest::newRow("no password") << "password"
                                 << "" << true << "refused the login";
    QTest::newRow("tls right ca") << "tls"
                                  << "" << true << "Telemetry: connected to 127.0.0.1:";
    QTest::newRow("tls host name")
        << "tls-by-name"
        << "" << true
        << "Telemetry: cannot verify the certificate of localhost:%1 (host name verification "
           "failed); not retrying";
    // As a stock /etc/hosts has it: ::1 first, where the broker does not listen.
    QTest::newRow("tls host name, ipv6 address first")
        << "tls-by-name-ipv6-first"
        << "" << true
        << "Telemetry: cannot verify the certificate of localhost:%1 (host name verification "
           "failed); not retrying";
    QTest::newRow("tls host name, a refusing ipv4 address first")
        << "tls-by-name-ipv4-first"
        << "" << true
        << "Telemetry: cannot verify the certificate of localhost:%1 (host name verification "
           "failed); not retrying";
    QTest::newRow("tls wrong ca")
        << "tls"
        << "" << false
        << "Telemetry: cannot verify the certificate of 127.0.0.1:%1 (certificate verify "
           "failed); not retrying";
}

void TestMqttPublisher::refusals()
{
    QFETCH(QString, listener);
    QFETCH(QString, password);
    QFETCH(bool, rightCa);
    QFETCH(QString, said);

    const bool tls = listener.startsWith("tls");
    // The server's certificate is made out to 127.0.0.1 only.
    const QString host = listener.startsWith("tls-by-name") ? "localhost" : "127.0.0.1";
    const int port = tls ? m_broker->tlsPort : m_broker->passwordPort;
    QString error;
    const QString url = (tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://lab@")) +
                        QStringLiteral("%1:%2/lab/refusal").arg(host).arg(port);
    auto s = ParseMqttUrl(url, "pc", &error);
    QVERIFY2(s, qPrintable(error));
    s->password = password;
    s->caFile = rightCa ? m_broker->caFile : m_broker->otherCaFile;
    s->firstRetry = 1s;

    BrokerResolver resolve = &ResolveBroker;
    if (listener == "tls-by-name-ipv6-first")
        resolve = [](const std::string&, QString*) {
            return std::vector<std::string>{"::1", "127.0.0.1"};
        };
    if (listener == "tls-by-name-ipv4-first")
        resolve = [](const std::string&, QString*) {
            return std::vector<std::string>{"127.0.0.2", "127.0.0.1"};
        };
    CMqttPublisher publisher(*s, resolve);
    QSignalSpy spy(&publisher, &CMqttPublisher::statusMessage);
    QVERIFY2(publisher.Start(&error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, kDeadlineMs);
    const QString text = spy.at(0).at(0).toString();
    QVERIFY2(text.contains(said.contains("%1") ? said.arg(port) : said), qPrintable(text));
    QVERIFY(!text.contains(m_broker->password));
    if (text.contains("connected")) {
        QVERIFY(publisher.Connected());
        return;
    }
    // Given up for good: the client's thread has ended, so nothing more can come.
    QTRY_VERIFY_WITH_TIMEOUT(publisher.GaveUp(), kDeadlineMs);
    publisher.Stop();
    QCoreApplication::processEvents();
    QCOMPARE(spy.size(), 1);
    QVERIFY(!publisher.Connected());
}

void TestMqttPublisher::outages_data()
{
    QTest::addColumn<bool>("freeze"); // SIGSTOP, else the broker ends and starts again
    QTest::addColumn<int>("limit");   // events held while the link is down
    QTest::addColumn<int>("expectDropped");

    // Outages of 3 s: the link's loss and its recovery are the same at any length
    // past the first retry.
    QTest::newRow("broker stopped") << false << 10000 << 0;
    QTest::newRow("broker frozen") << true << 10000 << 0;
    QTest::newRow("queue full while stopped") << false << 5 << -1;
}

void TestMqttPublisher::outages()
{
    QFETCH(bool, freeze);
    QFETCH(int, limit);
    QFETCH(int, expectDropped);

    const QString prefix = QStringLiteral("lab/outage%1").arg(QTest::currentDataTag()).remove(' ');
    CSubscriber watcher(QStringLiteral("watcher-") + prefix.mid(4));
    QVERIFY(watcher.Connect(m_broker->plainPort, prefix + "/#"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), kDeadlineMs);

    MqttSettings s = Plain(prefix);
    s.eventQueueLimit = limit;
    CMqttPublisher publisher(s);
    QSignalSpy said(&publisher, &CMqttPublisher::statusMessage);
    QString error;
    QVERIFY2(publisher.Start(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(publisher.Connected(), kDeadlineMs);
    publisher.PublishEvent(Event(EventKind::Version, "2000"));

    int sent = 0;
    QStringList sentDetails;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, &publisher, [&] {
        const QString detail = QString::number(++sent);
        sentDetails << detail;
        publisher.PublishEvent(Event(EventKind::Timeout, detail));
        publisher.PublishReading(Sample(QStringLiteral("%1.0").arg(sent, 3, 10, QChar('0'))));
    });
    ticker.start(100ms);

    QElapsedTimer outage;
    if (freeze) {
        m_broker->Freeze(true);
    } else {
        m_broker->Terminate();
        QTRY_VERIFY_WITH_TIMEOUT(!publisher.Connected(), kDeadlineMs);
    }
    outage.start();
    QVERIFY(QTest::qWaitFor([&] { return outage.elapsed() >= 3000; }, kDeadlineMs));
    const int sentInOutage = sent;
    const QDateTime outageEnd = TelemetryNow();
    if (freeze) {
        m_broker->Freeze(false);
    } else {
        ticker.stop();
        QVERIFY2(m_broker->Restart(&error), qPrintable(error));
    }
    QTRY_VERIFY_WITH_TIMEOUT(publisher.Connected(), kDeadlineMs);
    ticker.stop();

    const int expected = expectDropped < 0 ? sent - publisher.DroppedEvents() : sent;
    auto received = [&] {
        QStringList details;
        for (const Message& m : watcher.On(prefix + "/event")) {
            const QJsonObject o = Json(m);
            if (o.value("event") == "timeout" && !details.contains(o.value("detail").toString()))
                details << o.value("detail").toString(); // QoS 1 may repeat one
        }
        return details;
    };
    QTRY_COMPARE_WITH_TIMEOUT(received().size(), expected, kDeadlineMs);
    if (expectDropped < 0) {
        // The oldest are kept; what came after the bound was reached is dropped.
        QVERIFY(publisher.DroppedEvents() > 0);
        QCOMPARE(received(), sentDetails.mid(0, expected));
    } else {
        QCOMPARE(publisher.DroppedEvents(), expectDropped);
        QCOMPARE(received(), sentDetails);
    }
    QVERIFY(sentInOutage > 20);

    if (!freeze) {
        // Said once each way; readings taken while the link was down were not kept.
        QTRY_COMPARE_WITH_TIMEOUT(said.size(), 3, kDeadlineMs);
        QStringList texts;
        for (const QList<QVariant>& args : said)
            texts << args.at(0).toString();
        const QString endpoint = QStringLiteral("127.0.0.1:%1").arg(m_broker->plainPort);
        QCOMPARE(texts[1].left(texts[1].indexOf(" (")),
                 QStringLiteral("Telemetry: cannot reach %1").arg(endpoint));
        QVERIFY(texts[1].endsWith("; retrying"));
        QCOMPARE(texts[2], QStringLiteral("Telemetry: connected to %1").arg(endpoint));
        for (const Message& m : watcher.On(prefix + "/reading")) {
            const QDateTime t =
                QDateTime::fromString(Json(m).value("time").toString(), Qt::ISODateWithMs);
            QVERIFY2(t < outageEnd.addMSecs(-3000) || t > outageEnd,
                     qPrintable(Json(m).value("time").toString()));
        }
        // The state is announced again to the restarted broker.
        QTRY_COMPARE_WITH_TIMEOUT(Payloads(watcher.On(prefix + "/status")).last(), "online",
                                  kDeadlineMs);
    }
}

void TestMqttPublisher::brokers_data()
{
    QTest::addColumn<QString>("broker");
    QTest::addColumn<QStringList>("addresses"); // the name's, in order; none: 127.0.0.1 itself
    QTest::addColumn<QStringList>("said");      // %1: the endpoint

    const QString connected = "Telemetry: connected to %1";
    const QString published =
        "Telemetry: %1 sent a message although Ondrel subscribes to nothing; reconnecting";
    QTest::newRow("first address refuses")
        << "mosquitto" << QStringList{"127.0.0.2", "127.0.0.1"} << QStringList{connected};
    QTest::newRow("ipv6 address refuses, ipv4 answers")
        << "mosquitto" << QStringList{"::1", "127.0.0.1"} << QStringList{connected};
    QTest::newRow("no address answers")
        << "nobody" << QStringList{"127.0.0.2", "::1", "127.0.0.3"}
        << QStringList{"Telemetry: cannot reach %1 (Connection refused); retrying"};
    QTest::newRow("qos 2 flood") << "qos 2 flood" << QStringList{}
                                 << QStringList{connected, published};
    QTest::newRow("qos 1 message")
        << "qos 1 once" << QStringList{} << QStringList{connected, published};
    QTest::newRow("qos 0 message")
        << "qos 0 once" << QStringList{} << QStringList{connected, published};
    QTest::newRow("one huge packet")
        << "huge packet" << QStringList{}
        << QStringList{connected, "Telemetry: %1 sent more than a broker answers a publisher "
                                  "with; reconnecting"};
}

// What the console says and does for each kind of broker: every address of a name
// tried in order, and a broker that sends what a publisher never asks for is left
// at once, its reconnections said nothing more about, memory staying bounded.
void TestMqttPublisher::brokers()
{
    QFETCH(QString, broker);
    QFETCH(QStringList, addresses);
    QFETCH(QStringList, said);

    std::unique_ptr<CFakeBroker> fake;
    if (broker == "qos 2 flood")
        fake = std::make_unique<CFakeBroker>(CFakeBroker::Qos2Flood);
    else if (broker == "qos 1 once")
        fake = std::make_unique<CFakeBroker>(CFakeBroker::Qos1Once);
    else if (broker == "qos 0 once")
        fake = std::make_unique<CFakeBroker>(CFakeBroker::Qos0Once);
    else if (broker == "huge packet")
        fake = std::make_unique<CFakeBroker>(CFakeBroker::HugePacket);
    const int port = fake ? fake->Port() : broker == "nobody" ? FreePort() : m_broker->plainPort;
    const QString host = addresses.isEmpty() ? "127.0.0.1" : "broker.test";
    QString error;
    auto s =
        ParseMqttUrl(QStringLiteral("mqtt://%1:%2/lab/brokers").arg(host).arg(port), "pc", &error);
    QVERIFY2(s, qPrintable(error));
    const QString endpoint = s->Endpoint();

    std::vector<std::string> numeric;
    for (const QString& a : addresses)
        numeric.push_back(a.toStdString());
    std::mutex askedMutex; // the resolver runs on the link's thread
    QStringList asked;
    auto resolve = [&](const std::string& name, QString* why) {
        std::lock_guard<std::mutex> lock(askedMutex);
        asked << QString::fromStdString(name);
        return addresses.isEmpty() ? ResolveBroker(name, why) : numeric;
    };
    const qint64 before = ResidentBytes();
    qint64 peak = before;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { peak = std::max(peak, ResidentBytes()); });
    sampler.start(20ms);

    CMqttPublisher publisher(*s, resolve);
    QSignalSpy spy(&publisher, &CMqttPublisher::statusMessage);
    QVERIFY2(publisher.Start(&error), qPrintable(error));
    auto texts = [&] {
        QStringList out;
        for (const QList<QVariant>& args : spy)
            out << args.at(0).toString();
        return out;
    };
    QStringList expected;
    for (const QString& t : said)
        expected << t.arg(endpoint);
    QTRY_COMPARE_WITH_TIMEOUT(texts(), expected, kDeadlineMs);
    if (fake) {
        // Back again, with the usual back-off, and nothing more said about it.
        QTRY_VERIFY_WITH_TIMEOUT(fake->connections >= 3, kDeadlineMs);
        QCOMPARE(texts(), expected);
        QVERIFY2(peak - before < kHostileBrokerMemoryBound,
                 qPrintable(QStringLiteral("%1 MB more").arg((peak - before) >> 20)));
    } else if (broker == "mosquitto") {
        QVERIFY(publisher.Connected());
    }
    publisher.Stop();
    if (!addresses.isEmpty())
        QCOMPARE(asked.first(), "broker.test");
}

QTEST_GUILESS_MAIN(TestMqttPublisher)
#include "tst_mqttpublisher.moc"
