// The operator commands on a real line: exactly the operator's frames go out,
// each exchange without its reply shows one time-out box, nothing is polled
// while a box is up, and the console is ready again afterwards.
#include "dialogbuilder.h"
#include "e2erig.h"
#include "resource.h"

#include <QAbstractButton>
#include <QtTest>

using namespace ondrel;
using namespace ondrel::e2e;

class TestE2ECommands : public QObject
{
    Q_OBJECT
private slots:
    void command_data();
    void command();
    void lateReplyIsTakenAfterTheBox();
};

namespace {

enum class Click
{
    XrayOn,
    XrayOff,
    ClearFaults
};

// What the poll does once the generator answers normally again.
enum class Then
{
    PollResumes,
    PollStops // characters left over from the command spoil its first wait
};

void ClickOn(COndrelView& view, Click click)
{
    switch (click) {
    case Click::XrayOn:
    case Click::XrayOff:
        // An automatic check box: the click toggles it, then the handler runs.
        view.m_checkXray->setChecked(click == Click::XrayOff);
        view.m_checkXray->click();
        break;
    case Click::ClearFaults:
        if (auto* button =
                qobject_cast<QAbstractButton*>(DialogItemWidget(view.Form(), IDC_CLEAR_FAULTS)))
            button->click();
        break;
    }
}

} // namespace

Q_DECLARE_METATYPE(Click)
Q_DECLARE_METATYPE(Then)

void TestE2ECommands::command_data()
{
    QTest::addColumn<QStringList>("inject");
    QTest::addColumn<Click>("click");
    QTest::addColumn<bool>("presets");
    QTest::addColumn<Frames>("sent");
    QTest::addColumn<int>("boxes");
    QTest::addColumn<Then>("then");
    // For a stopped poll: the read-outs after it (a null entry keeps the text).
    QTest::addColumn<QStringList>("shown");

    const QByteArray vp = Frame(frames::kVoltage805), vp0 = Frame(frames::kVoltageZero);
    const QByteArray cp = Frame(frames::kCurrent1100), cp0 = Frame(frames::kCurrentZero);
    const QByteArray on = Frame(frames::kEnable), off = Frame(frames::kDisable);
    const QByteArray clr = Frame(frames::kClearFaults);
    const QString same;

    QTest::newRow("answered, on with presets")
        << QStringList{} << Click::XrayOn << true << Frames{vp, cp, on} << 0 << Then::PollResumes
        << QStringList();
    QTest::newRow("answered, on without presets")
        << QStringList{} << Click::XrayOn << false << Frames{vp0, cp0, on} << 0 << Then::PollResumes
        << QStringList();
    QTest::newRow("silence, on: three boxes")
        << QStringList{"silent on"} << Click::XrayOn << true << Frames{vp, cp, on} << 3
        << Then::PollResumes << QStringList();
    QTest::newRow("silence, off") << QStringList{"silent on"} << Click::XrayOff << true
                                  << Frames{off} << 1 << Then::PollResumes << QStringList();
    QTest::newRow("silence, clear faults")
        << QStringList{"silent on"} << Click::ClearFaults << false << Frames{clr} << 1
        << Then::PollResumes << QStringList();
    // Each short reply is read after its box, so nothing is left behind.
    QTest::newRow("short replies, on")
        << QStringList{"short 1"} << Click::XrayOn << true << Frames{vp, cp, on} << 3
        << Then::PollResumes << QStringList();
    // One extra character per reply: 9 waiting for 8, then 1+9 for 8, then 2+8 for 7;
    // three are left for the poll's first wait.
    QTest::newRow("long replies, on")
        << QStringList{"long 1"} << Click::XrayOn << true << Frames{vp, cp, on} << 3
        << Then::PollStops << QStringList{same, same, same, same};
    // "XY" + 5 characters: the read takes 5 and leaves 2 for the poll. 2 + 19 fail
    // the fault wait, and are exactly the 21 the monitor wait wants: the fault
    // reply is shown as readings, greyed.
    QTest::newRow("stray characters, clear faults") << QStringList{"stray XY"} << Click::ClearFaults
                                                    << false << Frames{clr} << 1 << Then::PollStops
                                                    << QStringList{same,
                                                                   QString::fromLatin1("\r\x02"
                                                                                       "0. "),
                                                                   " 0 0", "0 0. "};
    // The reply is not examined: the right length is all it takes.
    QTest::newRow("garbled replies, on")
        << QStringList{"garble 3"} << Click::XrayOn << true << Frames{vp, cp, on} << 0
        << Then::PollResumes << QStringList();
    QTest::newRow("replies delayed inside the wait, off")
        << QStringList{"delay 3000"} << Click::XrayOff << false << Frames{off} << 0
        << Then::PollResumes << QStringList();
}

void TestE2ECommands::command()
{
    QFETCH(QStringList, inject);
    QFETCH(Click, click);
    QFETCH(bool, presets);
    QFETCH(Frames, sent);
    QFETCH(int, boxes);
    QFETCH(Then, then);
    QFETCH(QStringList, shown);

    CE2ERig rig;
    std::string error;
    QVERIFY2(rig.StartGenerator(&error), error.c_str());
    rig.StartConsole();
    QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));
    rig.WatchBoxes();
    rig.view->m_checkVoltage->setChecked(presets);
    rig.view->m_checkCurrent->setChecked(presets);

    for (const QString& command : inject)
        QVERIFY2(rig.Inject(command.toStdString()).isEmpty(), qPrintable(command));
    const int mark = rig.ReceivedCount();
    ClickOn(*rig.view, click);

    // Back from the handler: its frames, nothing else, in order.
    QCOMPARE(rig.ReceivedSince(mark), sent);
    QCOMPARE(rig.answerer.Count(), boxes);
    for (const AnsweredBox& box : rig.answerer.Boxes()) {
        QCOMPARE(box.text, CE2ERig::TimeOutText());
        QCOMPARE(box.title, QStringLiteral("Ondrel"));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
    if (boxes > 0)
        QVERIFY2(rig.ticksWhileBoxUp >= 2 * boxes, "the poll timer did not run during the boxes");
    QCOMPARE(rig.sentWhileBoxUp, 0);
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);
    QCOMPARE(g_linkFailed, 0);
    QCOMPARE(rig.view->m_checkXray->isChecked(), click == Click::XrayOn);
    QVERIFY(rig.statusMessages.isEmpty());

    QVERIFY(rig.Inject("normal").isEmpty());
    // Keeps the real monitor reply from joining leftovers before the first look.
    if (then == Then::PollStops)
        QVERIFY(rig.Inject("delay 100").isEmpty());
    const int afterCommand = rig.ReceivedCount();
    if (then == Then::PollResumes) {
        QVERIFY(rig.WaitFor([&] {
            return rig.ReceivedSince(afterCommand).count(Frame(frames::kReadMonitor)) >= 2;
        }));
        QCOMPARE(g_linkFailed, 0);
        QCOMPARE(rig.view->m_editFaults->text(), QStringLiteral("No Error"));
    } else {
        QStringList expected = rig.ReadOutTexts();
        for (int i = 0; i < expected.size(); ++i)
            if (!shown[i].isNull())
                expected[i] = shown[i];
        QVERIFY(rig.WaitFor([] { return g_linkFailed == 1; }));
        E2E_VERIFY_READINGS_STOPPED(rig, expected);
        QCOMPARE(rig.StatusText(), CE2ERig::StoppedText());
        QVERIFY(rig.WaitForReceived(afterCommand + 2));
        QCOMPARE(rig.ReceivedSince(afterCommand),
                 (Frames{Frame(frames::kReadFaults), Frame(frames::kReadMonitor)}));
    }
    QCOMPARE(rig.answerer.Count(), boxes); // the poll never shows one
}

void TestE2ECommands::lateReplyIsTakenAfterTheBox()
{
    // The wait gives up at 3.7 s and the box goes up; the reply lands at 4 s while
    // it is still up, and the read after the box takes it: nothing is left over.
    CE2ERig rig;
    std::string error;
    QVERIFY2(rig.StartGenerator(&error), error.c_str());
    rig.StartConsole();
    QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));

    const long repliesBefore = rig.generator.RepliesSent();
    bool landed = false;
    int waitingAtDismiss = -1;
    rig.answerer.SetWhileShown([&](QWidget*, int) {
        landed = rig.WaitFor([&] {
            return rig.generator.RepliesSent() > repliesBefore &&
                   rig.Waiting() == frames::kClearFaults.replyLength;
        });
        waitingAtDismiss = rig.Waiting();
        rig.Inject("delay 0");
    });
    QVERIFY(rig.Inject("delay 4000").isEmpty());
    const int mark = rig.ReceivedCount();
    ClickOn(*rig.view, Click::ClearFaults);

    QCOMPARE(rig.answerer.Texts(), QStringList{CE2ERig::TimeOutText()});
    QVERIFY2(landed, qPrintable(QString::number(waitingAtDismiss)));
    QCOMPARE(rig.Waiting(), 0);
    QCOMPARE(rig.ReceivedSince(mark), Frames{Frame(frames::kClearFaults)});
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);

    const int afterCommand = rig.ReceivedCount();
    QVERIFY(rig.WaitFor(
        [&] { return rig.ReceivedSince(afterCommand).count(Frame(frames::kReadMonitor)) >= 2; }));
    QCOMPARE(g_linkFailed, 0);
    QVERIFY(rig.PollingShows(CE2ERig::IdleReadings()));
}

QTEST_MAIN(TestE2ECommands)
#include "tst_e2e_commands.moc"
