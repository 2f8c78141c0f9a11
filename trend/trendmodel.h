// What the trend window draws, kept apart from the drawing so that it goes on
// collecting while the window is hidden and can be checked without painting:
// the last hour of readings in a bounded ring, the spans with X-rays on, and
// the moments of time-outs and of readings stopping.
#pragma once

#include "model.h"

#include <QString>
#include <chrono>
#include <deque>
#include <optional>

namespace ondrel {

class CTrendModel
{
public:
    enum Quantity
    {
        Kilovolts,
        Microamps,
        Temperature,
        QuantityCount
    };

    struct Sample
    {
        qint64 msecs = 0; // since the epoch, UTC
        std::optional<double> value[QuantityCount];
        // No line may join this sample to the one before: the readings stopped
        // or were far apart in between.
        bool breakBefore = false;
    };

    struct Span
    {
        qint64 begin = 0;
        std::optional<qint64> end; // none while X-rays are still on
    };

    struct Marker
    {
        qint64 msecs = 0;
        EventKind kind = EventKind::Timeout;
        QString label;
    };

    static constexpr std::chrono::milliseconds kKeep = std::chrono::hours(1);
    // Readings further apart than this are not joined by a line.
    static constexpr std::chrono::milliseconds kMaxStep = std::chrono::seconds(10);
    // Caps that hold even if readings or events come far faster than a poll.
    static constexpr size_t kMaxSamples = 36000;
    static constexpr size_t kMaxMarks = 2000;

    explicit CTrendModel(std::chrono::milliseconds keep = kKeep);

    void AddReading(const Reading& reading);
    void AddEvent(const ConsoleEvent& event);

    const std::deque<Sample>& Samples() const { return m_samples; }
    const std::deque<Span>& XraySpans() const { return m_spans; }
    const std::deque<Marker>& Markers() const { return m_markers; }

    // The latest moment anything happened: where the time axis ends.
    std::optional<qint64> EndMsecs() const { return m_latest; }
    // "No readings since HH:MM:SS" (local time of the last reading) once the
    // readings stopped, empty while they come.
    QString StoppedText() const;

    // Grows with every change, so a view can tell whether to redraw.
    quint64 Revision() const { return m_revision; }

private:
    // The time in msecs, kept in order however the wall clock moves.
    qint64 Stamp(const QDateTime& time);
    void Forget(qint64 now);

    std::chrono::milliseconds m_keep;
    std::deque<Sample> m_samples;
    std::deque<Span> m_spans;
    std::deque<Marker> m_markers;
    std::optional<qint64> m_latest;
    std::optional<qint64> m_stoppedSince;
    bool m_breakNext = false;
    quint64 m_revision = 0;
};

} // namespace ondrel
