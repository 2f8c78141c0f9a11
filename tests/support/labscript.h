// One console's messages written as lines, for the tests of the lab's rule and
// archive: "HH:mm:ss event KIND SEQ [DETAIL...]", "HH:mm:ss reading KV UA on|off
// [SEQ]", "HH:mm:ss status WORDS", "HH:mm:ss info STARTED [USER]", "HH:mm:ss raw
// SUBTOPIC PAYLOAD". Times are on 2026-05-04, UTC; payloads are the consoles' own.
#pragma once

#include "payloads.h"

#include <QStringList>
#include <QTimeZone>

namespace ondrel::test {

struct ScriptMessage
{
    QDateTime time;
    QString subtopic;
    QByteArray payload;
};

inline QDateTime ScriptTime(const QString& clock)
{
    return QDateTime(QDate(2026, 5, 4), QTime::fromString(clock, QStringLiteral("HH:mm:ss")),
                     QTimeZone::utc());
}

inline ScriptMessage ScriptLine(const QString& line)
{
    const QStringList w = line.split(QLatin1Char(' '));
    const QDateTime time = ScriptTime(w[0]);
    const QString rest = w.mid(2).join(QLatin1Char(' '));
    if (w[1] == QLatin1String("event")) {
        const ConsoleEvent e{time, *EventKindFromName(w[2]), w.mid(4).join(QLatin1Char(' '))};
        return {time, w[1], EventJson(e, w[3].toLongLong())};
    }
    if (w[1] == QLatin1String("reading")) {
        const Reading r = Reading::FromForm(time, w[2], w[3], "025.0", "No Error", {});
        ReadingCounters counters;
        counters.xrayOn = w[4] == QLatin1String("on");
        counters.seq = w.value(5).toLongLong();
        return {time, w[1], counters.seq ? ReadingJson(r, counters) : ReadingJson(r)};
    }
    if (w[1] == QLatin1String("info")) {
        const ConsoleInfo info{ScriptTime(w[2]), "lab-pc",  "/dev/ttyUSB0", 200,
                               "Ondrel 1.0.0.1", w.value(3)};
        return {time, w[1], InfoJson(info)};
    }
    if (w[1] == QLatin1String("raw"))
        return {time, w[2], w.mid(3).join(QLatin1Char(' ')).toUtf8()};
    return {time, w[1], rest.toUtf8()};
}

} // namespace ondrel::test
