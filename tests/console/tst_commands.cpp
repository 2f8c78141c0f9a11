// The operator commands: which frames go out, in which order, what a silent
// generator shows, and that the poll stays off while a command runs.
#include "consolerig.h"
#include "dialogbuilder.h"
#include "resource.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QtTest>

using namespace ondrel;

using Frames = QList<QByteArray>;

class TestCommands : public QObject
{
    Q_OBJECT
private slots:
    void xrayFrames_data();
    void xrayFrames();
    void presetChangeSendsNothing();
    void clearFaultsSendsOnlyClr();
    void switchOnAgainstSilence();
    void clearFaultsWithoutGeneratorThenPollResumes();
    void failingPropertyCall_data();
    void failingPropertyCall();
};

namespace {
void SetChecked(QCheckBox* box, bool on)
{
    box->setCheckState(on ? Qt::Checked : Qt::Unchecked);
}

QAbstractButton* ClearButton(COndrelView& view)
{
    return qobject_cast<QAbstractButton*>(DialogItemWidget(view.Form(), IDC_CLEAR_FAULTS));
}
} // namespace

void TestCommands::xrayFrames_data()
{
    QTest::addColumn<bool>("kv");
    QTest::addColumn<bool>("ma");
    QTest::addColumn<bool>("xrayOn");
    QTest::addColumn<Frames>("sent");
    const QByteArray on = Frame(frames::kEnable), off = Frame(frames::kDisable);
    const QByteArray vp = Frame(frames::kVoltage805), vp0 = Frame(frames::kVoltageZero);
    const QByteArray cp = Frame(frames::kCurrent1100), cp0 = Frame(frames::kCurrentZero);
    QTest::newRow("on, both presets") << true << true << true << Frames{vp, cp, on};
    QTest::newRow("on, kV only") << true << false << true << Frames{vp, cp0, on};
    QTest::newRow("on, mA only") << false << true << true << Frames{vp0, cp, on};
    QTest::newRow("on, no preset") << false << false << true << Frames{vp0, cp0, on};
    QTest::newRow("off, both presets") << true << true << false << Frames{off};
    QTest::newRow("off, kV only") << true << false << false << Frames{off};
    QTest::newRow("off, mA only") << false << true << false << Frames{off};
    QTest::newRow("off, no preset") << false << false << false << Frames{off};
}

void TestCommands::xrayFrames()
{
    QFETCH(bool, kv);
    QFETCH(bool, ma);
    QFETCH(bool, xrayOn);
    CConsoleRig rig;
    rig.StartAnswered();
    COndrelView& v = *rig.view;
    SetChecked(v.m_checkVoltage, kv);
    SetChecked(v.m_checkCurrent, ma);
    SetChecked(v.m_checkXray, !xrayOn);
    v.m_checkXray->click(); // the click toggles before the handler runs

    QTEST(rig.port->Written(), "sent");
    QCOMPARE(v.m_checkXray->checkState(), xrayOn ? Qt::Checked : Qt::Unchecked);
    QCOMPARE(rig.answerer.Count(), 0);
    QCOMPARE(g_ready, 1);
}

void TestCommands::presetChangeSendsNothing()
{
    CConsoleRig rig;
    rig.StartAnswered();
    COndrelView& v = *rig.view;
    v.m_checkVoltage->click();
    v.m_checkCurrent->click();
    v.m_checkXray->click(); // on with both presets
    rig.port->ClearWritten();
    v.m_checkVoltage->click();
    v.m_checkCurrent->click();
    QVERIFY(rig.port->Written().isEmpty());
    v.m_checkXray->click();
    v.m_checkXray->click();
    QCOMPARE(rig.port->Written(), (Frames{Frame(frames::kDisable), Frame(frames::kVoltageZero),
                                          Frame(frames::kCurrentZero), Frame(frames::kEnable)}));
}

void TestCommands::clearFaultsSendsOnlyClr()
{
    CConsoleRig rig;
    rig.StartAnswered();
    rig.view->m_editFaults->setText(QStringLiteral("Error.Please Clear"));
    ClearButton(*rig.view)->click();
    QCOMPARE(rig.port->Written(), Frames{Frame(frames::kClearFaults)});
    QCOMPARE(rig.view->m_editFaults->text(), QStringLiteral("Error.Please Clear"));
}

void TestCommands::switchOnAgainstSilence()
{
    CConsoleRig rig;
    rig.StartAnswered();
    rig.port->SetResponder(nullptr);
    rig.view->m_checkXray->click();
    QCOMPARE(rig.answerer.Texts(), QStringList(3, "TimeOut...Restart Application"));
    QCOMPARE(rig.answerer.Titles(), QStringList(3, "Ondrel"));
    QCOMPARE(rig.port->Written().size(), 3);
    QCOMPARE(rig.view->m_checkXray->checkState(), Qt::Checked); // never set back
    QCOMPARE(g_ready, 1);
}

void TestCommands::clearFaultsWithoutGeneratorThenPollResumes()
{
    CConsoleRig rig;
    rig.StartAnswered();
    rig.port->SetResponder(nullptr);
    int sentDuringBox = -1;
    int readyDuringBox = -1;
    rig.answerer.SetWhileShown([&](QWidget*, int) {
        const int before = rig.port->Written().size();
        rig.Tick();
        rig.view->PollStatus();
        sentDuringBox = rig.port->Written().size() - before;
        readyDuringBox = g_ready;
    });
    ClearButton(*rig.view)->click();
    QCOMPARE(rig.answerer.Count(), 1);
    QCOMPARE(sentDuringBox, 0);
    QCOMPARE(readyDuringBox, 0);
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_linkFailed, 0);

    rig.AnswerAll();
    rig.port->ClearWritten();
    rig.Tick();
    QCOMPARE(rig.port->Written(),
             (Frames{Frame(frames::kReadFaults), Frame(frames::kReadMonitor)}));
}

void TestCommands::failingPropertyCall_data()
{
    QTest::addColumn<QString>("handler");
    QTest::addColumn<QString>("failing");
    for (const char* handler : {"version", "poll", "xray", "clear"})
        for (const char* failing : {"write", "count", "read", "closed"})
            QTest::addRow("%s, %s", handler, failing) << handler << failing;
}

void TestCommands::failingPropertyCall()
{
    QFETCH(QString, handler);
    QFETCH(QString, failing);
    CConsoleRig rig;
    rig.StartAnswered();
    const QString reason = QStringLiteral("Device went away");
    if (failing == "write")
        rig.port->SetWriteError(reason);
    else if (failing == "count")
        rig.port->SetCountError(reason);
    else if (failing == "read")
        rig.port->SetReadError(reason);
    else
        rig.view->close();
    rig.clock.ResetCounts();
    rig.status.clear();

    if (handler == "version")
        rig.view->ReadVersion();
    else if (handler == "poll")
        rig.Tick();
    else if (handler == "xray")
        rig.view->m_checkXray->click();
    else
        ClearButton(*rig.view)->click();

    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);
    QCOMPARE(rig.status.size(), 1);
    if (failing != "closed")
        QVERIFY2(rig.status.first().contains(reason), qPrintable(rig.status.first()));
    QCOMPARE(rig.answerer.Count(), 0);
    QVERIFY(rig.clock.WaitedMs() < 3701); // no full time-out on a dead port
    QCOMPARE(g_linkFailed, handler == "poll" ? 1 : 0);
}

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
