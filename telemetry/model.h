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
    XrayOff,         //
    ClearFaults,     //
    Timeout,         // detail: which command
    ReadingsStopped, // the first timed-out poll
    Stop,            //
    RecordContinued  // detail: what became of the record's previous file
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
