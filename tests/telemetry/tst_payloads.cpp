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
    void readingBytes_data();
    void readingBytes();
    void counters_data();
    void counters();
    void info_data();
    void info();
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
    std::optional<qint64> seq;
    const std::optional<ConsoleEvent> got = EventFromJson(EventJson(sent, 42), &error, &seq);
    QVERIFY2(got, qPrintable(error));
    QCOMPARE(seq, std::optional<qint64>(42));
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
    QTest::newRow("an event seq as text")
        << false
        << QByteArray("{\"time\":\"2026-12-08T06:22:47.123Z\",\"event\":\"stop\",\"seq\":\"3\"}")
        << "the event has a \"seq\" that is not a count";
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

// The console's reading, byte for byte: the fields an older watcher parses stay
// exactly where and as they were, the counters follow them.
void TestPayloads::readingBytes_data()
{
    QTest::addColumn<bool>("withCounters");
    QTest::addColumn<qint64>("seq");
    QTest::addColumn<bool>("xrayOn");
    QTest::addColumn<double>("beam");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<QByteArray>("tail"); // after the temperature_value

    QTest::newRow("without counters")
        << false << qint64(0) << false << 0.0 << "No Error" << QByteArray("}");
    QTest::newRow("first reading")
        << true << qint64(1) << false << 0.0 << "No Error"
        << QByteArray(",\"seq\":1,\"xray_on\":false,\"beam_on_s\":0.0,\"fault\":false}");
    QTest::newRow("rays on, rounded to a tenth")
        << true << qint64(123456) << true << 61.26 << "No Error"
        << QByteArray(",\"seq\":123456,\"xray_on\":true,\"beam_on_s\":61.3,\"fault\":false}");
    QTest::newRow("a fault")
        << true << qint64(2) << false << 0.0 << "Error.Please Clear"
        << QByteArray(",\"seq\":2,\"xray_on\":false,\"beam_on_s\":0.0,\"fault\":true}");
}

void TestPayloads::readingBytes()
{
    QFETCH(bool, withCounters);
    QFETCH(qint64, seq);
    QFETCH(bool, xrayOn);
    QFETCH(double, beam);
    QFETCH(QString, faults);
    QFETCH(QByteArray, tail);
    const Reading r = Reading::FromForm(kTime, "080.5", "1100", "025.0", faults, {});
    const QByteArray json =
        withCounters ? ReadingJson(r, ReadingCounters{seq, xrayOn, beam}) : ReadingJson(r);
    QCOMPARE(json, QByteArray("{\"time\":\"2026-12-08T06:22:47.123Z\",\"kv\":\"080.5\",\"ua\":"
                              "\"1100\",\"temperature\":\"025.0\",\"faults\":\"") +
                       faults.toLatin1() +
                       "\",\"kv_value\":80.5,\"ua_value\":1100,\"temperature_value\":25" + tail);
}

// The counters as a watcher reads them back, and what makes a payload unreadable.
void TestPayloads::counters_data()
{
    QTest::addColumn<QByteArray>("members"); // after the reading's texts
    QTest::addColumn<QString>("error");      // empty: read
    QTest::addColumn<qint64>("seq");         // -1: absent
    QTest::addColumn<int>("xrayOn");         // -1: absent
    QTest::addColumn<double>("beam");        // -1: absent
    QTest::addColumn<bool>("fault");         // the reading's verdict

    QTest::newRow("an older console's reading")
        << QByteArray() << "" << qint64(-1) << -1 << -1.0 << false;
    QTest::newRow("all three") << QByteArray(",\"seq\":7,\"xray_on\":true,\"beam_on_s\":12.5") << ""
                               << qint64(7) << 1 << 12.5 << false;
    // The console's verdict, not the watcher's reading of a text.
    QTest::newRow("a fault flag over a text that says none")
        << QByteArray(",\"fault\":true") << "" << qint64(-1) << -1 << -1.0 << true;
    QTest::newRow("fault as text") << QByteArray(",\"fault\":\"yes\"")
                                   << "the reading has a \"fault\" that is not true or false"
                                   << qint64(-1) << -1 << -1.0 << false;
    QTest::newRow("seq as text") << QByteArray(",\"seq\":\"7\"")
                                 << "the reading has a \"seq\" that is not a count" << qint64(-1)
                                 << -1 << -1.0 << false;
    QTest::newRow("seq negative") << QByteArray(",\"seq\":-1")
                                  << "the reading has a \"seq\" that is not a count" << qint64(-1)
                                  << -1 << -1.0 << false;
    QTest::newRow("seq fractional")
        << QByteArray(",\"seq\":1.5") << "the reading has a \"seq\" that is not a count"
        << qint64(-1) << -1 << -1.0 << false;
    QTest::newRow("xray_on as text") << QByteArray(",\"xray_on\":\"true\"")
                                     << "the reading has an \"xray_on\" that is not true or false"
                                     << qint64(-1) << -1 << -1.0 << false;
    QTest::newRow("beam negative") << QByteArray(",\"beam_on_s\":-3")
                                   << "the reading has a \"beam_on_s\" that is not a duration"
                                   << qint64(-1) << -1 << -1.0 << false;
}

void TestPayloads::counters()
{
    QFETCH(QByteArray, members);
    QFETCH(QString, error);
    QFETCH(qint64, seq);
    QFETCH(int, xrayOn);
    QFETCH(double, beam);
    QFETCH(bool, fault);
    const QByteArray payload = "{\"time\":\"2026-12-08T06:22:47.123Z\",\"kv\":\"080.5\",\"ua\":"
                               "\"1100\",\"temperature\":\"025.0\",\"faults\":\"No Error\"" +
                               members + "}";
    QString why;
    ReadCounters got;
    const std::optional<Reading> r = ReadingFromJson(payload, &why, &got);
    if (!error.isEmpty()) {
        QVERIFY(!r);
        QCOMPARE(why, error);
        return;
    }
    QVERIFY2(r, qPrintable(why));
    QCOMPARE(got.seq.value_or(-1), seq);
    QCOMPARE(got.xrayOn ? int(*got.xrayOn) : -1, xrayOn);
    QCOMPARE(got.beamOnSeconds.value_or(-1.0), beam);
    QCOMPARE(r->fault, fault);
}

void TestPayloads::info_data()
{
    QTest::addColumn<QByteArray>("payload"); // empty: InfoJson's own
    QTest::addColumn<QString>("error");      // empty: read
    QTest::addColumn<QString>("user");

    QTest::newRow("written and read back") << QByteArray() << ""
                                           << "ops";
    QTest::newRow("an older console's, no user")
        << QByteArray(
               "{\"started\":\"2026-12-08T06:22:47.123Z\",\"host\":\"lab-pc\",\"port\":\"/dev/"
               "pts/3\",\"program\":\"Ondrel 1.0.0.1\",\"period_ms\":200}")
        << ""
        << "";
    QTest::newRow("user a number")
        << QByteArray("{\"started\":\"2026-12-08T06:22:47.123Z\",\"host\":\"pc\",\"port\":\"/dev/"
                      "ttyS0\",\"program\":\"Ondrel 1\",\"period_ms\":200,\"user\":7}")
        << "the info has a \"user\" that is not text"
        << "";
    QTest::newRow("no period")
        << QByteArray("{\"started\":\"2026-12-08T06:22:47.123Z\",\"host\":\"pc\",\"port\":\"/dev/"
                      "ttyS0\",\"program\":\"Ondrel 1\"}")
        << "the info has no \"period_ms\" between 1 and 3600000"
        << "";
    QTest::newRow("period zero")
        << QByteArray("{\"started\":\"2026-12-08T06:22:47.123Z\",\"host\":\"pc\",\"port\":\"/dev/"
                      "ttyS0\",\"program\":\"Ondrel 1\",\"period_ms\":0}")
        << "the info has no \"period_ms\" between 1 and 3600000"
        << "";
    QTest::newRow("start no time")
        << QByteArray("{\"started\":\"now\",\"host\":\"pc\",\"port\":\"/dev/"
                      "ttyS0\",\"program\":\"Ondrel 1\",\"period_ms\":200}")
        << "the info has a start time that is not ISO 8601"
        << "";
    QTest::newRow("host a number")
        << QByteArray("{\"started\":\"2026-12-08T06:22:47.123Z\",\"host\":1}")
        << "the info has no text \"host\""
        << "";
}

void TestPayloads::info()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, error);
    QFETCH(QString, user);
    const ConsoleInfo sent{kTime, "lab-pc", "/dev/pts/3", 200, "Ondrel 1.0.0.1", "ops"};
    if (payload.isEmpty())
        payload = InfoJson(sent);
    QString why;
    const std::optional<ConsoleInfo> got = InfoFromJson(payload, &why);
    if (!error.isEmpty()) {
        QVERIFY(!got);
        QCOMPARE(why, error);
        return;
    }
    QVERIFY2(got, qPrintable(why));
    QCOMPARE(got->started, kTime);
    QCOMPARE(got->host, "lab-pc");
    QCOMPARE(got->port, "/dev/pts/3");
    QCOMPARE(got->periodMs, 200);
    QCOMPARE(got->program, "Ondrel 1.0.0.1");
    QCOMPARE(got->user, user);
}

QTEST_GUILESS_MAIN(TestPayloads)
#include "tst_payloads.moc"
