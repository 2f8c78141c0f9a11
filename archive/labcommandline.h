// The ondrel-lab command line: what a user asked for, or the one line that says
// what is wrong with it. No I/O beyond reading the files that serve's broker
// options name, as ondrel-fleet does.
#pragma once

#include "beamtime.h"
#include "mqttsettings.h"

#include <QDate>
#include <QDateTime>
#include <QStringList>
#include <QTimeZone>
#include <optional>

namespace ondrel::archive {

enum class LabCommand
{
    Exposures,
    BeamTime,
    Gaps,
    Import,
    Verify,
    Status,
    Serve
};

enum class OutputFormat
{
    Csv,
    Table,
    Json
};

// What the defaults come from: the process's surroundings, passed in.
struct LabEnvironment
{
    QString defaultDb;
    QTimeZone systemZone;
    QDateTime now;        // UTC
    QString mqttPassword; // ONDREL_MQTT_PASSWORD
    QString hostName;
    QString webPageDir; // the live page's files, installed or in the sources
    QString tlsShimDir; // civetweb's OpenSSL stand-ins, installed or built
};

// serve's web service, on when --listen is given.
struct LabWebOptions
{
    QString address; // an IP address, 127.0.0.1 unless given
    int port = 0;
    QString usersFile; // htdigest
    QString certFile;  // TLS, with keyFile
    QString keyFile;
    int clients = 500;
    QString pageDir;
    QString tlsShimDir;
};

struct LabOptions
{
    LabCommand command = LabCommand::Status;
    QString db;
    OutputFormat format = OutputFormat::Csv;
    QTimeZone zone;
    QList<QTimeZone> beamZones;    // serve's: the zones whose beam time per day it keeps
    std::optional<QDate> from, to; // local days, to included
    QString generator;
    Period by = Period::Day;
    QString recordFile;
    std::optional<MqttSettings> mqtt;
    int keepReadingsDays = 400;
    std::optional<LabWebOptions> web;
};

struct ParsedCommandLine
{
    std::optional<LabOptions> options; // what to run
    QString print;                     // or help or the version, to print and exit 0
    QString error;                     // or why the line is wrong: exit 2
};

// args: without the program's name.
ParsedCommandLine ParseLabCommandLine(const QStringList& args, const LabEnvironment& env);

// The archive a command uses without --db: the system service's when system is
// true, the user's own otherwise.
QString DefaultArchivePath(bool system);
// True for root, or with ONDREL_LAB_SYSTEM set to anything but empty.
bool RunsAsSystemService();

} // namespace ondrel::archive
