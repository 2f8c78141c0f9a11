// CMainFrame: the main window around the form view. It puts together the
// menu, the toolbar, the status bar and the trend window (each built in a unit
// of its own) and routes commands: the view first, then the document, the frame
// and the application, so that the narrowest owner of a command handles it; a
// command nobody handles is offered disabled.
#pragma once

#include "ondreldoc.h"
#include "ondrelview.h"
#include "viewprint.h"

#include <QMainWindow>
#include <QPointer>
#include <map>
#include <memory>

class QLabel;
class QMenu;
class QStatusBar;
class QToolBar;

namespace ondrel {

class CLockIndicators;
class CRecordPane;
class CStatusPane;
class CTrendHost;
class CTrendWindow;
class IShellServices;

class CMainFrame : public QMainWindow
{
    Q_OBJECT
public:
    // `printing` goes to the print commands of each view the frame is given.
    explicit CMainFrame(CViewPrinting::Seams printing = {});
    ~CMainFrame() override;

    // Pre-creation hook and creation handler; false when the handler refuses.
    bool LoadFrame(int resourceId);
    virtual bool PreCreateWindow();
    // 0 to let creation continue, -1 to make it fail.
    virtual int OnCreate();

    // What the application lends: handed over once, before LoadFrame. Without
    // it only the frame's own and the view's commands are offered.
    void SetServices(IShellServices* services) { m_services = services; }
    IShellServices* Services() const { return m_services; }

    void SetView(COndrelView* view);
    void SetDocument(COndrelDoc* document);
    COndrelView* View() const { return m_view; }
    COndrelDoc* Document() const { return m_document; }

    // "<document title> - Ondrel".
    void UpdateFrameTitle();

    // Routes a command; with run false it only asks whether anybody handles it.
    bool OnCmdMsg(int commandId, bool run = true);
    // Enables each command's action by whether anybody handles it, and sets the
    // check marks of the bar items.
    void UpdateCommandUI();
    void UpdateRecentFileMenu();

    // The message pane's text until the next menu prompt replaces it.
    void SetMessageText(const QString& text);
    QString MessageText() const;

    // The REC pane, beside the lock indicators: shown while the exposure record
    // is written; once recording has stopped it says so, with the reason as its
    // tool tip, for as long as the window lasts, whatever the message pane says.
    void ShowRecording();
    void ShowRecordingStopped(const QString& message);
    QLabel* RecordPane() const;
    // "X-RAYS MAY BE ON", beside REC, from an unanswered ENBL0 until one is
    // answered; its tool tip says why and since when. Null until first shown.
    QLabel* XrayPane() const;

    QAction* Action(int commandId) const;
    QToolBar* ToolBar() const { return m_wndToolBar; }
    QStatusBar* StatusBar() const { return m_wndStatusBar; }
    QLabel* MessagePane() const { return m_messagePane; }
    QLabel* Indicator(int indicatorId) const;
    QMenu* Popup(const QString& caption) const;
    CTrendWindow* TrendWindow() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    // The steps of the creation handler, in order; false makes it fail.
    virtual bool CreateFrameWindow(); // menu, accelerators, icon, title
    virtual bool CreateToolBar();
    virtual bool CreateStatusBar();

private:
    void OnBarCheck(int barId);
    void ShowOffUnanswered(const QDateTime& since);

    // Status bar before toolbar, as the bars are declared.
    QStatusBar* m_wndStatusBar = nullptr;
    QToolBar* m_wndToolBar = nullptr;
    QLabel* m_messagePane = nullptr;
    CLockIndicators* m_lockIndicators = nullptr; // owned by the status bar
    std::unique_ptr<CRecordPane> m_recordPane;
    std::unique_ptr<CStatusPane> m_xrayPane;

    std::map<int, QAction*> m_actions;
    std::map<QString, QMenu*> m_popups;
    QPointer<COndrelView> m_view;
    QPointer<COndrelDoc> m_document;
    CViewPrinting::Seams m_printSeams;
    IShellServices* m_services = nullptr;
    std::unique_ptr<CViewPrinting> m_printing;
    std::unique_ptr<CTrendHost> m_trend;
};

} // namespace ondrel
