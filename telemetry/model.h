// The readings and events a console announces: what observers (the exposure
// record, the trend, the MQTT publisher) receive. Plain values, copied across
// threads freely; the console keeps none of them.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <optional>

namespace ondrel {

// One completed poll, with the texts exactly as the form shows them.
struct Reading
{
    QDateTime time; // UTC, millisecond resolution
    QString kilovolts;
    QString microamps;
    QString temperature;
    QString faults;        // the fault verdict as shown
    QByteArray faultReply; // the raw FLT reply, as received
    bool fault = false;    // the verdict the faults text gives (IsFaultVerdict)

    // The read-outs as numbers where their text is one (see NumberFromText).
    std::optional<double> kilovoltsValue;
    std::optional<double> microampsValue;
    std::optional<double> temperatureValue;

    // Fills time and the *Value members from the texts.
    static Reading FromForm(const QDateTime& time, const QString& kilovolts,
                            const QString& microamps, const QString& temperature,
                            const QString& faults, const QByteArray& faultReply);
};

enum class EventKind
{
    Start,           // detail: the port and its settings
    PortError,       // detail: device and reason
    Version,         // detail: what the version field shows
    XrayOn,          // detail: the three frames sent
    XrayOff,         // only once ENBL0 was answered
    ClearFaults,     //
    Timeout,         // detail: which command
    ReadingsStopped, // the first timed-out poll
    Stop,            //
    RecordContinued, // detail: what became of the record's previous file
    // ENBL0 went unanswered: X-rays may still be on. Detail: "ENBL0".
    XrayOffUnanswered
};

struct ConsoleEvent
{
    QDateTime time; // UTC, millisecond resolution
    EventKind kind = EventKind::Start;
    QString detail;
};

// The event's name as records and topics spell it: "start", "port-error", ...
QString EventKindName(EventKind kind);
// The kind a name stands for; nothing for a name no console writes.
std::optional<EventKind> EventKindFromName(const QString& name);

// Whether the faults field's text is the verdict that the generator reports a
// fault: the one reading of the text that the console, its readings' "fault" flag
// and a watcher of older consoles that send no flag all share.
bool IsFaultVerdict(const QString& faults);

// Whether X-rays are, or may be, on, from what a console said: an xray-on event
// turns it on, only an answered switch-off (xray-off) turns it off. An unanswered
// one leaves it on, and so does the console's stop, which ends its knowledge of
// the generator but not the X-rays. A reading's own flag, from a console that
// counted the events itself, is taken as it comes.
class CXrayRule
{
public:
    // True when the event changes what is known.
    bool OnEvent(EventKind kind);
    void OnReadingFlag(bool xrayOn) { m_on = xrayOn; }
    bool On() const { return m_on; }

private:
    bool m_on = false;
};

// A read-out's text as a number when it is all digits with at most one decimal
// point ("080.5", "1100"); nothing otherwise, never a made-up zero.
std::optional<double> NumberFromText(const QString& text);

// ISO 8601 in UTC with milliseconds: 2026-12-08T06:22:47.123Z.
QString IsoTime(const QDateTime& time);

// Now, in UTC, truncated to the millisecond.
QDateTime TelemetryNow();

// Makes Reading and ConsoleEvent known to queued connections; safe to call often.
void RegisterTelemetryMetaTypes();

} // namespace ondrel

Q_DECLARE_METATYPE(ondrel::Reading)
Q_DECLARE_METATYPE(ondrel::ConsoleEvent)
