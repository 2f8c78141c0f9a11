#include "mainfrm.h"

#include "closequestion.h"
#include "frameactions.h"
#include "framebars.h"
#include "lockindicators.h"
#include "mainicon.h"
#include "ondreldoc.h"
#include "ondrelview.h"
#include "recentfilelist.h"
#include "recordpane.h"
#include "resource.h"
#include "shellservices.h"
#include "statuspane.h"
#include "stringtable.h"
#include "trendhost.h"
#include "viewprint.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QtDebug>

namespace ondrel {

namespace {

const char* const kXraysMayBeOn = "X-RAYS MAY BE ON";

} // namespace

CMainFrame::CMainFrame(CViewPrinting::Seams printing) : m_printSeams(std::move(printing)) {}

CMainFrame::~CMainFrame()
{
    // The printing helper points at the view; drop it before the view goes.
    m_printing.reset();
}

bool CMainFrame::PreCreateWindow()
{
    // A hook for frames that must refuse creation; this one never does.
    return true;
}

bool CMainFrame::LoadFrame(int resourceId)
{
    Q_UNUSED(resourceId); // menu, accelerators, toolbar and icon all come from 128
    if (!PreCreateWindow())
        return false;
    return OnCreate() != -1;
}

int CMainFrame::OnCreate()
{
    if (!CreateFrameWindow())
        return -1;
    if (!CreateToolBar()) {
        qDebug("Failed to create toolbar\n");
        return -1;
    }
    if (!CreateStatusBar()) {
        qDebug("Failed to create status bar\n");
        return -1;
    }

    m_wndToolBar->setAllowedAreas(Qt::AllToolBarAreas);
    setDockOptions(dockOptions() | QMainWindow::AnimatedDocks);
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);

    m_trend = std::make_unique<CTrendHost>(this, Action(ID_VIEW_TREND));

    UpdateRecentFileMenu();
    UpdateCommandUI();
    return 0;
}

bool CMainFrame::CreateFrameWindow()
{
    setWindowIcon(MainIcon());
    m_actions = MakeCommandActions(this, [this](int id) { OnCmdMsg(id); });
    m_popups = MakeMenus(menuBar(), m_actions, [this] {
        UpdateRecentFileMenu();
        UpdateCommandUI();
    });
    UpdateFrameTitle();
    return true;
}

bool CMainFrame::CreateToolBar()
{
    m_wndToolBar = MakeToolBar(this, m_actions);
    if (!m_wndToolBar)
        return false;
    m_wndToolBar->installEventFilter(this);
    return true;
}

bool CMainFrame::CreateStatusBar()
{
    QStatusBar* bar = MakeStatusBar(this, &m_messagePane);
    setStatusBar(bar);
    bar->installEventFilter(this);
    m_wndStatusBar = bar;
    m_lockIndicators = new CLockIndicators(bar);
    m_recordPane = std::make_unique<CRecordPane>(bar);
    m_xrayPane = std::make_unique<CStatusPane>(bar, QStringLiteral("xrayPane"),
                                               QString::fromLatin1(kXraysMayBeOn));
    return true;
}

void CMainFrame::SetView(COndrelView* view)
{
    m_printing.reset();
    m_view = view;
    if (view) {
        setCentralWidget(view);
        connect(view, &COndrelView::statusMessage, this, &CMainFrame::SetMessageText);
        connect(view, &COndrelView::offUnanswered, this, &CMainFrame::ShowOffUnanswered);
        m_printing = std::make_unique<CViewPrinting>(view, this, m_printSeams, m_services);
    }
    UpdateCommandUI();
}

void CMainFrame::SetDocument(COndrelDoc* document)
{
    if (m_document)
        disconnect(m_document, nullptr, this, nullptr);
    m_document = document;
    if (document)
        connect(document, &COndrelDoc::titleChanged, this, &CMainFrame::UpdateFrameTitle);
    UpdateFrameTitle();
    UpdateCommandUI();
}

void CMainFrame::UpdateFrameTitle()
{
    const QString appTitle = DocStringField(0);
    const QString docTitle = m_document ? m_document->GetTitle() : QString();
    setWindowTitle(docTitle.isEmpty() ? appTitle : docTitle + QStringLiteral(" - ") + appTitle);
}

bool CMainFrame::OnCmdMsg(int commandId, bool run)
{
    try {
        // The view's command table: printing.
        if (m_printing) {
            switch (commandId) {
            case ID_FILE_PRINT:
                if (run)
                    m_printing->OnFilePrint();
                return true;
            case ID_FILE_PRINT_DIRECT:
                if (run)
                    m_printing->OnFilePrintDirect();
                return true;
            case ID_FILE_PRINT_PREVIEW:
                if (run)
                    m_printing->OnFilePrintPreview();
                return true;
            default:
                break;
            }
        }
        // The document's: saving.
        if (m_document) {
            if (commandId == ID_FILE_SAVE) {
                if (run)
                    m_document->OnFileSave();
                return true;
            }
            if (commandId == ID_FILE_SAVE_AS) {
                if (run)
                    m_document->OnFileSaveAs();
                return true;
            }
        }
        // The frame's own: the bars, and pane switching, which finds no panes.
        switch (commandId) {
        case ID_VIEW_TOOLBAR:
        case ID_VIEW_STATUS_BAR:
            if (run)
                OnBarCheck(commandId);
            return true;
        case ID_VIEW_TREND:
            if (run && m_trend)
                m_trend->Toggle();
            return m_trend != nullptr;
        case ID_NEXT_PANE:
        case ID_PREV_PANE:
            return true;
        default:
            break;
        }
        if (m_services)
            return m_services->OnCmdMsg(commandId, run);
    } catch (const std::exception& e) {
        if (m_services)
            m_services->ShowError(QStringLiteral("The command failed: %1").arg(e.what()));
        return true;
    }
    return false;
}

void CMainFrame::UpdateCommandUI()
{
    for (const auto& [id, action] : m_actions)
        action->setEnabled(OnCmdMsg(id, false));
    if (m_wndToolBar)
        m_actions.at(ID_VIEW_TOOLBAR)->setChecked(!m_wndToolBar->isHidden());
    if (m_wndStatusBar)
        m_actions.at(ID_VIEW_STATUS_BAR)->setChecked(!m_wndStatusBar->isHidden());
    if (m_trend)
        m_actions.at(ID_VIEW_TREND)->setChecked(m_trend->Shown());
}

void CMainFrame::UpdateRecentFileMenu()
{
    const CRecentFileList* recent = m_services ? m_services->RecentFileList() : nullptr;
    const int size = recent ? recent->Size() : 0;
    for (int i = 0; i < kRecentFileCount; ++i) {
        QAction* action = m_actions.at(ID_FILE_MRU_FILE1 + i);
        if (i < size) {
            action->setText(recent->MenuText(i));
            action->setVisible(true);
            action->setEnabled(true);
        } else if (i == 0) {
            action->setText(QStringLiteral("Recent File"));
            action->setVisible(true);
            action->setEnabled(false);
        } else {
            action->setVisible(false);
            action->setEnabled(false);
        }
    }
}

void CMainFrame::OnBarCheck(int barId)
{
    QWidget* bar = barId == ID_VIEW_TOOLBAR ? static_cast<QWidget*>(m_wndToolBar)
                                            : static_cast<QWidget*>(m_wndStatusBar);
    if (bar)
        bar->setVisible(bar->isHidden());
}

void CMainFrame::SetMessageText(const QString& text)
{
    if (m_messagePane)
        m_messagePane->setText(text);
}

void CMainFrame::ShowRecording()
{
    if (m_recordPane)
        m_recordPane->ShowRecording();
}

void CMainFrame::ShowRecordingStopped(const QString& message)
{
    if (m_recordPane)
        m_recordPane->ShowStopped(message);
}

QLabel* CMainFrame::RecordPane() const
{
    return m_recordPane ? m_recordPane->Label() : nullptr;
}

QLabel* CMainFrame::XrayPane() const
{
    return m_xrayPane ? m_xrayPane->Label() : nullptr;
}

void CMainFrame::ShowOffUnanswered(const QDateTime& since)
{
    if (!m_xrayPane)
        return;
    if (!since.isValid()) {
        m_xrayPane->Hide();
        return;
    }
    m_xrayPane->Show(
        QString::fromLatin1(kXraysMayBeOn),
        QStringLiteral("The generator did not answer ENBL0 (X-rays off) at %1: it has not "
                       "confirmed that X-rays are off. Closing the console sends ENBL0 again.")
            .arg(since.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
}

QString CMainFrame::MessageText() const
{
    if (!m_wndStatusBar)
        return QString();
    const QString prompt = m_wndStatusBar->currentMessage();
    return prompt.isEmpty() ? m_messagePane->text() : prompt;
}

QAction* CMainFrame::Action(int commandId) const
{
    const auto it = m_actions.find(commandId);
    return it == m_actions.end() ? nullptr : it->second;
}

QLabel* CMainFrame::Indicator(int indicatorId) const
{
    return m_lockIndicators ? m_lockIndicators->Indicator(indicatorId) : nullptr;
}

QMenu* CMainFrame::Popup(const QString& caption) const
{
    const auto it = m_popups.find(caption);
    return it == m_popups.end() ? nullptr : it->second;
}

CTrendWindow* CMainFrame::TrendWindow() const
{
    return m_trend ? m_trend->Window() : nullptr;
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    // The document is never modified; the generator may be.
    if (!m_view || !m_view->XraysMayBeOn()) {
        event->accept();
        return;
    }
    const CloseAnswer answer = AskBeforeClosingWithXrays(this);
    if (answer == CloseAnswer::SwitchOffAndClose && m_view)
        m_view->SwitchOffXrays();
    if (answer == CloseAnswer::Cancel)
        event->ignore();
    else
        event->accept();
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event)
{
    // Keeps the View items' check marks in step however a bar was shown or
    // hidden (the View menu, the toolbar's context menu, floating and closing).
    if ((watched == m_wndToolBar || watched == m_wndStatusBar) &&
        (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent)) {
        const int id = watched == m_wndToolBar ? ID_VIEW_TOOLBAR : ID_VIEW_STATUS_BAR;
        if (QAction* action = Action(id))
            action->setChecked(event->type() == QEvent::ShowToParent);
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace ondrel
