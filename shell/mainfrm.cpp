#include "mainfrm.h"

#include "lockkeys.h"
#include "mainicon.h"
#include "ondreldoc.h"
#include "ondrelview.h"
#include "recentfilelist.h"
#include "resource.h"
#include "shellservices.h"
#include "stringtable.h"
#include "trendwindow.h"
#include "viewprint.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QtDebug>

namespace ondrel {

namespace {

constexpr QSize kButtonImage(16, 15);
constexpr int kToolbarImages = 8;
constexpr int kLockKeyPollMs = 250;
constexpr int kIndicators[] = {ID_INDICATOR_CAPS, ID_INDICATOR_NUM, ID_INDICATOR_SCRL};

const char* const kRecordStopped = "REC stopped";

// Commands the frame offers although no menu item, button or key sends them.
constexpr int kUnboundCommands[] = {ID_FILE_PRINT_DIRECT};

} // namespace

CMainFrame::CMainFrame(CViewPrinting::Seams printing) : m_printSeams(std::move(printing)) {}

CMainFrame::~CMainFrame()
{
    // The printing helper points at the view; drop it before the view goes.
    m_printing.reset();
}

bool CMainFrame::PreCreateWindow()
{
    // The framework's default window style stays as it is.
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
    // 1. The framework's own frame creation: menu, accelerators, icon, title.
    if (!CreateFrameWindow())
        return -1;

    // 2. The toolbar.
    if (!CreateToolBar()) {
        qDebug("Failed to create toolbar\n");
        return -1;
    }

    // 3. The status bar with its message pane and the three lock indicators.
    if (!CreateStatusBar()) {
        qDebug("Failed to create status bar\n");
        return -1;
    }

    // 4. Docking: the toolbar may go to any side, and starts at the top.
    m_wndToolBar->setAllowedAreas(Qt::AllToolBarAreas);
    setDockOptions(dockOptions() | QMainWindow::AnimatedDocks);
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);

    // 5. The trend window, hidden until asked for but collecting from the start.
    m_trend = new CTrendWindow(this);
    connect(m_trend, &CTrendWindow::visibilityChanged, Action(ID_VIEW_TREND), &QAction::setChecked);

    UpdateRecentFileMenu();
    UpdateCommandUI();
    return 0;
}

void CMainFrame::CreateActions()
{
    std::vector<int> ids;
    std::map<int, QString> captions;
    for (const MenuPopup& popup : MainMenu()) {
        for (const MenuItem& item : popup.items) {
            if (item.commandId == ID_SEPARATOR)
                continue;
            ids.push_back(item.commandId);
            captions[item.commandId] = item.caption;
        }
    }
    for (int id = ID_FILE_MRU_FILE1 + 1; id < ID_FILE_MRU_FILE1 + kRecentFileCount; ++id)
        ids.push_back(id);
    for (int id : ToolbarSlots())
        ids.push_back(id);
    for (const Accelerator& accel : MainAccelerators())
        ids.push_back(accel.commandId);
    for (int id : kUnboundCommands)
        ids.push_back(id);

    for (int id : ids) {
        if (id == ID_SEPARATOR || m_actions.count(id))
            continue;
        const auto caption = captions.find(id);
        auto* action =
            new QAction(caption != captions.end() ? caption->second : TooltipOf(id), this);
        action->setProperty("commandId", id);
        action->setStatusTip(PromptOf(id));
        action->setToolTip(TooltipOf(id));
        action->setIconVisibleInMenu(false);
        QList<QKeySequence> keys;
        for (const Accelerator& accel : MainAccelerators()) {
            if (accel.commandId == id)
                keys << accel.keys;
        }
        action->setShortcuts(keys);
        // Owned by the frame as well as listed in a menu, so that the keys work
        // for commands that stand in no menu (F6) and while the menu is hidden.
        addAction(action);
        connect(action, &QAction::triggered, this, [this, id] { OnCmdMsg(id); });
        m_actions[id] = action;
    }
    for (int id : {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, ID_VIEW_TREND})
        m_actions[id]->setCheckable(true);
}

void CMainFrame::CreateMenus()
{
    for (const MenuPopup& popup : MainMenu()) {
        QMenu* menu = menuBar()->addMenu(popup.caption);
        m_popups[popup.caption] = menu;
        for (const MenuItem& item : popup.items) {
            if (item.commandId == ID_SEPARATOR) {
                menu->addSeparator();
                continue;
            }
            menu->addAction(m_actions.at(item.commandId));
            if (item.commandId == ID_FILE_MRU_FILE1) {
                // The one "Recent File" item stands for the whole list.
                for (int i = 1; i < kRecentFileCount; ++i)
                    menu->addAction(m_actions.at(ID_FILE_MRU_FILE1 + i));
            }
        }
        connect(menu, &QMenu::aboutToShow, this, [this] {
            UpdateRecentFileMenu();
            UpdateCommandUI();
        });
    }
}

bool CMainFrame::CreateFrameWindow()
{
    setWindowIcon(MainIcon());
    CreateActions();
    CreateMenus();
    UpdateFrameTitle();
    return true;
}

bool CMainFrame::CreateToolBar()
{
    const QPixmap strip(QStringLiteral(":/res/toolbar.xpm"));
    if (strip.size() != QSize(kButtonImage.width() * kToolbarImages, kButtonImage.height()))
        return false;

    auto* bar = new QToolBar(this);
    bar->setObjectName(QString::number(ID_VIEW_TOOLBAR));
    bar->setProperty("childId", ID_VIEW_TOOLBAR);
    bar->setWindowTitle(QStringLiteral("Standard"));
    bar->setIconSize(kButtonImage);
    bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    bar->setMovable(true);
    bar->setFloatable(true);
    int image = 0;
    for (int id : ToolbarSlots()) {
        if (id == ID_SEPARATOR) {
            bar->addSeparator();
            continue;
        }
        QAction* action = m_actions.at(id);
        action->setIcon(QIcon(strip.copy(image * kButtonImage.width(), 0, kButtonImage.width(),
                                         kButtonImage.height())));
        ++image;
        bar->addAction(action);
    }
    bar->installEventFilter(this);
    m_wndToolBar = bar;
    return true;
}

bool CMainFrame::CreateStatusBar()
{
    auto* bar = new QStatusBar(this);
    bar->setObjectName(QString::number(ID_VIEW_STATUS_BAR));
    bar->setProperty("childId", ID_VIEW_STATUS_BAR);

    m_messagePane = new QLabel(LoadString(AFX_IDS_IDLEMESSAGE), bar);
    m_messagePane->setObjectName(QStringLiteral("messagePane"));
    bar->addWidget(m_messagePane, 1);
    for (int id : kIndicators) {
        auto* label = new QLabel(LoadString(id), bar);
        label->setObjectName(QStringLiteral("indicator%1").arg(id));
        label->setProperty("indicatorId", id);
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(LoadString(id)) + 8);
        bar->addPermanentWidget(label);
        m_indicators[id] = label;
    }
    // A prompt shown for a menu item or button covers the pane; when it goes,
    // the pane is idle again.
    connect(bar, &QStatusBar::messageChanged, this, [this](const QString& message) {
        if (message.isEmpty())
            m_messagePane->setText(LoadString(AFX_IDS_IDLEMESSAGE));
    });
    setStatusBar(bar);
    bar->installEventFilter(this);
    m_wndStatusBar = bar;

    if (ReadLockKeys()) {
        m_lockKeyTimer = new QTimer(this);
        connect(m_lockKeyTimer, &QTimer::timeout, this, &CMainFrame::OnUpdateLockKeys);
        m_lockKeyTimer->start(kLockKeyPollMs);
        OnUpdateLockKeys();
    } else {
        for (const auto& [id, label] : m_indicators) {
            label->setEnabled(false);
            label->setToolTip(QStringLiteral("The lock keys cannot be read on this platform"));
        }
    }
    return true;
}

void CMainFrame::OnUpdateLockKeys()
{
    const std::optional<LockKeys> keys = ReadLockKeys();
    m_indicators[ID_INDICATOR_CAPS]->setEnabled(keys && keys->caps);
    m_indicators[ID_INDICATOR_NUM]->setEnabled(keys && keys->num);
    m_indicators[ID_INDICATOR_SCRL]->setEnabled(keys && keys->scroll);
}

void CMainFrame::SetView(COndrelView* view)
{
    m_printing.reset();
    m_view = view;
    if (view) {
        setCentralWidget(view);
        connect(view, &COndrelView::statusMessage, this, &CMainFrame::SetMessageText);
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
            if (run && m_trend) {
                m_trend->setVisible(m_trend->isHidden());
                if (m_trend->isVisible())
                    m_trend->raise();
            }
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
        m_actions.at(ID_VIEW_TREND)->setChecked(!m_trend->isHidden());
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

bool CMainFrame::MakeRecordPane()
{
    if (m_recordPane || !m_wndStatusBar)
        return m_recordPane != nullptr;
    // Made only for a console that records: without one the bar is as it always was.
    m_recordPane = new QLabel(m_wndStatusBar);
    m_recordPane->setObjectName(QStringLiteral("recordPane"));
    m_recordPane->setAlignment(Qt::AlignCenter);
    m_recordPane->setMinimumWidth(
        m_recordPane->fontMetrics().horizontalAdvance(QString::fromLatin1(kRecordStopped)) + 8);
    m_wndStatusBar->addPermanentWidget(m_recordPane);
    return true;
}

void CMainFrame::ShowRecording()
{
    if (!MakeRecordPane())
        return;
    m_recordPane->setText(LoadString(ID_INDICATOR_REC));
    m_recordPane->setToolTip(QString());
}

void CMainFrame::ShowRecordingStopped(const QString& message)
{
    if (!MakeRecordPane())
        return;
    m_recordPane->setText(QString::fromLatin1(kRecordStopped));
    m_recordPane->setToolTip(message);
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
    const auto it = m_indicators.find(indicatorId);
    return it == m_indicators.end() ? nullptr : it->second;
}

QMenu* CMainFrame::Popup(const QString& caption) const
{
    const auto it = m_popups.find(caption);
    return it == m_popups.end() ? nullptr : it->second;
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    // The document is never modified; the generator may be. Closing with the
    // X-Ray On/Off box checked would leave it enabled with nobody watching.
    if (!m_view || !m_view->XraysMayBeOn()) {
        event->accept();
        return;
    }
    QMessageBox box(QMessageBox::Warning, DocStringField(0),
                    QStringLiteral("X-rays may still be on. Switch them off before closing?"),
                    QMessageBox::NoButton, this);
    QPushButton* switchOff =
        box.addButton(QStringLiteral("Switch Off and Close"), QMessageBox::AcceptRole);
    QPushButton* closeAnyway =
        box.addButton(QStringLiteral("Close Anyway"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(switchOff);
    box.setEscapeButton(cancel);
    box.exec();
    const QAbstractButton* answer = box.clickedButton();
    if (answer == switchOff && m_view)
        m_view->SwitchOffXrays();
    if (answer == switchOff || answer == closeAnyway)
        event->accept();
    else
        event->ignore();
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
