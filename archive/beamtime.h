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

// A zone's local midnights, each found once: the zone's rules are costly to ask, and every
// generator's days share the same few.
class CLocalMidnights
{
public:
    explicit CLocalMidnights(QTimeZone zone) : m_zone(std::move(zone)) {}
    const QTimeZone& Zone() const { return m_zone; }
    // A zone whose clocks skip midnight starts that day at the first moment it has.
    QDateTime Of(const QDate& day);

private:
    QTimeZone m_zone;
    std::map<QDate, QDateTime> m_midnights;
};

// [from, to) cut at the local midnights where periods start: each piece's period (its first
// local day) and length in ms, in order. The per-day sums the archive keeps are cut this way
// too, so that they add up to exactly what SplitBeamTime counts.
std::vector<std::pair<QDate, qint64>> PeriodPieces(const QDateTime& from, const QDateTime& to,
                                                   Period period, CLocalMidnights& midnights);

// Beam time already summed for one of a generator's local days.
struct BeamDay
{
    QString generator;
    QDate day;
    qint64 ms = 0;
};

// Spans are clipped to [from, to) first; overlapping spans of one generator count once each.
// localDays: beam time already summed per generator and local day of zone, within [from, to),
// in any order; a day may come more than once.
BeamTime SplitBeamTime(const std::vector<BeamSpan>& spans, Period period, const QDateTime& from,
                       const QDateTime& to, const QTimeZone& zone,
                       const std::vector<BeamDay>& localDays = {});

} // namespace ondrel::archive
