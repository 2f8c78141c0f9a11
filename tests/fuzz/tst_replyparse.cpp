// What the status poll shows for a fault or monitor reply.
#include "frames.h"
#include "replyparse.h"

#include <QtTest>

using namespace ondrel;

class TestReplyParse : public QObject
{
    Q_OBJECT

private slots:
    void faultVerdict_data();
    void faultVerdict();
    void monitorFields_data();
    void monitorFields();
};

void TestReplyParse::faultVerdict_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");
    const QByteArray good(frames::kNoFaultReply);
    const QString fault = QStringLiteral("Error.Please Clear");
    // "\x02" stands apart from the text: "\x020" would read as one hex escape.
    // clang-format off
    QTest::newRow("no fault") << good << "No Error";
    QTest::newRow("one flag set") << QByteArray("\x02" "0 0 0 0 0 0 0 0 1\r") << fault;
    QTest::newRow("letter O for zero") << QByteArray("\x02" "0 0 O 0 0 0 0 0 0\r") << fault;
    QTest::newRow("one character more") << good + '\r' << fault;
    QTest::newRow("last character missing") << good.left(18) << fault;
    QTest::newRow("NUL instead of a space")
        << QByteArray("\x02" "0\0" "0 0 0 0 0 0 0 0\r", 19) << fault;
    QTest::newRow("no STX") << QByteArray(" 0 0 0 0 0 0 0 0 0\r") << fault;
    QTest::newRow("empty") << QByteArray() << fault;
    // clang-format on
}

void TestReplyParse::faultVerdict()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    QCOMPARE(FaultVerdictText(reply), text);
    QCOMPARE(IsNoFaultReply(reply), text == QLatin1String("No Error"));
}

void TestReplyParse::monitorFields_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("kilovolts");
    QTest::addColumn<QString>("microamps");
    QTest::addColumn<QString>("temperature");
    // clang-format off
    QTest::newRow("typical") << QByteArray("\x02" "0805 1100 0250 0000\r")
                             << true << "080.5" << "1100" << "025.0";
    QTest::newRow("other positions ignored") << QByteArray("X0805X1100X0250XXXXXX")
                                             << true << "080.5" << "1100" << "025.0";
    QTest::newRow("no digit check") << QByteArray("\x02" "AB-C 9x9  +Z?!\r\r\r\r\r\r")
                                    << true << "AB-.C" << "9x9 " << "+Z?.!";
    QTest::newRow("exactly 15") << QByteArray("\x02" "0805 1100 0250")
                                << true << "080.5" << "1100" << "025.0";
    QTest::newRow("14 is too short") << QByteArray("\x02" "0805 1100 025")
                                     << false << "" << "" << "";
    QTest::newRow("empty") << QByteArray() << false << "" << "" << "";
    // NUL and 8-bit bytes are shown as the characters they are, keeping the widths.
    QTest::newRow("NUL and 8-bit")
        << QByteArray("\x02" "0\0" "05\xb5" "11\xff" "0,02\x80" "50,000\r", 21) << true
        << QStringLiteral("0") + QChar(0) + QStringLiteral("0.5")
        << QStringLiteral("11") + QChar(0xFF) + QStringLiteral("0")
        << QStringLiteral("02") + QChar(0x80) + QStringLiteral(".5");
    // clang-format on
}

void TestReplyParse::monitorFields()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, shown);
    const std::optional<MonitorFields> fields = MonitorFieldsFrom(reply);
    QCOMPARE(fields.has_value(), shown);
    if (!fields)
        return;
    QTEST(fields->kilovolts, "kilovolts");
    QTEST(fields->microamps, "microamps");
    QTEST(fields->temperature, "temperature");
}

QTEST_GUILESS_MAIN(TestReplyParse)
#include "tst_replyparse.moc"
