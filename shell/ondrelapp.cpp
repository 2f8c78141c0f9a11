#include "ondrelapp.h"

#include "aboutdlg.h"
#include "cmdlineinfo.h"
#include "doctemplate.h"
#include "generatorsim.h"
#include "mainfrm.h"
#include "mainicon.h"
#include "mqttpublisher.h"
#include "observers.h"
#include "ondreldoc.h"
#include "ondrelview.h"
#include "recentfilelist.h"
#include "record.h"
#include "resource.h"
#include "stderrwriter.h"
#include "stringtable.h"
#include "termination.h"
#include "topics.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPrinter>
#include <QSysInfo>
#include <QtDebug>

#include <pwd.h>
#include <unistd.h>

namespace ondrel {

namespace {

const QString kRegistryKey = QStringLiteral("Local AppWizard-Generated Applications");

// The account the console runs under, for the lab's archive of who ran an
// exposure; from the password database rather than $USER, which anyone can set.
QString LoginName()
{
    const passwd* entry = getpwuid(getuid());
    return entry && entry->pw_name ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

} // namespace

COndrelApp::COndrelApp(int& argc, char** argv, Seams seams)
    : QApplication(argc, argv), m_seams(std::move(seams))
{
    InitResources();
    // Constructed without a name of its own: the name comes from the string table.
    setApplicationName(LoadString(AFX_IDS_APP_TITLE));
    setApplicationVersion(Version().productVersion);
    setWindowIcon(MainIcon());
}

COndrelApp::~COndrelApp()
{
    ExitInstance();
}

COndrelApp* COndrelApp::Instance()
{
    return qobject_cast<COndrelApp*>(QCoreApplication::instance());
}

bool COndrelApp::InitInstance()
{
    return InitInstance(arguments());
}

bool COndrelApp::InitInstance(const QStringList& arguments)
{
    ExitInstance();
    m_exitCode = 0;

    // The profile settings keep the key operators' existing INI files are under.
    setOrganizationName(kRegistryKey);

    m_recentFiles = std::make_unique<CRecentFileList>(kRecentFiles);
    m_recentFiles->ReadList();

    CSingleDocTemplate::Classes classes;
    classes.createDocument = [this] {
        auto* doc = new COndrelDoc(this);
        connect(doc, &COndrelDoc::pathNameChanged, m_recentFiles.get(), &CRecentFileList::Add);
        return doc;
    };
    classes.createFrame = [this] {
        CMainFrame* frame = m_seams.createFrame ? m_seams.createFrame() : new CMainFrame;
        frame->SetServices(this);
        connect(m_recentFiles.get(), &CRecentFileList::changed, frame, [frame] {
            frame->UpdateRecentFileMenu();
            frame->UpdateCommandUI();
        });
        return frame;
    };
    classes.createView = [this](CMainFrame* frame) {
        auto* view = new COndrelView(CViewContext{m_port}, frame);
        if (CWaitClock* clock = m_termination ? m_termination->WaitClock() : nullptr)
            view->m_wait.SetClock(clock);
        if (m_observers)
            m_observers->Attach(view, frame);
        return view;
    };
    m_docTemplate = std::make_unique<CSingleDocTemplate>(IDR_MAINFRAME, std::move(classes));

    // Without a document and a window there is nothing to run.
    if (!ProcessShellCommand(CCommandLineInfo::Parse(arguments)))
        return false;

    MainWindow()->show();
    // Painted before the first poll can block the thread for a reply wait.
    MainWindow()->repaint();
    return true;
}

bool COndrelApp::ProcessShellCommand(const CCommandLineInfo& info)
{
    if (CCommandLineInfo::AnswerWithoutWindow(info, &m_exitCode))
        return false;
    if (info.shellCommand == CCommandLineInfo::Shell::Error) {
        WriteStderr(QStringLiteral("ondrel: %1\nTry 'ondrel --help' for more information.\n")
                        .arg(info.error));
        m_exitCode = CCommandLineInfo::UsageExitCode;
        return false;
    }

    m_port = info.port.isEmpty() ? m_seams.port : info.port;
    if (info.simulate && !StartSimulator(info.simLog)) {
        m_exitCode = 1;
        return false;
    }

    const QString recordError = OpenRecord(info.record);
    if (!StartTelemetry(info)) {
        m_exitCode = 1;
        return false;
    }
    m_observers = std::make_unique<CConsoleObservers>(m_record.get(), m_telemetry.get());

    QString error;
    const QString path =
        info.shellCommand == CCommandLineInfo::Shell::FileOpen ? info.fileName : QString();
    bool opened = false;
    try {
        opened = OpenDocumentFile(path, &error) != nullptr;
    } catch (const std::exception& e) {
        // Start-up runs before the event loop: nothing else would catch this.
        error = QStringLiteral("Start-up failed: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    if (!opened) {
        WriteStderr(QStringLiteral("ondrel: %1\n").arg(error));
        m_exitCode = 1;
        return false;
    }
    if (!recordError.isEmpty() && MainWindow())
        MainWindow()->SetMessageText(recordError);
    return true;
}

QString COndrelApp::OpenRecord(const QString& path)
{
    if (path.isEmpty())
        return QString();
    QString error;
    m_record = CExposureRecord::Open(path, m_port, &error);
    if (m_record)
        return QString();
    error += QStringLiteral(" (running without a record)");
    WriteStderr(QStringLiteral("ondrel: %1\n").arg(error));
    return error;
}

bool COndrelApp::StartTelemetry(const CCommandLineInfo& info)
{
    if (!info.mqtt)
        return true;
    // The poll's period is the view's fixed one.
    const ConsoleInfo about{TelemetryNow(),
                            QSysInfo::machineHostName(),
                            m_port,
                            kDefaultPeriodMs,
                            QStringLiteral("Ondrel %1").arg(Version().productVersion),
                            LoginName()};
    m_telemetry = std::make_unique<CMqttPublisher>(*info.mqtt, about);
    QString error;
    if (m_telemetry->Start(&error))
        return true;
    m_telemetry.reset();
    WriteStderr(QStringLiteral("ondrel: %1\n").arg(error));
    return false;
}

bool COndrelApp::StartSimulator(bool log)
{
    m_simulator = std::make_unique<sim::CGeneratorSim>();
    if (!log)
        m_simulator->SetLogSink([](const std::string&) {});
    std::string error;
    if (!m_simulator->Start(&error)) {
        WriteStderr(QStringLiteral("ondrel: the simulated generator cannot start: %1\n")
                        .arg(QString::fromStdString(error)));
        m_simulator.reset();
        return false;
    }
    m_port = QString::fromStdString(m_simulator->SlavePath());
    return true;
}

int COndrelApp::ExitInstance()
{
    // The window and its view go before the simulated generator they may talk to.
    m_docTemplate.reset();
    m_observers.reset();
    m_record.reset();    // written out and synced, the view's stop included
    m_telemetry.reset(); // `offline`, after the view's stop
    if (m_recentFiles)
        m_recentFiles->WriteList();
    m_recentFiles.reset();
    m_simulator.reset();
    m_port.clear();
    return m_exitCode;
}

CMainFrame* COndrelApp::MainWindow() const
{
    return m_docTemplate ? m_docTemplate->Frame() : nullptr;
}

COndrelDoc* COndrelApp::Document() const
{
    return m_docTemplate ? m_docTemplate->Document() : nullptr;
}

COndrelDoc* COndrelApp::OpenDocumentFile(const QString& path, QString* error)
{
    if (!m_docTemplate) {
        *error = QStringLiteral("The application has not started.");
        return nullptr;
    }
    return m_docTemplate->OpenDocumentFile(path, error);
}

bool COndrelApp::OnCmdMsg(int commandId, bool run)
{
    switch (commandId) {
    case ID_FILE_NEW:
        if (run)
            OnFileNew();
        return true;
    case ID_FILE_OPEN:
        if (run)
            OnFileOpen();
        return true;
    case ID_FILE_PRINT_SETUP:
        if (run)
            OnFilePrintSetup();
        return true;
    case ID_APP_ABOUT:
        if (run)
            OnAppAbout();
        return true;
    case ID_APP_EXIT:
        if (run)
            OnAppExit();
        return true;
    default:
        break;
    }
    const int index = commandId - ID_FILE_MRU_FILE1;
    if (index >= 0 && index < kRecentFiles && m_recentFiles && index < m_recentFiles->Size()) {
        if (run)
            OnOpenRecentFile(index);
        return true;
    }
    return false;
}

void COndrelApp::OnFileNew()
{
    QString error;
    if (!OpenDocumentFile(QString(), &error))
        ShowError(error);
}

void COndrelApp::OnFileOpen()
{
    const QString path = PromptFileName(FileDialog::Open, QString());
    if (path.isEmpty())
        return;
    QString error;
    if (!OpenDocumentFile(path, &error))
        ShowError(error);
}

bool COndrelApp::OnOpenRecentFile(int index)
{
    if (!m_recentFiles || index < 0 || index >= m_recentFiles->Size())
        return false;
    const QString path = m_recentFiles->Files().at(index);
    QString error;
    if (OpenDocumentFile(path, &error))
        return true;
    // A file that cannot be opened any more leaves the list.
    m_recentFiles->Remove(index);
    ShowError(error);
    return false;
}

void COndrelApp::OnFilePrintSetup()
{
    QPageSetupDialog dialog(&Printer(), MainWindow());
    dialog.exec();
}

void COndrelApp::OnAppAbout()
{
    CAboutDlg aboutDlg(MainWindow());
    aboutDlg.exec();
}

void COndrelApp::OnAppExit()
{
    if (CMainFrame* frame = MainWindow())
        frame->close();
    else
        quit();
}

QPrinter& COndrelApp::Printer()
{
    if (!m_printer)
        m_printer = std::make_unique<QPrinter>();
    return *m_printer;
}

QString COndrelApp::PromptFileName(FileDialog kind, const QString& suggestion)
{
    if (m_seams.fileDialog)
        return m_seams.fileDialog(kind, suggestion);
    // Documents have no file type of their own: every file is offered.
    const QString filter = QStringLiteral("All Files (*)");
    if (kind == FileDialog::Open)
        return QFileDialog::getOpenFileName(MainWindow(), QStringLiteral("Open"), QString(),
                                            filter);
    // Replacing a file is asked about when it is saved, together with what
    // replacing it would lose.
    return QFileDialog::getSaveFileName(MainWindow(), QStringLiteral("Save As"), suggestion, filter,
                                        nullptr, QFileDialog::DontConfirmOverwrite);
}

void COndrelApp::ShowError(const QString& text)
{
    QMessageBox box(QMessageBox::Warning, DocStringField(0), text, QMessageBox::Ok, MainWindow());
    box.exec();
}

QWidget* COndrelApp::DialogParent() const
{
    return MainWindow();
}

void COndrelApp::WatchTerminationSignals()
{
    if (m_termination)
        return;
    m_termination = std::make_unique<CTermination>([this] {
        CMainFrame* frame = MainWindow();
        return frame ? frame->View() : nullptr;
    });
    if (CMainFrame* frame = MainWindow(); frame && frame->View() && m_termination->WaitClock())
        frame->View()->m_wait.SetClock(m_termination->WaitClock());
}

bool COndrelApp::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        qCritical("Ondrel: an event handler failed: %s", e.what());
    } catch (...) {
        qCritical("Ondrel: an event handler failed with an unknown error");
    }
    return false;
}

} // namespace ondrel
