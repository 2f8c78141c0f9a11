// The lab's exposure intervals, made from what the consoles publish: when X-rays
// went on, when they went off, and where that is not known, the earliest and the
// latest moment they can have gone off. Pure: messages in, interval changes out;
// every time comes from the messages themselves, so a replay gives the same answer.
#pragma once

#include "model.h"
#include "payloads.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <optional>
#include <vector>

namespace ondrel::lab {

// Mean and maximum of one measured read-out over the readings of an interval.
struct Measure
{
    qint64 count = 0;
    double sum = 0.0;
    double max = 0.0;

    void Add(double value);
    std::optional<double> Mean() const;
    std::optional<double> Max() const;
};

enum class EndState
{
    Open,     // X-rays on, the console still there
    Closed,   // an answered switch-off: the end is certain
    Uncertain // contact lost with X-rays possibly on: only bounds are known
};

QString EndStateName(EndState state); // "open", "closed", "uncertain"
std::optional<EndState> EndStateFromName(const QString& name);

struct ExposureInterval
{
    QString generator; // the console's topic prefix
    QString host;
    QString user;
    QDateTime start; // UTC
    EndState endState = EndState::Open;
    // Closed: both are the end. Uncertain: the last moment anything said X-rays
    // were on, and the first later evidence that they were off (invalid until
    // some arrives). Open: the last evidence of X-rays on so far; no latest end.
    QDateTime earliestEnd;
    QDateTime latestEnd;
    QString endReason; // "xray-off", "stop", "offline", "restart"; empty while open
    std::optional<double> setKilovolts;
    std::optional<double> setMicroamps;
    Measure kilovolts;
    Measure microamps;

    // Uncertain with no evidence of the X-rays being off yet.
    bool Unresolved() const { return endState == EndState::Uncertain && !latestEnd.isValid(); }
};

struct IntervalChange
{
    enum class Kind
    {
        Opened,
        Closed,
        BecameUncertain,
        EarliestEndMoved, // an unresolved interval heard of X-rays on again
        EndResolved       // an uncertain interval's latest end became known
    };
    Kind kind = Kind::Opened;
    ExposureInterval interval; // as it is after the change
};

QString ChangeKindName(IntervalChange::Kind kind);

// The set kV and µA of an xray-on event's detail ("VP0805 CP1100 ENBL1" is 80.5 kV
// and 1100 µA); nothing for a part that is absent or garbled.
struct SetPoint
{
    std::optional<double> kilovolts;
    std::optional<double> microamps;
};
SetPoint SetPointFromDetail(const QString& detail);

// The rule, per generator. Feed every message in the order received; each call
// returns what changed, for a store to persist.
class CExposureTracker
{
public:
    using Changes = std::vector<IntervalChange>;

    // seq is the event's counter where the console sent one: a repeat (QoS 1 may
    // deliver twice) changes nothing.
    Changes OnEvent(const QString& generator, const ConsoleEvent& event, std::optional<qint64> seq);
    Changes OnReading(const QString& generator, const Reading& reading,
                      const ReadCounters& counters);
    // time: when the status arrived (the payload carries none).
    Changes OnStatus(const QString& generator, ConsoleStatus status, const QDateTime& time);
    Changes OnInfo(const QString& generator, const ConsoleInfo& info);

    // Takes back an interval a store kept open or unresolved, so that a restarted
    // archive goes on where it stopped; others are ignored.
    void Adopt(const ExposureInterval& interval);
    // The intervals still open or unresolved.
    std::vector<ExposureInterval> Pending() const;

private:
    struct Generator
    {
        std::optional<ConsoleInfo> info;
        std::optional<qint64> lastEventSeq;
        std::optional<ExposureInterval> open;
        std::vector<ExposureInterval> unresolved;
    };

    Generator& Of(const QString& generator);
    static void LoseContact(Generator& g, const QString& reason, Changes* changes);
    static void Resolve(Generator& g, const QDateTime& offAt, Changes* changes);

    QHash<QString, Generator> m_generators;
};

} // namespace ondrel::lab
