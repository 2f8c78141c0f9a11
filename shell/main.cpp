#include "cmdlineinfo.h"
#include "displaycheck.h"
#include "ondrelapp.h"
#include "stderrwriter.h"

#include <csignal>

int main(int argc, char* argv[])
{
    // A closed pipe on standard output or error is a failed write, not the end of
    // a console that may have X-rays on.
    std::signal(SIGPIPE, SIG_IGN);
    int exitCode = 0;
    if (ondrel::CCommandLineInfo::HandleBeforeStart(argc, argv, &exitCode))
        return exitCode;
    QString noDisplay;
    if (!ondrel::CheckGraphicalSession(argc, argv, &noDisplay)) {
        ondrel::WriteStderr(noDisplay);
        return ondrel::kNoDisplayExitCode;
    }
    ondrel::COndrelApp app(argc, argv);
    app.WatchTerminationSignals();
    if (!app.InitInstance())
        return app.ExitCode();
    return app.exec();
}
