// The whole application in a test process: COndrelApp instead of a bare
// QApplication, profile settings in a scratch folder, the port pointed at a path
// that does not exist (so the console's start-up shows its error box, which the
// answerer dismisses), and the file dialogs answered by the test.
#pragma once

#include "mainfrm.h"
#include "modalanswerer.h"
#include "ondrelapp.h"

#include <QAction>
#include <QTemporaryDir>
#include <QTest>

namespace ondrel {

inline const char* kMissingPort = "/nonexistent/ondrel-test-port";

struct CShellRig
{
    CModalAnswerer answerer;
    QString nextFileName; // what the next open/save dialog answers ("" = cancel)
    int fileDialogs = 0;

    CShellRig()
    {
        COndrelApp::Seams seams;
        seams.port = QString::fromLatin1(kMissingPort);
        App()->SetSeams(std::move(seams));
        COndrelApp::SetFileDialogHook([this](COndrelApp::FileDialog, const QString&) {
            ++fileDialogs;
            return nextFileName;
        });
    }
    ~CShellRig()
    {
        COndrelApp::SetFileDialogHook(nullptr);
        App()->ExitInstance();
        App()->SetSeams({});
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
