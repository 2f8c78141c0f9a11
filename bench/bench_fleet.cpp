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
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<bool> g_stop{false};

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long StatusKb(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    return -1;
}

QByteArray Now()
{
    return IsoTime(TelemetryNow()).toUtf8();
}

// A child: N consoles' worth of messages until SIGTERM or `seconds` are up;
// prints the events it sent at QoS 1 and that the broker acknowledged.
int Publish(int first, int n, const QString& root, int port, int seconds)
{
    std::signal(SIGTERM, [](int) { g_stop = true; });
    mosquitto_lib_init();
    struct Gen
    {
        mosquitto* mosq = nullptr;
        QByteArray prefix;
        qint64 seq = 0;
        qint64 eventSeq = 0;
    };
    std::vector<Gen> gens(static_cast<size_t>(n));
    std::atomic<long> acknowledged{0};
    for (int i = 0; i < n; ++i) {
        Gen& g = gens[size_t(i)];
        g.prefix =
            (root + QStringLiteral("/gen%1").arg(first + i, 4, 10, QLatin1Char('0'))).toUtf8();
        g.mosq = mosquitto_new(nullptr, true, &acknowledged);
        const QByteArray will = g.prefix + "/status";
        mosquitto_will_set(g.mosq, will.constData(), 7, "offline", 1, true);
        mosquitto_publish_callback_set(
            g.mosq, [](mosquitto*, void* a, int) { ++*static_cast<std::atomic<long>*>(a); });
        // A console's own keep-alive for the one that is killed; the many get a long
        // one, as connecting them all takes longer than 1.5 short ones.
        if (mosquitto_connect(g.mosq, "127.0.0.1", port, n == 1 ? 6 : 120) != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "bench_fleet: generator %d cannot connect\n", i);
            return 1;
        }
        const QByteArray info = "{\"host\":\"bench\",\"period_ms\":200,\"port\":\"/dev/pts/" +
                                QByteArray::number(i) +
                                "\",\"program\":\"Ondrel 1.0.0.1\","
                                "\"started\":\"" +
                                Now() + "\"}";
        mosquitto_publish(g.mosq, nullptr, (g.prefix + "/info").constData(), int(info.size()),
                          info.constData(), 1, true);
        mosquitto_publish(g.mosq, nullptr, (g.prefix + "/version").constData(), 4, "2000", 1, true);
        mosquitto_publish(g.mosq, nullptr, (g.prefix + "/status").constData(), 6, "online", 1,
                          true);
        if (i % 50 == 49)
            for (int j = 0; j <= i; ++j)
                mosquitto_loop(gens[size_t(j)].mosq, 0, 1);
    }
    long sentEvents = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    // The consoles' ticks spread over the 200 ms period, as real ones fall.
    constexpr int kSlots = 20;
    for (long tick = 0; !g_stop && Clock::now() < end; ++tick) {
        const int slot = int(tick % kSlots);
        for (int i = slot; i < n; i += kSlots) {
            Gen& g = gens[size_t(i)];
            const QByteArray r = "{\"time\":\"" + Now() +
                                 "\",\"kv\":\"080.5\",\"ua\":\"1100\",\"temperature\":\"025.0\","
                                 "\"faults\":\"No Error\",\"kv_value\":80.5,\"ua_value\":1100,"
                                 "\"temperature_value\":25,\"seq\":" +
                                 QByteArray::number(++g.seq) +
                                 ",\"xray_on\":false,\"beam_on_s\":0.0}";
            mosquitto_publish(g.mosq, nullptr, (g.prefix + "/reading").constData(), int(r.size()),
                              r.constData(), 0, true);
            if (g.seq % 10 == 0) {
                const QByteArray e = "{\"detail\":\"FLT\",\"event\":\"timeout\",\"seq\":" +
                                     QByteArray::number(++g.eventSeq) + ",\"time\":\"" + Now() +
                                     "\"}";
                mosquitto_publish(g.mosq, nullptr, (g.prefix + "/event").constData(), int(e.size()),
                                  e.constData(), 1, false);
                ++sentEvents;
            }
        }
        for (Gen& g : gens) {
            const int rc = mosquitto_loop(g.mosq, 0, 1);
            if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST)
                mosquitto_reconnect(g.mosq);
        }
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (tick + 1)));
    }
    // Let the last acknowledgements in.
    const auto grace = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < grace)
        for (Gen& g : gens)
            mosquitto_loop(g.mosq, 1, 1);
    std::printf("sent-events %ld\n", sentEvents);
    std::fflush(stdout);
    for (Gen& g : gens) {
        mosquitto_publish(g.mosq, nullptr, (g.prefix + "/status").constData(), 7, "offline", 1,
                          true);
        mosquitto_loop(g.mosq, 10, 1);
        mosquitto_disconnect(g.mosq);
        mosquitto_loop(g.mosq, 10, 1);
        mosquitto_destroy(g.mosq);
    }
    return 0;
}

template <typename Predicate> void WaitFor(Predicate predicate, int ms, const char* what)
{
    if (!QTest::qWaitFor(predicate, ms))
        std::fprintf(stderr, "bench_fleet: gave up waiting for %s\n", what);
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
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

    // At most 250 consoles a process: the library's loop waits in select(), which
    // sees no descriptor above 1,023, and each client holds three.
    constexpr int kPerProcess = 250;
    std::vector<std::unique_ptr<QProcess>> children;
    for (int first = 0; first < n; first += kPerProcess) {
        auto child = std::make_unique<QProcess>();
        child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child->start(QString::fromLocal8Bit(self),
                     {"--first", QString::number(first), "--publish",
                      QString::number(std::min(kPerProcess, n - first)), "--root", root, "--port",
                      QString::number(port), "--seconds", QString::number(seconds + 10)});
        child->waitForStarted();
        children.push_back(std::move(child));
    }
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
    long sent = 0;
    for (auto& child : children) {
        child->waitForFinished(60000);
        const QByteArray out = child->readAllStandardOutput();
        sent += out.mid(out.indexOf("sent-events ") + 12).trimmed().toLong();
    }
    QTest::qWait(2000);
    const long received = long(events.size());

    // One more console, killed.
    QProcess victim;
    victim.start(QString::fromLocal8Bit(self),
                 {"--publish", "1", "--root", root + "/kill", "--port", QString::number(port),
                  "--seconds", "600"});
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
    QList<int> sizes;
    int seconds = 60;
    int publish = 0;
    int first = 0;
    QString root;
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        const QByteArray v = i + 1 < argc ? QByteArray(argv[i + 1]) : QByteArray();
        if (a == "--generators")
            sizes << v.toInt(), ++i;
        else if (a == "--seconds")
            seconds = v.toInt(), ++i;
        else if (a == "--first")
            first = v.toInt(), ++i;
        else if (a == "--publish")
            publish = v.toInt(), ++i;
        else if (a == "--root")
            root = QString::fromLocal8Bit(v), ++i;
        else if (a == "--port")
            port = v.toInt(), ++i;
        else {
            std::printf("usage: bench_fleet [--generators N]... [--seconds S]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    if (publish > 0)
        return Publish(first, publish, root, port, seconds);
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
