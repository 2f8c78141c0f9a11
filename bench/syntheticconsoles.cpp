#include "syntheticconsoles.h"

#include "model.h"

#include <QByteArray>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mosquitto.h>
#include <thread>

namespace ondrel::bench {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};

QByteArray Now()
{
    return IsoTime(TelemetryNow()).toUtf8();
}

// A reading as a console writes it; a varying one moves every read-out so that
// no two are the same.
QByteArray ReadingPayload(qint64 seq, bool varying)
{
    if (!varying)
        return "{\"time\":\"" + Now() +
               "\",\"kv\":\"080.5\",\"ua\":\"1100\",\"temperature\":\"025.0\","
               "\"faults\":\"No Error\",\"kv_value\":80.5,\"ua_value\":1100,"
               "\"temperature_value\":25,\"seq\":" +
               QByteArray::number(seq) + ",\"xray_on\":false,\"beam_on_s\":0.0,\"fault\":false}";
    const int kv = 800 + int(seq % 11);
    const int ua = 1090 + int((seq * 7) % 21);
    const int temp = 300 + int((seq / 3) % 400);
    auto tenths = [](int v) {
        return QByteArray::number(v / 10).rightJustified(3, '0') + '.' + QByteArray::number(v % 10);
    };
    return "{\"time\":\"" + Now() + "\",\"kv\":\"" + tenths(kv) + "\",\"ua\":\"" +
           QByteArray::number(ua) + "\",\"temperature\":\"" + tenths(temp) +
           "\",\"faults\":\"No Error\",\"kv_value\":" + QByteArray::number(kv / 10.0) +
           ",\"ua_value\":" + QByteArray::number(ua) +
           ",\"temperature_value\":" + QByteArray::number(temp / 10.0) +
           ",\"seq\":" + QByteArray::number(seq) +
           ",\"xray_on\":true,\"beam_on_s\":" + QByteArray::number(double(seq) / 5.0, 'f', 1) +
           ",\"fault\":false}";
}

} // namespace

QStringList SyntheticArguments(const SyntheticOptions& o)
{
    return {
        "--synthetic",           QString::number(o.first),   QString::number(o.count),      o.root,
        QString::number(o.port), QString::number(o.seconds), o.varying ? "varying" : "idle"};
}

bool IsSyntheticChild(int argc, char* argv[], SyntheticOptions* o)
{
    if (argc != 8 || std::strcmp(argv[1], "--synthetic") != 0)
        return false;
    o->first = std::atoi(argv[2]);
    o->count = std::atoi(argv[3]);
    o->root = QString::fromLocal8Bit(argv[4]);
    o->port = std::atoi(argv[5]);
    o->seconds = std::atoi(argv[6]);
    o->varying = std::strcmp(argv[7], "varying") == 0;
    return true;
}

int PublishSynthetic(const SyntheticOptions& o)
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
    const int n = o.count;
    std::vector<Gen> gens(static_cast<size_t>(n));
    std::atomic<long> acknowledged{0};
    for (int i = 0; i < n; ++i) {
        Gen& g = gens[size_t(i)];
        g.prefix =
            (o.root + QStringLiteral("/gen%1").arg(o.first + i, 4, 10, QLatin1Char('0'))).toUtf8();
        g.mosq = mosquitto_new(nullptr, true, &acknowledged);
        const QByteArray will = g.prefix + "/status";
        mosquitto_will_set(g.mosq, will.constData(), 7, "offline", 1, true);
        mosquitto_publish_callback_set(
            g.mosq, [](mosquitto*, void* a, int) { ++*static_cast<std::atomic<long>*>(a); });
        // A console's own keep-alive for a lone one (which a benchmark may kill);
        // the many get a long one, as connecting them all takes longer than 1.5
        // short ones.
        if (mosquitto_connect(g.mosq, "127.0.0.1", o.port, n == 1 ? 6 : 120) != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "synthetic console %d cannot connect\n", i);
            return 1;
        }
        const QByteArray info = "{\"host\":\"bench\",\"period_ms\":200,\"port\":\"/dev/pts/" +
                                QByteArray::number(i) +
                                "\",\"program\":\"Ondrel 1.0.0.1\",\"user\":\"bench\","
                                "\"started\":\"" +
                                Now() + "\"}";
        mosquitto_publish(g.mosq, nullptr, (g.prefix + "/info").constData(), int(info.size()),
                          info.constData(), 1, true);
        mosquitto_publish(g.mosq, nullptr, (g.prefix + "/version").constData(), 4, "2000", 1, true);
        mosquitto_publish(g.mosq, nullptr, (g.prefix + "/status").constData(), 6, "online", 1,
                          true);
        if (o.varying) {
            const QByteArray e = "{\"detail\":\"VP0805 CP1100 ENBL1\",\"event\":\"xray-on\","
                                 "\"seq\":" +
                                 QByteArray::number(++g.eventSeq) + ",\"time\":\"" + Now() + "\"}";
            mosquitto_publish(g.mosq, nullptr, (g.prefix + "/event").constData(), int(e.size()),
                              e.constData(), 1, false);
        }
        if (i % 50 == 49)
            for (int j = 0; j <= i; ++j)
                mosquitto_loop(gens[size_t(j)].mosq, 0, 1);
    }
    long sentEvents = o.varying ? n : 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(o.seconds);
    // The consoles' ticks spread over the 200 ms period, as real ones fall.
    constexpr int kSlots = 20;
    for (long tick = 0; !g_stop && Clock::now() < end; ++tick) {
        const int slot = int(tick % kSlots);
        for (int i = slot; i < n; i += kSlots) {
            Gen& g = gens[size_t(i)];
            const QByteArray r = ReadingPayload(++g.seq, o.varying);
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

std::vector<std::unique_ptr<QProcess>> StartSynthetic(const QString& self, SyntheticOptions o)
{
    constexpr int kPerProcess = 250;
    std::vector<std::unique_ptr<QProcess>> children;
    const int total = o.count;
    const int first = o.first;
    for (int at = 0; at < total; at += kPerProcess) {
        o.first = first + at;
        o.count = std::min(kPerProcess, total - at);
        auto child = std::make_unique<QProcess>();
        child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child->start(self, SyntheticArguments(o));
        child->waitForStarted();
        children.push_back(std::move(child));
    }
    return children;
}

long SyntheticEventsSent(std::vector<std::unique_ptr<QProcess>>& children)
{
    long sent = 0;
    for (auto& child : children) {
        child->waitForFinished(60000);
        const QByteArray out = child->readAllStandardOutput();
        sent += out.mid(out.indexOf("sent-events ") + 12).trimmed().toLong();
    }
    return sent;
}

} // namespace ondrel::bench
