// ondrel-lab serve: the archive kept open for writing, its retention, and the
// place where the broker's messages come in.
#pragma once

#include "archive.h"
#include "labcommandline.h"

#include <QObject>
#include <functional>
#include <memory>

namespace ondrel::archive {

// Raw readings that ended more than keepDays before now deleted, in batches
// that leave the writer room between them; how many runs of readings went.
// Events, intervals, roll-ups and gaps are never deleted: the chains stay whole.
std::optional<qint64> ApplyRetention(CArchive& archive, const QDateTime& now, int keepDays,
                                     QString* error);

// The broker side of serve. It subscribes to settings' root and Enqueues each
// message into archive as it arrives, until the object it returns is destroyed
// (always before the archive). Nothing, with *error, when it cannot start.
using SubscriberStart = std::function<std::unique_ptr<QObject>(
    CArchive& archive, const MqttSettings& settings, QString* error)>;

// Runs serve in the application's event loop until SIGTERM or SIGINT; say gets
// each message for standard error. The exit status.
int RunServe(const LabOptions& options, const SubscriberStart& startSubscriber,
             const std::function<void(const QString&)>& say);

// The client id an archive keeps on a broker: the same for the same target
// and root across restarts, another for any other.
QByteArray ArchiveClientId(const QString& target, const MqttSettings& settings);

// The subscriber that serve plugs in: the lab's read-only MQTT 5 subscriber on
// settings' root, with the archive's own client id and a kept session, every
// console's message enqueued as it arrives.
std::unique_ptr<QObject> StartArchiveSubscriber(CArchive& archive, const MqttSettings& settings,
                                                QString* error);

} // namespace ondrel::archive
