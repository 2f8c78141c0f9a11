// What the status poll makes of a reply, as pure functions of the reply's 8-bit
// text: the form only shows the results, so they can be checked (and fuzzed)
// without a window.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace ondrel {

// The faults field's two texts.
extern const char* const kNoErrorText;    // "No Error"
extern const char* const kFaultErrorText; // "Error.Please Clear"

// True only for the exact no-fault reply, STX "0 0 0 0 0 0 0 0 0" CR: any other
// character or length, even an unrecognised reply, counts as a fault.
bool IsNoFaultReply(const QByteArray& reply);

// The faults field's text for a fault reply.
QString FaultVerdictText(const QByteArray& reply);

// The three read-outs of a monitor reply, taken by character position and shown
// as received (no conversion, no digit check).
struct MonitorFields
{
    QString kilovolts;   // r[1] r[2] r[3] "." r[4]
    QString microamps;   // r[6] r[7] r[8] r[9]
    QString temperature; // r[11] r[12] r[13] "." r[14]
};

// The shortest monitor reply that holds every position read (0..14).
inline constexpr int kMonitorMinLength = 15;

// The read-outs of a monitor reply, or nothing for a reply that converted too
// short to hold them (a NUL in it, say): the fields then keep their last texts
// rather than show text from nowhere.
std::optional<MonitorFields> MonitorFieldsFrom(const QByteArray& reply);

} // namespace ondrel
