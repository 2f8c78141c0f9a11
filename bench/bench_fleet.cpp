// What one fleet window carries: N synthetic consoles from child processes
// (libmosquitto, one client each under its own prefix, with its status, info,
// Last Will, a reading every 200 ms and an event every 2 s at QoS 1) against a
// local mosquitto, and the fleet (subscriber, model, window shown offscreen) in
// this process. For each N: the CPU of this process, the time from a reading's
// publication to the model (median and 99th percentile), resident memory, QoS 1
// events lost, and the time from one console's kill -9 to its tile's "Offline".
//
//   bench_fleet [--generators N]... [--seconds S]
//   (default: --generators 100 --generators 500 --generators 1000 --seconds 60)
#include "brokerrig.h"
#include "fleetsubscriber.h"
#include "fleetwindow.h"
#include "payloads.h"
#include "selfmeasure.h"
#include "syntheticconsoles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mosquitto.h>
#include <set>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace ondrel;
using namespace ondrel::fleet;
using namespace ondrel::lab;
using namespace ondrel::testing;
using namespace ondrel::bench;
using Clock = std::chrono::steady_clock;

namespace {

template <typename Predicate> void WaitFor(Predicate predicate, int ms, const char* what)
{
    if (!QTest::qWaitFor(predicate, ms))
        std::fprintf(stderr, "bench_fleet: gave up waiting for %s\n", what);
}

void Measure(int n, int seconds, int port, const char* self)
{
    const QString root = QStringLiteral("bench%1").arg(n);
    QString error;
    std::optional<MqttSettings> settings =
        ParseMqttUrl(QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(port).arg(root), "pc", &error);
    CFleetModel model(
        root, [] { return QDateTime::currentMSecsSinceEpoch(); }, nullptr,
        [](const QString& text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
    CFleetWindow window(&model);
    window.show();
    CFleetSubscriber subscriber(*settings);
    subscriber.Feed(&model);
    std::vector<double> latencies;
    bool measuring = false;
    std::set<std::pair<QString, qint64>> events;
    QObject::connect(
        &subscriber, &CFleetSubscriber::messages, &model, [&](const QList<FleetMessage>& batch) {
            // After the model has taken the batch: publication to model.
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            for (const FleetMessage& m : batch) {
                if (m.topic.endsWith(QLatin1String("/event"))) {
                    const int at = m.payload.indexOf("\"seq\":");
                    qint64 seq = 0;
                    for (int i = at + 6; i < m.payload.size() && std::isdigit(uchar(m.payload[i]));
                         ++i)
                        seq = seq * 10 + (m.payload[i] - '0');
                    events.insert({m.topic, seq});
                }
                if (!measuring)
                    continue;
                if (m.retained || !m.topic.endsWith(QLatin1String("/reading")))
                    continue;
                const int at = m.payload.indexOf("\"time\":\"");
                const QDateTime t = QDateTime::fromString(
                    QString::fromLatin1(m.payload.mid(at + 8, 24)), Qt::ISODateWithMs);
                latencies.push_back(double(now - t.toMSecsSinceEpoch()));
            }
        });
    if (!subscriber.Start(&error)) {
        std::fprintf(stderr, "bench_fleet: %s\n", qPrintable(error));
        return;
    }
    WaitFor([&] { return subscriber.Connected(); }, 10000, "the broker");

    SyntheticOptions synthetic;
    synthetic.count = n;
    synthetic.root = root;
    synthetic.port = port;
    synthetic.seconds = seconds + 10;
    std::vector<std::unique_ptr<QProcess>> children =
        StartSynthetic(QString::fromLocal8Bit(self), synthetic);
    QElapsedTimer sinceStart;
    sinceStart.start();
    WaitFor([&] { return model.rowCount() >= n; }, 60000, "every tile");
    std::fprintf(stderr, "bench_fleet: every tile after %.1f s\n", sinceStart.elapsed() / 1000.0);
    QTest::qWait(5000); // warm-up: retained topics, first batches
    const double cpu0 = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    measuring = true;
    QTest::qWait(seconds * 1000);
    measuring = false;
    const double cpu = (CpuSeconds() - cpu0) / (double(wall.elapsed()) / 1000.0);
    const long rss = StatusKb("VmRSS:");
    const long hwm = StatusKb("VmHWM:");
    const long sent = SyntheticEventsSent(children);
    QTest::qWait(2000);
    const long received = long(events.size());

    // One more console, killed.
    QProcess victim;
    SyntheticOptions lone;
    lone.root = root + "/kill";
    lone.port = port;
    lone.seconds = 600;
    victim.start(QString::fromLocal8Bit(self), SyntheticArguments(lone));
    victim.waitForStarted();
    WaitFor([&] { return model.Find("kill/gen0000") && model.Find("kill/gen0000")->reading; },
            30000, "the console to be killed");
    QElapsedTimer killed;
    ::kill(pid_t(victim.processId()), SIGKILL);
    killed.start();
    WaitFor(
        [&] {
            const Generator* g = model.Find("kill/gen0000");
            return g && g->state == State::Offline;
        },
        30000, "Offline");
    const double toOffline = double(killed.elapsed()) / 1000.0;
    victim.waitForFinished();

    if (latencies.empty())
        std::fprintf(stderr, "bench_fleet: no live reading reached the fleet while measuring\n");
    std::printf("N = %d (%d messages a second), %d s measured\n", n, n * 5 + n / 2, seconds);
    std::printf("  fleet process CPU: %.1f %% of a core\n", cpu * 100.0);
    std::printf("  publish-to-model latency: median %.0f ms, p99 %.0f ms (%zu readings)\n",
                Percentile(latencies, 0.5), Percentile(latencies, 0.99), latencies.size());
    std::printf("  resident memory: %.1f MiB (peak %.1f MiB)\n", double(rss) / 1024.0,
                double(hwm) / 1024.0);
    std::printf("  QoS 1 events: %ld sent, %ld received, %ld lost\n", sent, received,
                std::max(0L, sent - received));
    std::printf("  kill -9 to Offline: %.3f s\n", toOffline);
    std::printf("  tiles: %d; summary: %s\n", model.rowCount(), qPrintable(model.Summary()));
    std::fflush(stdout);
    subscriber.Stop();
}

} // namespace

int main(int argc, char* argv[])
{
    // A client takes three descriptors (its socket and a wake-up pair): a thousand
    // consoles, and the broker that serves them, need more than the usual 1,024.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    SyntheticOptions synthetic;
    if (IsSyntheticChild(argc, argv, &synthetic))
        return PublishSynthetic(synthetic);
    QList<int> sizes;
    int seconds = 60;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        const QByteArray v = i + 1 < argc ? QByteArray(argv[i + 1]) : QByteArray();
        if (a == "--generators")
            sizes << v.toInt(), ++i;
        else if (a == "--seconds")
            seconds = v.toInt(), ++i;
        else {
            std::printf("usage: bench_fleet [--generators N]... [--seconds S]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    if (sizes.isEmpty())
        sizes = {100, 500, 1000};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CBroker broker;
    QString error;
    if (!broker.Start(&error)) {
        std::fprintf(stderr, "bench_fleet: %s\n", qPrintable(error));
        return 1;
    }
    for (const int n : sizes)
        Measure(n, seconds, broker.plainPort, argv[0]);
    return 0;
}
