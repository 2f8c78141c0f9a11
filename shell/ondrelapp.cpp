#include "ondrelapp.h"

#include "aboutdlg.h"
#include "cmdlineinfo.h"
#include "doctemplate.h"
#include "generatorsim.h"
#include "mainfrm.h"
#include "mqttpublisher.h"
#include "ondreldoc.h"
#include "ondrelview.h"
#include "recentfilelist.h"
#include "record.h"
#include "resource.h"
#include "stringtable.h"
#include "termsignals.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPrinter>
#include <QSysInfo>
#include <QTimer>
#include <QtDebug>
#include <chrono>
#include <cstdio>

namespace ondrel {

namespace {

const QString kRegistryKey = QStringLiteral("Local AppWizard-Generated Applications");

// How often a termination signal that came during an operator command looks
// again whether the command has ended.
constexpr std::chrono::milliseconds kSignalRetry{50};

void WriteStderr(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
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

    // 1. Hosting of ActiveX controls: the form's communications control is a
    //    class of ours, so there is nothing to host.
    // 2. The three-dimensional look of dialog controls: Qt's styles draw them so.

    // 3. Profile settings under the historic key (an INI file on Linux).
    setOrganizationName(kRegistryKey);

    // 4. The standard profile settings: the recent-file list.
    m_recentFiles = std::make_unique<CRecentFileList>(kRecentFiles);
    m_recentFiles->ReadList();

    // 5. The single-document template.
    CSingleDocTemplate::Classes classes;
    classes.createDocument = [this] {
        auto* doc = new COndrelDoc;
        connect(doc, &COndrelDoc::pathNameChanged, m_recentFiles.get(), &CRecentFileList::Add);
        return doc;
    };
    classes.createFrame = [this] {
        CMainFrame* frame = m_seams.createFrame ? m_seams.createFrame() : new CMainFrame;
        connect(m_recentFiles.get(), &CRecentFileList::changed, frame, [frame] {
            frame->UpdateRecentFileMenu();
            frame->UpdateCommandUI();
        });
        return frame;
    };
    classes.createView = [this](CMainFrame* frame) {
        auto* view = new COndrelView(CViewContext{m_port}, frame);
        ConnectRecord(view, frame);
        ConnectTelemetry(view, frame);
        return view;
    };
    m_docTemplate = std::make_unique<CSingleDocTemplate>(IDR_MAINFRAME, std::move(classes));

    // 6. The command line.
    const CCommandLineInfo info = CCommandLineInfo::Parse(arguments);

    // 7. Carry it out; without a document and a window there is nothing to run.
    if (!ProcessShellCommand(info))
        return false;

    // 8. Show the main window and paint it at once.
    MainWindow()->show();
    MainWindow()->repaint();

    // 9.
    return true;
}

bool COndrelApp::ProcessShellCommand(const CCommandLineInfo& info)
{
    switch (info.shellCommand) {
    case CCommandLineInfo::Shell::Help:
        std::fputs(CCommandLineInfo::HelpText().toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
        m_exitCode = 0;
        return false;
    case CCommandLineInfo::Shell::Version:
        std::fputs(CCommandLineInfo::VersionText().toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
        m_exitCode = 0;
        return false;
    case CCommandLineInfo::Shell::ListPorts:
        std::fputs(CCommandLineInfo::ListPortsText().toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
        m_exitCode = 0;
        return false;
    case CCommandLineInfo::Shell::Error:
        WriteStderr(QStringLiteral("ondrel: %1\nTry 'ondrel --help' for more information.\n")
                        .arg(info.error));
        m_exitCode = CCommandLineInfo::UsageExitCode;
        return false;
    case CCommandLineInfo::Shell::FileNew:
    case CCommandLineInfo::Shell::FileOpen:
        break;
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

void COndrelApp::ConnectRecord(COndrelView* view, CMainFrame* frame)
{
    if (!m_record)
        return;
    // Direct connections: the record only formats the row here and hands it to
    // its own writer thread.
    connect(view, &COndrelView::readingTaken, m_record.get(), &CExposureRecord::OnReading);
    connect(view, &COndrelView::consoleEvent, m_record.get(), &CExposureRecord::OnEvent);
    connect(m_record.get(), &CExposureRecord::stopped, frame, &CMainFrame::SetMessageText,
            Qt::QueuedConnection);
    // The record may have failed already (its header, on a full disk): queued
    // like the signal, so that the console's own start-up messages come first.
    if (!m_record->Recording())
        QMetaObject::invokeMethod(
            frame, [frame, text = m_record->StoppedMessage()] { frame->SetMessageText(text); },
            Qt::QueuedConnection);
}

bool COndrelApp::StartTelemetry(const CCommandLineInfo& info)
{
    if (!info.mqtt)
        return true;
    // The poll's period is the view's fixed 200 ms.
    const ConsoleInfo about{TelemetryNow(), QSysInfo::machineHostName(), m_port, 200,
                            QStringLiteral("Ondrel %1").arg(Version().productVersion)};
    m_telemetry = std::make_unique<CMqttPublisher>(*info.mqtt, about);
    QString error;
    if (m_telemetry->Start(&error))
        return true;
    m_telemetry.reset();
    WriteStderr(QStringLiteral("ondrel: %1\n").arg(error));
    return false;
}

void COndrelApp::ConnectTelemetry(COndrelView* view, CMainFrame* frame)
{
    if (!m_telemetry)
        return;
    // Direct: publishing formats the JSON and queues it for the client's thread.
    connect(view, &COndrelView::readingTaken, m_telemetry.get(), &CMqttPublisher::PublishReading);
    connect(view, &COndrelView::consoleEvent, m_telemetry.get(), &CMqttPublisher::PublishEvent);
    connect(m_telemetry.get(), &CMqttPublisher::statusMessage, frame, &CMainFrame::SetMessageText,
            Qt::UniqueConnection);
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
    const QString path = DoPromptFileName(FileDialog::Open, QString());
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
    COndrelApp* app = Instance();
    if (!app) {
        // Only reachable without the application object; kept for the process.
        static QPrinter* orphan = new QPrinter;
        return *orphan;
    }
    if (!app->m_printer)
        app->m_printer = std::make_unique<QPrinter>();
    return *app->m_printer;
}

QIcon COndrelApp::MainIcon()
{
    InitResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/res/mainframe32.xpm"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/res/mainframe16.xpm"), QSize(16, 16));
    return icon;
}

QString COndrelApp::DoPromptFileName(FileDialog kind, const QString& suggestion)
{
    if (COndrelApp* app = Instance(); app && app->m_seams.fileDialog)
        return app->m_seams.fileDialog(kind, suggestion);
    // Documents have no file type of their own: every file is offered.
    const QString filter = QStringLiteral("All Files (*)");
    QWidget* parent = Instance() ? Instance()->MainWindow() : nullptr;
    if (kind == FileDialog::Open)
        return QFileDialog::getOpenFileName(parent, QStringLiteral("Open"), QString(), filter);
    // Replacing a file is asked about when it is saved, together with what
    // replacing it would lose.
    return QFileDialog::getSaveFileName(parent, QStringLiteral("Save As"), suggestion, filter,
                                        nullptr, QFileDialog::DontConfirmOverwrite);
}

void COndrelApp::ShowError(const QString& text)
{
    QWidget* parent = Instance() ? Instance()->MainWindow() : nullptr;
    QMessageBox box(QMessageBox::Warning, DocStringField(0), text, QMessageBox::Ok, parent);
    box.exec();
}

void COndrelApp::WatchTerminationSignals()
{
    if (m_terminationSignals)
        return;
    m_terminationSignals = std::make_unique<CTerminationSignals>();
    connect(m_terminationSignals.get(), &CTerminationSignals::received, this,
            &COndrelApp::OnTerminationSignal);
}

void COndrelApp::OnTerminationSignal(int signalNumber)
{
    if (m_terminating)
        return; // the first signal is being carried out
    CMainFrame* frame = MainWindow();
    COndrelView* view = frame ? frame->View() : nullptr;
    if (view && view->InOperatorExchange()) {
        // Only a command's time-out box runs events inside a command. Ending
        // its loop now would let the command go on with its remaining frames
        // (up to ENBL1) after our ENBL0, so the signal waits for the command.
        QTimer::singleShot(kSignalRetry, this,
                           [this, signalNumber] { OnTerminationSignal(signalNumber); });
        return;
    }
    m_terminating = true;
    if (view && view->XraysMayBeOn())
        view->SwitchOffXrays();
    // exit() rather than closing the window: closing would ask the operator.
    exit(128 + signalNumber);
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
