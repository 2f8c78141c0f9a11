// A generator as a watcher of the broker knows it from its console's messages,
// and the state that makes of it: the one rule the fleet window, the archive and
// the web page judge by. Pure: messages and the time come in as values.
#pragma once

#include "message.h"
#include "model.h"
#include "payloads.h"

#include <QDateTime>
#include <QString>
#include <deque>
#include <optional>

namespace ondrel::lab {

// Highest first: a tile shows the first that applies.
enum class State
{
    ContactLostXrayOn = 1,
    Fault = 2,
    NotResponding = 3,
    Offline = 4,
    Stale = 5,
    XraysOn = 6,
    Ready = 7,
    // No contact with the broker, no known status yet, or online without a
    // reading yet: nothing is known that could be shown as live.
    Unknown = 8
};

// States 1 to 5 raise an alarm.
bool IsAlarmState(State state);
// Nothing shown of a generator in this state is live: its tile is greyed.
bool IsGreyed(State state);
// Sorts the tiles that need attention first: Unknown comes after the states
// known to be bad and before X-rays on and Ready.
int AttentionRank(State state);
// The mark drawn beside the state word, so that no state is told by colour
// alone, as the fleet window paints it: "circle", "triangle", "triangle-bang",
// "diamond", "square", "ring", "half" or "question".
const char* ShapeName(State state);

struct EventLine
{
    QDateTime time;
    EventKind kind = EventKind::Start;
};

struct Generator
{
    QString prefix;     // the full topic prefix, root included
    QString name;       // the prefix without the root
    bool fresh = false; // status received since the watcher last (re)connected
    std::optional<ConsoleStatus> status;
    qint64 statusMs = 0; // when the status last changed (local clock)
    bool statusRetained = false;
    QString version;
    std::optional<ConsoleInfo> info;

    std::optional<Reading> reading;
    ReadCounters counters;
    qint64 readingMs = 0; // when it was taken: its own time if retained, else arrival
    bool readingRetained = false;
    std::optional<qint64> lastReadingSeq;
    qint64 readingsMissed = 0;
    std::optional<qint64> skewMs; // console's clock minus ours, from live readings

    // Whether X-rays are, or may be, on: the latest of the readings' xray_on and
    // what the events say, whichever came last.
    CXrayRule xray;
    std::deque<EventLine> lastEvents; // newest first, at most 3
    std::optional<qint64> lastEventSeq;
    qint64 eventsMissed = 0;

    int unreadable = 0;
    qint64 lastHeardMs = 0;
    State state = State::Unknown;
};

enum class Applied
{
    Taken,
    Unreadable, // counted on the generator
    Repeat      // an event QoS 1 delivered again: nothing changed
};

// One message of the generator's, read (DecodePayload), as it arrived: retained
// or live, at receivedMs on this computer's clock.
Applied ApplyPayload(Generator& g, const Payload& payload, bool retained, qint64 receivedMs);

// How long an online console may stay silent before it is stale: three of its
// periods, and never under a second.
qint64 StaleAfterMs(const Generator& g);

// contact: whether the watcher has its link to the broker now.
State JudgeState(const Generator& g, bool contact, qint64 now);

} // namespace ondrel::lab
