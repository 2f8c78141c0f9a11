// What the status poll shows for a fault or monitor reply.
#include "replycases.h"
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

// Every row: the parse is what stands between any reply and the form.
void TestReplyParse::faultVerdict_data()
{
    replycases::AddFaultRows(false);
}

void TestReplyParse::faultVerdict()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, verdict);
    QCOMPARE(FaultVerdictText(reply), verdict);
    QCOMPARE(IsNoFaultReply(reply), verdict == QLatin1String("No Error"));
}

void TestReplyParse::monitorFields_data()
{
    replycases::AddMonitorRows(false);
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
