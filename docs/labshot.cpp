// Takes the pictures of the lab in a browser for the documentation: a real
// mosquitto, `ondrel-lab serve --listen` on an archive of its own, a dozen
// consoles in mixed states published through the broker (a few days of
// exposures first, for the history page), and headless Chromium through
// tests/web/browser.py. docs/labshot.sh builds and runs it.
#include "brokerrig.h"
#include "browserdriver.h"
#include "labprocess.h"
#include "payloads.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimeZone>
#include <QTimer>

using namespace ondrel;
using namespace ondrel::testing;

namespace {

QTextStream& Err()
{
    static QTextStream err(stderr);
    return err;
}

struct Console
{
    const char* name;
    const char* kv;
    const char* ua;
    const char* faults;
    bool xray;
    const char* endStatus; // nullptr: online and reading on
};

const Console kConsoles[] = {
    {"bay1/gen1", "080.5", "1100", "No Error", true, nullptr},
    {"bay1/gen2", "000.0", "0000", "No Error", false, nullptr},
    {"bay1/gen3", "080.5", "1100", "No Error", true, "offline"},
    {"bay1/gen4", "000.0", "0000", "Error.Please Clear", false, nullptr},
    {"bay2/gen1", "000.0", "0000", "No Error", false, nullptr},
    {"bay2/gen2", "000.0", "0000", "No Error", false, "not responding"},
    {"bay2/gen3", "060.0", "0800", "No Error", true, nullptr},
    {"bay2/gen4", "000.0", "0000", "No Error", false, "silent"},
    {"bay3/gen1", "000.0", "0000", "No Error", false, "offline"},
    {"bay3/gen2", "000.0", "0000", "No Error", false, nullptr},
    {"bay3/gen3", "045.0", "0500", "No Error", false, nullptr},
    {"bay3/gen4", "000.0", "0000", "No Error", false, nullptr},
};

// Days of exposures before today, for the history page.
constexpr int kHistoryDays = 6;

class CShots
{
public:
    ~CShots()
    {
        m_lab.terminate();
        m_lab.waitForFinished(10000);
    }
    bool Run(const QString& livePng, const QString& historyPng);

private:
    bool StartLab();
    bool Publish(const QString& topic, const QByteArray& payload, int qos, bool retain)
    {
        if (m_publisher.Publish("lab/" + topic, payload, qos, retain))
            return true;
        Err() << "labshot: cannot publish to lab/" << topic << "\n";
        return false;
    }
    bool PublishHistory();
    bool PublishNow();
    void Readings();
    bool Shoot(const QString& url, const QString& readyJs, const QString& png);

    CBroker m_broker;
    CSubscriber m_publisher;
    CBrowser m_browser{QStringLiteral(ONDREL_BROWSER_SCRIPT)};
    QTemporaryDir m_dir;
    QProcess m_lab;
    int m_port = 0;
    QDateTime m_started;
    QHash<QString, qint64> m_readingSeq;
    QHash<QString, qint64> m_eventSeq;
};

bool CShots::StartLab()
{
    m_port = FreePort();
    QByteArray said;
    if (StartServeWithPage(m_lab, QStringLiteral(ONDREL_LAB_BINARY),
                           {"serve",
                            QStringLiteral("mqtt://127.0.0.1:%1/lab").arg(m_broker.plainPort),
                            "--db", m_dir.filePath("lab.sqlite"), "--tz", "UTC", "--listen",
                            QStringLiteral("127.0.0.1:%1").arg(m_port)},
                           &said))
        return true;
    Err() << "labshot: ondrel-lab serve did not start: " << said << "\n";
    return false;
}

bool CShots::PublishHistory()
{
    const QDate today = QDateTime::currentDateTimeUtc().date();
    for (const Console& c : kConsoles) {
        const QString p = QString::fromLatin1(c.name);
        if (!Publish(p + "/info",
                     InfoJson({m_started, "lab-pc", "/dev/ttyUSB0", 1000, "Ondrel 1.0.0.1",
                               p.startsWith("bay1") ? "mkeller" : "jnowak"}),
                     1, true) ||
            !Publish(p + "/version", p.endsWith('1') ? "2010" : "2000", 1, true))
            return false;
    }
    // A few exposures a day on the generators that take pictures, of lengths that
    // vary from day to day so that the chart has something to show.
    const char* busy[] = {"bay1/gen1", "bay1/gen3", "bay2/gen3", "bay3/gen3"};
    for (int d = kHistoryDays; d >= 1; --d) {
        int n = 0;
        for (const char* name : busy) {
            const QString p = QString::fromLatin1(name);
            for (int k = 0; k < 1 + (d + n) % 3; ++k) {
                const QDateTime on(today.addDays(-d), QTime(8 + 2 * k + n, 5 * d + n),
                                   QTimeZone::utc());
                const QDateTime off = on.addSecs(60 + ((d * 7 + n * 13 + k * 5) % 11) * 45);
                if (!Publish(
                        p + "/event",
                        EventJson({on, EventKind::XrayOn, "VP0805 CP1100 ENBL1"}, ++m_eventSeq[p]),
                        1, false) ||
                    !Publish(p + "/event",
                             EventJson({off, EventKind::XrayOff, {}}, ++m_eventSeq[p]), 1, false))
                    return false;
            }
            ++n;
        }
    }
    return true;
}

bool CShots::PublishNow()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const Console& c : kConsoles) {
        const QString p = QString::fromLatin1(c.name);
        if (!Publish(p + "/status", "online", 1, true))
            return false;
        if (c.xray &&
            !Publish(p + "/event",
                     EventJson({now.addSecs(-40), EventKind::XrayOn, "VP0805 CP1100 ENBL1"},
                               ++m_eventSeq[p]),
                     1, false))
            return false;
    }
    Readings();
    for (const Console& c : kConsoles) {
        if (c.endStatus && qstrcmp(c.endStatus, "silent") != 0 &&
            !Publish(QString::fromLatin1(c.name) + "/status", c.endStatus, 1, true))
            return false;
    }
    return true;
}

// One reading of each console that still reads, as its console would send it
// each period.
void CShots::Readings()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    int i = 0;
    for (const Console& c : kConsoles) {
        const QString p = QString::fromLatin1(c.name);
        ++i;
        if (c.endStatus && m_readingSeq.contains(p))
            continue;
        ReadingCounters counters;
        counters.seq = ++m_readingSeq[p];
        counters.xrayOn = c.xray;
        counters.beamOnSeconds = c.xray ? 40.0 + i : 0.0;
        const Reading r = Reading::FromForm(now, c.kv, c.ua,
                                            QString::number(24.0 + i * 0.7, 'f', 1), c.faults, {});
        Publish(p + "/reading", ReadingJson(r, counters), 0, false);
    }
}

bool CShots::Shoot(const QString& url, const QString& readyJs, const QString& png)
{
    m_browser.Call(
        {{"op", "get"}, {"url", QStringLiteral("http://127.0.0.1:%1/%2").arg(m_port).arg(url)}});
    if (!QTest::qWaitFor([&] { return m_browser.Eval(readyJs).toBool(); }, 20000)) {
        Err() << "labshot: " << url << " did not show what it should\n";
        return false;
    }
    const QJsonValue shot = m_browser.Call({{"op", "cdp"},
                                            {"cmd", "Page.captureScreenshot"},
                                            {"params", QJsonObject{{"format", "png"}}}});
    const QByteArray bytes = QByteArray::fromBase64(shot["data"].toString().toLatin1());
    QFile file(png);
    if (bytes.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        Err() << "labshot: cannot write " << png << "\n";
        return false;
    }
    return true;
}

bool CShots::Run(const QString& livePng, const QString& historyPng)
{
    QString error;
    if (!m_dir.isValid() || !m_broker.Start(&error) ||
        !m_publisher.Connect(m_broker.plainPort, "nothing/#") || !StartLab() ||
        !m_browser.Start(&error)) {
        Err() << "labshot: " << error << "\n";
        return false;
    }
    m_browser.Call(
        {{"op", "cdp"},
         {"cmd", "Emulation.setDeviceMetricsOverride"},
         {"params",
          QJsonObject{
              {"width", 1280}, {"height", 800}, {"deviceScaleFactor", 1}, {"mobile", false}}}});
    m_started = QDateTime::currentDateTimeUtc().addDays(-kHistoryDays - 1);
    if (!PublishHistory() || !PublishNow())
        return false;
    QTimer period;
    QObject::connect(&period, &QTimer::timeout, [this] { Readings(); });
    period.start(1000);

    const QString liveReady =
        "const t = Array.from(document.querySelectorAll('#tiles .tile'));"
        "return t.length === 12 && t.some(e => e.dataset.state === 'Stale') &&"
        "  t.some(e => e.dataset.state === 'Contact lost, X-rays may be on');";
    if (!Shoot("", liveReady, livePng))
        return false;

    const QDate today = QDateTime::currentDateTimeUtc().date();
    const QString range = QStringLiteral("from=%1&to=%2&tz=UTC")
                              .arg(today.addDays(-kHistoryDays).toString(Qt::ISODate),
                                   today.addDays(-1).toString(Qt::ISODate));
    const QString historyReady = "const c = window.Chart && Chart.getChart('beam');"
                                 "return !!c && document.querySelectorAll('#exposures td').length"
                                 "  > 0 && !Chart.animator.running(c);";
    return Shoot("history.html?" + range, historyReady, historyPng);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        Err() << "usage: ondrel-labshot LIVE.png HISTORY.png\n";
        return 2;
    }
    QCoreApplication app(argc, argv);
    CShots shots;
    const bool ok = shots.Run(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    return ok ? 0 : 1;
}
