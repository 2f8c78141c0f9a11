// Every state a watcher of the broker can show, each with the messages a console
// publishes to get there and the word a user reads: one table for the fleet
// window's model and for the live page in a browser, so that the two cannot come
// to say different things of the same messages.
//
// Consoles that must not go stale while a browser is being driven say they read
// once an hour; the stale ones keep the default period and then go quiet.
#pragma once

#include "payloads.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QTimeZone>

namespace ondrel::testing {

struct ConsoleMessage
{
    QString subtopic;
    QByteArray payload;
    bool retained = false; // as the console publishes it
};

struct FleetStateRow
{
    const char* tag;
    QString name; // the generator's prefix under the root
    QList<ConsoleMessage> messages;
    qint64 quietMs = 0; // silence after the last message
    QString word;
};

namespace fleetstates {

// A day of its own, after the one the history tests ask about: the exposures
// these consoles leave open must not reach into it.
inline QDateTime At()
{
    return QDateTime(QDate(2026, 6, 1), QTime(10, 0), QTimeZone::utc());
}

inline ConsoleMessage Info(int periodMs)
{
    return {"info", InfoJson({At(), "lab-pc", "/dev/ttyUSB0", periodMs, "Ondrel 1.0.0.1", "ops"}),
            true};
}
inline ConsoleMessage HourlyInfo()
{
    return Info(3600000);
}

inline ConsoleMessage Status(const QByteArray& word)
{
    return {"status", word, true};
}

inline ConsoleMessage Read(bool xrayOn, qint64 seq, const char* faults = "No Error")
{
    ReadingCounters counters;
    counters.seq = seq;
    counters.xrayOn = xrayOn;
    return {"reading",
            ReadingJson(Reading::FromForm(At(), "080.5", "1100", "025.0", faults, {}), counters)};
}

inline ConsoleMessage Event(EventKind kind, qint64 seq)
{
    return {"event", EventJson({At(), kind, {}}, seq)};
}

} // namespace fleetstates

inline QList<FleetStateRow> FleetStateRows()
{
    using namespace fleetstates;
    const ConsoleMessage online = Status("online");
    const ConsoleMessage off = Read(false, 1);
    const ConsoleMessage on = Read(true, 1);
    return {
        {"ready", "st-ready", {HourlyInfo(), online, off}, 0, "Ready"},
        {"x-rays on by reading", "st-on-reading", {HourlyInfo(), online, on}, 0, "X-rays on"},
        {"x-rays on by event",
         "st-on-event",
         {HourlyInfo(), online, off, Event(EventKind::XrayOn, 1)},
         0,
         "X-rays on"},
        {"x-rays off answered",
         "st-off-answered",
         {HourlyInfo(), online, off, Event(EventKind::XrayOn, 1), Event(EventKind::XrayOff, 2)},
         0,
         "Ready"},
        {"fault",
         "st-fault",
         {HourlyInfo(), online, Read(false, 1, "Error.Please Clear")},
         0,
         "Fault"},
        {"fault above offline",
         "st-fault-offline",
         {HourlyInfo(), online, Read(false, 1, "Error.Please Clear"), Status("offline")},
         0,
         "Fault"},
        {"not responding",
         "st-not-responding",
         {HourlyInfo(), online, off, Status("not responding")},
         0,
         "Not responding"},
        {"offline by its last will", "st-offline", {Status("offline")}, 0, "Offline"},
        {"offline with x-rays on",
         "st-lost-offline",
         {HourlyInfo(), online, on, Status("offline")},
         0,
         "Contact lost, X-rays may be on"},
        {"x-ray off unanswered, then not responding",
         "st-lost-unanswered",
         {HourlyInfo(), online, off, Event(EventKind::XrayOn, 1),
          Event(EventKind::XrayOffUnanswered, 2), Status("not responding")},
         0,
         "Contact lost, X-rays may be on"},
        {"silent past three periods", "st-stale", {online, off}, 1500, "Stale"},
        {"silent with x-rays on",
         "st-lost-silent",
         {online, on},
         1500,
         "Contact lost, X-rays may be on"},
        {"no status yet", "st-no-status", {HourlyInfo(), off}, 0, "Unknown"},
        {"a status word not in the list",
         "st-bad-status",
         {HourlyInfo(), Status("ONLINE"), off},
         0,
         "Unknown"},
        {"online, no reading yet", "st-no-reading", {HourlyInfo(), online}, 0, "Unknown"},
    };
}

} // namespace ondrel::testing

Q_DECLARE_METATYPE(ondrel::testing::FleetStateRow)
