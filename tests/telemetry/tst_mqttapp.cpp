// --mqtt in the application: the status bar's word on the link, and a clean exit
// that leaves `offline` behind at once, after the console's stop.
#include "brokerrig.h"
#include "shellrig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace ondrel;
using namespace ondrel::testing;

class TestMqttApp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void exit_data();
    void exit();

private:
    std::unique_ptr<CBroker> m_broker;
};

void TestMqttApp::initTestCase()
{
    m_broker = std::make_unique<CBroker>();
    QString error;
    QVERIFY2(m_broker->Start(&error), qPrintable(error));
}

void TestMqttApp::exit_data()
{
    QTest::addColumn<bool>("brokerThere");
    QTest::newRow("broker there") << true;
    QTest::newRow("nobody listening") << false;
}

void TestMqttApp::exit()
{
    QFETCH(bool, brokerThere);
    const int port = brokerThere ? m_broker->plainPort : FreePort();
    const QString prefix = QStringLiteral("lab/app%1").arg(int(brokerThere));
    CSubscriber watcher;
    QVERIFY(watcher.Connect(m_broker->plainPort, prefix + "/#"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), 20000);

    CShellRig rig;
    QVERIFY(rig.Start(
        {"--simulate", "--mqtt", QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(port).arg(prefix)}));
    const QString endpoint = QStringLiteral("127.0.0.1:%1").arg(port);
    if (!brokerThere) {
        QTRY_COMPARE_WITH_TIMEOUT(
            rig.Frame()->MessageText(),
            QStringLiteral("Telemetry: cannot reach %1 (Connection refused); retrying")
                .arg(endpoint),
            20000);
        rig.App()->ExitInstance(); // must not wait on the absent broker
        QVERIFY(watcher.Messages().isEmpty());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.Frame()->MessageText(),
                              QStringLiteral("Telemetry: connected to %1").arg(endpoint), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.On(prefix + "/reading").isEmpty(), 20000);
    QCOMPARE(watcher.On(prefix + "/status").last().payload, "online");

    rig.App()->ExitInstance();
    QTRY_VERIFY_WITH_TIMEOUT(watcher.On(prefix + "/status").last().payload == "offline", 20000);
    const QList<Message> events = watcher.On(prefix + "/event");
    QVERIFY(!events.isEmpty());
    QCOMPARE(QJsonDocument::fromJson(events.last().payload).object().value("event").toString(),
             "stop");
}

ONDREL_SHELL_TEST_MAIN(TestMqttApp)
#include "tst_mqttapp.moc"
