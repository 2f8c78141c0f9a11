#include "labcommandline.h"

#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <arpa/inet.h>
#include <unistd.h>

namespace ondrel::archive {

namespace {

struct CommandSpec
{
    LabCommand command;
    const char* name;
    QStringList options;    // each takes a value
    const char* positional; // what its one argument is; null: none
    const char* help;
};

const char* const kProgramHelp =
    "Usage: ondrel-lab COMMAND [OPTION]...\n"
    "The lab's archive of what every Ondrel console publishes to the MQTT broker:\n"
    "readings, events and X-ray exposures, and the questions asked of it.\n"
    "\n"
    "Commands:\n"
    "  exposures   every X-ray interval between two days\n"
    "  beam-time   beam time per generator per day, week or month\n"
    "  gaps        the readings and events the archive never got\n"
    "  import      fill gaps from a console's own exposure record\n"
    "  verify      check the archive for rows changed behind its back\n"
    "  status      size on disk, rows, growth and days until the disk is full\n"
    "  serve       keep the archive: take in what the broker carries\n"
    "\n"
    "  -h, --help           show this help, or a command's: ondrel-lab COMMAND --help\n"
    "      --help-all       show this help and every command's\n"
    "      --version        show the version and exit\n"
    "\n"
    "Every command takes --db TARGET: the archive's SQLite file, or a PostgreSQL\n"
    "database as postgresql://[user@]host[:port]/dbname (libpq's URI; its\n"
    "password from ~/.pgpass or PGPASSWORD). Without it, the\n"
    "archive is $XDG_DATA_HOME/ondrel-lab/archive.sqlite\n"
    "(~/.local/share/ondrel-lab/archive.sqlite), or the system service's\n"
    "/var/lib/ondrel-lab/archive.sqlite when run as root or with ONDREL_LAB_SYSTEM\n"
    "set. The queries open it for reading only and may run while serve writes it.\n"
    "\n"
    "The queries print CSV (RFC 4180, one header line) unless --format says table\n"
    "or json. Exit status: 0 when all went well; 1 when the archive cannot be\n"
    "opened, read or written, when verify finds a problem or an import is\n"
    "refused; 2 for a wrong command line (an unknown command or option, a bad\n"
    "date, zone or format, a file that cannot be read).\n";

const QString kFormatHelp =
    QStringLiteral("      --format FORMAT  csv (the default), table (aligned columns) or json\n");
const QString kDbHelp =
    QStringLiteral("      --db TARGET      the archive (see ondrel-lab --help for the default)\n");
const QString kTzHelp = QStringLiteral(
    "      --tz ZONE        the time zone of the days and of the times shown, an\n"
    "                       IANA name such as Europe/Berlin (default: the system's)\n");

const CommandSpec kCommands[] = {
    {LabCommand::Exposures,
     "exposures",
     {"--db", "--format", "--from", "--to", "--generator", "--tz"},
     nullptr,
     "Usage: ondrel-lab exposures --from DAY --to DAY [OPTION]...\n"
     "Every X-ray interval that overlaps the days from --from to --to, one a line:\n"
     "its generator, start and end, how long it lasted, the set kV and uA, the mean\n"
     "measured kV and uA, and the console's host and login name. Where contact was\n"
     "lost while X-rays may have been on, end is \"uncertain\" with the earliest and\n"
     "the latest moment they can have gone off (the latest is empty until known);\n"
     "an exposure still going on is \"open\".\n"
     "\n"
     "      --from DAY       the first day, as 2026-12-01\n"
     "      --to DAY         the last day, included: --to 2026-12-08 takes in all of\n"
     "                       8 December\n"
     "      --generator G    only the console publishing under the prefix G\n"
     "%TZ%%FORMAT%%DB%"},
    {LabCommand::BeamTime,
     "beam-time",
     {"--db", "--format", "--by", "--from", "--to", "--tz"},
     nullptr,
     "Usage: ondrel-lab beam-time [--by day|week|month] [OPTION]...\n"
     "Seconds of beam per generator per local calendar day, week (from Monday) or\n"
     "month, then a total line per generator that is exactly the sum of its\n"
     "periods. An exposure whose end is uncertain counts up to its earliest end:\n"
     "beam time is what is known to have happened. The days of a zone that serve\n"
     "keeps (serve --tz) are read from their sums, a year in a moment; any other\n"
     "zone's are summed from every exposure, with the same answer, more slowly.\n"
     "\n"
     "      --by PERIOD      day (the default), week or month\n"
     "      --from DAY       the first day (default: the first exposure's)\n"
     "      --to DAY         the last day, included (default: today)\n"
     "%TZ%%FORMAT%%DB%"},
    {LabCommand::Gaps,
     "gaps",
     {"--db", "--format", "--generator", "--tz"},
     nullptr,
     "Usage: ondrel-lab gaps [OPTION]...\n"
     "The gaps the archive recorded: readings and events it never got (their\n"
     "sequence numbers where the console counts them), messages it could not read,\n"
     "and those its full queue dropped, with their times and why.\n"
     "\n"
     "      --generator G    only the console publishing under the prefix G\n"
     "%TZ%%FORMAT%%DB%"},
    {LabCommand::Import,
     "import",
     {"--db", "--generator"},
     "RECORD",
     "Usage: ondrel-lab import RECORD --generator G [--db TARGET]\n"
     "Fills the archive's gaps from a console's own exposure record (the CSV file\n"
     "of ondrel --record): the record's events and readings that the archive does\n"
     "not hold for G are added; importing the same record again adds nothing. An\n"
     "event is held when one of the same time, kind and detail is, a reading when\n"
     "the archive has readings of G spanning its time. A bad row refuses the whole\n"
     "file, naming its line: nothing is stored. The record's exposures are added\n"
     "where the archive lacks them, and close those it could only bound; one still\n"
     "on when the record ends is uncertain. Import writes the archive, so serve\n"
     "must not be running on it.\n"
     "\n"
     "  RECORD               the record's file\n"
     "      --generator G    the console's topic prefix, as the broker knows it\n"
     "%DB%"},
    {LabCommand::Verify,
     "verify",
     {"--db"},
     nullptr,
     "Usage: ondrel-lab verify [--db TARGET]\n"
     "Checks the chained tables (events and exposure intervals) for rows edited,\n"
     "inserted or deleted since they were stored, and prints each problem on a\n"
     "line of its own. Exit status 1 when there is any.\n"
     "\n"
     "%DB%"},
    {LabCommand::Status,
     "status",
     {"--db", "--format"},
     nullptr,
     "Usage: ondrel-lab status [OPTION]...\n"
     "The archive's size on disk, the rows in each table, the rows and bytes it\n"
     "grew by per day over the last 7 days (or its life, when shorter, counted as\n"
     "at least a day), and the days until the disk holding it is full at that\n"
     "rate (empty when it does not grow).\n"
     "\n"
     "%FORMAT%%DB%"},
    {LabCommand::Serve,
     "serve",
     {"--db", "--keep-readings", "--mqtt-password-file", "--mqtt-ca", "--tz", "--listen",
      "--web-users", "--web-cert", "--web-key", "--web-clients"},
     "URL",
     "Usage: ondrel-lab serve URL [OPTION]...\n"
     "Keeps the archive: opens it for writing (creating it; one writer at a time),\n"
     "subscribes read-only to every console under the URL's root over MQTT 5 with a\n"
     "session the broker keeps for 5 minutes (so QoS 1 events sent while it\n"
     "restarts still arrive), stores each message within a second, deletes raw\n"
     "readings older than --keep-readings days at start and then hourly, and runs\n"
     "until SIGTERM or SIGINT, committing what it holds. Events, exposure\n"
     "intervals, per-minute roll-ups and gaps are kept for good.\n"
     "\n"
     "  URL                  mqtt://[user@]host[:port][/root] or mqtts://...\n"
     "                       (ports 1883 and 8883 by default): the consoles whose\n"
     "                       prefix lies under root, ondrel when the URL has none\n"
     "      --keep-readings DAYS  raw readings kept this many days (default 400)\n"
     "      --mqtt-password-file FILE  the broker password: the first line of FILE\n"
     "                       (else ONDREL_MQTT_PASSWORD); needs user@ in URL\n"
     "      --mqtt-ca FILE   verify the TLS broker against the CAs in FILE\n"
     "      --tz ZONE        keep the beam time per day in this time zone summed as\n"
     "                       it is stored, so that beam-time --tz ZONE reads a\n"
     "                       year in a moment (default: the system's); may be\n"
     "                       given more than once. Zones once kept stay kept; the\n"
     "                       first start with a new one sums the stored exposures.\n"
     "      --listen [ADDR:]PORT  also serve the live page to browsers on that IP\n"
     "                       address and port (127.0.0.1 when no address is given;\n"
     "                       [::1]:PORT for IPv6)\n"
     "      --web-users FILE  every request needs a user of this htdigest file\n"
     "      --web-cert FILE  serve over TLS with this PEM certificate (chain)...\n"
     "      --web-key FILE   ...and its PEM private key\n"
     "      --web-clients N  live pages served at once (default 500); one more is\n"
     "                       told to try again later\n"
     "%DB%"},
};

const QString kCommandList =
    QStringLiteral("exposures, beam-time, gaps, import, verify, status or serve");

QString CommandHelp(const CommandSpec& spec)
{
    return QString::fromUtf8(spec.help)
        .replace(QLatin1String("%TZ%"), kTzHelp)
        .replace(QLatin1String("%FORMAT%"), kFormatHelp)
        .replace(QLatin1String("%DB%"), kDbHelp);
}

std::optional<QDate> Day(const QString& text)
{
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (!day.isValid() || text.size() != 10)
        return std::nullopt;
    return day;
}

bool IsIpAddress(const QString& text, int family)
{
    unsigned char address[16];
    return inet_pton(family, text.toLatin1().constData(), address) == 1;
}

// "[ADDR:]PORT", "[V6ADDR]:PORT": what --listen holds, or why not.
QString ParseListen(const QString& text, LabWebOptions* web)
{
    const QString bad = QStringLiteral("--listen is [ADDR:]PORT, such as 8080, 0.0.0.0:8080 or "
                                       "[::1]:8080, not \"%1\".")
                            .arg(text.left(80));
    QString address = QStringLiteral("127.0.0.1");
    QString port = text;
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        address = text.left(colon);
        port = text.mid(colon + 1);
        if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']'))) {
            address = address.mid(1, address.size() - 2);
            if (!IsIpAddress(address, AF_INET6))
                return bad;
        } else if (!IsIpAddress(address, AF_INET)) {
            return address.contains(QLatin1Char(':'))
                       ? bad
                       : QStringLiteral("--listen: \"%1\" is not an IP address; give the "
                                        "address of one of this computer's interfaces, or "
                                        "0.0.0.0 for all.")
                             .arg(address.left(80));
        }
    }
    bool ok = false;
    web->port = port.toInt(&ok);
    if (!ok || web->port < 1 || web->port > 65535 || port.startsWith(QLatin1Char('+')))
        return QStringLiteral("--listen: the port is a number from 1 to 65535, not \"%1\".")
            .arg(port.left(80));
    web->address = address;
    return QString();
}

} // namespace

QString DefaultArchivePath(bool system)
{
    if (system)
        return QStringLiteral("/var/lib/ondrel-lab/archive.sqlite");
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/ondrel-lab/archive.sqlite");
}

bool RunsAsSystemService()
{
    return ::geteuid() == 0 || !qEnvironmentVariableIsEmpty("ONDREL_LAB_SYSTEM");
}

ParsedCommandLine ParseLabCommandLine(const QStringList& args, const LabEnvironment& env)
{
    ParsedCommandLine parsed;
    if (args.isEmpty()) {
        parsed.error = QStringLiteral("no command given; it is one of %1.").arg(kCommandList);
        return parsed;
    }
    const QString& name = args.first();
    if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
        parsed.print = QString::fromUtf8(kProgramHelp);
        return parsed;
    }
    if (name == QLatin1String("--help-all")) {
        // The manual page: the program's help, then every command's.
        parsed.print = QString::fromUtf8(kProgramHelp);
        for (const CommandSpec& c : kCommands)
            parsed.print +=
                QStringLiteral("\nThe %1 command:\n  %2")
                    .arg(QLatin1String(c.name), CommandHelp(c).mid(int(sizeof "Usage: ") - 1));
        return parsed;
    }
    if (name == QLatin1String("--version")) {
        parsed.print = QStringLiteral("ondrel-lab %1\n").arg(QLatin1String(ONDREL_VERSION));
        return parsed;
    }
    const CommandSpec* spec = nullptr;
    for (const CommandSpec& c : kCommands) {
        if (name == QLatin1String(c.name))
            spec = &c;
    }
    if (!spec) {
        parsed.error = QStringLiteral("unknown command \"%1\"; it is one of %2.")
                           .arg(name.left(80), kCommandList);
        return parsed;
    }
    const QString command = QLatin1String(spec->name);
    const auto fail = [&](const QString& why) {
        parsed.error = QStringLiteral("%1: %2").arg(command, why);
        return parsed;
    };

    QHash<QString, QString> values;
    QStringList positional;
    QStringList zones; // every --tz, in order
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            parsed.print = CommandHelp(*spec);
            return parsed;
        }
        if (!arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            positional << arg;
            continue;
        }
        const int equals = arg.indexOf(QLatin1Char('='));
        const QString option = equals < 0 ? arg : arg.left(equals);
        if (!spec->options.contains(option))
            return fail(QStringLiteral("unknown option \"%1\".").arg(option.left(80)));
        // serve keeps sums for as many zones as it is given.
        const bool repeats = option == QLatin1String("--tz") && spec->command == LabCommand::Serve;
        if (values.contains(option) && !repeats)
            return fail(QStringLiteral("%1 is given twice.").arg(option));
        if (equals < 0 && i + 1 >= args.size())
            return fail(QStringLiteral("%1 needs a value.").arg(option));
        const QString value = equals < 0 ? args[++i] : arg.mid(equals + 1);
        if (value.isEmpty())
            return fail(QStringLiteral("%1 needs a value.").arg(option));
        values.insert(option, value);
        if (option == QLatin1String("--tz"))
            zones << value;
    }

    LabOptions o;
    o.command = spec->command;
    o.db = values.value(QStringLiteral("--db"), env.defaultDb);
    o.zone = env.systemZone;
    if (values.contains(QStringLiteral("--format"))) {
        const QString f = values.value(QStringLiteral("--format"));
        if (f == QLatin1String("csv"))
            o.format = OutputFormat::Csv;
        else if (f == QLatin1String("table"))
            o.format = OutputFormat::Table;
        else if (f == QLatin1String("json"))
            o.format = OutputFormat::Json;
        else
            return fail(
                QStringLiteral("--format is csv, table or json, not \"%1\".").arg(f.left(80)));
    }
    for (const QString& tz : std::as_const(zones)) {
        o.zone = QTimeZone(tz.toUtf8());
        if (!o.zone.isValid())
            return fail(QStringLiteral("--tz: \"%1\" is not a time zone this computer knows; "
                                       "try a name such as Europe/Berlin.")
                            .arg(tz.left(80)));
        if (!o.beamZones.contains(o.zone))
            o.beamZones << o.zone;
    }
    if (o.command != LabCommand::Serve)
        o.beamZones.clear();
    else if (o.beamZones.isEmpty() && env.systemZone.isValid())
        o.beamZones << env.systemZone;
    for (const auto& [option, day] :
         {std::pair{QStringLiteral("--from"), &o.from}, std::pair{QStringLiteral("--to"), &o.to}}) {
        if (!values.contains(option))
            continue;
        *day = Day(values.value(option));
        if (!*day)
            return fail(QStringLiteral("%1: \"%2\" is not a day like 2026-12-01.")
                            .arg(option, values.value(option).left(80)));
    }
    if (o.from && o.to && *o.from > *o.to)
        return fail(QStringLiteral("--from %1 is after --to %2.")
                        .arg(o.from->toString(Qt::ISODate), o.to->toString(Qt::ISODate)));
    if (o.command == LabCommand::Exposures && !o.from)
        return fail(QStringLiteral("--from is missing."));
    if (o.command == LabCommand::Exposures && !o.to)
        return fail(QStringLiteral("--to is missing."));
    if (values.contains(QStringLiteral("--by"))) {
        const std::optional<Period> by = PeriodFromName(values.value(QStringLiteral("--by")));
        if (!by)
            return fail(QStringLiteral("--by is day, week or month, not \"%1\".")
                            .arg(values.value(QStringLiteral("--by")).left(80)));
        o.by = *by;
    }
    o.generator = values.value(QStringLiteral("--generator"));
    if (o.generator.contains(QLatin1Char('+')) || o.generator.contains(QLatin1Char('#')))
        return fail(QStringLiteral("--generator: \"%1\" holds a wildcard (+ or #); it is one "
                                   "console's topic prefix.")
                        .arg(o.generator.left(80)));
    if (o.command == LabCommand::Import && o.generator.isEmpty())
        return fail(QStringLiteral("--generator is missing: which console's record is it?"));
    if (values.contains(QStringLiteral("--keep-readings"))) {
        bool ok = false;
        const QString text = values.value(QStringLiteral("--keep-readings"));
        o.keepReadingsDays = text.toInt(&ok);
        if (!ok || o.keepReadingsDays < 1 || o.keepReadingsDays > 100000)
            return fail(QStringLiteral("--keep-readings is a number of days from 1 to 100000, "
                                       "not \"%1\".")
                            .arg(text.left(80)));
    }

    const QStringList webOnly{QStringLiteral("--web-users"), QStringLiteral("--web-cert"),
                              QStringLiteral("--web-key"), QStringLiteral("--web-clients")};
    for (const QString& option : webOnly) {
        if (values.contains(option) && !values.contains(QStringLiteral("--listen")))
            return fail(
                QStringLiteral("%1 is for the web page, which needs --listen.").arg(option));
    }
    if (values.contains(QStringLiteral("--listen"))) {
        LabWebOptions web;
        const QString why = ParseListen(values.value(QStringLiteral("--listen")), &web);
        if (!why.isEmpty())
            return fail(why);
        web.usersFile = values.value(QStringLiteral("--web-users"));
        web.certFile = values.value(QStringLiteral("--web-cert"));
        web.keyFile = values.value(QStringLiteral("--web-key"));
        if (web.certFile.isEmpty() != web.keyFile.isEmpty())
            return fail(QStringLiteral("TLS needs both --web-cert and --web-key."));
        for (const QString& file : {web.usersFile, web.certFile, web.keyFile}) {
            if (!file.isEmpty() && !QFileInfo(file).isReadable())
                return fail(QStringLiteral("cannot read \"%1\".").arg(file.left(200)));
        }
        if (values.contains(QStringLiteral("--web-clients"))) {
            bool ok = false;
            const QString text = values.value(QStringLiteral("--web-clients"));
            web.clients = text.toInt(&ok);
            if (!ok || web.clients < 1 || web.clients > 10000)
                return fail(QStringLiteral("--web-clients is a number from 1 to 10000, not "
                                           "\"%1\".")
                                .arg(text.left(80)));
        }
        web.pageDir = env.webPageDir;
        web.tlsShimDir = env.tlsShimDir;
        o.web = web;
    }

    const QString what = spec->positional ? QLatin1String(spec->positional) : QString();
    if (!spec->positional && !positional.isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\".").arg(positional.first().left(80)));
    if (spec->positional && positional.isEmpty())
        return fail(o.command == LabCommand::Serve ? QStringLiteral("the broker's URL is missing.")
                                                   : QStringLiteral("the record file is missing."));
    if (positional.size() > 1)
        return fail(QStringLiteral("only one %1 may be given, not \"%2\" as well.")
                        .arg(what, positional[1].left(80)));
    if (o.command == LabCommand::Import)
        o.recordFile = positional.first();
    if (o.command == LabCommand::Serve) {
        QString error;
        o.mqtt = MqttSettingsFromOptions(
            positional, values.value(QStringLiteral("--mqtt-password-file")),
            values.value(QStringLiteral("--mqtt-ca")), env.mqttPassword, env.hostName, &error,
            QStringLiteral("ondrel"), QStringLiteral("URL"));
        if (!o.mqtt)
            return fail(error);
    }
    parsed.options = o;
    return parsed;
}

} // namespace ondrel::archive
