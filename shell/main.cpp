#include "cmdlineinfo.h"
#include "displaycheck.h"
#include "ondrelapp.h"

#include <csignal>
#include <cstdio>

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
        std::fputs(noDisplay.toLocal8Bit().constData(), stderr);
        return ondrel::kNoDisplayExitCode;
    }
    ondrel::COndrelApp app(argc, argv);
    if (!app.InitInstance())
        return app.ExitCode();
    app.WatchTerminationSignals();
    return app.exec();
}
