#include "cmdlineinfo.h"

#include "portadvice.h"
#include "resource.h"
#include "stringtable.h"

#include <QCommandLineParser>
#include <QSysInfo>
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
    const QCommandLineOption listPorts(QStringLiteral("list-ports"));
    parser.addOptions({help, version, port, simulate, simLog, listPorts});
    const QCommandLineOption record(QStringLiteral("record"), QString(), QStringLiteral("file"));
    parser.addOption(record);
    const QCommandLineOption mqtt(QStringLiteral("mqtt"), QString(), QStringLiteral("url"));
    const QCommandLineOption mqttPassword(QStringLiteral("mqtt-password-file"), QString(),
                                          QStringLiteral("file"));
    const QCommandLineOption mqttCa(QStringLiteral("mqtt-ca"), QString(), QStringLiteral("file"));
    parser.addOptions({mqtt, mqttPassword, mqttCa});

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
    if (parser.isSet(listPorts)) {
        info.shellCommand = Shell::ListPorts;
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

    if (parser.isSet(mqtt) || parser.isSet(mqttPassword) || parser.isSet(mqttCa)) {
        QString why;
        info.mqtt = MqttSettingsFromOptions(
            parser.values(mqtt), parser.value(mqttPassword), parser.value(mqttCa),
            qEnvironmentVariable("ONDREL_MQTT_PASSWORD"), QSysInfo::machineHostName(), &why);
        if (!info.mqtt)
            return fail(why);
    }

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
        "  --list-ports    list the serial ports of this computer and exit\n"
        "  --record FILE   append every reading and console event to FILE as CSV\n"
        "                  (an exposure record; an existing FILE is continued)\n"
        "  --mqtt URL      publish readings, events and state to an MQTT broker,\n"
        "                  mqtt://[user@]host[:port][/prefix] or mqtts://... (TLS);\n"
        "                  read-only: nothing on the broker can command the console\n"
        "  --mqtt-password-file FILE\n"
        "                  the broker login's password (else ONDREL_MQTT_PASSWORD)\n"
        "  --mqtt-ca FILE  the CA that signed the broker's certificate (else the\n"
        "                  system's CAs)\n"
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

QString CCommandLineInfo::ListPortsText()
{
    return SerialPortListText(SystemSerialPorts());
}

bool CCommandLineInfo::HandleBeforeStart(int argc, char** argv, int* exitCode)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // Errors wait for the application: the toolkit may yet claim an option
    // (e.g. -platform) that this parser does not know.
    return AnswerWithoutWindow(Parse(args), exitCode);
}

bool CCommandLineInfo::AnswerWithoutWindow(const CCommandLineInfo& info, int* exitCode)
{
    switch (info.shellCommand) {
    case Shell::Help:
        Write(stdout, HelpText());
        break;
    case Shell::Version:
        Write(stdout, VersionText());
        break;
    case Shell::ListPorts:
        Write(stdout, ListPortsText());
        break;
    default:
        return false;
    }
    *exitCode = 0;
    return true;
}

} // namespace ondrel
