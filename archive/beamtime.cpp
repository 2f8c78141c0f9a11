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

} // namespace

QDateTime CLocalMidnights::Of(const QDate& day)
{
    auto it = m_midnights.find(day);
    if (it == m_midnights.end())
        it = m_midnights.emplace(day, QDateTime(day, QTime(0, 0), m_zone)).first;
    return it->second;
}

std::vector<std::pair<QDate, qint64>> PeriodPieces(const QDateTime& from, const QDateTime& to,
                                                   Period period, CLocalMidnights& midnights)
{
    std::vector<std::pair<QDate, qint64>> pieces;
    QDateTime at = from;
    while (at < to) {
        const QDate first = PeriodOf(at.toTimeZone(midnights.Zone()).date(), period);
        const QDateTime chunkEnd = std::min(to, midnights.Of(NextPeriod(first, period)));
        if (chunkEnd <= at)
            break; // only a zone without valid midnights gets here
        pieces.emplace_back(first, at.msecsTo(chunkEnd));
        at = chunkEnd;
    }
    return pieces;
}

BeamTime SplitBeamTime(const std::vector<BeamSpan>& spans, Period period, const QDateTime& from,
                       const QDateTime& to, const QTimeZone& zone,
                       const std::map<std::pair<QString, QDate>, qint64>& localDays)
{
    BeamTime result;
    result.period = period;
    result.zone = zone;
    result.from = from;
    result.to = to;
    CLocalMidnights midnights(zone);
    std::map<std::pair<QString, QDate>, qint64> ms;
    // The days come in key order: each goes in at the end, not through a search.
    for (const auto& [key, dayMs] : localDays)
        ms.emplace_hint(ms.end(), std::pair{key.first, PeriodOf(key.second, period)}, 0)->second +=
            dayMs;
    for (const BeamSpan& span : spans) {
        for (const auto& [first, pieceMs] :
             PeriodPieces(std::max(span.from, from), std::min(span.to, to), period, midnights))
            ms[{span.generator, first}] += pieceMs;
    }
    for (const auto& [key, beamMs] : ms) {
        if (beamMs <= 0)
            continue;
        BeamTimeRow row;
        row.generator = key.first;
        row.period = key.second;
        row.start = midnights.Of(key.second);
        row.end = midnights.Of(NextPeriod(key.second, period));
        row.beamMs = beamMs;
        result.totalMs[row.generator] += beamMs;
        result.rows.push_back(row);
    }
    return result;
}

} // namespace ondrel::archive
