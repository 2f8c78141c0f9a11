// The command line as the application understands it: at most one document to
// open, plus the switches that choose the generator's line.
#pragma once

#include "mqttsettings.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace ondrel {

struct CCommandLineInfo
{
    enum class Shell
    {
        FileNew,
        FileOpen,
        Help,
        Version,
        ListPorts,
        Error
    };

    Shell shellCommand = Shell::FileNew;
    QString fileName; // for FileOpen
    QString port;     // --port DEVICE, empty when not given
    bool simulate = false;
    bool simLog = false;
    QString record;                   // --record FILE, empty when not given
    std::optional<MqttSettings> mqtt; // --mqtt URL and its companions
    QString error;                    // for Error: what was wrong, one line

    // `args` starts with the program name, as QCoreApplication::arguments() does.
    static CCommandLineInfo Parse(const QStringList& args);

    static QString HelpText();
    static QString VersionText();
    // --list-ports: the serial ports the system reports.
    static QString ListPortsText();

    // --help, --version and --list-ports need no window, so they are answered
    // before the GUI exists (e.g. on a machine without a display). True when the
    // program should end now with *exitCode. Anything it cannot settle alone
    // (e.g. the toolkit's own options, or a usage error they may explain) is
    // left for the application to parse.
    static bool HandleBeforeStart(int argc, char** argv, int* exitCode);
    // The one place that answers --help, --version and --list-ports on standard
    // output: true, with *exitCode, when `info` asked for one of them; the
    // application asks again once the toolkit has taken its own options.
    static bool AnswerWithoutWindow(const CCommandLineInfo& info, int* exitCode);

    // Exit code of a usage error.
    static constexpr int UsageExitCode = 2;
};

} // namespace ondrel
