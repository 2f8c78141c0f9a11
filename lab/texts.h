// What is said of generators and alarms, word for word as the fleet window says
// it, so that the web page and the archive's reports say it alike. Clock times
// are this computer's local time.
#pragma once

#include "alarmlatch.h"
#include "generator.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace ondrel::lab {

QString StateText(State state);
QString ClockText(qint64 ms); // HH:MM:SS
// "1 event missed", "3 events missed".
QString Plural(qint64 n, const char* one, const char* many);
// "4 s old", "2 min old", ...; empty while at most a second old.
QString AgeText(qint64 sinceMs, qint64 now);

// "gen1: Ready".
QString GeneratorText(const Generator& g);
// kV, µA and temperature; each with its age where it has one when withAge.
// Empty without a reading.
QStringList ReadoutTexts(const Generator& g, qint64 now, bool withAge);
QString VersionText(const Generator& g);    // "firmware 2000", or empty
QString BeamTimeText(const Generator& g);   // "X-ray time 1.5 s", or empty
QString LastHeardText(const Generator& g);  // "last heard 06:22:50", or empty if never
QStringList EventTexts(const Generator& g); // "06:22:50 xray-on", newest first
QString LostText(qint64 lostMs);
// What a tile notes beside its state. contact: whether the watcher has the broker
// now; lostMs: since when it has not.
QStringList NoteTexts(const Generator& g, bool contact, qint64 lostMs);

// The line over the tiles: "12 generators: 2 X-rays on, 1 fault; 3 alarms
// unacknowledged".
struct FleetCounts
{
    qint64 generators = 0;
    int ofState[int(State::Unknown) + 1] = {};
    int unacknowledged = 0;
    std::optional<qint64> lostMs;  // the broker, once had, lost since then
    std::optional<int> shownLimit; // only the first ones are shown
};
QString SummaryText(const FleetCounts& counts);

QString AlarmText(const Alarm& a);        // "gen1: Offline"
QString AlarmLine(const Alarm& a);        // "06:22:47  gen1: Offline (acknowledged)"
QString AlarmDescription(const Alarm& a); // "raised 06:22:47; unacknowledged; still so"

} // namespace ondrel::lab
