#include "payloads.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLocale>

namespace ondrel {

QByteArray StatusPayload(ConsoleStatus status)
{
    switch (status) {
    case ConsoleStatus::Online:
        return QByteArrayLiteral("online");
    case ConsoleStatus::NotResponding:
        return QByteArrayLiteral("not responding");
    case ConsoleStatus::Offline:
        break;
    }
    return QByteArrayLiteral("offline");
}

std::optional<ConsoleStatus> StatusFromPayload(const QByteArray& payload)
{
    for (const ConsoleStatus status :
         {ConsoleStatus::Online, ConsoleStatus::NotResponding, ConsoleStatus::Offline}) {
        if (payload == StatusPayload(status))
            return status;
    }
    return std::nullopt;
}

namespace {

// A JSON string of text as the form shows it: garbled replies bring control
// characters, which JSON allows only escaped.
void AppendJsonString(QByteArray& out, const QString& text)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text.toUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

void AppendJsonField(QByteArray& out, const char* name, const QString& text)
{
    out += ",\"";
    out += name;
    out += "\":";
    AppendJsonString(out, text);
}

void AppendJsonNumber(QByteArray& out, const char* name, const std::optional<double>& value)
{
    if (!value)
        return;
    out += ",\"";
    out += name;
    out += "\":";
    out += QByteArray::number(*value, 'g', QLocale::FloatingPointShortest);
}

// The object a payload holds, or nothing with *error set.
std::optional<QJsonObject> ObjectOf(const QByteArray& payload, const char* what, QString* error)
{
    QJsonParseError parsed{};
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &parsed);
    if (parsed.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1 is not JSON (%2 at offset %3)")
                     .arg(QLatin1String(what), parsed.errorString())
                     .arg(parsed.offset);
        return std::nullopt;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("%1 is not a JSON object").arg(QLatin1String(what));
        return std::nullopt;
    }
    return doc.object();
}

// A member that must be a string; *ok turns false (and *error says which) when
// it is missing or of another type.
QString StringMember(const QJsonObject& o, const char* what, const char* name, bool* ok,
                     QString* error)
{
    const QJsonValue v = o.value(QLatin1String(name));
    if (v.isString())
        return v.toString();
    if (*ok)
        *error =
            QStringLiteral("%1 has no text \"%2\"").arg(QLatin1String(what), QLatin1String(name));
    *ok = false;
    return QString();
}

QDateTime TimeMember(const QJsonObject& o, const char* what, bool* ok, QString* error)
{
    const QString text = StringMember(o, what, "time", ok, error);
    if (!*ok)
        return QDateTime();
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid()) {
        *error = QStringLiteral("%1 has a time that is not ISO 8601").arg(QLatin1String(what));
        *ok = false;
    }
    return time.toUTC();
}

} // namespace

// Written by hand rather than through QJsonDocument: five times a second on the
// UI thread, the document's allocations were most of what telemetry cost a poll.
QByteArray ReadingJson(const Reading& reading)
{
    QByteArray out;
    out.reserve(192);
    out += "{\"time\":";
    AppendJsonString(out, IsoTime(reading.time));
    AppendJsonField(out, "kv", reading.kilovolts);
    AppendJsonField(out, "ua", reading.microamps);
    AppendJsonField(out, "temperature", reading.temperature);
    AppendJsonField(out, "faults", reading.faults);
    AppendJsonNumber(out, "kv_value", reading.kilovoltsValue);
    AppendJsonNumber(out, "ua_value", reading.microampsValue);
    AppendJsonNumber(out, "temperature_value", reading.temperatureValue);
    out += '}';
    return out;
}

QByteArray EventJson(const ConsoleEvent& event)
{
    QJsonObject o;
    o.insert(QStringLiteral("time"), IsoTime(event.time));
    o.insert(QStringLiteral("event"), EventKindName(event.kind));
    o.insert(QStringLiteral("detail"), event.detail);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<Reading> ReadingFromJson(const QByteArray& payload, QString* error)
{
    const char* what = "the reading";
    const std::optional<QJsonObject> o = ObjectOf(payload, what, error);
    if (!o)
        return std::nullopt;
    bool ok = true;
    const QDateTime time = TimeMember(*o, what, &ok, error);
    const QString kv = StringMember(*o, what, "kv", &ok, error);
    const QString ua = StringMember(*o, what, "ua", &ok, error);
    const QString temperature = StringMember(*o, what, "temperature", &ok, error);
    const QString faults = StringMember(*o, what, "faults", &ok, error);
    if (!ok)
        return std::nullopt;
    // The numbers are made again from the texts, as the console made them: a
    // *_value that disagreed with its text could only mislead.
    return Reading::FromForm(time, kv, ua, temperature, faults, QByteArray());
}

std::optional<ConsoleEvent> EventFromJson(const QByteArray& payload, QString* error)
{
    const char* what = "the event";
    const std::optional<QJsonObject> o = ObjectOf(payload, what, error);
    if (!o)
        return std::nullopt;
    bool ok = true;
    ConsoleEvent event;
    event.time = TimeMember(*o, what, &ok, error);
    const QString name = StringMember(*o, what, "event", &ok, error);
    // An event without detail is still an event; a detail of another type is not.
    const QJsonValue detail = o->value(QLatin1String("detail"));
    if (ok && !detail.isUndefined() && !detail.isString()) {
        *error = QStringLiteral("the event has a detail that is not text");
        ok = false;
    }
    if (!ok)
        return std::nullopt;
    const std::optional<EventKind> kind = EventKindFromName(name);
    if (!kind) {
        *error = QStringLiteral("the event \"%1\" is not one a console sends").arg(name.left(40));
        return std::nullopt;
    }
    event.kind = *kind;
    event.detail = detail.toString();
    return event;
}

} // namespace ondrel
