// What the broker delivers under a root, read: whose topic it is, and its
// payload as the value the console meant, or why it cannot be read. The fleet
// window and the archive read every message this one way.
#pragma once

#include "model.h"
#include "payloads.h"
#include "topics.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <optional>

namespace ondrel::lab {

// One message as the broker delivered it.
struct BrokerMessage
{
    QString topic;
    QByteArray payload; // empty when tooLarge
    bool retained = false;
    bool tooLarge = false; // over kPayloadLimit: counted, not kept
    qint64 receivedMs = 0; // this computer's clock, ms since the epoch
};

// No console sends anything near it; a larger payload is not read.
constexpr qint64 kPayloadLimit = 1024 * 1024;

struct TopicParts
{
    QString prefix; // the console's full topic prefix, root included
    QString name;   // the prefix without the root
    Subtopic subtopic = Subtopic::Status;
};

// Nothing for a topic outside `root` (given without a trailing '/'), the root's
// own, or one whose last level is not a console's subtopic (a newer console's,
// or someone else's). A deeper prefix is a console of its own.
std::optional<TopicParts> DecodeTopic(const QString& root, const QString& topic);

struct Payload
{
    Subtopic subtopic = Subtopic::Status;
    QString unreadable;    // why it cannot be read; empty when it can
    bool tooLarge = false; // unreadable without having been looked at
    std::optional<ConsoleStatus> status;
    QString version;
    std::optional<ConsoleInfo> info;
    std::optional<Reading> reading;
    ReadCounters counters; // the reading's
    std::optional<ConsoleEvent> event;
    std::optional<qint64> seq; // the event's

    bool Readable() const { return unreadable.isEmpty(); }
};

Payload DecodePayload(Subtopic subtopic, const QByteArray& payload, bool tooLarge = false);

} // namespace ondrel::lab

Q_DECLARE_METATYPE(ondrel::lab::BrokerMessage)
