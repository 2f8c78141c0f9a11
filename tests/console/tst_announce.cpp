// What the console announces to its observers: the exact sequence of readings
// and events for each thing an operator or a generator can do.
#include "consolerig.h"
#include "dialogbuilder.h"
#include "resource.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QtTest>

using namespace ondrel;

class TestAnnounce : public QObject
{
    Q_OBJECT
private slots:
    void sequence_data();
    void sequence();
    void queuedToAnotherThread();
};

namespace {

const QString kNoFault = QStringLiteral("\\x020 0 0 0 0 0 0 0 0\\x0D");
const QString kReading = QStringLiteral("reading 080.5|1100|025.0|No Error|") + kNoFault;

// Steps a script may take, one word each.
void Run(CConsoleRig& rig, const QString& step)
{
    if (step == QLatin1String("start")) {
        rig.view->OnInitialUpdate();
    } else if (step == QLatin1String("no-port")) {
        rig.port->SetOpenError(QStringLiteral("No such file or directory"));
        rig.view->OnInitialUpdate();
    } else if (step == QLatin1String("tick")) {
        rig.Tick();
    } else if (step == QLatin1String("presets")) {
        rig.view->m_checkVoltage->setCheckState(Qt::Checked);
        rig.view->m_checkCurrent->setCheckState(Qt::Checked);
    } else if (step == QLatin1String("xray")) {
        rig.view->m_checkXray->click();
    } else if (step == QLatin1String("clear")) {
        qobject_cast<QAbstractButton*>(DialogItemWidget(rig.view->Form(), IDC_CLEAR_FAULTS))
            ->click();
    } else if (step == QLatin1String("fault")) {
        rig.AnswerAll("\x02"
                      "0 0 0 0 1 0 0 0 0\r");
    } else if (step == QLatin1String("garbled")) {
        rig.AnswerAll("\x02"
                      "0 0 0 0 0\x7f"
                      "0 0 0 0\r",
                      "\x02"
                      "08\xe9"
                      "5,1\t00 0250 0000\r");
    } else if (step == QLatin1String("silent")) {
        rig.port->SetResponder(nullptr);
    } else if (step == QLatin1String("answer")) {
        rig.AnswerAll();
    } else if (step.startsWith(QLatin1String("mute:"))) {
        rig.AnswerAll(frames::kNoFaultReply,
                      "\x02"
                      "0805 1100 0250 0000\r",
                      step.mid(5).toLatin1());
    } else if (step == QLatin1String("switch-off")) {
        rig.view->SwitchOffXrays();
    } else if (step == QLatin1String("on?")) {
        rig.announced << (rig.view->XraysMayBeOn() ? "may be on" : "off");
    } else if (step == QLatin1String("close")) {
        rig.view->close();
    } else if (step == QLatin1String("destroy")) {
        rig.view.reset();
    } else {
        QFAIL(qPrintable(QStringLiteral("unknown step %1").arg(step)));
    }
}

} // namespace

void TestAnnounce::sequence_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("announced");
    const QString start = QStringLiteral("start %1 9600,N,8,1").arg(CMSComm().DevicePath());

    QTest::newRow("start, two polls, exit")
        << "start tick tick destroy"
        << QStringList{start, "version 2000", kReading, kReading, "stop"};
    QTest::newRow("close then exit is one stop")
        << "start close destroy" << QStringList{start, "version 2000", "stop"};
    QTest::newRow("x-rays on with presets, off")
        << "start presets xray tick xray"
        << QStringList{start,    "version 2000", "xray-on VP0805 CP1100 ENBL1",
                       kReading, "xray-off",     "stop"};
    QTest::newRow("x-rays on without presets")
        << "start xray"
        << QStringList{start, "version 2000", "xray-on VP0000 CP0000 ENBL1", "stop"};
    QTest::newRow("fault, clear faults")
        << "start fault tick clear"
        << QStringList{start, "version 2000",
                       "reading 080.5|1100|025.0|Error.Please Clear|\\x020 0 0 0 1 0 0 0 0\\x0D",
                       "clear-faults", "stop"};
    QTest::newRow("garbled replies are shown as they came")
        << "start garbled tick"
        << QStringList{start, "version 2000",
                       QStringLiteral("reading 08\u00e9.5|1\t00|025.0|Error.Please Clear|"
                                      "\\x020 0 0 0 0\\x7F0 0 0 0\\x0D"),
                       "stop"};
    QTest::newRow("silent generator: one readings-stopped, then nothing")
        << "start silent tick tick" << QStringList{start,         "version 2000",     "timeout FLT",
                                                   "timeout MON", "readings-stopped", "stop"};
    QTest::newRow("silent generator at start-up")
        << "silent start tick"
        << QStringList{start,         "timeout FREV",     "version", "timeout FLT",
                       "timeout MON", "readings-stopped", "stop"};
    QTest::newRow("silent generator, x-rays on") << "start silent presets xray"
                                                 << QStringList{start,
                                                                "version 2000",
                                                                "timeout VP0805",
                                                                "timeout CP1100",
                                                                "timeout ENBL1",
                                                                "xray-on VP0805 CP1100 ENBL1; "
                                                                "unanswered VP0805 CP1100 ENBL1",
                                                                "stop"};
    // X-rays count as off only once the generator answered ENBL0.
    QTest::newRow("ENBL1 alone unanswered")
        << "start mute:ENBL1 presets xray on?"
        << QStringList{start,           "version 2000",
                       "timeout ENBL1", "xray-on VP0805 CP1100 ENBL1; unanswered ENBL1",
                       "may be on",     "stop"};
    QTest::newRow("ENBL0 unanswered, then answered")
        << "start xray mute:ENBL0 xray on? switch-off on? answer switch-off on?"
        << QStringList{start,
                       "version 2000",
                       "xray-on VP0000 CP0000 ENBL1",
                       "timeout ENBL0",
                       "xray-off-unanswered ENBL0",
                       "may be on",
                       "timeout ENBL0",
                       "xray-off-unanswered ENBL0",
                       "may be on",
                       "xray-off",
                       "off",
                       "stop"};
    QTest::newRow("silent generator, clear faults")
        << "start silent clear"
        << QStringList{start, "version 2000", "timeout CLR", "clear-faults", "stop"};
    QTest::newRow("port cannot open")
        << "no-port tick"
        << QStringList{QStringLiteral("port-error Cannot open %1: No such file or directory")
                           .arg(CMSComm().DevicePath()),
                       "stop"};
    QTest::newRow("never started: nothing") << "destroy" << QStringList{};
}

void TestAnnounce::sequence()
{
    QFETCH(QString, script);
    QFETCH(QStringList, announced);
    CConsoleRig rig;
    rig.AnswerAll();
    for (const QString& step : script.split(QLatin1Char(' ')))
        Run(rig, step);
    rig.view.reset();
    QCOMPARE(rig.announced, announced);
}

void TestAnnounce::queuedToAnotherThread()
{
    // An observer on its own thread gets copies through the event queue, which
    // needs the types registered.
    QThread thread;
    QObject receiver;
    receiver.moveToThread(&thread);
    QStringList got;
    QMutex lock;
    CConsoleRig rig;
    QObject::connect(rig.view.get(), &COndrelView::readingTaken, &receiver, [&](const Reading& r) {
        QMutexLocker locked(&lock);
        got << r.kilovolts;
    });
    QObject::connect(rig.view.get(), &COndrelView::consoleEvent, &receiver,
                     [&](const ConsoleEvent& e) {
                         QMutexLocker locked(&lock);
                         got << EventKindName(e.kind);
                     });
    thread.start();
    rig.AnswerAll();
    Run(rig, QStringLiteral("start"));
    rig.Tick();
    rig.view.reset();
    const auto received = [&] {
        QMutexLocker locked(&lock);
        return got;
    };
    QTRY_COMPARE(received(), (QStringList{"start", "version", "080.5", "stop"}));
    thread.quit();
    thread.wait();
}

QTEST_MAIN(TestAnnounce)
#include "tst_announce.moc"
