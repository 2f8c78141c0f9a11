// Start-up of the console: binding, fitting the frame, opening the port, the
// version read, and what a repeated start-up or a dead port does.
#include "consolerig.h"
#include "resource.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QScrollBar>
#include <QtTest>

using namespace ondrel;

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void bindsMembersByControlId();
    void versionRead_data();
    void versionRead();
    void portCannotOpen();
    void repeatedStartupLeavesPortAlone();
    void frameShrinksOnly_data();
    void frameShrinksOnly();
    void closeRequestClosesPort();
};

void TestStartup::bindsMembersByControlId()
{
    CConsoleRig rig;
    rig.StartAnswered();
    COndrelView& v = *rig.view;
    const QList<QPair<QWidget*, int>> bound{
        {v.m_editFaults, IDC_FAULTS},        {v.m_editTemperature, IDC_TEMP_MONITOR},
        {v.m_editMicroamps, IDC_UA_MONITOR}, {v.m_editKilovolts, IDC_KV_MONITOR},
        {v.m_checkXray, IDC_CHECK_XRAY},     {v.m_checkCurrent, IDC_CHECK_MA},
        {v.m_checkVoltage, IDC_CHECK_KV},    {v.m_editVersion, IDC_VERSION}};
    for (const auto& [widget, id] : bound) {
        QVERIFY2(widget, qPrintable(QString::number(id)));
        QCOMPARE(widget->property("controlId").toInt(), id);
    }
}

void TestStartup::versionRead_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("boxes");
    QTest::newRow("2000") << QByteArray("\x02"
                                        "2000\r")
                          << "2000" << 0;
    QTest::newRow("other revision, as received") << QByteArray("\x02"
                                                               "2001\r")
                                                 << QString::fromLatin1("\x02"
                                                                        "2001\r")
                                                 << 0;
    QTest::newRow("six other characters") << QByteArray("2000\r\n") << "2000\r\n" << 0;
    QTest::newRow("silence") << QByteArray() << QString() << 1;
}

void TestStartup::versionRead()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, shown);
    QFETCH(int, boxes);
    CConsoleRig rig;
    if (!reply.isEmpty())
        rig.port->AnswerFrames({{Frame(frames::kReadVersion), reply}});
    rig.view->OnInitialUpdate();

    QCOMPARE(rig.port->OpenCalls(), 1);
    QCOMPARE(rig.port->Written(), QList<QByteArray>{Frame(frames::kReadVersion)});
    QCOMPARE(rig.view->m_editVersion->text(), shown);
    QCOMPARE(rig.answerer.Count(), boxes);
    if (boxes) {
        const AnsweredBox& box = rig.answerer.Boxes().first();
        QCOMPARE(box.text, QStringLiteral("TimeOut...Restart Application"));
        QCOMPARE(box.title, QStringLiteral("Ondrel"));
        QCOMPARE(box.icon, QMessageBox::NoIcon);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(rig.clock.WaitedMs(), qint64(3701));
    }
    QCOMPARE(g_ready, 1);
    QVERIFY(rig.view->TimerRunning());
}

void TestStartup::portCannotOpen()
{
    CConsoleRig rig;
    rig.AnswerAll();
    rig.port->SetOpenError(QStringLiteral("No such file or directory"));
    rig.view->OnInitialUpdate();

    const QString device = rig.view->m_comm.DevicePath();
    QCOMPARE(rig.answerer.Count(), 1);
    QCOMPARE(rig.answerer.Boxes().first().title, QStringLiteral("Ondrel"));
    QVERIFY2(rig.answerer.Texts().first().contains(device),
             qPrintable(rig.answerer.Texts().first()));
    QVERIFY(rig.port->Written().isEmpty());
    QCOMPARE(rig.clock.WaitedMs(), qint64(0));
    QCOMPARE(g_linkFailed, 1);
    QCOMPARE(g_ready, 1);
    QCOMPARE(rig.status.size(), 1);
    QVERIFY(rig.status.first().contains(device));
    QVERIFY(rig.view->TimerRunning());
    rig.Tick();
    QVERIFY(rig.port->Written().isEmpty());
}

void TestStartup::repeatedStartupLeavesPortAlone()
{
    CConsoleRig rig;
    rig.StartAnswered();
    rig.view->OnInitialUpdate();
    QCOMPARE(rig.port->OpenCalls(), 1);
    QVERIFY(rig.port->Written().isEmpty());
    QCOMPARE(rig.view->m_editVersion->text(), QStringLiteral("2000"));
    QCOMPARE(rig.answerer.Count(), 0);
}

void TestStartup::frameShrinksOnly_data()
{
    QTest::addColumn<QSize>("start");
    QTest::addColumn<bool>("shrinks");
    QTest::newRow("large frame shrinks") << QSize(1800, 1400) << true;
    QTest::newRow("small frame kept") << QSize(200, 120) << false;
}

void TestStartup::frameShrinksOnly()
{
    QFETCH(QSize, start);
    QFETCH(bool, shrinks);
    CConsoleRig rig;
    rig.AnswerAll();
    QMainWindow frame;
    frame.setCentralWidget(rig.view.get());
    auto giveBack = qScopeGuard([&] { frame.takeCentralWidget(); }); // the rig owns the view
    frame.resize(start);
    rig.view->OnInitialUpdate();
    const QSize after = frame.size();
    QVERIFY(after.width() <= start.width() && after.height() <= start.height());
    QCOMPARE(after != start, shrinks);

    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    const QSize form = rig.view->Form()->size();
    const QSize viewport = rig.view->viewport()->size();
    if (shrinks) {
        QCOMPARE(viewport, form); // exactly the form, no scroll bars
    } else {
        // The scroll range is the form's size.
        QCOMPARE(rig.view->horizontalScrollBar()->maximum(), form.width() - viewport.width());
        QCOMPARE(rig.view->verticalScrollBar()->maximum(), form.height() - viewport.height());
    }
}

void TestStartup::closeRequestClosesPort()
{
    CConsoleRig rig;
    rig.StartAnswered();
    QVERIFY(rig.view->m_comm.GetPortOpen());
    rig.view->close();
    QVERIFY(!rig.view->m_comm.GetPortOpen());
    QCOMPARE(rig.port->CloseCalls(), 1);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
