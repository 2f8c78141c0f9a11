// The status poll: the fault verdict, the monitor read-outs by position, and
// what a silent generator does to polling and to the read-outs.
#include "consolerig.h"
#include "replycases.h"

#include <QLineEdit>
#include <QtTest>

using namespace ondrel;

class TestPoll : public QObject
{
    Q_OBJECT
private slots:
    void faultVerdict_data();
    void faultVerdict();
    void monitorPositions_data();
    void monitorPositions();
    void shortMonitorReplyKeepsReadings();
    void timeOuts_data();
    void timeOuts();
    void pollWaitsOnlyWhenReady();
    void verdictTextsOfASecondTick_data();
    void verdictTextsOfASecondTick();
};

// The rows of a whole reply: the form shows what the parse makes of it.
void TestPoll::faultVerdict_data()
{
    replycases::AddFaultRows(true);
}

void TestPoll::faultVerdict()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, verdict);
    CConsoleRig rig;
    rig.StartAnswered();
    rig.AnswerAll(reply);
    rig.Tick();
    QCOMPARE(rig.view->m_editFaults->text(), verdict);
    QCOMPARE(rig.port->Written(),
             (QList<QByteArray>{Frame(frames::kReadFaults), Frame(frames::kReadMonitor)}));
    QCOMPARE(g_faultReply, reply);
    QCOMPARE(g_polling, 0);
    QCOMPARE(g_linkFailed, 0);
}

void TestPoll::monitorPositions_data()
{
    replycases::AddMonitorRows(true);
}

void TestPoll::monitorPositions()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, shown);
    CConsoleRig rig;
    rig.StartAnswered();
    rig.AnswerAll(frames::kNoFaultReply, reply);
    rig.Tick();
    QFETCH(QString, kilovolts);
    QFETCH(QString, microamps);
    QFETCH(QString, temperature);
    // Nothing was on the read-outs before this poll.
    QCOMPARE(rig.view->m_editKilovolts->text(), shown ? kilovolts : QString());
    QCOMPARE(rig.view->m_editMicroamps->text(), shown ? microamps : QString());
    QCOMPARE(rig.view->m_editTemperature->text(), shown ? temperature : QString());
}

namespace {
// Counts and honours InputLen, but hands over a reply cut short, as a conversion
// that stops at a NUL would.
class CShortReadPort : public CFakePort
{
public:
    using CFakePort::CFakePort;
    int cutTo = -1;
    QByteArray Read(qint64 maxBytes, QString* error) override
    {
        const QByteArray bytes = CFakePort::Read(maxBytes, error);
        return cutTo < 0 ? bytes : bytes.left(cutTo);
    }
};
} // namespace

void TestPoll::shortMonitorReplyKeepsReadings()
{
    CConsoleRig rig;
    auto owned = std::make_unique<CShortReadPort>(&rig.clock);
    CShortReadPort* port = owned.get();
    rig.port = port;
    rig.view->m_comm.SetDevice(std::move(owned));
    rig.StartAnswered();
    rig.Tick();
    QCOMPARE(rig.view->m_editKilovolts->text(), QStringLiteral("080.5"));

    rig.port->AnswerFrames({{Frame(frames::kReadFaults), frames::kNoFaultReply},
                            {Frame(frames::kReadMonitor), "\x02"
                                                          "9999 9999 9999 9999\r"}});
    port->cutTo = 14;
    rig.Tick();
    QCOMPARE(rig.view->m_editKilovolts->text(), QStringLiteral("080.5"));
    QCOMPARE(rig.view->m_editMicroamps->text(), QStringLiteral("1100"));
    QCOMPARE(rig.view->m_editTemperature->text(), QStringLiteral("025.0"));
    QCOMPARE(g_linkFailed, 0);
}

void TestPoll::timeOuts_data()
{
    QTest::addColumn<bool>("fltAnswered");
    QTest::addColumn<bool>("monAnswered");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<QString>("kv");
    QTest::addColumn<int>("sleeps");
    // A full time-out is 3701 sleeps; an answered exchange ends 3 virtual ms in.
    QTest::newRow("silent FLT") << false << true << "No Error"
                                << "123.4" << 3701 + 3;
    QTest::newRow("silent MON") << true << false << "Error.Please Clear"
                                << "080.5" << 3 + 3701;
    QTest::newRow("silence") << false << false << "No Error"
                             << "080.5" << 2 * 3701;
}

void TestPoll::timeOuts()
{
    QFETCH(bool, fltAnswered);
    QFETCH(bool, monAnswered);
    QFETCH(int, sleeps);
    CConsoleRig rig;
    rig.StartAnswered();
    rig.Tick(); // live readings: No Error, 080.5, 1100, 025.0
    rig.port->ClearWritten();

    std::vector<std::pair<QByteArray, QByteArray>> table;
    if (fltAnswered)
        table.emplace_back(Frame(frames::kReadFaults), "\x02"
                                                       "1 0 0 0 0 0 0 0 0\r");
    if (monAnswered)
        table.emplace_back(Frame(frames::kReadMonitor), "\x02"
                                                        "1234 0042 0300 0000\r");
    rig.port->AnswerFrames(table, 3);
    rig.clock.ResetCounts();
    rig.status.clear();
    rig.Tick();

    QCOMPARE(rig.clock.WaitedMs(), qint64(sleeps));
    QCOMPARE(g_linkFailed, 1);
    QCOMPARE(g_polling, 0);
    QTEST(rig.view->m_editFaults->text(), "faults");
    QTEST(rig.view->m_editKilovolts->text(), "kv");
    QCOMPARE(rig.port->Written(),
             (QList<QByteArray>{Frame(frames::kReadFaults), Frame(frames::kReadMonitor)}));
    QCOMPARE(rig.answerer.Count(), 0);

    // Stale readings: kept, greyed, explained once.
    for (QLineEdit* field : {rig.view->m_editKilovolts, rig.view->m_editMicroamps,
                             rig.view->m_editTemperature, rig.view->m_editFaults}) {
        QVERIFY(!field->isEnabled());
        QCOMPARE(field->toolTip(), QStringLiteral("Generator not responding: readings stopped"));
    }
    QVERIFY(rig.view->m_editVersion->isEnabled());

    rig.Tick();
    rig.Tick();
    QCOMPARE(rig.port->Written().size(), 2);
    QCOMPARE(rig.status, QStringList{"Generator not responding: readings stopped"});
    QCOMPARE(rig.answerer.Count(), 0);
}

void TestPoll::pollWaitsOnlyWhenReady()
{
    CConsoleRig rig;
    rig.StartAnswered();
    g_ready = 0;
    g_polling = 1; // left over: every tick ends with it cleared
    rig.Tick();
    QVERIFY(rig.port->Written().isEmpty());
    QCOMPARE(g_polling, 0);
}

// The faults field is emptied and set only when the verdict changes; an unchanged
// verdict leaves the field, and its repaint, alone.
void TestPoll::verdictTextsOfASecondTick_data()
{
    const QByteArray fault = "\x02"
                             "0 0 0 0 1 0 0 0 0\r";
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("no fault twice")
        << QByteArray(frames::kNoFaultReply) << QByteArray(frames::kNoFaultReply) << QStringList{};
    QTest::newRow("fault twice") << fault << fault << QStringList{};
    QTest::newRow("fault appears")
        << QByteArray(frames::kNoFaultReply) << fault << QStringList{"", "Error.Please Clear"};
    QTest::newRow("fault goes") << fault << QByteArray(frames::kNoFaultReply)
                                << QStringList{"", "No Error"};
}

void TestPoll::verdictTextsOfASecondTick()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QStringList, texts);
    CConsoleRig rig;
    rig.StartAnswered();
    rig.AnswerAll(first);
    rig.Tick();
    QStringList seen;
    QObject::connect(rig.view->m_editFaults, &QLineEdit::textChanged,
                     [&seen](const QString& text) { seen << text; });
    rig.AnswerAll(second);
    rig.Tick();
    QCOMPARE(seen, texts);
    QCOMPARE(g_faultReply, second);
}

QTEST_MAIN(TestPoll)
#include "tst_poll.moc"
