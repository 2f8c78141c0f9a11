#include "generator.h"

#include <algorithm>

namespace ondrel::lab {

namespace {

constexpr qint64 kStaleAtLeastMs = 1000;
constexpr int kEventsKept = 3;
constexpr int kVersionKept = 64;

} // namespace

bool IsAlarmState(State state)
{
    return int(state) >= int(State::ContactLostXrayOn) && int(state) <= int(State::Stale);
}

bool IsGreyed(State state)
{
    return state == State::Unknown || state == State::Stale || state == State::Offline ||
           state == State::NotResponding || state == State::ContactLostXrayOn;
}

int AttentionRank(State state)
{
    return state == State::Unknown ? int(State::XraysOn) - 1 : int(state);
}

const char* ShapeName(State state)
{
    switch (state) {
    case State::ContactLostXrayOn:
        return "triangle-bang";
    case State::Fault:
        return "diamond";
    case State::NotResponding:
        return "square";
    case State::Offline:
        return "ring";
    case State::Stale:
        return "half";
    case State::XraysOn:
        return "triangle";
    case State::Ready:
        return "circle";
    case State::Unknown:
        break;
    }
    return "question";
}

Applied ApplyPayload(Generator& g, const Payload& p, bool retained, qint64 receivedMs)
{
    if (p.tooLarge) {
        ++g.unreadable;
        return Applied::Unreadable;
    }
    if (!retained)
        g.lastHeardMs = std::max(g.lastHeardMs, receivedMs);
    if (!p.Readable()) {
        ++g.unreadable;
        return Applied::Unreadable;
    }
    switch (p.subtopic) {
    case Subtopic::Status:
        if (g.status != p.status)
            g.statusMs = receivedMs;
        g.status = p.status;
        g.statusRetained = retained;
        g.fresh = true;
        break;
    case Subtopic::Version:
        g.version = p.version.left(kVersionKept);
        break;
    case Subtopic::Info:
        // Another start of the console: its counters begin again.
        if (g.info && g.info->started != p.info->started) {
            g.lastEventSeq.reset();
            g.lastReadingSeq.reset();
        }
        g.info = p.info;
        break;
    case Subtopic::Reading: {
        const ReadCounters& counters = p.counters;
        const qint64 taken = p.reading->time.toMSecsSinceEpoch();
        if (counters.seq) {
            if (g.lastReadingSeq && *counters.seq > *g.lastReadingSeq + 1)
                g.readingsMissed += *counters.seq - *g.lastReadingSeq - 1;
            g.lastReadingSeq = counters.seq;
        }
        // A retained reading is as old as it says; a live one is as old as its
        // arrival, whatever the console's clock.
        g.readingMs = retained ? taken : receivedMs;
        g.readingRetained = retained;
        if (!retained)
            g.skewMs = taken - receivedMs;
        else
            g.lastHeardMs = std::max(g.lastHeardMs, std::min(taken, receivedMs));
        if (counters.xrayOn)
            g.xray.OnReadingFlag(*counters.xrayOn);
        g.counters = counters;
        g.reading = p.reading;
        break;
    }
    case Subtopic::Event: {
        const std::optional<qint64>& seq = p.seq;
        if (seq) {
            if (g.lastEventSeq && *seq <= *g.lastEventSeq && *seq != 1)
                return Applied::Repeat; // QoS 1 may deliver one twice
            if (g.lastEventSeq && *seq > *g.lastEventSeq + 1)
                g.eventsMissed += *seq - *g.lastEventSeq - 1;
            g.lastEventSeq = seq;
        }
        g.xray.OnEvent(p.event->kind);
        g.lastEvents.push_front({p.event->time, p.event->kind});
        if (int(g.lastEvents.size()) > kEventsKept)
            g.lastEvents.pop_back();
        break;
    }
    }
    return Applied::Taken;
}

qint64 StaleAfterMs(const Generator& g)
{
    const int period = g.info ? g.info->periodMs : kDefaultPeriodMs;
    return std::max<qint64>(kStaleAtLeastMs, 3 * qint64(period));
}

State JudgeState(const Generator& g, bool contact, qint64 now)
{
    if (!contact || !g.fresh || !g.status)
        return State::Unknown;
    const ConsoleStatus status = *g.status;
    // A retained status says nothing of when the console last spoke; a live one
    // gives a console that has just come online its first periods.
    const qint64 since = !g.reading         ? g.statusMs
                         : g.statusRetained ? g.readingMs
                                            : std::max(g.readingMs, g.statusMs);
    const bool stale = status == ConsoleStatus::Online && now - since > StaleAfterMs(g);
    const bool lost = status != ConsoleStatus::Online || stale;
    if (lost && g.xray.On())
        return State::ContactLostXrayOn;
    if (g.reading && g.reading->fault)
        return State::Fault;
    if (status == ConsoleStatus::NotResponding)
        return State::NotResponding;
    if (status == ConsoleStatus::Offline)
        return State::Offline;
    if (stale)
        return State::Stale;
    if (g.xray.On())
        return State::XraysOn;
    // Online but nothing read from the generator yet: it may well not be ready.
    if (!g.reading)
        return State::Unknown;
    return State::Ready;
}

} // namespace ondrel::lab
