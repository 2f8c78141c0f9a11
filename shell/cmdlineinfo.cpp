#include "cmdlineinfo.h"

#include "resource.h"
#include "stringtable.h"

#include <QCommandLineParser>
#include <cstdio>

namespace ondrel {

namespace {

void Write(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

CCommandLineInfo CCommandLineInfo::Parse(const QStringList& args)
{
    CCommandLineInfo info;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("device"));
    const QCommandLineOption simulate(QStringLiteral("simulate"));
    const QCommandLineOption simLog(QStringLiteral("sim-log"));
    parser.addOptions({help, version, port, simulate, simLog});
    const QCommandLineOption record(QStringLiteral("record"), QString(), QStringLiteral("file"));
    parser.addOption(record);

    // A refused command line carries nothing else: half-read switches must not
    // be acted on.
    auto fail = [&info](const QString& why) {
        info = CCommandLineInfo();
        info.shellCommand = Shell::Error;
        info.error = why;
        return info;
    };

    if (!parser.parse(args))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        info.shellCommand = Shell::Help;
        return info;
    }
    if (parser.isSet(version)) {
        info.shellCommand = Shell::Version;
        return info;
    }
    if (parser.values(port).size() > 1)
        return fail(QStringLiteral("--port may be given only once."));
    info.port = parser.value(port);
    info.simulate = parser.isSet(simulate);
    info.simLog = parser.isSet(simLog);
    if (parser.isSet(port) && info.port.trimmed().isEmpty())
        return fail(QStringLiteral("--port needs a device path, e.g. --port /dev/ttyUSB0."));
    if (info.simulate && parser.isSet(port))
        return fail(QStringLiteral("--port and --simulate cannot be used together: the simulated "
                                   "generator brings its own line."));
    if (info.simLog && !info.simulate)
        return fail(QStringLiteral("--sim-log only makes sense with --simulate."));

    // --record: the file itself is looked at when the console starts.
    if (parser.values(record).size() > 1)
        return fail(QStringLiteral("--record may be given only once."));
    info.record = parser.value(record);
    if (parser.isSet(record) && info.record.isEmpty())
        return fail(QStringLiteral("--record needs a file name, e.g. --record exposures.csv."));

    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        return fail(QStringLiteral("Only one document can be opened at a time (got %1).")
                        .arg(files.size()));
    if (files.size() == 1) {
        if (files.first().isEmpty())
            return fail(QStringLiteral("The document name is empty."));
        info.shellCommand = Shell::FileOpen;
        info.fileName = files.first();
    }
    return info;
}

QString CCommandLineInfo::HelpText()
{
    return QStringLiteral(
        "Usage: ondrel [options] [document]\n"
        "Operator console for an X-ray generator on a serial line.\n"
        "\n"
        "Options:\n"
        "  --port DEVICE   use DEVICE (e.g. /dev/ttyUSB0) as the generator's line\n"
        "                  instead of the first serial port (/dev/ttyS0)\n"
        "  --simulate      run against a built-in simulated generator\n"
        "  --sim-log       with --simulate: log the simulated line's traffic to stderr\n"
        "  --record FILE   append every reading and console event to FILE as CSV\n"
        "                  (an exposure record; an existing FILE is continued)\n"
        "  -h, --help      show this help and exit\n"
        "  -v, --version   show the version and exit\n"
        "\n"
        "Arguments:\n"
        "  document        a file to open; documents hold nothing, so any readable\n"
        "                  file will do\n");
}

QString CCommandLineInfo::VersionText()
{
    const VersionRecord& v = Version();
    return QStringLiteral("%1 %2\n%3 (%4 %5)\n%6\n")
        .arg(LoadString(AFX_IDS_APP_TITLE), v.productVersion,
             v.Value(QStringLiteral("FileDescription")), v.Value(QStringLiteral("ProductName")),
             v.Value(QStringLiteral("ProductVersion")), v.Value(QStringLiteral("LegalCopyright")));
}

bool CCommandLineInfo::HandleBeforeStart(int argc, char** argv, int* exitCode)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const CCommandLineInfo info = Parse(args);
    switch (info.shellCommand) {
    case Shell::Help:
        Write(stdout, HelpText());
        *exitCode = 0;
        return true;
    case Shell::Version:
        Write(stdout, VersionText());
        *exitCode = 0;
        return true;
    default:
        // Errors wait for the application: the toolkit may yet claim an option
        // (e.g. -platform) that this parser does not know.
        return false;
    }
}

} // namespace ondrel
