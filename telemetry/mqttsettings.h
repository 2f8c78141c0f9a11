// Where and how a console publishes its telemetry: the broker named by a
// --mqtt URL, the credentials and the trust anchors.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

namespace ondrel {

struct MqttSettings
{
    bool tls = false;
    QString host;
    int port = 0;
    QString user;     // empty: no login
    QString password; // never shown anywhere
    QString caFile;   // empty: the system's CAs
    QString prefix;   // topics are prefix + "/status" etc.

    // The broker marks the console offline after 1.5 keep-alives without a packet,
    // so 6 s puts the Last Will out within 10 s of a lost link.
    std::chrono::seconds keepAlive{6};
    std::chrono::seconds firstRetry{1};
    std::chrono::seconds longestRetry{30};
    int eventQueueLimit = 10000;

    // "HOST:PORT", with an IPv6 address in brackets.
    QString Endpoint() const;
};

// mqtt://[user@]host[:port][/prefix] or mqtts://...; the default prefix is
// `defaultPrefix`, or "ondrel/<hostName>" when that is empty. Nothing with an
// error that says what is wrong, starting with `option`; the text never repeats
// a password given in the URL.
std::optional<MqttSettings> ParseMqttUrl(const QString& url, const QString& hostName,
                                         QString* error, const QString& defaultPrefix = QString(),
                                         const QString& option = QStringLiteral("--mqtt"));

// The first line of a password file, without its line end.
std::optional<QString> ReadPasswordFile(const QString& path, QString* error);

// The command line's --mqtt (each value given), --mqtt-password-file and
// --mqtt-ca, with the password from the environment unless a file names one.
std::optional<MqttSettings>
MqttSettingsFromOptions(const QStringList& urls, const QString& passwordFile, const QString& caFile,
                        const QString& environmentPassword, const QString& hostName, QString* error,
                        const QString& defaultPrefix = QString(),
                        const QString& option = QStringLiteral("--mqtt"));

} // namespace ondrel
