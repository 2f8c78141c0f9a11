// COndrelApp: the application object. Its start-up (InitInstance) sets up the
// profile settings and the recent-file list, registers the single-document
// template, and carries out the command line; it also owns the application's
// commands (New, Open, recent files, Print Setup, About, Exit).
#pragma once

#include "recentfilelist.h"
#include "shellservices.h"

#include <QApplication>
#include <QStringList>
#include <functional>
#include <memory>

class QPrinter;

namespace ondrel {
namespace sim {
class CGeneratorSim;
}

class CMainFrame;
class CConsoleObservers;
class CExposureRecord;
class CMqttPublisher;
class COndrelView;
class COndrelDoc;
class CRecentFileList;
class CSingleDocTemplate;
class CTermination;
struct CCommandLineInfo;

class COndrelApp : public QApplication, public IShellServices
{
    Q_OBJECT
public:
    static constexpr int kRecentFiles = kRecentFileCount;

    using FileDialog = IShellServices::FileDialog;
    using FileDialogHook = std::function<QString(FileDialog kind, const QString& suggestion)>;

    // What the application is given from outside, for the runs of InitInstance
    // that follow.
    struct Seams
    {
        // The line when the command line names none (--port, --simulate); empty:
        // the first serial port.
        QString port;
        // Answers the open and save dialogs in their place; empty: the dialogs.
        FileDialogHook fileDialog;
        // Makes the main window; empty: a plain CMainFrame.
        std::function<CMainFrame*()> createFrame;
    };

    COndrelApp(int& argc, char** argv, Seams seams = {});
    ~COndrelApp() override;

    static COndrelApp* Instance();

    // Start-up. True to run the message loop, false to end with ExitCode().
    bool InitInstance();
    bool InitInstance(const QStringList& arguments);
    // Closes the document and the main window and stops the simulated generator.
    // InitInstance may run again afterwards (tests do).
    int ExitInstance();
    int ExitCode() const { return m_exitCode; }
    // For the next InitInstance on.
    void SetSeams(Seams seams) { m_seams = std::move(seams); }

    CMainFrame* MainWindow() const;
    COndrelDoc* Document() const;
    CSingleDocTemplate* DocTemplate() const { return m_docTemplate.get(); }
    CRecentFileList* RecentFileList() const override { return m_recentFiles.get(); }
    sim::CGeneratorSim* Simulator() const { return m_simulator.get(); }
    // The exposure record of --record, while it is open.
    CExposureRecord* Record() const { return m_record.get(); }

    // Empty path: a new document. On failure *error says why.
    COndrelDoc* OpenDocumentFile(const QString& path, QString* error);

    // The application's command table; with run false only asks whether the
    // command is handled here.
    bool OnCmdMsg(int commandId, bool run) override;
    void OnFileNew();
    void OnFileOpen();
    bool OnOpenRecentFile(int index);
    void OnFilePrintSetup();
    void OnAppAbout();
    void OnAppExit();

    // The services lent to the frame, the document and the print code. The
    // file dialogs give the seams' answer when there is one.
    QPrinter& Printer() override;
    QString PromptFileName(FileDialog kind, const QString& suggestion) override;
    void ShowError(const QString& text) override;
    QWidget* DialogParent() const override;

    // From here on SIGTERM, SIGHUP and SIGINT end the application as
    // CTermination has it instead of killing it where it stands; called before
    // InitInstance, so that a signal during start-up is handled the same way.
    void WatchTerminationSignals();

    // A last guard: no exception may unwind through the event loop.
    bool notify(QObject* receiver, QEvent* event) override;

private:
    bool ProcessShellCommand(const CCommandLineInfo& info);
    bool StartSimulator(bool log);
    // --record: opens the file, or says why not and runs without it.
    QString OpenRecord(const QString& path);
    // --mqtt: the publisher, started before the first view so that it sees the start.
    bool StartTelemetry(const CCommandLineInfo& info);

    Seams m_seams;
    // The line of this run: the seams' unless the command line names one.
    QString m_port;
    std::unique_ptr<sim::CGeneratorSim> m_simulator;
    std::unique_ptr<CRecentFileList> m_recentFiles;
    std::unique_ptr<CSingleDocTemplate> m_docTemplate;
    std::unique_ptr<CExposureRecord> m_record;   // after the view, which records its stop
    std::unique_ptr<CMqttPublisher> m_telemetry; // likewise
    // Made once the command line's observers are; attaches them to each view.
    std::unique_ptr<CConsoleObservers> m_observers;
    std::unique_ptr<QPrinter> m_printer;
    std::unique_ptr<CTermination> m_termination; // its clock outlives the views that wait on it
    int m_exitCode = 0;
};

} // namespace ondrel
