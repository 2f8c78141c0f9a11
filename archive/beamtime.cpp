#include "beamtime.h"

#include <QHash>
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
                       const std::vector<BeamDay>& localDays)
{
    BeamTime result;
    result.period = period;
    result.zone = zone;
    result.from = from;
    result.to = to;
    // A year of a thousand generators' days is 365,000 sums: each generator is
    // a number, ranked by name, and each sum one of a vector sorted once.
    QHash<QString, qint64> ids;
    std::vector<QString> names;
    const auto id = [&](const QString& generator) {
        const auto it = ids.constFind(generator);
        if (it != ids.cend())
            return *it;
        names.push_back(generator);
        return *ids.insert(generator, qint64(names.size()) - 1);
    };
    // The day's bits hold any Julian day of ±5 million years, however odd a console's clock.
    constexpr qint64 kDayBits = (qint64(1) << 32) - 1, kDayOffset = qint64(1) << 31;
    const auto dayKey = [&](const QDate& day) {
        return (day.toJulianDay() + kDayOffset) & kDayBits;
    };
    std::vector<std::pair<qint64, qint64>> sums; // generator << 32 | period's day: ms
    sums.reserve(localDays.size() + spans.size());
    CLocalMidnights midnights(zone);
    for (const BeamDay& d : localDays)
        sums.emplace_back(id(d.generator) << 32 | dayKey(PeriodOf(d.day, period)), d.ms);
    for (const BeamSpan& span : spans) {
        for (const auto& [first, pieceMs] :
             PeriodPieces(std::max(span.from, from), std::min(span.to, to), period, midnights))
            sums.emplace_back(id(span.generator) << 32 | dayKey(first), pieceMs);
    }
    std::vector<qint64> byName(names.size());
    for (size_t i = 0; i < byName.size(); ++i)
        byName[i] = qint64(i);
    std::sort(byName.begin(), byName.end(),
              [&](qint64 a, qint64 b) { return names[size_t(a)] < names[size_t(b)]; });
    std::vector<qint64> rank(names.size());
    for (size_t r = 0; r < byName.size(); ++r)
        rank[size_t(byName[r])] = qint64(r);
    for (auto& [key, ms] : sums)
        key = rank[size_t(key >> 32)] << 32 | (key & kDayBits);
    std::sort(sums.begin(), sums.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<qint64> totals(names.size());
    result.rows.reserve(sums.size());
    for (size_t i = 0; i < sums.size();) {
        const qint64 key = sums[i].first;
        qint64 beamMs = 0;
        for (; i < sums.size() && sums[i].first == key; ++i)
            beamMs += sums[i].second;
        if (beamMs <= 0)
            continue;
        const qint64 generator = byName[size_t(key >> 32)];
        BeamTimeRow row;
        row.generator = names[size_t(generator)];
        row.period = QDate::fromJulianDay((key & kDayBits) - kDayOffset);
        row.start = midnights.Of(row.period);
        row.end = midnights.Of(NextPeriod(row.period, period));
        row.beamMs = beamMs;
        totals[size_t(generator)] += beamMs;
        result.rows.push_back(std::move(row));
    }
    for (size_t g = 0; g < names.size(); ++g) {
        if (totals[g] > 0)
            result.totalMs.emplace(names[g], totals[g]);
    }
    return result;
}

} // namespace ondrel::archive
