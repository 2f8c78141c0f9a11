#include "labweb.h"

#include "labcommands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace ondrel::archive {

namespace {

constexpr qint64 kMinuteMs = 60 * 1000;
constexpr qint64 kDayMs = 24 * 60 * kMinuteMs;
// Roll-ups are read a week at a time, so that a year's trend never holds more
// than a week of minutes besides its own points.
constexpr qint64 kRollupChunkMs = 7 * kDayMs;

web::WebAnswer Text(int status, const QString& text)
{
    return {status, "text/plain; charset=utf-8", text.toUtf8() + '\n', {}};
}

web::WebAnswer Json(const QJsonDocument& document)
{
    return {200, "application/json", document.toJson(QJsonDocument::Compact), {}};
}

QString Value(const QUrlQuery& query, const char* name)
{
    return query.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

QString Quoted(const QString& text)
{
    return QStringLiteral("\"%1\"").arg(text.left(80));
}

// from, to (local days, to included) and tz; why not, or empty.
QString ParseDays(const QUrlQuery& query, const QTimeZone& fallback, LabOptions* o)
{
    for (const auto& [name, day] : {std::pair{"from", &o->from}, std::pair{"to", &o->to}}) {
        const QString text = Value(query, name);
        if (text.isEmpty())
            return QStringLiteral("%1 is missing: give a day, such as 2026-05-04.").arg(name);
        const QDate d = QDate::fromString(text, Qt::ISODate);
        if (!d.isValid() || text.size() != 10)
            return QStringLiteral("%1: %2 is not a day such as 2026-05-04.")
                .arg(name, Quoted(text));
        *day = d;
    }
    if (*o->from > *o->to)
        return QStringLiteral("from %1 is after to %2.")
            .arg(o->from->toString(Qt::ISODate), o->to->toString(Qt::ISODate));
    if (o->from->daysTo(*o->to) >= kWebMaxDays)
        return QStringLiteral("from %1 to %2 is more than %3 days; ask for a year at most.")
            .arg(o->from->toString(Qt::ISODate), o->to->toString(Qt::ISODate))
            .arg(kWebMaxDays);
    const QString tz = Value(query, "tz");
    o->zone = tz.isEmpty() ? fallback : QTimeZone(tz.toUtf8());
    if (!o->zone.isValid())
        return QStringLiteral("tz: %1 is not a time zone this computer knows, such as "
                              "Europe/Berlin or UTC.")
            .arg(Quoted(tz));
    return QString();
}

web::WebAnswer Report(CArchive& archive, const LabOptions& o)
{
    const LabResult r = RunLabQuery(o, LabEnvironment{}, archive);
    if (r.exitCode != 0)
        return Text(500, r.messages.join(QLatin1Char('\n')));
    return {200, "", r.out, {}};
}

web::WebAnswer ExposuresCsv(CArchive& archive, const QTimeZone& zone, const QUrlQuery& query)
{
    LabOptions o;
    o.command = LabCommand::Exposures;
    o.format = OutputFormat::Csv;
    o.generator = Value(query, "generator");
    const QString bad = ParseDays(query, zone, &o);
    if (!bad.isEmpty())
        return Text(400, bad);
    web::WebAnswer a = Report(archive, o);
    if (a.status == 200) {
        a.type = "text/csv; charset=utf-8";
        a.attachment = QStringLiteral("exposures-%1-to-%2.csv")
                           .arg(o.from->toString(Qt::ISODate), o.to->toString(Qt::ISODate));
    }
    return a;
}

web::WebAnswer BeamTimeJson(CArchive& archive, const QTimeZone& zone, const QUrlQuery& query)
{
    LabOptions o;
    o.command = LabCommand::BeamTime;
    o.format = OutputFormat::Json;
    const QString by = Value(query, "by");
    const std::optional<Period> period = PeriodFromName(by.isEmpty() ? QStringLiteral("day") : by);
    if (!period)
        return Text(400, QStringLiteral("by: %1 is none of day, week and month.").arg(Quoted(by)));
    o.by = *period;
    const QString bad = ParseDays(query, zone, &o);
    if (!bad.isEmpty())
        return Text(400, bad);
    web::WebAnswer a = Report(archive, o);
    if (a.status == 200)
        a.type = "application/json";
    return a;
}

// An instant with its offset: a time without one would mean the server's zone,
// which the browser does not know.
std::optional<QDateTime> Instant(const QUrlQuery& query, const char* name, QString* why)
{
    const QString text = Value(query, name);
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (text.isEmpty())
        *why =
            QStringLiteral("%1 is missing: give a time, such as 2026-05-04T10:00:00Z.").arg(name);
    else if (!t.isValid() || t.timeSpec() == Qt::LocalTime)
        *why = QStringLiteral("%1: %2 is not a time with its offset, such as "
                              "2026-05-04T10:00:00Z or 2026-05-04T12:00:00+02:00.")
                   .arg(name, Quoted(text));
    else
        return t.toUTC();
    return std::nullopt;
}

QJsonValue Range(const ValueRange& r)
{
    if (!r.mean)
        return QJsonValue();
    return QJsonArray{*r.min, *r.mean, *r.max};
}

QJsonValue Ms(const QDateTime& t)
{
    return t.isValid() ? QJsonValue(double(t.toMSecsSinceEpoch())) : QJsonValue();
}

// Minutes merged into buckets of width: lowest of the lowest, highest of the
// highest, means weighted by the readings behind them.
struct Merged
{
    qint64 readings = 0;
    std::array<std::optional<double>, 3> min, max;
    std::array<double, 3> weighted{};
    std::array<qint64, 3> weights{};

    void Add(const ReadingPoint& p)
    {
        readings += p.readings;
        const ValueRange* ranges[3] = {&p.kv, &p.ua, &p.temperature};
        for (size_t i = 0; i < 3; ++i) {
            const ValueRange& r = *ranges[i];
            if (!r.mean)
                continue;
            min[i] = min[i] ? std::min(*min[i], *r.min) : *r.min;
            max[i] = max[i] ? std::max(*max[i], *r.max) : *r.max;
            weighted[i] += *r.mean * double(std::max<qint64>(1, p.readings));
            weights[i] += std::max<qint64>(1, p.readings);
        }
    }
    ValueRange Of(size_t i) const
    {
        if (!weights[i])
            return {};
        return {min[i], weighted[i] / double(weights[i]), max[i]};
    }
};

std::optional<std::vector<ReadingPoint>> MergedRollups(CArchive& archive, const QString& generator,
                                                       qint64 fromMs, qint64 toMs, qint64 width,
                                                       QString* error)
{
    std::vector<std::optional<Merged>> buckets(size_t((toMs - fromMs + width - 1) / width));
    for (qint64 start = fromMs; start < toMs; start += kRollupChunkMs) {
        const auto minutes =
            archive.Rollups(generator, QDateTime::fromMSecsSinceEpoch(start, QTimeZone::utc()),
                            QDateTime::fromMSecsSinceEpoch(std::min(toMs, start + kRollupChunkMs),
                                                           QTimeZone::utc()),
                            error);
        if (!minutes)
            return std::nullopt;
        for (const ReadingPoint& p : *minutes) {
            const qint64 b = (p.start.toMSecsSinceEpoch() - fromMs) / width;
            if (b < 0 || b >= qint64(buckets.size()))
                continue;
            if (!buckets[size_t(b)])
                buckets[size_t(b)].emplace();
            buckets[size_t(b)]->Add(p);
        }
    }
    std::vector<ReadingPoint> points;
    for (size_t b = 0; b < buckets.size(); ++b) {
        if (!buckets[b])
            continue;
        ReadingPoint p;
        p.start = QDateTime::fromMSecsSinceEpoch(fromMs + qint64(b) * width, QTimeZone::utc());
        p.readings = buckets[b]->readings;
        p.kv = buckets[b]->Of(0);
        p.ua = buckets[b]->Of(1);
        p.temperature = buckets[b]->Of(2);
        points.push_back(p);
    }
    return points;
}

web::WebAnswer TrendJson(CArchive& archive, const QUrlQuery& query)
{
    const QString generator = Value(query, "generator");
    if (generator.isEmpty())
        return Text(400, QStringLiteral("generator is missing: give a generator's name."));
    QString why;
    const std::optional<QDateTime> from = Instant(query, "from", &why);
    const std::optional<QDateTime> to = from ? Instant(query, "to", &why) : std::nullopt;
    if (!to)
        return Text(400, why);
    const qint64 fromMs = from->toMSecsSinceEpoch(), toMs = to->toMSecsSinceEpoch();
    if (toMs <= fromMs)
        return Text(400, QStringLiteral("from is not before to."));
    if (toMs - fromMs > kWebMaxDays * kDayMs)
        return Text(400, QStringLiteral("from to to is more than %1 days; ask for a year at most.")
                             .arg(kWebMaxDays));
    const QString pointsText = Value(query, "points");
    bool ok = true;
    const int points = pointsText.isEmpty() ? 1000 : pointsText.toInt(&ok);
    if (!ok || points < 1 || points > kWebMaxPoints)
        return Text(400, QStringLiteral("points: %1 is not a number from 1 to %2.")
                             .arg(Quoted(pointsText))
                             .arg(kWebMaxPoints));

    QString error;
    const bool raw = toMs - fromMs <= kWebRawTrendMs;
    qint64 width = (toMs - fromMs + points - 1) / points;
    if (!raw)
        width = (width + kMinuteMs - 1) / kMinuteMs * kMinuteMs;
    const auto readings = raw ? archive.Readings(generator, *from, *to, points, &error)
                              : MergedRollups(archive, generator, fromMs, toMs, width, &error);
    if (!readings)
        return Text(500, error);
    const auto exposures = archive.Exposures(*from, *to, generator, &error);
    if (!exposures)
        return Text(500, error);

    QJsonArray pointArray;
    for (const ReadingPoint& p : *readings)
        pointArray.append(QJsonObject{{"t", Ms(p.start)},
                                      {"n", double(p.readings)},
                                      {"kv", Range(p.kv)},
                                      {"ua", Range(p.ua)},
                                      {"temperature", Range(p.temperature)}});
    QJsonArray exposureArray;
    for (const lab::ExposureInterval& e : *exposures)
        exposureArray.append(QJsonObject{{"start", Ms(e.start)},
                                         {"endState", lab::EndStateName(e.endState)},
                                         {"earliestEnd", Ms(e.earliestEnd)},
                                         {"latestEnd", Ms(e.latestEnd)},
                                         {"endReason", e.endReason},
                                         {"user", e.user}});
    return Json(QJsonDocument(QJsonObject{
        {"generator", generator},
        {"from", double(fromMs)},
        {"to", double(toMs)},
        {"source", raw ? "readings" : "rollups"},
        {"bucketMs", double(width)},
        {"points", pointArray},
        {"exposures", exposureArray},
    }));
}

} // namespace

std::map<QByteArray, web::WebHandler> HistoryHandlers(CArchive& archive, const QTimeZone& zone)
{
    return {
        {"/exposures.csv",
         [&archive, zone](const QUrlQuery& q) { return ExposuresCsv(archive, zone, q); }},
        {"/beam-time.json",
         [&archive, zone](const QUrlQuery& q) { return BeamTimeJson(archive, zone, q); }},
        {"/trend.json", [&archive](const QUrlQuery& q) { return TrendJson(archive, q); }},
    };
}

} // namespace ondrel::archive
