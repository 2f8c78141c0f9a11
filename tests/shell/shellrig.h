// The whole application in a test process: COndrelApp instead of a bare
// QApplication, profile settings in a scratch folder, the port pointed at a path
// that does not exist (so the console's start-up shows its error box, which the
// answerer dismisses), the file dialogs answered by the test, and the print
// commands printing to a file of the test's when it names one.
#pragma once

#include "mainfrm.h"
#include "modalanswerer.h"
#include "ondrelapp.h"

#include <QAction>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTest>

namespace ondrel {

inline const char* kMissingPort = "/nonexistent/ondrel-test-port";

struct CShellRig
{
    CModalAnswerer answerer;
    QString nextFileName; // what the next open/save dialog answers ("" = cancel)
    int fileDialogs = 0;
    QString pdfOutput; // where printing goes, with no dialog ("" = the printer and its dialogs)
    int pageLoops = 0; // page loops run so far
    // The main window the next start makes; empty: the application's own.
    std::function<CMainFrame*(CViewPrinting::Seams printing)> createFrame;

    CShellRig()
    {
        COndrelApp::Seams seams;
        seams.port = QString::fromLatin1(kMissingPort);
        seams.fileDialog = [this](COndrelApp::FileDialog, const QString&) {
            ++fileDialogs;
            return nextFileName;
        };
        seams.createFrame = [this] {
            return createFrame ? createFrame(PrintSeams()) : new CMainFrame(PrintSeams());
        };
        App()->SetSeams(std::move(seams));
    }
    ~CShellRig()
    {
        App()->ExitInstance();
        App()->SetSeams({});
    }

    CViewPrinting::Seams PrintSeams()
    {
        CViewPrinting::Seams seams;
        seams.prepare = [this](QPrinter& printer) {
            if (pdfOutput.isEmpty())
                return false;
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(pdfOutput);
            return true;
        };
        seams.pageLoopRun = [this] { ++pageLoops; };
        return seams;
    }

    static COndrelApp* App() { return COndrelApp::Instance(); }
    static CMainFrame* Frame() { return App()->MainWindow(); }

    // Starts the application with `args` after the program name.
    bool Start(const QStringList& args = {})
    {
        answerer.Clear();
        return App()->InitInstance(QStringList{QStringLiteral("ondrel")} + args);
    }

    void Run(int commandId)
    {
        QAction* action = Frame()->Action(commandId);
        QVERIFY2(action, qPrintable(QString::number(commandId)));
        action->trigger();
    }
};

} // namespace ondrel

// A test main that runs the test object inside the application object.
#define ONDREL_SHELL_TEST_MAIN(TestObject)                                                         \
    int main(int argc, char* argv[])                                                               \
    {                                                                                              \
        QTemporaryDir config;                                                                      \
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());                                   \
        ondrel::COndrelApp app(argc, argv);                                                        \
        TestObject test;                                                                           \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
