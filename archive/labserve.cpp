#include "labserve.h"

#include "labcommands.h"

#include <QCoreApplication>
#include <QSocketNotifier>
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

std::unique_ptr<QObject> StartArchiveSubscriber(CArchive& /*archive*/, const MqttSettings& settings,
                                                QString* /*error*/)
{
    // The broker subscription plugs in here: a read-only MQTT 5 subscriber like
    // the fleet's, on settings' root, feeding CArchive::Enqueue.
    qWarning("ondrel-lab: serve: the broker subscription (%s under %s) is not in this build yet; "
             "only retention runs",
             qPrintable(settings.Endpoint()), qPrintable(settings.prefix));
    return std::make_unique<QObject>();
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
        QTimer hourly;
        QObject::connect(&hourly, &QTimer::timeout, retain);
        hourly.start(kRetentionEveryMs);
        code = QCoreApplication::exec();
        subscriber.reset();
    }
    ::close(stopFd);
    return code;
}

} // namespace ondrel::archive
