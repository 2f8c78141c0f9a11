// The archive's answers as CSV (RFC 4180: comma-separated, CRLF line ends,
// fields with a comma, quote or line break quoted, quotes doubled), one header line.
#pragma once

#include "beamtime.h"
#include "exposure.h"

#include <QByteArray>
#include <vector>

namespace ondrel::archive {

QByteArray CsvLine(const QStringList& fields);

// How a period is named wherever beam time is printed: 2026-03-29, 2026-W13, 2026-03.
QString PeriodLabel(const QDate& first, Period period);

// generator,host,user,start,end_state,earliest_end,latest_end,end_reason,set_kv,set_ua,
// mean_kv,max_kv,mean_ua,max_ua: times in UTC (ISO 8601 with milliseconds); a
// closed interval's two ends are the same, an open one has none, an uncertain one
// has its earliest and (once known) latest.
QByteArray ExposuresCsv(const std::vector<lab::ExposureInterval>& exposures);

// generator,period,start,end,beam_s: a line per generator and local period, then
// a "total" line per generator whose beam_s is the sum of its periods'.
QByteArray BeamTimeCsv(const BeamTime& beamTime);

} // namespace ondrel::archive
