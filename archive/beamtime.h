// Beam time per generator per local calendar period (day, week from Monday,
// month) in a time zone: days are the zone's days, 23 or 25 hours long across a
// daylight-saving change, and a period's share of an exposure is exactly the
// part of it that falls between the period's local midnights, so the periods
// add up to the total to the millisecond.
#pragma once

#include <QDateTime>
#include <QString>
#include <QTimeZone>
#include <map>
#include <optional>
#include <vector>

namespace ondrel::archive {

enum class Period
{
    Day,
    Week,
    Month
};

QString PeriodName(Period period); // "day", "week", "month"
std::optional<Period> PeriodFromName(const QString& name);

// Time a generator's beam was on, as counted.
struct BeamSpan
{
    QString generator;
    QDateTime from;
    QDateTime to;
};

struct BeamTimeRow
{
    QString generator;
    QDate period;    // the period's first local day
    QDateTime start; // its local midnight, in the zone
    QDateTime end;   // the next period's
    qint64 beamMs = 0;
};

struct BeamTime
{
    Period period = Period::Day;
    QTimeZone zone;
    QDateTime from;
    QDateTime to;
    std::vector<BeamTimeRow> rows;     // by generator, then period; periods with beam only
    std::map<QString, qint64> totalMs; // per generator: the sum of its rows
};

// Spans are clipped to [from, to) first; overlapping spans of one generator count once each.
// localDays: beam time already summed per generator and local day of zone, within [from, to).
BeamTime SplitBeamTime(const std::vector<BeamSpan>& spans, Period period, const QDateTime& from,
                       const QDateTime& to, const QTimeZone& zone,
                       const std::map<std::pair<QString, QDate>, qint64>& localDays = {});

} // namespace ondrel::archive
