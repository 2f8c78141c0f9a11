#include "csv.h"

#include "model.h"

namespace ondrel::archive {

namespace {

QString Time(const QDateTime& time)
{
    return time.isValid() ? IsoTime(time) : QString();
}

QString Number(const std::optional<double>& value)
{
    return value ? QString::number(*value, 'g', 15) : QString();
}

// Milliseconds as seconds with three decimals, from the integer: no rounding, so
// that the lines add up to the total as printed.
QString Seconds(qint64 ms)
{
    return QStringLiteral("%1.%2").arg(ms / 1000).arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace

QString PeriodLabel(const QDate& first, Period period)
{
    switch (period) {
    case Period::Week: {
        int year = 0;
        const int week = first.weekNumber(&year);
        return QStringLiteral("%1-W%2").arg(year).arg(week, 2, 10, QLatin1Char('0'));
    }
    case Period::Month:
        return first.toString(QStringLiteral("yyyy-MM"));
    case Period::Day:
        break;
    }
    return first.toString(Qt::ISODate);
}

QByteArray CsvLine(const QStringList& fields)
{
    QByteArray line;
    for (int i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += ',';
        const QByteArray f = fields[i].toUtf8();
        if (f.contains(',') || f.contains('"') || f.contains('\r') || f.contains('\n')) {
            QByteArray quoted = f;
            quoted.replace("\"", "\"\"");
            line += '"' + quoted + '"';
        } else {
            line += f;
        }
    }
    return line + "\r\n";
}

QByteArray ExposuresCsv(const std::vector<lab::ExposureInterval>& exposures)
{
    QByteArray out =
        CsvLine({"generator", "host", "user", "start", "end_state", "earliest_end", "latest_end",
                 "end_reason", "set_kv", "set_ua", "mean_kv", "max_kv", "mean_ua", "max_ua"});
    for (const lab::ExposureInterval& e : exposures) {
        const bool open = e.endState == lab::EndState::Open;
        out += CsvLine({e.generator, e.host, e.user, Time(e.start), lab::EndStateName(e.endState),
                        open ? QString() : Time(e.earliestEnd), Time(e.latestEnd), e.endReason,
                        Number(e.setKilovolts), Number(e.setMicroamps), Number(e.kilovolts.Mean()),
                        Number(e.kilovolts.Max()), Number(e.microamps.Mean()),
                        Number(e.microamps.Max())});
    }
    return out;
}

QByteArray BeamTimeCsv(const BeamTime& beamTime)
{
    QByteArray out = CsvLine({"generator", "period", "start", "end", "beam_s"});
    for (const BeamTimeRow& row : beamTime.rows)
        out += CsvLine({row.generator, PeriodLabel(row.period, beamTime.period),
                        row.start.toString(Qt::ISODate), row.end.toString(Qt::ISODate),
                        Seconds(row.beamMs)});
    for (const auto& [generator, ms] : beamTime.totalMs)
        out += CsvLine({generator, QStringLiteral("total"),
                        beamTime.from.toTimeZone(beamTime.zone).toString(Qt::ISODate),
                        beamTime.to.toTimeZone(beamTime.zone).toString(Qt::ISODate), Seconds(ms)});
    return out;
}

} // namespace ondrel::archive
