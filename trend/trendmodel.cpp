#include "trendmodel.h"

namespace ondrel {

namespace {

// A clock that steps back by more than this starts the trend afresh; smaller
// steps (a time server's nudge) are taken as no time passing.
constexpr qint64 kClockStepBackMs = 1000;

} // namespace

CTrendModel::CTrendModel(std::chrono::milliseconds keep) : m_keep(keep) {}

qint64 CTrendModel::Stamp(const QDateTime& time)
{
    qint64 msecs = time.toMSecsSinceEpoch();
    if (m_latest && msecs < *m_latest) {
        if (*m_latest - msecs > kClockStepBackMs) {
            m_samples.clear();
            m_spans.clear();
            m_markers.clear();
            m_stoppedSince.reset();
            m_latest.reset();
        } else {
            msecs = *m_latest;
        }
    }
    m_latest = msecs;
    ++m_revision;
    return msecs;
}

void CTrendModel::AddReading(const Reading& reading)
{
    const qint64 msecs = Stamp(reading.time);
    Sample sample;
    sample.msecs = msecs;
    sample.value[Kilovolts] = reading.kilovoltsValue;
    sample.value[Microamps] = reading.microampsValue;
    sample.value[Temperature] = reading.temperatureValue;
    sample.breakBefore =
        m_breakNext || (!m_samples.empty() && msecs - m_samples.back().msecs > kMaxStep.count());
    m_breakNext = false;
    m_stoppedSince.reset();
    m_samples.push_back(sample);
    Forget(msecs);
}

void CTrendModel::AddEvent(const ConsoleEvent& event)
{
    const qint64 msecs = Stamp(event.time);
    auto closeSpan = [&] {
        if (!m_spans.empty() && !m_spans.back().end)
            m_spans.back().end = msecs;
    };
    switch (event.kind) {
    case EventKind::XrayOn:
    case EventKind::XrayOffUnanswered: // still on, as far as anyone knows
        if (m_spans.empty() || m_spans.back().end)
            m_spans.push_back({msecs, std::nullopt});
        break;
    case EventKind::XrayOff:
    case EventKind::Stop:
        closeSpan();
        m_breakNext = m_breakNext || event.kind == EventKind::Stop;
        break;
    case EventKind::Start:
        // A new session knows nothing of the last one's X-rays.
        closeSpan();
        m_breakNext = true;
        break;
    case EventKind::Timeout:
        m_markers.push_back({msecs, event.kind,
                             event.detail.isEmpty() ? QStringLiteral("Time-out")
                                                    : QStringLiteral("Time-out: ") + event.detail});
        break;
    case EventKind::ReadingsStopped:
        m_markers.push_back({msecs, event.kind, QStringLiteral("Readings stopped")});
        m_stoppedSince = m_samples.empty() ? msecs : m_samples.back().msecs;
        m_breakNext = true;
        break;
    case EventKind::PortError:
    case EventKind::Version:
    case EventKind::ClearFaults:
    case EventKind::RecordContinued:
        break;
    }
    Forget(msecs);
}

void CTrendModel::Forget(qint64 now)
{
    const qint64 cutoff = now - m_keep.count();
    while (!m_samples.empty() &&
           (m_samples.front().msecs < cutoff || m_samples.size() > kMaxSamples))
        m_samples.pop_front();
    while (!m_spans.empty() &&
           ((m_spans.front().end && *m_spans.front().end < cutoff) || m_spans.size() > kMaxMarks))
        m_spans.pop_front();
    while (!m_markers.empty() && (m_markers.front().msecs < cutoff || m_markers.size() > kMaxMarks))
        m_markers.pop_front();
}

QString CTrendModel::StoppedText() const
{
    if (!m_stoppedSince)
        return QString();
    return QStringLiteral("No readings since %1")
        .arg(QDateTime::fromMSecsSinceEpoch(*m_stoppedSince)
                 .toLocalTime()
                 .toString(QStringLiteral("HH:mm:ss")));
}

} // namespace ondrel
