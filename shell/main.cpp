#include "cmdlineinfo.h"
#include "ondrelapp.h"

int main(int argc, char* argv[])
{
    int exitCode = 0;
    if (ondrel::CCommandLineInfo::HandleBeforeStart(argc, argv, &exitCode))
        return exitCode;
    ondrel::COndrelApp app(argc, argv);
    if (!app.InitInstance())
        return app.ExitCode();
    app.WatchTerminationSignals();
    return app.exec();
}
