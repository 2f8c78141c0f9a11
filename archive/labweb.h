// The archive's history as the web service serves it, beside the live page:
// /exposures.csv is what `ondrel-lab exposures` prints, /beam-time.json what
// `ondrel-lab beam-time --format json` prints, and /trend.json one generator's
// readings and exposures over a range, drawn by the trend page.
#pragma once

#include "archive.h"
#include "webserver.h"

#include <QTimeZone>
#include <map>

namespace ondrel::archive {

// The most a request may ask for, so that none takes unbounded time or memory.
constexpr int kWebMaxDays = 366;
constexpr int kWebMaxPoints = 5000;
// Trends up to this long are drawn from the raw readings, longer ones from the
// per-minute roll-ups (which outlive the raw readings' retention).
constexpr qint64 kWebRawTrendMs = qint64(3) * 24 * 3600 * 1000;

// The handlers by path. They only read archive, whose queries are safe from
// civetweb's threads and never wait for its writer; zone is the days' when a
// request names none.
std::map<QByteArray, web::WebHandler> HistoryHandlers(CArchive& archive, const QTimeZone& zone);

} // namespace ondrel::archive
