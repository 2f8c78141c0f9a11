// The main frame as the operator meets it: menus, keys, toolbar, status bar,
// the about box, and a frame that cannot be made.
#include "aboutdlg.h"
#include "ondrelview.h"
#include "shellrig.h"

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QToolButton>

using namespace ondrel;

namespace {

// A main window whose creation handler fails at one of its steps.
class CFailingFrame : public CMainFrame
{
public:
    enum class Step
    {
        Frame,
        ToolBar,
        StatusBar
    };
    CFailingFrame(Step step, CViewPrinting::Seams printing)
        : CMainFrame(std::move(printing)), m_step(step)
    {}

protected:
    bool CreateFrameWindow() override
    {
        return m_step != Step::Frame && CMainFrame::CreateFrameWindow();
    }
    bool CreateToolBar() override { return m_step != Step::ToolBar && CMainFrame::CreateToolBar(); }
    bool CreateStatusBar() override
    {
        return m_step != Step::StatusBar && CMainFrame::CreateStatusBar();
    }

private:
    Step m_step;
};

int IdOf(const QAction* action)
{
    return action->property("commandId").toInt();
}

// The visible entries of a menu as "caption|id", "-" for a separator, with
// " (grey)" for a disabled entry.
QStringList Entries(const QMenu* menu)
{
    QStringList entries;
    for (const QAction* action : menu->actions()) {
        if (!action->isVisible())
            continue;
        if (action->isSeparator()) {
            entries << QStringLiteral("-");
            continue;
        }
        entries << QStringLiteral("%1|%2%3")
                       .arg(action->text())
                       .arg(IdOf(action))
                       .arg(action->isEnabled() ? "" : " (grey)");
    }
    return entries;
}

} // namespace

class TestMainFrame : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startsWithANewDocument();
    void menus_data();
    void menus();
    void menuKeyTextsMatchTheKeys();
    void accelerators_data();
    void accelerators();
    void commandTexts_data();
    void commandTexts();
    void toolbar();
    void viewItemsToggleBars_data();
    void viewItemsToggleBars();
    void statusBar();
    void aboutCommand();
    void aboutBoxCloses_data();
    void aboutBoxCloses();
    void exitDoesNotAsk();
    void failedFrame_data();
    void failedFrame();
    void lineChoice_data();
    void lineChoice();

private:
    std::unique_ptr<CShellRig> m_rig;
};

void TestMainFrame::init()
{
    m_rig = std::make_unique<CShellRig>();
    QVERIFY(m_rig->Start());
    QVERIFY(CShellRig::Frame());
}

void TestMainFrame::cleanup()
{
    m_rig.reset();
}

void TestMainFrame::startsWithANewDocument()
{
    CMainFrame* frame = CShellRig::Frame();
    QVERIFY(frame->isVisible());
    QCOMPARE(frame->windowTitle(), QStringLiteral("Untitled - Ondrel"));
    QVERIFY(qobject_cast<COndrelView*>(frame->centralWidget()));
    QVERIFY(!frame->windowIcon().isNull());
    // The view's start-up ran: against the missing port it said so once.
    QCOMPARE(m_rig->answerer.Count(), 1);
    QVERIFY(m_rig->answerer.Texts().first().contains(QLatin1String(kMissingPort)));
}

void TestMainFrame::menus_data()
{
    QTest::addColumn<QString>("popup");
    QTest::addColumn<QStringList>("entries");
    QTest::newRow("File") << "&File"
                          << QStringList{"&New\tCtrl+N|57600",
                                         "&Open...\tCtrl+O|57601",
                                         "&Save\tCtrl+S|57603",
                                         "Save &As...|57604",
                                         "-",
                                         "&Print...\tCtrl+P|57607",
                                         "Print Pre&view|57609",
                                         "P&rint Setup...|57606",
                                         "-",
                                         "Recent File|57616 (grey)",
                                         "-",
                                         "E&xit|57665"};
    QTest::newRow("Edit") << "&Edit"
                          << QStringList{"&Undo\tCtrl+Z|57643 (grey)", "-",
                                         "Cu&t\tCtrl+X|57635 (grey)", "&Copy\tCtrl+C|57634 (grey)",
                                         "&Paste\tCtrl+V|57637 (grey)"};
    QTest::newRow("View") << "&View"
                          << QStringList{"&Toolbar|59392", "&Status Bar|59393", "T&rend|32771"};
    QTest::newRow("Help") << "&Help" << QStringList{"&About Brevane...|57664"};
}

void TestMainFrame::menus()
{
    QFETCH(QString, popup);
    QFETCH(QStringList, entries);
    CMainFrame* frame = CShellRig::Frame();
    QMenu* menu = frame->Popup(popup);
    QVERIFY(menu);
    emit menu->aboutToShow(); // the menu's enabled states are settled as it opens
    QCOMPARE(Entries(menu), entries);
    // Alt and a letter reaches one item of the popup, never two.
    QStringList mnemonics;
    for (const QString& entry : entries) {
        const int amp = entry.indexOf(QLatin1Char('&'));
        if (amp >= 0 && amp + 1 < entry.size())
            mnemonics << entry.mid(amp + 1, 1).toLower();
    }
    QCOMPARE(QSet<QString>(mnemonics.begin(), mnemonics.end()).size(), mnemonics.size());

    // The popups stand in the menu bar in this order.
    QStringList bar;
    for (QAction* action : frame->menuBar()->actions())
        bar << action->text();
    QCOMPARE(bar, (QStringList{"&File", "&Edit", "&View", "&Help"}));
}

void TestMainFrame::menuKeyTextsMatchTheKeys()
{
    // The key shown beside an item is the first key that sends its command.
    for (QMenu* menu : CShellRig::Frame()->menuBar()->findChildren<QMenu*>()) {
        for (QAction* action : menu->actions()) {
            const QString keyText = action->text().section(QLatin1Char('\t'), 1);
            const QString bound =
                action->shortcuts().isEmpty() ? QString() : action->shortcuts().first().toString();
            QVERIFY2(keyText == bound, qPrintable(action->text()));
        }
    }
}

void TestMainFrame::accelerators_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int>("command");
    const QList<QPair<const char*, int>> table{
        {"Ctrl+N", 57600},    {"Ctrl+O", 57601},   {"Ctrl+S", 57603},
        {"Ctrl+P", 57607},    {"Ctrl+Z", 57643},   {"Ctrl+X", 57635},
        {"Ctrl+C", 57634},    {"Ctrl+V", 57637},   {"Alt+Backspace", 57643},
        {"Shift+Del", 57635}, {"Ctrl+Ins", 57634}, {"Shift+Ins", 57637},
        {"F6", 57680},        {"Shift+F6", 57681}};
    for (const auto& [keys, command] : table)
        QTest::newRow(keys) << QString::fromLatin1(keys) << command;
}

void TestMainFrame::accelerators()
{
    QFETCH(QString, keys);
    QFETCH(int, command);
    CMainFrame* frame = CShellRig::Frame();
    frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(frame));
    if (QWidget* focus = QApplication::focusWidget())
        focus->clearFocus(); // a focused edit box would take the Edit keys for itself

    QAction* action = frame->Action(command);
    QVERIFY(action);
    // The Edit commands are offered disabled; for the key to be seen arriving
    // the action is switched on here (its handler still finds nothing to do).
    action->setEnabled(true);
    QSignalSpy triggered(action, &QAction::triggered);
    const QKeyCombination combination = QKeySequence::fromString(keys)[0];
    QTest::keyClick(frame, combination.key(), combination.keyboardModifiers());
    QCOMPARE(triggered.count(), 1);
    QVERIFY(frame->isVisible());
}

void TestMainFrame::commandTexts_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("tooltip");
    auto row = [](int id, const char* prompt, const char* tip) {
        QTest::newRow(tip) << id << QString::fromUtf8(prompt) << QString::fromLatin1(tip);
    };
    row(57600, "Create a new document", "New");
    row(57601, "Open an existing document", "Open");
    row(57603, "Save the active document", "Save");
    row(57604, "Save the active document with a new name", "Save As");
    row(57607, "Print the active document", "Print");
    row(57609, "Display full pages", "Print Preview");
    row(57606, "Change the printer and printing options", "Print Setup");
    row(57665, "Quit the application; prompts to save documents", "Exit");
    row(57643, "Undo the last action", "Undo");
    row(57635, "Cut the selection and put it on the Clipboard", "Cut");
    row(57634, "Copy the selection and put it on the Clipboard", "Copy");
    row(57637, "Insert Clipboard contents", "Paste");
    row(59392, "Show or hide the toolbar", "Toggle ToolBar");
    row(59393, "Show or hide the status bar", "Toggle StatusBar");
    row(32771, "Show or hide the live trend of kV, \u00b5A and temperature", "Trend");
    row(57664, "Display program information, version number and copyright", "About");
    row(57616, "Open this document", "");
}

void TestMainFrame::commandTexts()
{
    QFETCH(int, command);
    QFETCH(QString, prompt);
    QFETCH(QString, tooltip);
    CMainFrame* frame = CShellRig::Frame();
    QAction* action = frame->Action(command);
    QVERIFY(action);
    QCOMPARE(action->statusTip(), prompt);
    if (!tooltip.isEmpty())
        QCOMPARE(action->toolTip(), tooltip);
    // A button shows the same texts as its command.
    if (QWidget* button = frame->ToolBar()->widgetForAction(action)) {
        QCOMPARE(button->toolTip(), tooltip);
        QCOMPARE(button->statusTip(), prompt);
    }
}

void TestMainFrame::toolbar()
{
    CMainFrame* frame = CShellRig::Frame();
    QToolBar* bar = frame->ToolBar();
    QCOMPARE(bar->property("childId").toInt(), 59392);
    QCOMPARE(frame->toolBarArea(bar), Qt::TopToolBarArea);
    QCOMPARE(bar->allowedAreas(), Qt::AllToolBarAreas);
    QVERIFY(bar->isMovable());
    QVERIFY(bar->isFloatable());
    QCOMPARE(bar->iconSize(), QSize(16, 15));

    QList<int> slotIds;
    for (QAction* action : bar->actions()) {
        slotIds << (action->isSeparator() ? 0 : IdOf(action));
        if (action->isSeparator())
            continue;
        QVERIFY(!action->icon().isNull());
        QVERIFY(!action->isIconVisibleInMenu());
        auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(action));
        QVERIFY(button);
        QVERIFY(button->autoRaise()); // flat
    }
    QCOMPARE(slotIds,
             (QList<int>{57600, 57601, 57603, 0, 57635, 57634, 57637, 0, 57607, 0, 57664}));
    // The Edit buttons follow their commands: no handler, so disabled.
    QVERIFY(!frame->Action(57635)->isEnabled());
    QVERIFY(frame->Action(57603)->isEnabled());
}

void TestMainFrame::viewItemsToggleBars_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<bool>("byMenu"); // else the bar is hidden some other way
    QTest::newRow("toolbar, View menu") << 59392 << true;
    QTest::newRow("toolbar, hidden directly") << 59392 << false;
    QTest::newRow("status bar, View menu") << 59393 << true;
    QTest::newRow("status bar, hidden directly") << 59393 << false;
}

void TestMainFrame::viewItemsToggleBars()
{
    QFETCH(int, command);
    QFETCH(bool, byMenu);
    CMainFrame* frame = CShellRig::Frame();
    QWidget* bar = command == 59392 ? static_cast<QWidget*>(frame->ToolBar())
                                    : static_cast<QWidget*>(frame->StatusBar());
    QCOMPARE(bar->property("childId").toInt(), command);
    QAction* item = frame->Action(command);
    QVERIFY(item->isCheckable());
    QVERIFY(item->isChecked());
    QVERIFY(bar->isVisible());

    for (bool visible : {false, true}) {
        if (byMenu)
            item->trigger();
        else
            bar->setVisible(visible);
        QCOMPARE(bar->isVisible(), visible);
        QCOMPARE(item->isChecked(), visible);
    }
    // With the toolbar gone, About is still on the Help menu.
    bar->hide();
    QVERIFY(frame->Popup("&Help")->actions().contains(frame->Action(57664)));
    QVERIFY(frame->Action(57664)->isEnabled());
}

void TestMainFrame::statusBar()
{
    CMainFrame* frame = CShellRig::Frame();
    QStatusBar* bar = frame->StatusBar();
    QCOMPARE(bar->property("childId").toInt(), 59393);

    // Panes in order: the message pane, then CAP, NUM, SCRL.
    QList<QLabel*> panes;
    for (QLabel* label : bar->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
        panes << label;
    std::sort(panes.begin(), panes.end(), [](QLabel* a, QLabel* b) { return a->x() < b->x(); });
    QStringList texts;
    for (QLabel* label : panes.mid(1))
        texts << label->text();
    QCOMPARE(panes.first(), frame->MessagePane());
    QCOMPARE(texts, (QStringList{"CAP", "NUM", "SCRL"}));
    // Offscreen nobody can tell the lock keys: shown greyed.
    for (int id : {59137, 59138, 59139})
        QVERIFY(!frame->Indicator(id)->isEnabled());

    // The view's messages go to the message pane.
    emit qobject_cast<COndrelView*>(frame->centralWidget())->statusMessage("Link lost");
    QCOMPARE(frame->MessageText(), QStringLiteral("Link lost"));

    // A hovered item's prompt covers the pane; afterwards it is idle: "Ready".
    QStatusTipEvent hover(QStringLiteral("Create a new document"));
    QApplication::sendEvent(frame, &hover);
    QCOMPARE(frame->MessageText(), QStringLiteral("Create a new document"));
    QStatusTipEvent leave{QString()};
    QApplication::sendEvent(frame, &leave);
    QCOMPARE(frame->MessageText(), QStringLiteral("Ready"));
}

void TestMainFrame::aboutCommand()
{
    m_rig->answerer.Clear();
    m_rig->Run(57664);
    QCOMPARE(m_rig->answerer.Titles(), QStringList{"Brevane"});
    QVERIFY(!QApplication::activeModalWidget());
}

void TestMainFrame::aboutBoxCloses_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("result");
    QTest::newRow("OK") << "ok" << int(QDialog::Accepted);
    QTest::newRow("Enter (OK is the default)") << "enter" << int(QDialog::Accepted);
    QTest::newRow("Escape") << "escape" << int(QDialog::Rejected);
    QTest::newRow("close box") << "close" << int(QDialog::Rejected);
}

void TestMainFrame::aboutBoxCloses()
{
    QFETCH(QString, how);
    QFETCH(int, result);
    CAboutDlg dialog(CShellRig::Frame());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Brevane"));
    QStringList texts;
    bool hasIcon = false;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        texts << label->text();
        hasIcon = hasIcon || !label->pixmap().isNull();
    }
    QVERIFY(texts.contains("Brevane 1.0"));
    QVERIFY(hasIcon);

    bool acted = false;
    QTimer::singleShot(0, &dialog, [&] {
        acted = true;
        if (how == "ok")
            dialog.findChild<QPushButton*>()->click();
        else if (how == "enter")
            QTest::keyClick(&dialog, Qt::Key_Return);
        else if (how == "escape")
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            dialog.close();
    });
    QCOMPARE(dialog.exec(), result);
    QVERIFY(acted);
    QVERIFY(!dialog.isVisible());
}

void TestMainFrame::exitDoesNotAsk()
{
    m_rig->answerer.Clear();
    m_rig->Run(57665);
    QVERIFY(!CShellRig::Frame()->isVisible());
    QCOMPARE(m_rig->answerer.Count(), 0);
}

void TestMainFrame::failedFrame_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("trace");
    QTest::newRow("frame") << int(CFailingFrame::Step::Frame) << "";
    QTest::newRow("toolbar") << int(CFailingFrame::Step::ToolBar) << "Failed to create toolbar\n";
    QTest::newRow("status bar") << int(CFailingFrame::Step::StatusBar)
                                << "Failed to create status bar\n";
}

void TestMainFrame::failedFrame()
{
    QFETCH(int, step);
    QFETCH(QString, trace);
    m_rig->createFrame = [step](CViewPrinting::Seams printing) {
        return new CFailingFrame(CFailingFrame::Step(step), std::move(printing));
    };
    if (!trace.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, qPrintable(trace));
    QVERIFY(!m_rig->Start());
    QVERIFY(CShellRig::App()->ExitCode() != 0);
    QVERIFY(!CShellRig::Frame());
    for (QWidget* widget : QApplication::topLevelWidgets())
        QVERIFY2(!widget->isVisible(), qPrintable(widget->metaObject()->className()));
    // The console never started: no box about the port.
    QCOMPARE(m_rig->answerer.Count(), 0);
}

void TestMainFrame::lineChoice_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("version"); // what the start-up read
    QTest::addColumn<QString>("box");     // the start-up's complaint, if any
    QTest::newRow("--port") << QStringList{"--port", "/nonexistent/elsewhere"} << ""
                            << "/nonexistent/elsewhere";
    QTest::newRow("--simulate") << QStringList{"--simulate"} << "2000"
                                << "";
}

void TestMainFrame::lineChoice()
{
    QFETCH(QStringList, args);
    QFETCH(QString, version);
    QFETCH(QString, box);
    QVERIFY(m_rig->Start(args));
    auto* view = qobject_cast<COndrelView*>(CShellRig::Frame()->centralWidget());
    QCOMPARE(view->m_editVersion->text(), version);
    QCOMPARE(m_rig->answerer.Count(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty())
        QVERIFY(m_rig->answerer.Texts().first().contains(box));
    QCOMPARE(CShellRig::App()->Simulator() != nullptr, args.contains("--simulate"));

    // The command line's line was for that run only: the next one without it
    // is back on the line the application was given.
    CShellRig::App()->ExitInstance();
    QVERIFY(m_rig->Start());
    view = qobject_cast<COndrelView*>(CShellRig::Frame()->centralWidget());
    QCOMPARE(view->m_comm.DevicePath(), QString::fromLatin1(kMissingPort));
    QVERIFY(m_rig->answerer.Texts().last().contains(QLatin1String(kMissingPort)));
}

ONDREL_SHELL_TEST_MAIN(TestMainFrame)
#include "tst_mainframe.moc"
