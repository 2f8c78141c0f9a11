// The MQTT payloads a console publishes, and the same payloads read back: the
// console writes them, a watcher of the broker (the fleet view, a test) reads
// them. Both directions live here so that they cannot drift apart.
#pragma once

#include "model.h"

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

// One reading as a JSON object: the texts exactly as the form shows them, and a
// *_value number only where the text is one.
QByteArray ReadingJson(const Reading& reading);
// One console event as a JSON object: time, event (the record's name), detail.
QByteArray EventJson(const ConsoleEvent& event);

// The payloads read back. Nothing, with *error saying what is wrong, for text
// that is not a JSON object of the right shape; unknown members are ignored, so
// a newer console's additions do not make its payloads unreadable.
std::optional<Reading> ReadingFromJson(const QByteArray& payload, QString* error);
std::optional<ConsoleEvent> EventFromJson(const QByteArray& payload, QString* error);

} // namespace ondrel
