#include "labserve.h"

#include "fleetsubscriber.h"
#include "labcommands.h"
#include "labweb.h"
#include "liveservice.h"
#include "stderrwriter.h"
#include "topics.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QSocketNotifier>
#include <QTimeZone>
#include <QTimer>

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace ondrel::archive {

namespace {

constexpr int kRetentionBatchRows = 5000;
constexpr int kRetentionEveryMs = 60 * 60 * 1000;

} // namespace

std::optional<qint64> ApplyRetention(CArchive& archive, const QDateTime& now, int keepDays,
                                     QString* error)
{
    const QDateTime cutoff = now.addDays(-keepDays);
    qint64 deleted = 0;
    for (;;) {
        const std::optional<qint64> batch =
            archive.DeleteReadingsBefore(cutoff, kRetentionBatchRows, error);
        if (!batch)
            return std::nullopt;
        deleted += *batch;
        if (*batch < kRetentionBatchRows)
            return deleted;
    }
}

QByteArray ArchiveClientId(const QString& target, const MqttSettings& settings)
{
    // One id per archive and root, the same across restarts, so that the broker
    // keeps this archive's session (and the QoS 1 events sent meanwhile) for it;
    // two archives on one broker never share one.
    const QByteArray key =
        (target + QLatin1Char('\n') + settings.Endpoint() + QLatin1Char('\n') + settings.prefix)
            .toUtf8();
    return "ondrel-lab-" +
           QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(32);
}

std::unique_ptr<QObject> StartArchiveSubscriber(CArchive& archive, const MqttSettings& settings,
                                                QString* error)
{
    auto subscriber = std::make_unique<lab::CFleetSubscriber>(
        settings, ArchiveClientId(archive.Name(), settings));
    lab::CFleetSubscriber* s = subscriber.get();
    QObject::connect(s, &lab::CFleetSubscriber::messages, s,
                     [&archive, root = settings.prefix](const QList<lab::BrokerMessage>& batch) {
                         for (const lab::BrokerMessage& m : batch) {
                             const std::optional<lab::TopicParts> parts =
                                 lab::DecodeTopic(root, m.topic);
                             if (!parts)
                                 continue; // not a console's topic
                             ArchiveMessage a;
                             a.generator = parts->prefix;
                             a.subtopic = QString::fromLatin1(SubtopicName(parts->subtopic));
                             a.payload = m.payload;
                             a.received =
                                 QDateTime::fromMSecsSinceEpoch(m.receivedMs, QTimeZone::utc());
                             a.retained = m.retained;
                             a.tooLarge = m.tooLarge;
                             // A full queue is recorded by the archive as a gap.
                             archive.Enqueue(std::move(a));
                         }
                     });
    QObject::connect(s, &lab::CFleetSubscriber::statusMessage, s, [](const QString& text) {
        WriteStderr(QStringLiteral("ondrel-lab: %1\n").arg(text));
    });
    // From here on nothing sent under the root is missed: worth knowing on a
    // first start, when no session yet holds what came before.
    QObject::connect(s, &lab::CFleetSubscriber::subscribed, s, [root = settings.prefix] {
        WriteStderr(QStringLiteral("ondrel-lab: Broker: subscribed to %1/#\n").arg(root));
    });
    if (!subscriber->Start(error))
        return nullptr;
    return subscriber;
}

int RunServe(const LabOptions& options, const SubscriberStart& startSubscriber,
             const std::function<void(const QString&)>& say)
{
    // Taken before the writer thread starts, so that every thread leaves the
    // two stopFd to the descriptor: a stop commits what is queued.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    if (pthread_sigmask(SIG_BLOCK, &stops, nullptr) != 0) {
        say(QStringLiteral("serve: cannot take over SIGTERM and SIGINT"));
        return kExitFailed;
    }
    const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        say(QStringLiteral("serve: cannot take over SIGTERM and SIGINT"));
        return kExitFailed;
    }
    QSocketNotifier stopNotifier(stopFd, QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [stopFd] {
        signalfd_siginfo info;
        while (::read(stopFd, &info, sizeof info) == sizeof info) {
        }
        QCoreApplication::quit();
    });

    int code = 0;
    {
        ArchiveOptions archiveOptions;
        archiveOptions.complain = say;
        archiveOptions.beamZones = options.beamZones;
        QString error;
        std::unique_ptr<CArchive> archive =
            OpenArchiveForWriting(options.db, archiveOptions, &error);
        if (!archive) {
            say(error);
            ::close(stopFd);
            return kExitFailed;
        }
        const auto retain = [&] {
            QString why;
            const std::optional<qint64> deleted = ApplyRetention(
                *archive, QDateTime::currentDateTimeUtc(), options.keepReadingsDays, &why);
            if (!deleted)
                say(QStringLiteral("retention: %1").arg(why));
            else if (*deleted > 0)
                say(QStringLiteral("retention: %1 runs of readings older than %2 days deleted")
                        .arg(*deleted)
                        .arg(options.keepReadingsDays));
            return deleted.has_value();
        };
        if (!retain()) {
            ::close(stopFd);
            return kExitFailed;
        }
        std::unique_ptr<QObject> subscriber = startSubscriber(*archive, *options.mqtt, &error);
        if (!subscriber) {
            say(error);
            ::close(stopFd);
            return kExitFailed;
        }
        // Beside the archive, judged from the same subscriber's messages.
        std::unique_ptr<web::CLiveService> live;
        if (options.web) {
            const LabWebOptions& w = *options.web;
            web::WebOptions webOptions;
            webOptions.address = w.address;
            webOptions.port = w.port;
            webOptions.pageDir = w.pageDir;
            webOptions.usersFile = w.usersFile;
            webOptions.certFile = w.certFile;
            webOptions.keyFile = w.keyFile;
            webOptions.tlsShimDir = w.tlsShimDir;
            webOptions.clients = w.clients;
            // Read from the archive's own query connection, beside its writer.
            webOptions.handlers = HistoryHandlers(*archive, options.zone);
            live = std::make_unique<web::CLiveService>(webOptions, options.mqtt->prefix,
                                                       &QDateTime::currentMSecsSinceEpoch);
            if (auto* s = qobject_cast<lab::CFleetSubscriber*>(subscriber.get()))
                s->Feed(live.get());
            if (!live->Start(&error)) {
                say(QStringLiteral("web: %1").arg(error));
                subscriber.reset();
                ::close(stopFd);
                return kExitFailed;
            }
            say(QStringLiteral("web: the live page is on %1, its history on %1history.html")
                    .arg(live->Server().Url()));
        }
        QTimer hourly;
        QObject::connect(&hourly, &QTimer::timeout, retain);
        hourly.start(kRetentionEveryMs);
        code = QCoreApplication::exec();
        live.reset();
        subscriber.reset();
    }
    ::close(stopFd);
    return code;
}

} // namespace ondrel::archive
