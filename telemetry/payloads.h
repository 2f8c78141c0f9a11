// The MQTT payloads a console publishes, and the same payloads read back: the
// console writes them, a watcher of the broker (the fleet view, a test) reads
// them. Both directions live here so that they cannot drift apart.
#pragma once

#include "model.h"
#include "topics.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace ondrel {

// The words of the retained status topic.
enum class ConsoleStatus
{
    Online,        // connected and the version read is done
    NotResponding, // from the first timed-out poll
    Offline        // a clean exit, or the broker's Last Will
};

QByteArray StatusPayload(ConsoleStatus status);
// Nothing for a word that is not one of the three (compared exactly).
std::optional<ConsoleStatus> StatusFromPayload(const QByteArray& payload);

// What a console counts since it started, sent along with each reading so that
// a watcher can tell a missed reading and an exposure still going on.
struct ReadingCounters
{
    qint64 seq = 0;             // 1 for the first reading, one more for each
    bool xrayOn = false;        // from xray-on until an answered xray-off (CXrayRule)
    double beamOnSeconds = 0.0; // time with X-rays on, sent with one decimal
};

// What a console says of itself, retained on the info topic.
struct ConsoleInfo
{
    QDateTime started; // UTC
    QString host;
    QString port; // the device path
    int periodMs = kDefaultPeriodMs;
    QString program; // "Ondrel 1.0.0.1"
    QString user;    // the operator's login name; empty when unknown or from an older console
};

// One reading as a JSON object: the texts exactly as the form shows them, and a
// *_value number only where the text is one; with counters, "seq", "xray_on",
// "beam_on_s" and "fault" (the reading's verdict) follow.
QByteArray ReadingJson(const Reading& reading);
QByteArray ReadingJson(const Reading& reading, const ReadingCounters& counters);
// One console event as a JSON object: time, event (the record's name), detail,
// and "seq" (from 1) when one is given.
QByteArray EventJson(const ConsoleEvent& event, qint64 seq = 0);
QByteArray InfoJson(const ConsoleInfo& info);

// The payloads read back. Nothing, with *error saying what is wrong, for text
// that is not a JSON object of the right shape; unknown members are ignored, so
// a newer console's additions do not make its payloads unreadable.
// The counters (seq, xray_on, beam_on_s) are read into *counters where present,
// and "fault" into the reading (without it, the verdict is read from the text);
// a member of the wrong type makes the whole payload unreadable, one missing
// stays empty (an older console sends none of them).
struct ReadCounters
{
    std::optional<qint64> seq;
    std::optional<bool> xrayOn;
    std::optional<double> beamOnSeconds;
};
std::optional<Reading> ReadingFromJson(const QByteArray& payload, QString* error,
                                       ReadCounters* counters = nullptr);
std::optional<ConsoleEvent> EventFromJson(const QByteArray& payload, QString* error,
                                          std::optional<qint64>* seq = nullptr);
std::optional<ConsoleInfo> InfoFromJson(const QByteArray& payload, QString* error);

} // namespace ondrel
