// The payloads read back as a watcher of the broker reads them: what a console
// wrote comes back unchanged, and anything else a broker may carry is refused
// with a reason, never taken for a reading.
#include "payloads.h"

#include <QtTest>

using namespace ondrel;

class TestPayloads : public QObject
{
    Q_OBJECT
private slots:
    void readingRoundTrip_data();
    void readingRoundTrip();
    void eventRoundTrip_data();
    void eventRoundTrip();
    void refused_data();
    void refused();
    void status_data();
    void status();
};

namespace {
const QDateTime kTime = QDateTime::fromMSecsSinceEpoch(1796710967123, QTimeZone::utc());
}

void TestPayloads::readingRoundTrip_data()
{
    QTest::addColumn<QString>("kv");
    QTest::newRow("a reading") << "080.5";
    QTest::newRow("quote and backslash") << "0\"\\.5";
    QTest::newRow("control characters") << QString("\x02\r\n\x1f\x7f");
    QTest::newRow("a byte above 0x7E") << QString::fromLatin1("08\xe9.5");
    QTest::newRow("empty") << "";
}

void TestPayloads::readingRoundTrip()
{
    QFETCH(QString, kv);
    const Reading sent = Reading::FromForm(kTime, kv, "1100", "025.0", "Error.Please Clear", {});
    QString error;
    const std::optional<Reading> got = ReadingFromJson(ReadingJson(sent), &error);
    QVERIFY2(got, qPrintable(error));
    QCOMPARE(got->time, kTime);
    QCOMPARE(got->kilovolts, kv);
    QCOMPARE(got->microamps, "1100");
    QCOMPARE(got->temperature, "025.0");
    QCOMPARE(got->faults, "Error.Please Clear");
    QCOMPARE(got->kilovoltsValue, sent.kilovoltsValue);
    QCOMPARE(got->microampsValue, std::optional<double>(1100));
}

void TestPayloads::eventRoundTrip_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("detail");
    QTest::newRow("xray-on") << "xray-on"
                             << "VP0805 CP1100 ENBL1";
    QTest::newRow("readings-stopped, no detail") << "readings-stopped"
                                                 << "";
    QTest::newRow("port-error with quotes") << "port-error"
                                            << "Cannot open \"/dev/x\": busy";
}

void TestPayloads::eventRoundTrip()
{
    QFETCH(QString, name);
    QFETCH(QString, detail);
    ConsoleEvent sent;
    sent.time = kTime;
    sent.kind = *EventKindFromName(name);
    sent.detail = detail;
    QString error;
    const std::optional<ConsoleEvent> got = EventFromJson(EventJson(sent), &error);
    QVERIFY2(got, qPrintable(error));
    QCOMPARE(EventKindName(got->kind), name);
    QCOMPARE(got->detail, detail);
    QCOMPARE(got->time, kTime);
}

void TestPayloads::refused_data()
{
    QTest::addColumn<bool>("reading"); // false: read as an event
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("why");
    QTest::newRow("not JSON") << true << QByteArray("080.5") << "the reading is not JSON";
    QTest::newRow("not UTF-8") << true << QByteArray("{\"kv\":\"\xff\"}")
                               << "the reading is not JSON";
    QTest::newRow("an array") << true << QByteArray("[1,2]") << "the reading is not a JSON object";
    QTest::newRow("kv a number") << true
                                 << QByteArray(
                                        "{\"time\":\"2026-12-08T06:22:47.123Z\",\"kv\":80.5,"
                                        "\"ua\":\"1\",\"temperature\":\"1\",\"faults\":\"\"}")
                                 << "the reading has no text \"kv\"";
    QTest::newRow("no time") << true << QByteArray("{\"kv\":\"1\"}")
                             << "the reading has no text \"time\"";
    QTest::newRow("a time that is no time")
        << false << QByteArray("{\"time\":\"yesterday\",\"event\":\"stop\"}")
        << "the event has a time that is not ISO 8601";
    QTest::newRow("an unknown event")
        << false << QByteArray("{\"time\":\"2026-12-08T06:22:47.123Z\",\"event\":\"launch\"}")
        << "the event \"launch\" is not one a console sends";
    QTest::newRow("a detail that is no text")
        << false
        << QByteArray("{\"time\":\"2026-12-08T06:22:47.123Z\",\"event\":\"stop\",\"detail\":{}}")
        << "the event has a detail that is not text";
}

void TestPayloads::refused()
{
    QFETCH(bool, reading);
    QFETCH(QByteArray, payload);
    QFETCH(QString, why);
    QString error;
    const bool read =
        reading ? bool(ReadingFromJson(payload, &error)) : bool(EventFromJson(payload, &error));
    QVERIFY(!read);
    QVERIFY2(error.startsWith(why), qPrintable(error));
}

void TestPayloads::status_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("status"); // -1: not a status
    QTest::newRow("online") << QByteArray("online") << int(ConsoleStatus::Online);
    QTest::newRow("not responding")
        << QByteArray("not responding") << int(ConsoleStatus::NotResponding);
    QTest::newRow("offline") << QByteArray("offline") << int(ConsoleStatus::Offline);
    QTest::newRow("other case") << QByteArray("Online") << -1;
    QTest::newRow("trailing newline") << QByteArray("offline\n") << -1;
}

void TestPayloads::status()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, status);
    const std::optional<ConsoleStatus> got = StatusFromPayload(payload);
    QCOMPARE(got ? int(*got) : -1, status);
    if (got)
        QCOMPARE(StatusPayload(*got), payload);
}

QTEST_GUILESS_MAIN(TestPayloads)
#include "tst_payloads.moc"
