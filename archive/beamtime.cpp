#include "beamtime.h"

#include <algorithm>

namespace ondrel::archive {

QString PeriodName(Period period)
{
    switch (period) {
    case Period::Week:
        return QStringLiteral("week");
    case Period::Month:
        return QStringLiteral("month");
    case Period::Day:
        break;
    }
    return QStringLiteral("day");
}

std::optional<Period> PeriodFromName(const QString& name)
{
    for (const Period p : {Period::Day, Period::Week, Period::Month}) {
        if (PeriodName(p) == name)
            return p;
    }
    return std::nullopt;
}

namespace {

QDate PeriodOf(const QDate& day, Period period)
{
    switch (period) {
    case Period::Week:
        return day.addDays(1 - day.dayOfWeek());
    case Period::Month:
        return QDate(day.year(), day.month(), 1);
    case Period::Day:
        break;
    }
    return day;
}

QDate NextPeriod(const QDate& first, Period period)
{
    switch (period) {
    case Period::Week:
        return first.addDays(7);
    case Period::Month:
        return first.addMonths(1);
    case Period::Day:
        break;
    }
    return first.addDays(1);
}

// A zone whose clocks skip midnight starts that day at the first moment it has.
QDateTime LocalMidnight(const QDate& day, const QTimeZone& zone)
{
    return QDateTime(day, QTime(0, 0), zone);
}

} // namespace

BeamTime SplitBeamTime(const std::vector<BeamSpan>& spans, Period period, const QDateTime& from,
                       const QDateTime& to, const QTimeZone& zone,
                       const std::map<std::pair<QString, QDate>, qint64>& localDays)
{
    BeamTime result;
    result.period = period;
    result.zone = zone;
    result.from = from;
    result.to = to;
    std::map<std::pair<QString, QDate>, qint64> ms;
    for (const auto& [key, dayMs] : localDays)
        ms[{key.first, PeriodOf(key.second, period)}] += dayMs;
    for (const BeamSpan& span : spans) {
        QDateTime at = std::max(span.from, from);
        const QDateTime end = std::min(span.to, to);
        while (at < end) {
            const QDate first = PeriodOf(at.toTimeZone(zone).date(), period);
            const QDateTime boundary = LocalMidnight(NextPeriod(first, period), zone);
            const QDateTime chunkEnd = std::min(end, boundary);
            if (chunkEnd <= at)
                break; // only a zone without valid midnights gets here
            ms[{span.generator, first}] += at.msecsTo(chunkEnd);
            at = chunkEnd;
        }
    }
    // A zone's midnight is costly to find, and every generator shares the same few.
    std::map<QDate, QDateTime> midnights;
    const auto midnight = [&](const QDate& day) {
        auto it = midnights.find(day);
        if (it == midnights.end())
            it = midnights.emplace(day, LocalMidnight(day, zone)).first;
        return it->second;
    };
    for (const auto& [key, beamMs] : ms) {
        if (beamMs <= 0)
            continue;
        BeamTimeRow row;
        row.generator = key.first;
        row.period = key.second;
        row.start = midnight(key.second);
        row.end = midnight(NextPeriod(key.second, period));
        row.beamMs = beamMs;
        result.totalMs[row.generator] += beamMs;
        result.rows.push_back(row);
    }
    return result;
}

} // namespace ondrel::archive
