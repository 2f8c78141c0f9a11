// What the lab's web service costs and how fast it shows the truth.
//
// `ondrel-lab serve --listen` as a child, as a lab runs it, against a local
// mosquitto and N synthetic consoles (child processes, beam-on readings that
// all differ, 5 a second each). A few of the N are probes published from this
// process, each reading's time stamped at publish and its µA a counter, so that
// the reading can be recognised when the page shows it.
//
//   page weight       the live page's files as served (Chart.js is not one)
//   first paint       Chromium's first-contentful-paint of the live page on a
//                     fresh load with the whole fleet known, and when the
//                     snapshot's tiles were painted
//   latency           publish to the page's applying of it, in Chromium (the
//                     page's window.ondrelLastApplied)
//   C viewers         lightweight WebSocket clients in this process: the
//                     serving process's CPU from /proc, bytes and messages a
//                     second per client
//
//   bench_web [--generators N] [--seconds S] [--clients C]
#include "brokerrig.h"
#include "browserdriver.h"
#include "figureline.h"
#include "model.h"
#include "payloads.h"
#include "selfmeasure.h"
#include "syntheticconsoles.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <civetweb.h>
#include <cstdio>
#include <mutex>
#include <thread>

using namespace ondrel;
using namespace ondrel::bench;
using namespace ondrel::testing;

namespace {

constexpr int kProbes = 10;
const QString kRoot = QStringLiteral("webbench");

// A viewer on /live that counts what it receives and keeps the first message.
class CCountingViewer
{
public:
    // `shows`: the generators whose tiles it says it shows, as a page would.
    explicit CCountingViewer(int port, int shows = 0)
    {
        char error[256] = {};
        m_conn =
            mg_connect_websocket_client("127.0.0.1", port, 0, error, sizeof error, "/live", nullptr,
                                        &CCountingViewer::OnData, &CCountingViewer::OnClose, this);
        if (!m_conn) {
            m_error = QString::fromLocal8Bit(error);
            return;
        }
        QJsonArray shown;
        for (int i = 0; i < shows; ++i)
            shown.append(i);
        const QByteArray said =
            QJsonDocument(QJsonObject{{"shows", shown}}).toJson(QJsonDocument::Compact);
        if (shows > 0)
            mg_websocket_client_write(m_conn, MG_WEBSOCKET_OPCODE_TEXT, said.constData(),
                                      size_t(said.size()));
    }
    ~CCountingViewer()
    {
        if (m_conn)
            mg_close_connection(m_conn);
    }
    bool Connected() const { return m_conn != nullptr; }
    QString Error() const { return m_error; }
    bool Closed() const { return m_closed; }
    qint64 Bytes() const { return m_bytes; }
    qint64 Messages() const { return m_messages; }
    QByteArray First() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_firstDone ? m_first : QByteArray();
    }

private:
    static int OnData(mg_connection*, int bits, char* data, size_t size, void* self)
    {
        auto* v = static_cast<CCountingViewer*>(self);
        v->m_bytes += qint64(size);
        const bool fin = (bits & 0x80) != 0;
        if (fin)
            ++v->m_messages;
        std::lock_guard<std::mutex> lock(v->m_mutex);
        if (!v->m_firstDone) {
            v->m_first.append(data, qsizetype(size));
            v->m_firstDone = fin;
        }
        return 1;
    }
    static void OnClose(const mg_connection*, void* self)
    {
        static_cast<CCountingViewer*>(self)->m_closed = true;
    }
    mg_connection* m_conn = nullptr;
    QString m_error;
    std::atomic<bool> m_closed{false};
    std::atomic<qint64> m_bytes{0};
    std::atomic<qint64> m_messages{0};
    mutable std::mutex m_mutex;
    QByteArray m_first;
    bool m_firstDone = false;
};

// The live page's files as a browser fetches them: index.html and what it names.
qint64 PageWeight(const QString& pageDir, QStringList* files)
{
    QFile index(QDir(pageDir).filePath("index.html"));
    if (!index.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray html = index.readAll();
    qint64 total = html.size();
    *files << "index.html";
    static const QRegularExpression named(R"re((?:src|href)="/?([A-Za-z0-9_.-]+\.(?:js|css)))re");
    for (auto m = named.globalMatch(QString::fromUtf8(html)); m.hasNext();) {
        const QString name = m.next().captured(1);
        if (name == QLatin1String("chart.js") || files->contains(name))
            continue;
        const QFileInfo file(QDir(pageDir).filePath(name));
        if (!file.exists())
            continue;
        total += file.size();
        *files << name;
    }
    return total;
}

// Probes publish from a thread of their own: the Qt thread waits on Chromium.
class CProbes
{
public:
    bool Start(int port, QString* error)
    {
        if (!m_client.Connect(port, QStringLiteral("nothing/#"))) {
            *error = QStringLiteral("the probes' publisher cannot connect to the broker");
            return false;
        }
        for (int p = 0; p < kProbes; ++p)
            m_client.Publish(Prefix(p) + "/status", StatusPayload(ConsoleStatus::Online), 1, true);
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    ~CProbes()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    static QString Prefix(int p)
    {
        return kRoot + QStringLiteral("/probe%1").arg(p, 2, 10, QLatin1Char('0'));
    }
    // When the reading the page shows as `ua` for `prefix` was published; -1 if
    // no such reading was.
    qint64 Published(const QString& prefix, const QString& ua) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_published.value(prefix + '|' + ua, -1);
    }
    qint64 Sent() const { return m_sent; }

private:
    void Run()
    {
        qint64 counter = 0;
        auto next = std::chrono::steady_clock::now();
        while (!m_stop) {
            ++counter;
            // Spread over the period, so that the probes meet the service's
            // rounds at every phase and the figure is not one phase's luck.
            for (int p = 0; p < kProbes; ++p) {
                std::this_thread::sleep_until(next + std::chrono::milliseconds(200 * p / kProbes));
                const QString ua = QString::number(1000 + counter % 9000);
                const QDateTime now = QDateTime::currentDateTimeUtc();
                const Reading r = Reading::FromForm(now, "080.5", ua, "025.0", "No Error", {});
                ReadingCounters counters;
                counters.xrayOn = true;
                counters.seq = counter;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_published.insert(Prefix(p) + '|' + ua, now.toMSecsSinceEpoch());
                }
                m_client.Publish(Prefix(p) + "/reading", ReadingJson(r, counters), 0);
                ++m_sent;
            }
            next += std::chrono::milliseconds(200);
            std::this_thread::sleep_until(next);
        }
    }
    CSubscriber m_client;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_sent{0};
    mutable std::mutex m_mutex;
    QHash<QString, qint64> m_published;
};

// Records, before the page's own script runs, each probe's reading as the page
// applies it, and when the first snapshot was applied and painted.
const char* kCollector = R"js(
(function () {
  const b = window.benchWeb = { applied: null, painted: null, probes: [], messages: 0, shows: 0 };
  let last;
  Object.defineProperty(window, "ondrelLastApplied", {
    configurable: true,
    get() { return last; },
    set(v) {
      last = v;
      b.messages++;
      if (b.applied === null) {
        b.applied = v.at - performance.timeOrigin;
        requestAnimationFrame(() => setTimeout(() => {
          b.painted = Date.now() - performance.timeOrigin;
        }, 0));
      }
      for (const [id, readouts] of v.read)
        if (id.indexOf("/probe") >= 0 && readouts.length > 1)
          b.probes.push([id, readouts[1].split(" ")[0], v.at]);
    }
  });
  // How many tiles the page says it shows, for the viewers that stand in for it.
  const send = WebSocket.prototype.send;
  WebSocket.prototype.send = function (data) {
    b.shows = JSON.parse(data).shows.length;
    return send.call(this, data);
  };
})();
)js";

QByteArray Get(int port, const char* path, int* status)
{
    char error[256] = {};
    mg_connection* conn = mg_download("127.0.0.1", port, 0, error, sizeof error,
                                      "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", path);
    *status = 0;
    if (!conn)
        return QByteArray();
    *status = mg_get_response_info(conn)->status_code;
    QByteArray body;
    char buffer[8192];
    for (int n; (n = mg_read(conn, buffer, sizeof buffer)) > 0;)
        body.append(buffer, n);
    mg_close_connection(conn);
    return body;
}

// Chromium's own counters of the page's main thread: seconds in tasks, script,
// layout and style since the page was loaded.
QHash<QString, double> PageMetrics(CBrowser& browser)
{
    QHash<QString, double> metrics;
    const QJsonObject got =
        browser.Call({{"op", "cdp"}, {"cmd", "Performance.getMetrics"}}).toObject();
    for (const QJsonValue& m : got["metrics"].toArray())
        metrics.insert(m["name"].toString(), m["value"].toDouble());
    return metrics;
}

// A fresh viewer's snapshot: the service's state now, with no queue behind it.
QJsonObject Snapshot(int port)
{
    CCountingViewer viewer(port);
    QByteArray first;
    QDeadlineTimer deadline(10000);
    while (viewer.Connected() && (first = viewer.First()).isEmpty() && !deadline.hasExpired())
        QTest::qWait(50);
    return QJsonDocument::fromJson(first).object();
}

// The generators the service knows; 0 if no snapshot came.
int FleetSize(int port)
{
    return int(Snapshot(port)["generators"].toArray().size());
}

} // namespace

int main(int argc, char* argv[])
{
    SyntheticOptions synthetic;
    if (IsSyntheticChild(argc, argv, &synthetic))
        return PublishSynthetic(synthetic);

    int n = 1000, seconds = 30, clients = 200;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        const int v = i + 1 < argc ? QByteArray(argv[i + 1]).toInt() : 0;
        if (a == "--generators" && v > kProbes)
            n = v;
        else if (a == "--seconds" && v > 0)
            seconds = v;
        else if (a == "--clients" && v > 0)
            clients = v;
        else {
            std::fprintf(stderr,
                         "usage: bench_web [--generators N (more than %d)] [--seconds S] "
                         "[--clients C]\n",
                         kProbes);
            return 2;
        }
        ++i;
    }
    QCoreApplication app(argc, argv);
    mg_init_library(MG_FEATURES_WEBSOCKET);

    std::printf("bench_web: %d generators (%d of them probes) at 5 readings a second, %d s a "
                "measurement, %d viewers\n",
                n, kProbes, seconds, clients);
    QStringList files;
    const qint64 weight = PageWeight(ONDREL_PAGE_DIR, &files);
    Line("page weight, Chart.js excluded",
         QStringLiteral("%1 KB (%2)").arg(double(weight) / 1024, 0, 'f', 1).arg(files.join(", ")),
         "<= 100 KB", weight >= 0 && weight <= 100 * 1024);

    QString error;
    CBroker broker;
    if (!broker.Start(&error)) {
        std::fprintf(stderr, "bench_web: %s\n", qPrintable(error));
        return 1;
    }
    QTemporaryDir dir;
    const int webPort = FreePort();
    QProcess lab;
    lab.setProcessChannelMode(QProcess::MergedChannels);
    lab.setStandardOutputFile(dir.filePath("lab.log"));
    lab.start(ONDREL_LAB_BINARY,
              {"serve", QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(broker.plainPort).arg(kRoot),
               "--db", dir.filePath("lab.sqlite"), "--listen",
               QStringLiteral("127.0.0.1:%1").arg(webPort), "--web-clients",
               QString::number(clients + 10)});
    int status = 0;
    for (QDeadlineTimer up(20000); status != 200 && !up.hasExpired(); QTest::qWait(100))
        Get(webPort, "/", &status);
    if (status != 200) {
        std::fprintf(stderr, "bench_web: ondrel-lab serve did not answer; its log is %s\n",
                     qPrintable(dir.filePath("lab.log")));
        dir.setAutoRemove(false);
        return 1;
    }

    synthetic.count = n - kProbes;
    synthetic.root = kRoot;
    synthetic.port = broker.plainPort;
    synthetic.varying = true;
    synthetic.seconds = 3 * seconds + 300;
    std::vector<std::unique_ptr<QProcess>> children =
        StartSynthetic(QString::fromLocal8Bit(argv[0]), synthetic);
    CProbes probes;
    if (!probes.Start(broker.plainPort, &error)) {
        std::fprintf(stderr, "bench_web: %s\n", qPrintable(error));
        return 1;
    }
    QElapsedTimer warm;
    warm.start();
    int known = 0;
    while (warm.elapsed() < 120000 && (known = FleetSize(webPort)) < n)
        QTest::qWait(1000);
    std::fprintf(stderr, "bench_web: %d generators known after %.1f s\n", known,
                 double(warm.elapsed()) / 1000.0);
    QTest::qWait(3000);
    const QJsonObject fleet = Snapshot(webPort);
    std::printf("The fleet: %s; %lld active alarms\n", qPrintable(fleet["summary"].toString()),
                static_cast<long long>(fleet["alarms"].toArray().size()));

    const qint64 labPid = lab.processId();
    int tilesShown = 60; // what the page reports, when it does
    {
        auto browser = std::make_unique<CBrowser>(QStringLiteral(ONDREL_BROWSER_SCRIPT));
        if (!browser->Start(&error)) {
            std::fprintf(stderr, "bench_web: %s\n", qPrintable(error));
            return 1;
        }
        browser->Call({{"op", "cdp"}, {"cmd", "Performance.enable"}});
        browser->Call({{"op", "cdp"},
                       {"cmd", "Page.addScriptToEvaluateOnNewDocument"},
                       {"params", QJsonObject{{"source", kCollector}}}});
        browser->Call(
            {{"op", "get"}, {"url", QStringLiteral("http://127.0.0.1:%1/").arg(webPort)}});
        QDeadlineTimer painted(30000);
        while (!painted.hasExpired() &&
               browser->Eval("return window.benchWeb.painted !== null").toBool() == false)
            QTest::qWait(100);
        const double fcp = browser
                               ->Eval("const e = performance.getEntriesByName("
                                      "'first-contentful-paint')[0]; return e ? e.startTime : -1")
                               .toDouble();
        const double tiles = browser->Eval("return window.benchWeb.painted").toDouble();
        const double applied = browser->Eval("return window.benchWeb.applied").toDouble();
        const int shown = browser->Eval("return document.querySelectorAll('.tile').length").toInt();
        std::printf("Live page, fresh load in Chromium with %d generators known (%d tiles)\n",
                    known, shown);
        Line("first-contentful-paint", QStringLiteral("%1 ms").arg(fcp, 0, 'f', 0), "<= 1 s",
             fcp >= 0 && fcp <= 1000);
        Line("snapshot's tiles painted",
             QStringLiteral("%1 ms (applied at %2)").arg(tiles, 0, 'f', 0).arg(applied, 0, 'f', 0),
             "<= 1 s", tiles > 0 && tiles <= 1000);

        // The page is scrolled to the probes, as a viewer looks at part of a
        // fleet, and gets their read-outs.
        const QString probeTile = "document.querySelector('.tile[aria-label^=\"probe00:\"]')";
        (void)QTest::qWaitFor([&] { return browser->Eval("return !!" + probeTile).toBool(); },
                              10000);
        browser->Eval(probeTile + ".scrollIntoView({block: 'center'})");
        (void)QTest::qWaitFor(
            [&] { return browser->Eval("return window.benchWeb.probes.length").toInt() > kProbes; },
            5000);
        tilesShown = browser->Eval("return window.benchWeb.shows").toInt();
        std::printf("  the page at 1920x1080 says it shows %d tiles\n", tilesShown);
        browser->Eval("window.benchWeb.probes = []; window.benchWeb.messages = 0;");
        const QHash<QString, double> page0 = PageMetrics(*browser);
        const double cpu0 = ProcessCpuSeconds(labPid);
        const qint64 sent0 = probes.Sent();
        QElapsedTimer wall;
        wall.start();
        QTest::qWait(seconds * 1000);
        const double cpu = (ProcessCpuSeconds(labPid) - cpu0) / (double(wall.elapsed()) / 1000.0);
        const qint64 sent = probes.Sent() - sent0;
        const QHash<QString, double> page1 = PageMetrics(*browser);
        const auto busy = [&](const char* metric) {
            return QStringLiteral("%1 %2")
                .arg((page1.value(metric) - page0.value(metric)) /
                         (double(wall.elapsed()) / 1000.0) * 100,
                     0, 'f', 0)
                .arg(QString::fromLatin1(metric).chopped(8).toLower());
        };
        const QJsonArray seen = browser->Eval("return window.benchWeb.probes").toArray();
        const double messages = browser->Eval("return window.benchWeb.messages").toDouble();
        std::vector<qint64> latencies;
        for (const QJsonValue& v : seen) {
            const QJsonArray a = v.toArray();
            const qint64 published = probes.Published(a[0].toString(), a[1].toString());
            if (published >= 0)
                latencies.push_back(qint64(a[2].toDouble()) - published);
        }
        std::printf("Publish to page in Chromium, %d s: %zu of %lld probe readings shown "
                    "(the rest coalesced away), %.1f messages a second applied\n",
                    seconds, latencies.size(), static_cast<long long>(sent),
                    messages / (double(wall.elapsed()) / 1000.0));
        const qint64 p99 = Percentile(latencies, 0.99);
        Line(
            "p99 publish to page",
            QStringLiteral("%1 ms (median %2, max %3)")
                .arg(p99)
                .arg(Percentile(latencies, 0.5))
                .arg(latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end())),
            "<= 300 ms", !latencies.empty() && p99 <= 300);
        std::printf("  the page's main thread, %% of the time: %s, %s, %s, %s\n",
                    qPrintable(busy("TaskDuration")), qPrintable(busy("ScriptDuration")),
                    qPrintable(busy("LayoutDuration")), qPrintable(busy("RecalcStyleDuration")));
        Line("CPU of ondrel-lab serve, one viewer",
             QStringLiteral("%1 % of a core").arg(cpu * 100, 0, 'f', 1), "(reference)", true);
    }

    {
        std::vector<std::unique_ptr<CCountingViewer>> viewers;
        for (int i = 0; i < clients; ++i)
            viewers.push_back(std::make_unique<CCountingViewer>(webPort, tilesShown));
        const auto connected = [&] {
            int c = 0;
            for (const auto& v : viewers)
                c += v->Connected() && !v->Closed() && v->Messages() > 0;
            return c;
        };
        if (!QTest::qWaitFor([&] { return connected() == clients; }, 30000))
            std::fprintf(stderr, "bench_web: not every viewer had its snapshot within 30 s\n");
        QTest::qWait(2000);
        const int ready = connected();
        std::vector<qint64> bytes0, messages0;
        for (const auto& v : viewers) {
            bytes0.push_back(v->Bytes());
            messages0.push_back(v->Messages());
        }
        QElapsedTimer sequenced;
        sequenced.start();
        const qint64 seq0 = qint64(Snapshot(webPort)["seq"].toDouble());
        const double cpu0 = ProcessCpuSeconds(labPid);
        QElapsedTimer wall;
        wall.start();
        QTest::qWait(seconds * 1000);
        const double elapsed = double(wall.elapsed()) / 1000.0;
        const double cpu = (ProcessCpuSeconds(labPid) - cpu0) / elapsed;
        const double made = double(qint64(Snapshot(webPort)["seq"].toDouble()) - seq0) /
                            (double(sequenced.elapsed()) / 1000.0);
        std::vector<double> rates, perSecond;
        int dropped = 0;
        for (size_t i = 0; i < viewers.size(); ++i) {
            dropped += viewers[i]->Closed() || !viewers[i]->Connected();
            rates.push_back(double(viewers[i]->Bytes() - bytes0[i]) / elapsed);
            perSecond.push_back(double(viewers[i]->Messages() - messages0[i]) / elapsed);
        }
        qint64 allBytes = 0, allMessages = 0;
        for (size_t i = 0; i < viewers.size(); ++i) {
            allBytes += viewers[i]->Bytes() - bytes0[i];
            allMessages += viewers[i]->Messages() - messages0[i];
        }
        double mean = 0;
        for (double r : rates)
            mean += r / double(rates.size());
        const double maxRate = *std::max_element(rates.begin(), rates.end());
        const double maxMessages = *std::max_element(perSecond.begin(), perSecond.end());
        std::printf("%d WebSocket viewers, each showing %d tiles, for %d s (%d with their "
                    "snapshot at the start, %d closed or refused by the end)\n",
                    clients, tilesShown, seconds, ready, dropped);
        std::printf("  %.0f bytes a message on average\n",
                    allMessages ? double(allBytes) / double(allMessages) : 0.0);
        Line("CPU of ondrel-lab serve", QStringLiteral("%1 % of a core").arg(cpu * 100, 0, 'f', 1),
             "<= 1 core", cpu <= 1.0);
        Line("bandwidth per viewer",
             QStringLiteral("%1 kB/s (max %2)")
                 .arg(mean / 1000, 0, 'f', 1)
                 .arg(maxRate / 1000, 0, 'f', 1),
             "<= 50 kB/s", maxRate <= 50000);
        // What a viewer receives in a window also holds what its queue had
        // waiting at the start: the service's own rate is its sequence's, read
        // from fresh snapshots, which wait in no queue.
        Line("messages a second the service made", QString::number(made, 'f', 2), "<= 5",
             made <= 5.0 + 1.0 / elapsed);
        std::printf("  messages a second a viewer received: up to %.2f\n", maxMessages);
    }

    for (auto& child : children)
        child->terminate();
    SyntheticEventsSent(children);
    lab.terminate();
    if (!lab.waitForFinished(20000))
        lab.kill();
    return 0;
}
