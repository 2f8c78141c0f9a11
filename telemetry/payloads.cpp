#include "payloads.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLocale>
#include <algorithm>
#include <cmath>
#include <cstring>

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

// A true-or-false member ("xray_on", "fault"): nothing when absent; *ok false
// when it is of another type.
std::optional<bool> FlagMember(const QJsonObject& o, const char* what, const char* name, bool* ok,
                               QString* error)
{
    const QJsonValue v = o.value(QLatin1String(name));
    if (v.isBool())
        return v.toBool();
    if (!v.isUndefined()) {
        // "an xray_on", as it is read aloud.
        const char* article = std::strchr("aeiox", name[0]) ? "an" : "a";
        if (*ok)
            *error = QStringLiteral("%1 has %2 \"%3\" that is not true or false")
                         .arg(QLatin1String(what), QLatin1String(article), QLatin1String(name));
        *ok = false;
    }
    return std::nullopt;
}

// A whole number member ("seq"): nothing when absent; *ok false when it is of
// another type, negative, fractional or too large to count with.
std::optional<qint64> CountMember(const QJsonObject& o, const char* what, const char* name,
                                  bool* ok, QString* error)
{
    const QJsonValue v = o.value(QLatin1String(name));
    if (v.isUndefined())
        return std::nullopt;
    const double d = v.toDouble(-1);
    if (!v.isDouble() || d < 0 || d > 9.0e15 || std::floor(d) != d) {
        if (*ok)
            *error = QStringLiteral("%1 has a \"%2\" that is not a count")
                         .arg(QLatin1String(what), QLatin1String(name));
        *ok = false;
        return std::nullopt;
    }
    return qint64(d);
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

QByteArray ReadingJson(const Reading& reading, const ReadingCounters& counters)
{
    QByteArray out = ReadingJson(reading);
    out.chop(1); // the closing brace
    out += ",\"seq\":";
    out += QByteArray::number(counters.seq);
    out += counters.xrayOn ? ",\"xray_on\":true" : ",\"xray_on\":false";
    out += ",\"beam_on_s\":";
    out += QByteArray::number(std::max(0.0, counters.beamOnSeconds), 'f', 1);
    out += reading.fault ? ",\"fault\":true" : ",\"fault\":false";
    out += '}';
    return out;
}

QByteArray EventJson(const ConsoleEvent& event, qint64 seq)
{
    QJsonObject o;
    o.insert(QStringLiteral("time"), IsoTime(event.time));
    o.insert(QStringLiteral("event"), EventKindName(event.kind));
    o.insert(QStringLiteral("detail"), event.detail);
    if (seq > 0)
        o.insert(QStringLiteral("seq"), double(seq));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray InfoJson(const ConsoleInfo& info)
{
    QJsonObject o;
    o.insert(QStringLiteral("started"), IsoTime(info.started));
    o.insert(QStringLiteral("host"), info.host);
    o.insert(QStringLiteral("port"), info.port);
    o.insert(QStringLiteral("period_ms"), info.periodMs);
    o.insert(QStringLiteral("program"), info.program);
    if (!info.user.isEmpty())
        o.insert(QStringLiteral("user"), info.user);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<Reading> ReadingFromJson(const QByteArray& payload, QString* error,
                                       ReadCounters* counters)
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
    ReadCounters read;
    read.seq = CountMember(*o, what, "seq", &ok, error);
    read.xrayOn = FlagMember(*o, what, "xray_on", &ok, error);
    const std::optional<bool> fault = FlagMember(*o, what, "fault", &ok, error);
    const QJsonValue beam = o->value(QLatin1String("beam_on_s"));
    if (ok && !beam.isUndefined() && (!beam.isDouble() || beam.toDouble() < 0)) {
        *error = QStringLiteral("the reading has a \"beam_on_s\" that is not a duration");
        ok = false;
    }
    if (beam.isDouble())
        read.beamOnSeconds = beam.toDouble();
    if (!ok)
        return std::nullopt;
    if (counters)
        *counters = read;
    // The numbers are made again from the texts, as the console made them: a
    // *_value that disagreed with its text could only mislead. The fault flag is
    // the console's own verdict where it sent one; an older console's is read
    // from the text.
    Reading reading = Reading::FromForm(time, kv, ua, temperature, faults, QByteArray());
    if (fault)
        reading.fault = *fault;
    return reading;
}

std::optional<ConsoleEvent> EventFromJson(const QByteArray& payload, QString* error,
                                          std::optional<qint64>* seq)
{
    const char* what = "the event";
    const std::optional<QJsonObject> o = ObjectOf(payload, what, error);
    if (!o)
        return std::nullopt;
    bool ok = true;
    ConsoleEvent event;
    event.time = TimeMember(*o, what, &ok, error);
    const QString name = StringMember(*o, what, "event", &ok, error);
    const std::optional<qint64> number = CountMember(*o, what, "seq", &ok, error);
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
    if (seq)
        *seq = number;
    return event;
}

std::optional<ConsoleInfo> InfoFromJson(const QByteArray& payload, QString* error)
{
    const char* what = "the info";
    const std::optional<QJsonObject> o = ObjectOf(payload, what, error);
    if (!o)
        return std::nullopt;
    bool ok = true;
    ConsoleInfo info;
    const QString started = StringMember(*o, what, "started", &ok, error);
    info.host = StringMember(*o, what, "host", &ok, error);
    info.port = StringMember(*o, what, "port", &ok, error);
    info.program = StringMember(*o, what, "program", &ok, error);
    const std::optional<qint64> period = CountMember(*o, what, "period_ms", &ok, error);
    if (ok && (!period || *period < 1 || *period > 3600000)) {
        *error = QStringLiteral("the info has no \"period_ms\" between 1 and 3600000");
        ok = false;
    }
    if (ok) {
        info.started = QDateTime::fromString(started, Qt::ISODateWithMs).toUTC();
        if (!info.started.isValid()) {
            *error = QStringLiteral("the info has a start time that is not ISO 8601");
            ok = false;
        }
    }
    // Older consoles send no user; one of another type is a broken payload.
    const QJsonValue user = o->value(QLatin1String("user"));
    if (ok && !user.isUndefined() && !user.isString()) {
        *error = QStringLiteral("the info has a \"user\" that is not text");
        ok = false;
    }
    if (!ok)
        return std::nullopt;
    info.periodMs = int(*period);
    info.user = user.toString();
    return info;
}

} // namespace ondrel
