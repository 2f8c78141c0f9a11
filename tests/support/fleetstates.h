// Every state a watcher of the broker can show, each with the messages a console
// publishes to get there and the word a user reads: one table for the fleet
// window's model and for the live page in a browser, so that the two cannot come
// to say different things of the same messages.
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
    qint64 quietMs = 0; // silence after the last message: 3 periods of 200 ms make stale
    QString word;
};

namespace fleetstates {

// A day of its own, after the one the history tests ask about: the exposures
// these consoles leave open must not reach into it.
inline QDateTime At()
{
    return QDateTime(QDate(2026, 6, 1), QTime(10, 0), QTimeZone::utc());
}

// Consoles that must not go stale while a browser is being driven.
inline ConsoleMessage HourlyInfo()
{
    return {"info", InfoJson({At(), "lab-pc", "/dev/ttyUSB0", 3600000, "Ondrel 1.0.0.1", "ops"}),
            true};
}

inline ConsoleMessage Status(const QByteArray& word)
{
    return {"status", word, true};
}

inline ConsoleMessage Read(bool xrayOn, const char* faults = "No Error")
{
    ReadingCounters counters;
    counters.seq = 1;
    counters.xrayOn = xrayOn;
    return {"reading",
            ReadingJson(Reading::FromForm(At(), "080.5", "1100", "025.0", faults, {}), counters)};
}

} // namespace fleetstates

inline QList<FleetStateRow> FleetStateRows()
{
    using namespace fleetstates;
    const ConsoleMessage info = HourlyInfo();
    const ConsoleMessage online = Status("online");
    const ConsoleMessage off = Read(false);
    const ConsoleMessage on = Read(true);
    const ConsoleMessage xrayOn = {"event", EventJson({At(), EventKind::XrayOn, {}}, 1)};
    const QString lost = "Contact lost, X-rays may be on";
    return {
        {"ready", "st-ready", {info, online, off}, 0, "Ready"},
        {"x-rays on by reading", "st-on-reading", {info, online, on}, 0, "X-rays on"},
        {"x-rays on by event", "st-on-event", {info, online, off, xrayOn}, 0, "X-rays on"},
        {"fault", "st-fault", {info, online, Read(false, "Error.Please Clear")}, 0, "Fault"},
        {"not responding",
         "st-not-responding",
         {info, online, off, Status("not responding")},
         0,
         "Not responding"},
        {"offline by its last will", "st-offline", {Status("offline")}, 0, "Offline"},
        {"offline with x-rays on",
         "st-lost-offline",
         {info, online, on, Status("offline")},
         0,
         lost},
        {"silent past three periods", "st-stale", {online, off}, 1500, "Stale"},
        {"silent with x-rays on", "st-lost-silent", {online, off, xrayOn}, 1500, lost},
        {"no status yet", "st-no-status", {info, off}, 0, "Unknown"},
    };
}

} // namespace ondrel::testing

Q_DECLARE_METATYPE(ondrel::testing::FleetStateRow)
