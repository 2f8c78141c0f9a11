#include "mqttsettings.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>

namespace ondrel {

QString MqttSettings::Endpoint() const
{
    const QString h = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1:%2").arg(h).arg(port);
}

std::optional<MqttSettings> ParseMqttUrl(const QString& url, const QString& hostName,
                                         QString* error, const QString& defaultPrefix,
                                         const QString& option)
{
    auto fail = [error, option](const QString& why) {
        *error = QStringLiteral("%1: %2").arg(option, why);
        return std::nullopt;
    };
    const QString shape = QStringLiteral("mqtt://[user@]host[:port][/prefix] or mqtts://...");

    // Checked on the raw text: QUrl would keep the password, and an error that
    // quotes the URL must not show it.
    const int schemeEnd = url.indexOf(QLatin1String("://"));
    const int authorityEnd = url.indexOf(QLatin1Char('/'), schemeEnd < 0 ? 0 : schemeEnd + 3);
    const QString authority =
        url.mid(schemeEnd + 3, authorityEnd < 0 ? -1 : authorityEnd - schemeEnd - 3);
    const int at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0 && authority.left(at).contains(QLatin1Char(':')))
        return fail(QStringLiteral("the URL must not hold a password; give it in "
                                   "ONDREL_MQTT_PASSWORD or --mqtt-password-file."));

    const QUrl parsed(url, QUrl::StrictMode);
    if (url.trimmed().isEmpty() || schemeEnd < 0 || !parsed.isValid())
        return fail(QStringLiteral("\"%1\" is not a URL of the form %2.").arg(url, shape));

    MqttSettings s;
    const QString scheme = parsed.scheme().toLower();
    if (scheme == QLatin1String("mqtts"))
        s.tls = true;
    else if (scheme != QLatin1String("mqtt"))
        return fail(
            QStringLiteral("the scheme must be mqtt or mqtts, not \"%1\".").arg(parsed.scheme()));
    // '#' starts a URL's fragment, but in a topic it is the multi-level wildcard.
    if (parsed.hasFragment() && !parsed.hasQuery())
        return fail(
            QStringLiteral("the topic prefix \"%1#%2\" holds a wildcard (+ or #).")
                .arg(parsed.path(QUrl::FullyDecoded).mid(1), parsed.fragment(QUrl::FullyDecoded)));
    if (parsed.hasQuery() || parsed.hasFragment())
        return fail(
            QStringLiteral("\"%1\" has a query or fragment; the form is %2.").arg(url, shape));
    s.host = parsed.host();
    if (s.host.isEmpty())
        return fail(QStringLiteral("\"%1\" names no host.").arg(url));
    s.user = parsed.userName(QUrl::FullyDecoded);
    // An encoded colon would pass "user:password" as a user name.
    if (s.user.contains(QLatin1Char(':')))
        return fail(QStringLiteral("the URL must not hold a password; give it in "
                                   "ONDREL_MQTT_PASSWORD or --mqtt-password-file."));
    if (authority.contains(QLatin1Char('@')) && s.user.isEmpty())
        return fail(QStringLiteral("the user name before '@' is empty."));
    s.port = parsed.port(s.tls ? 8883 : 1883);
    if (s.port == 0)
        return fail(QStringLiteral("port 0 cannot be connected to."));

    QString path = parsed.path(QUrl::FullyDecoded);
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (path.isEmpty() && !defaultPrefix.isEmpty())
        path = defaultPrefix;
    if (path.isEmpty()) {
        QString name = hostName;
        name.remove(QLatin1Char('+')).remove(QLatin1Char('#')).remove(QLatin1Char('/'));
        path = QStringLiteral("ondrel/%1").arg(name.isEmpty() ? QStringLiteral("localhost") : name);
    }
    if (path.contains(QLatin1Char('+')) || path.contains(QLatin1Char('#')))
        return fail(QStringLiteral("the topic prefix \"%1\" holds a wildcard (+ or #).").arg(path));
    if (path.split(QLatin1Char('/')).contains(QString()))
        return fail(QStringLiteral("the topic prefix \"%1\" has an empty level.").arg(path));
    if (path.contains(QChar(0)))
        return fail(QStringLiteral("the topic prefix holds a NUL character."));
    // MQTT caps a topic at 65,535 bytes; the longest one made is prefix + "/version".
    const qsizetype topicBytes = path.toUtf8().size() + qsizetype(sizeof "/version") - 1;
    if (topicBytes > 65535)
        return fail(QStringLiteral("the topic prefix is %1 bytes long; with \"/version\" a topic "
                                   "would pass MQTT's limit of 65,535 bytes.")
                        .arg(path.toUtf8().size()));
    s.prefix = path;
    return s;
}

std::optional<QString> ReadPasswordFile(const QString& path, QString* error)
{
    QFile file(path);
    if (QFileInfo(path).isDir()) {
        *error = QStringLiteral("--mqtt-password-file: \"%1\" is a folder.").arg(path);
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--mqtt-password-file: cannot read \"%1\": %2.")
                     .arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty()) {
        *error = QStringLiteral("--mqtt-password-file: \"%1\" holds no password on its first line.")
                     .arg(path);
        return std::nullopt;
    }
    return QString::fromUtf8(line);
}

std::optional<MqttSettings>
MqttSettingsFromOptions(const QStringList& urls, const QString& passwordFile, const QString& caFile,
                        const QString& environmentPassword, const QString& hostName, QString* error,
                        const QString& defaultPrefix, const QString& option)
{
    if (urls.isEmpty()) {
        *error = QStringLiteral("--mqtt-password-file and --mqtt-ca need --mqtt URL.");
        return std::nullopt;
    }
    if (urls.size() > 1) {
        *error = QStringLiteral("--mqtt may be given only once.");
        return std::nullopt;
    }
    std::optional<MqttSettings> s =
        ParseMqttUrl(urls.first(), hostName, error, defaultPrefix, option);
    if (!s)
        return std::nullopt;
    if (!caFile.isEmpty()) {
        if (!s->tls) {
            *error = QStringLiteral("--mqtt-ca needs a TLS broker (mqtts://...).");
            return std::nullopt;
        }
        const QFileInfo ca(caFile);
        QFile file(caFile);
        const bool folder = ca.isDir();
        if (folder || !file.open(QIODevice::ReadOnly)) {
            *error =
                QStringLiteral("--mqtt-ca: cannot read \"%1\": %2.")
                    .arg(caFile, folder ? QStringLiteral("it is a folder") : file.errorString());
            return std::nullopt;
        }
        s->caFile = ca.absoluteFilePath();
    }
    if (!passwordFile.isEmpty()) {
        if (s->user.isEmpty()) {
            *error = QStringLiteral("--mqtt-password-file needs a user name in the URL "
                                    "(mqtt://user@host/...).");
            return std::nullopt;
        }
        const std::optional<QString> password = ReadPasswordFile(passwordFile, error);
        if (!password)
            return std::nullopt;
        s->password = *password;
    } else if (!s->user.isEmpty() && !environmentPassword.isEmpty()) {
        s->password = environmentPassword;
    }
    return s;
}

} // namespace ondrel
