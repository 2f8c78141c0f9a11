// What MQTT telemetry costs and carries:
//   1. a console polling the simulated generator at line speed, publishing to a
//      local mosquitto: the CPU the publisher takes (the UI thread inside its
//      calls plus its network thread), and the time from a MON reply's last
//      character to a subscriber's receipt of the reading;
//   2. the same console while the broker is stopped and then frozen (SIGSTOP):
//      how late the FLT frames come against the 200 ms tick;
//   3. a fleet: N console programs (offscreen, --simulate) on one broker, with a
//      subscriber counting readings and events; the broker's CPU and the rate.
//
//   bench_mqtt [--seconds S] [--outage S] [--fleet N] [--fleet-seconds S]
//              [--no-console] [--no-fleet]
#include "brokerrig.h"
#include "generatorsim.h"
#include "mqttpublisher.h"
#include "mscomm.h"
#include "ondrelview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMainWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace ondrel;
using namespace ondrel::testing;
using Clock = std::chrono::steady_clock;

namespace {

struct Config
{
    int seconds = 60;
    int outageSeconds = 10;
    int fleet = 20;
    int fleetSeconds = 60;
    bool console = true;
    bool runFleet = true;
};

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// utime + stime of a process, or of one of our threads ("task/TID").
double ProcCpuSeconds(const QString& statPath)
{
    QFile f(statPath);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = f.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// Time on a CPU in nanoseconds from schedstat: finer than stat's clock ticks, which
// a thread that runs a few microseconds at a time would never reach.
double SchedCpuSeconds(const QString& schedstatPath)
{
    QFile f(schedstatPath);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return double(f.readAll().split(' ').value(0).toLongLong()) / 1e9;
}

// All threads of a process.
double ProcessSchedCpuSeconds(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    double sum = 0;
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        sum += SchedCpuSeconds(tasks.filePath(tid + "/schedstat"));
    return sum;
}

QString TelemetryThreadStat()
{
    const QDir tasks("/proc/self/task");
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + "/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "ondrel-mqtt")
            return tasks.filePath(tid + "/schedstat");
    }
    return QString();
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

bool Wait(const std::function<bool()>& condition, int ms)
{
    return QTest::qWaitFor(condition, ms);
}

// The simulator's traffic with the moment each line was logged: right after the
// frame was read or the reply written.
struct Traffic
{
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, std::string>> lines;
};

std::vector<Clock::time_point> Times(Traffic& t, const char* what, Clock::time_point from,
                                     Clock::time_point to)
{
    std::lock_guard<std::mutex> lock(t.mutex);
    std::vector<Clock::time_point> out;
    for (const auto& [when, line] : t.lines)
        if (when >= from && when < to && line.find(what) != std::string::npos)
            out.push_back(when);
    return out;
}

// How late each FLT frame came against the previous one plus 200 ms, in ms.
std::vector<double> Lateness(const std::vector<Clock::time_point>& flt)
{
    std::vector<double> late;
    for (size_t i = 1; i < flt.size(); ++i)
        late.push_back(std::chrono::duration<double, std::milli>(flt[i] - flt[i - 1]).count() -
                       200.0);
    return late;
}

std::string LatenessText(const std::vector<Clock::time_point>& flt)
{
    const std::vector<double> late = Lateness(flt);
    const long over = std::count_if(late.begin(), late.end(), [](double ms) { return ms > 20; });
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "%zu FLT frames, late against the 200 ms tick: median %.1f ms, max %.1f ms, "
                  "%ld by more than 20 ms",
                  flt.size(), Percentile(late, 0.5), Percentile(late, 1.0), over);
    return buf;
}

int RunConsole(const Config& config, CBroker& broker)
{
    Traffic traffic;
    sim::Options options;
    options.baudPace = true; // replies at the real line speed
    sim::CGeneratorSim generator(options);
    generator.SetLogSink([&](const std::string& line) {
        std::lock_guard<std::mutex> lock(traffic.mutex);
        traffic.lines.emplace_back(Clock::now(), line);
    });
    std::string simError;
    if (!generator.Start(&simError)) {
        std::fprintf(stderr, "bench_mqtt: simulator: %s\n", simError.c_str());
        return 1;
    }

    CSubscriber watcher;
    watcher.Connect(broker.plainPort, "bench/console/#");
    Wait([&] { return watcher.Subscribed(); }, 20000);

    QString error;
    MqttSettings settings = *ParseMqttUrl(
        QStringLiteral("mqtt://127.0.0.1:%1/bench/console").arg(broker.plainPort), "pc", &error);
    CMqttPublisher publisher(settings);
    QMainWindow window;
    auto* view = new COndrelView(CViewContext{QString::fromStdString(generator.SlavePath())});
    window.setCentralWidget(view);
    double uiCpu = 0;
    QObject::connect(view, &COndrelView::readingTaken, &publisher, [&](const Reading& r) {
        const double t0 = ThreadCpuSeconds();
        publisher.PublishReading(r);
        uiCpu += ThreadCpuSeconds() - t0;
    });
    QObject::connect(view, &COndrelView::consoleEvent, &publisher, [&](const ConsoleEvent& e) {
        const double t0 = ThreadCpuSeconds();
        publisher.PublishEvent(e);
        uiCpu += ThreadCpuSeconds() - t0;
    });
    if (!publisher.Start(&error)) {
        std::fprintf(stderr, "bench_mqtt: %s\n", qPrintable(error));
        return 1;
    }
    view->OnInitialUpdate();
    window.show();
    if (!Wait(
            [&] { return publisher.Connected() && watcher.On("bench/console/reading").size() > 5; },
            30000)) {
        std::fprintf(stderr, "bench_mqtt: no readings from the console\n");
        return 1;
    }

    // 1. Steady polling.
    const QString threadStat = TelemetryThreadStat();
    const double netCpu0 = SchedCpuSeconds(threadStat);
    const double procCpu0 = ProcCpuSeconds("/proc/self/stat");
    uiCpu = 0;
    const Clock::time_point start = Clock::now();
    QElapsedTimer wall;
    wall.start();
    Wait([&] { return wall.elapsed() >= config.seconds * 1000; }, config.seconds * 1000 + 5000);
    const Clock::time_point end = Clock::now();
    const double seconds = std::chrono::duration<double>(end - start).count();
    const double netCpu = SchedCpuSeconds(threadStat) - netCpu0;
    const double procCpu = ProcCpuSeconds("/proc/self/stat") - procCpu0;

    const std::vector<Clock::time_point> monReplies = Times(traffic, "-> <STX>0", start, end);
    std::vector<double> latencies;
    for (const Message& m : watcher.On("bench/console/reading")) {
        if (m.received < start || m.received >= end)
            continue;
        // The reading belongs to the last MON reply before it arrived.
        auto it = std::upper_bound(monReplies.begin(), monReplies.end(), m.received);
        if (it == monReplies.begin())
            continue;
        // The reply is logged as its first character goes out; at 9600 baud the
        // last of its 21 follows 20 character times later.
        const double ms =
            std::chrono::duration<double, std::milli>(m.received - *(it - 1)).count() -
            20 * 10.0 * 1000.0 / 9600.0;
        latencies.push_back(ms);
    }
    std::printf("console polling at line speed for %.0f s, publishing to mosquitto on loopback\n",
                seconds);
    std::printf("  readings received: %zu (%.2f a second)\n", latencies.size(),
                double(latencies.size()) / seconds);
    std::printf("  telemetry CPU: %.4f %% of a core (UI thread in publish calls %.4f %%, "
                "network thread %.4f %%); whole console process %.2f %%\n",
                100.0 * (uiCpu + netCpu) / seconds, 100.0 * uiCpu / seconds,
                100.0 * netCpu / seconds, 100.0 * procCpu / seconds);
    std::printf("  MON reply's last character to subscriber: median %.2f ms, 90th %.2f ms, "
                "max %.2f ms\n",
                Percentile(latencies, 0.5), Percentile(latencies, 0.9), Percentile(latencies, 1.0));
    std::printf("  %s\n", LatenessText(Times(traffic, "<- <STX>FLT", start, end)).c_str());

    // 2. Outages.
    for (const bool freeze : {false, true}) {
        const Clock::time_point from = Clock::now();
        if (freeze)
            broker.Freeze(true);
        else
            broker.Terminate();
        QElapsedTimer outage;
        outage.start();
        Wait([&] { return outage.elapsed() >= config.outageSeconds * 1000; },
             config.outageSeconds * 1000 + 5000);
        const Clock::time_point to = Clock::now();
        if (freeze) {
            broker.Freeze(false);
        } else if (!broker.Restart(&error)) {
            std::fprintf(stderr, "bench_mqtt: %s\n", qPrintable(error));
            return 1;
        }
        const std::vector<Clock::time_point> flt = Times(traffic, "<- <STX>FLT", from, to);
        std::printf("  broker %s for %d s: %s\n", freeze ? "frozen (SIGSTOP)" : "stopped",
                    config.outageSeconds, LatenessText(flt).c_str());
        Wait([&] { return publisher.Connected(); }, 60000);
    }
    std::printf("  events dropped by the publisher: %d\n", publisher.DroppedEvents());
    return 0;
}

int RunFleet(const Config& config, CBroker& broker, const QString& program)
{
    CSubscriber watcher;
    watcher.Connect(broker.plainPort, "fleet/#");
    Wait([&] { return watcher.Subscribed(); }, 20000);

    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.path());
    std::vector<std::unique_ptr<QProcess>> consoles;
    for (int i = 0; i < config.fleet; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->setStandardOutputFile(QProcess::nullDevice());
        p->start(program,
                 {"--simulate", "--mqtt",
                  QStringLiteral("mqtt://127.0.0.1:%1/fleet/gen%2").arg(broker.plainPort).arg(i)});
        consoles.push_back(std::move(p));
    }
    auto online = [&] {
        int n = 0;
        for (int i = 0; i < config.fleet; ++i) {
            const QList<Message> s = watcher.On(QStringLiteral("fleet/gen%1/status").arg(i));
            n += !s.isEmpty() && s.last().payload == "online";
        }
        return n;
    };
    Wait([&] { return online() == config.fleet; }, 120000);
    const int up = online();

    const double brokerCpu0 = ProcessSchedCpuSeconds(broker.Pid());
    double consolesCpu0 = 0;
    for (auto& p : consoles)
        consolesCpu0 += ProcCpuSeconds(QStringLiteral("/proc/%1/stat").arg(p->processId()));
    const Clock::time_point start = Clock::now();
    QElapsedTimer wall;
    wall.start();
    Wait([&] { return wall.elapsed() >= config.fleetSeconds * 1000; },
         config.fleetSeconds * 1000 + 5000);
    const Clock::time_point end = Clock::now();
    const double seconds = std::chrono::duration<double>(end - start).count();
    const double brokerCpu = ProcessSchedCpuSeconds(broker.Pid()) - brokerCpu0;
    double consolesCpu = -consolesCpu0;
    for (auto& p : consoles)
        consolesCpu += ProcCpuSeconds(QStringLiteral("/proc/%1/stat").arg(p->processId()));

    std::vector<double> rates;
    long total = 0;
    int lostEvents = 0;
    for (int i = 0; i < config.fleet; ++i) {
        const QString prefix = QStringLiteral("fleet/gen%1").arg(i);
        int n = 0;
        for (const Message& m : watcher.On(prefix + "/reading"))
            n += m.received >= start && m.received < end;
        rates.push_back(double(n) / seconds);
        total += n;
        // Every console announces its start and its version read.
        QStringList kinds;
        for (const Message& m : watcher.On(prefix + "/event"))
            kinds << QJsonDocument::fromJson(m.payload).object().value("event").toString();
        lostEvents += int(!kinds.contains("start")) + int(!kinds.contains("version"));
    }
    const long messages = long(watcher.Messages().size());
    for (auto& p : consoles) {
        p->terminate();
        if (!p->waitForFinished(10000))
            p->kill();
        p->waitForFinished(10000);
    }
    std::printf("fleet: %d consoles (%d online) publishing to one mosquitto for %.0f s\n",
                config.fleet, up, seconds);
    std::printf("  readings a second per console: min %.2f, median %.2f, max %.2f; "
                "%.1f a second in all\n",
                Percentile(rates, 0), Percentile(rates, 0.5), Percentile(rates, 1.0),
                double(total) / seconds);
    std::printf("  events lost: %d; messages the subscriber received in all: %ld\n", lostEvents,
                messages);
    std::printf("  broker CPU: %.2f %% of a core (%.1f us a reading in and out); "
                "consoles' CPU together: %.1f %%\n",
                100.0 * brokerCpu / seconds, total ? 1e6 * brokerCpu / double(total) : 0.0,
                100.0 * consolesCpu / seconds);
    if (total && brokerCpu > 0)
        std::printf("  extrapolated: one core of this machine's mosquitto carries about %.0f "
                    "readings a second, %.0f consoles at 5 a second\n",
                    double(total) / brokerCpu, double(total) / brokerCpu / 5.0);
    return lostEvents == 0 && up == config.fleet ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (a == "--seconds")
            config.seconds = next();
        else if (a == "--outage")
            config.outageSeconds = next();
        else if (a == "--fleet")
            config.fleet = next();
        else if (a == "--fleet-seconds")
            config.fleetSeconds = next();
        else if (a == "--no-console")
            config.console = false;
        else if (a == "--no-fleet")
            config.runFleet = false;
        else {
            std::fprintf(stderr, "usage: bench_mqtt [--seconds S] [--outage S] [--fleet N] "
                                 "[--fleet-seconds S] [--no-console] [--no-fleet]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    if (config.seconds < 1 || config.outageSeconds < 1 || config.fleet < 1 ||
        config.fleetSeconds < 1) {
        std::fprintf(stderr, "bench_mqtt: durations and counts must be positive\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    CBroker broker;
    QString error;
    if (!broker.Start(&error)) {
        std::fprintf(stderr, "bench_mqtt: %s\n", qPrintable(error));
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int rc = 0;
    if (config.console)
        rc |= RunConsole(config, broker);
    if (config.runFleet)
        rc |= RunFleet(config, broker, QStringLiteral(ONDREL_BINARY));
    return rc;
}
