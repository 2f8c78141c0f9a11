#include "exposure.h"

#include <QRegularExpression>
#include <algorithm>

namespace ondrel::lab {

void Measure::Add(double value)
{
    max = count == 0 ? value : std::max(max, value);
    sum += value;
    ++count;
}

std::optional<double> Measure::Mean() const
{
    return count > 0 ? std::optional<double>(sum / double(count)) : std::nullopt;
}

std::optional<double> Measure::Max() const
{
    return count > 0 ? std::optional<double>(max) : std::nullopt;
}

QString EndStateName(EndState state)
{
    switch (state) {
    case EndState::Closed:
        return QStringLiteral("closed");
    case EndState::Uncertain:
        return QStringLiteral("uncertain");
    case EndState::Open:
        break;
    }
    return QStringLiteral("open");
}

std::optional<EndState> EndStateFromName(const QString& name)
{
    for (const EndState state : {EndState::Open, EndState::Closed, EndState::Uncertain}) {
        if (EndStateName(state) == name)
            return state;
    }
    return std::nullopt;
}

QString ChangeKindName(IntervalChange::Kind kind)
{
    switch (kind) {
    case IntervalChange::Kind::Closed:
        return QStringLiteral("closed");
    case IntervalChange::Kind::BecameUncertain:
        return QStringLiteral("uncertain");
    case IntervalChange::Kind::EarliestEndMoved:
        return QStringLiteral("earliest-end-moved");
    case IntervalChange::Kind::EndResolved:
        return QStringLiteral("end-resolved");
    case IntervalChange::Kind::Opened:
        break;
    }
    return QStringLiteral("opened");
}

SetPoint SetPointFromDetail(const QString& detail)
{
    // What follows a ';' is a note on the frames ("; unanswered ENBL1"), not a set point.
    const QString frames = detail.section(QLatin1Char(';'), 0, 0);
    static const QRegularExpression kv(QStringLiteral("(?:^|\\s)VP(\\d{4})(?=\\s|$)"));
    static const QRegularExpression ua(QStringLiteral("(?:^|\\s)CP(\\d{4})(?=\\s|$)"));
    SetPoint set;
    if (const QRegularExpressionMatch m = kv.match(frames); m.hasMatch())
        set.kilovolts = m.captured(1).toInt() / 10.0;
    if (const QRegularExpressionMatch m = ua.match(frames); m.hasMatch())
        set.microamps = m.captured(1).toInt();
    return set;
}

CExposureTracker::Generator& CExposureTracker::Of(const QString& generator)
{
    return m_generators[generator];
}

void CExposureTracker::LoseContact(Generator& g, const QString& reason, Changes* changes)
{
    if (!g.open)
        return;
    ExposureInterval interval = std::move(*g.open);
    g.open.reset();
    interval.endState = EndState::Uncertain;
    interval.endReason = reason;
    interval.latestEnd = QDateTime();
    g.unresolved.push_back(interval);
    changes->push_back({IntervalChange::Kind::BecameUncertain, std::move(interval)});
}

void CExposureTracker::Resolve(Generator& g, const QDateTime& offAt, Changes* changes)
{
    auto done =
        std::stable_partition(g.unresolved.begin(), g.unresolved.end(),
                              [&](const ExposureInterval& i) { return offAt < i.earliestEnd; });
    for (auto it = done; it != g.unresolved.end(); ++it) {
        it->latestEnd = offAt;
        changes->push_back({IntervalChange::Kind::EndResolved, std::move(*it)});
    }
    g.unresolved.erase(done, g.unresolved.end());
}

CExposureTracker::Changes CExposureTracker::OnEvent(const QString& generator,
                                                    const ConsoleEvent& event,
                                                    std::optional<qint64> seq)
{
    Generator& g = Of(generator);
    Changes changes;
    if (seq) {
        // 1 is a console that started again before its info said so.
        if (g.lastEventSeq && *seq <= *g.lastEventSeq && *seq != 1)
            return changes;
        g.lastEventSeq = seq;
    }
    switch (event.kind) {
    case EventKind::XrayOn:
        if (g.open) {
            g.open->earliestEnd = std::max(g.open->earliestEnd, event.time);
            break;
        }
        {
            ExposureInterval interval;
            interval.generator = generator;
            if (g.info) {
                interval.host = g.info->host;
                interval.user = g.info->user;
            }
            interval.start = event.time;
            interval.earliestEnd = event.time;
            const SetPoint set = SetPointFromDetail(event.detail);
            interval.setKilovolts = set.kilovolts;
            interval.setMicroamps = set.microamps;
            g.open = interval;
            changes.push_back({IntervalChange::Kind::Opened, std::move(interval)});
        }
        break;
    case EventKind::XrayOff:
        if (g.open) {
            ExposureInterval interval = std::move(*g.open);
            g.open.reset();
            interval.endState = EndState::Closed;
            interval.earliestEnd = interval.latestEnd = std::max(event.time, interval.start);
            interval.endReason = QStringLiteral("xray-off");
            changes.push_back({IntervalChange::Kind::Closed, std::move(interval)});
        }
        Resolve(g, event.time, &changes);
        break;
    case EventKind::XrayOffUnanswered:
        if (g.open)
            g.open->earliestEnd = std::max(g.open->earliestEnd, event.time);
        break;
    case EventKind::Stop:
        LoseContact(g, QStringLiteral("stop"), &changes);
        break;
    default:
        break;
    }
    return changes;
}

CExposureTracker::Changes CExposureTracker::OnReading(const QString& generator,
                                                      const Reading& reading,
                                                      const ReadCounters& counters)
{
    Generator& g = Of(generator);
    Changes changes;
    const std::optional<double> kv = reading.kilovoltsValue;
    // High voltage on the tube is X-rays possibly on, whatever a console that
    // started afresh believes; a measured zero is the beam off.
    const bool saysOn = counters.xrayOn.value_or(false) || (kv && *kv > 0);
    const bool saysOff = kv && *kv == 0;
    if (g.open) {
        if (reading.time >= g.open->start) {
            if (kv)
                g.open->kilovolts.Add(*kv);
            if (reading.microampsValue)
                g.open->microamps.Add(*reading.microampsValue);
        }
        if (saysOn)
            g.open->earliestEnd = std::max(g.open->earliestEnd, reading.time);
        return changes;
    }
    if (saysOff) {
        Resolve(g, reading.time, &changes);
    } else if (saysOn) {
        for (ExposureInterval& interval : g.unresolved) {
            if (reading.time > interval.earliestEnd) {
                interval.earliestEnd = reading.time;
                changes.push_back({IntervalChange::Kind::EarliestEndMoved, interval});
            }
        }
    }
    return changes;
}

CExposureTracker::Changes CExposureTracker::OnStatus(const QString& generator, ConsoleStatus status,
                                                     const QDateTime&)
{
    Changes changes;
    // Not responding is the console still there, still able to switch off.
    if (status == ConsoleStatus::Offline)
        LoseContact(Of(generator), QStringLiteral("offline"), &changes);
    return changes;
}

CExposureTracker::Changes CExposureTracker::OnInfo(const QString& generator,
                                                   const ConsoleInfo& info)
{
    Generator& g = Of(generator);
    Changes changes;
    if (g.info && g.info->started != info.started) {
        g.lastEventSeq.reset();
        LoseContact(g, QStringLiteral("restart"), &changes);
    }
    g.info = info;
    return changes;
}

void CExposureTracker::Adopt(const ExposureInterval& interval)
{
    Generator& g = Of(interval.generator);
    if (interval.endState == EndState::Open)
        g.open = interval;
    else if (interval.Unresolved())
        g.unresolved.push_back(interval);
}

std::vector<ExposureInterval> CExposureTracker::Pending() const
{
    std::vector<ExposureInterval> pending;
    for (const Generator& g : m_generators) {
        if (g.open)
            pending.push_back(*g.open);
        pending.insert(pending.end(), g.unresolved.begin(), g.unresolved.end());
    }
    return pending;
}

} // namespace ondrel::lab
