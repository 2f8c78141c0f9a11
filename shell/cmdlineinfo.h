// The command line as the application understands it: at most one document to
// open, plus the switches that choose the generator's line.
#pragma once

#include <QString>
#include <QStringList>

namespace ondrel {

struct CCommandLineInfo
{
    enum class Shell
    {
        FileNew,
        FileOpen,
        Help,
        Version,
        Error
    };

    Shell shellCommand = Shell::FileNew;
    QString fileName; // for FileOpen
    QString port;     // --port DEVICE, empty when not given
    bool simulate = false;
    bool simLog = false;
    QString record; // --record FILE, empty when not given
    QString error;  // for Error: what was wrong, one line

    // `args` starts with the program name, as QCoreApplication::arguments() does.
    static CCommandLineInfo Parse(const QStringList& args);

    static QString HelpText();
    static QString VersionText();

    // --help, --version and usage errors need no window, so they are answered
    // before the GUI exists (e.g. on a machine without a display). True when the
    // program should end now with *exitCode. Anything it cannot settle alone
    // (e.g. the toolkit's own options) is left for the application to parse.
    static bool HandleBeforeStart(int argc, char** argv, int* exitCode);

    // Exit code of a usage error.
    static constexpr int UsageExitCode = 2;
};

} // namespace ondrel
