// Renders the fleet window with a dozen generators in mixed states into a PNG for
// the documentation. The consoles' messages are handed to the model as the
// broker would deliver them; docs/fleetshot.sh runs it under Xvfb so that the
// picture comes from a real X server.
#include "fleetmodel.h"
#include "fleetwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTextStream>
#include <QTimeZone>

using namespace ondrel;
using namespace ondrel::fleet;

namespace {

QByteArray Time(qint64 ms)
{
    return IsoTime(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc())).toUtf8();
}

struct Console
{
    const char* name;
    const char* status;
    const char* kv;
    const char* ua;
    const char* faults;
    bool xray;
    double beam;
    int silentMs; // since the last reading
};

} // namespace

int main(int argc, char* argv[])
{
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: ondrel-fleetshot OUTPUT.png\n";
        return 2;
    }
    QApplication app(argc, argv);
    const qint64 start = QDateTime::currentMSecsSinceEpoch();
    qint64 now = start;
    CFleetModel model(QStringLiteral("lab"), [&now] { return now; });
    CFleetWindow window(&model);
    window.resize(1440, 800);
    window.SetLinkMessage(QStringLiteral("Broker: connected to broker.lab:8883"));
    model.OnBrokerConnected();

    const Console consoles[] = {
        {"bay1/gen1", "online", "080.5", "1100", "No Error", true, 312.4, 0},
        {"bay1/gen2", "online", "000.0", "0000", "No Error", false, 95.0, 0},
        {"bay1/gen3", "offline", "080.5", "1100", "No Error", true, 41.2, 4000},
        {"bay1/gen4", "online", "000.0", "0000", "Error.Please Clear", false, 12.0, 0},
        {"bay2/gen1", "online", "000.0", "0000", "No Error", false, 0.0, 0},
        {"bay2/gen2", "not responding", "000.0", "0000", "No Error", false, 230.7, 9000},
        {"bay2/gen3", "online", "080.5", "1099", "No Error", true, 8.6, 0},
        {"bay2/gen4", "offline", "000.0", "0000", "No Error", false, 64.0, 600000},
        {"bay3/gen1", "online", "000.0", "0000", "No Error", false, 1520.3, 3500},
        {"bay3/gen2", "online", "000.0", "0000", "No Error", false, 0.0, 0},
        {"bay3/gen3", "online", "000.0", "0000", "No Error", false, 77.7, 0},
        {"bay3/gen4", "online", "000.0", "0000", "No Error", false, 3.1, 0},
    };
    auto send = [&](const QString& topic, const QByteArray& payload, bool retained = false) {
        model.OnMessage({QStringLiteral("lab/") + topic, payload, retained, false, now});
    };
    int i = 0;
    for (const Console& c : consoles) {
        const QString p = QString::fromLatin1(c.name);
        send(p + "/info",
             "{\"host\":\"lab-pc\",\"period_ms\":200,\"port\":\"/dev/ttyUSB0\",\"program\":"
             "\"Ondrel 1.0.0.1\",\"started\":\"" +
                 Time(start - 3600000) + "\"}",
             true);
        send(p + "/version", i % 3 ? "2000" : "2010", true);
        send(p + "/status", "online");
        const qint64 at = now - c.silentMs;
        send(p + "/event",
             "{\"event\":\"start\",\"seq\":1,\"time\":\"" + Time(start - 3600000) + "\"}");
        send(p + "/event",
             "{\"event\":\"version\",\"seq\":2,\"time\":\"" + Time(start - 3599000) + "\"}");
        if (c.xray)
            send(p + "/event",
                 "{\"event\":\"xray-on\",\"seq\":3,\"time\":\"" + Time(at - 60000) + "\"}");
        else if (c.beam > 0)
            send(p + "/event", "{\"event\":\"xray-off\",\"seq\":3,\"time\":\"" +
                                   Time(at - 300000 - i * 17000) + "\"}");
        const QByteArray reading = "{\"time\":\"" + Time(at) + "\",\"kv\":\"" + c.kv +
                                   "\",\"ua\":\"" + c.ua + "\",\"temperature\":\"0" +
                                   QByteArray::number(25.0 + i * 0.7, 'f', 1) + "\",\"faults\":\"" +
                                   c.faults + "\",\"seq\":" + QByteArray::number(18000 + i * 311) +
                                   ",\"xray_on\":" + (c.xray ? "true" : "false") +
                                   ",\"beam_on_s\":" + QByteArray::number(c.beam, 'f', 1) + "}";
        send(p + "/reading", reading, c.silentMs > 0);
        if (qstrcmp(c.status, "online") != 0)
            send(p + "/status", c.status);
        ++i;
    }
    // One console 4 s fast, one that missed events.
    send("bay3/gen3/reading",
         "{\"time\":\"" + Time(now + 4000) +
             "\",\"kv\":\"000.0\",\"ua\":\"0000\",\"temperature\":\"032.7\",\"faults\":\"No "
             "Error\",\"seq\":30000,\"xray_on\":false,\"beam_on_s\":77.7}");
    send("bay3/gen4/event",
         "{\"event\":\"timeout\",\"detail\":\"FLT\",\"seq\":9,\"time\":\"" + Time(now) + "\"}");
    now += 300;
    model.Refresh();
    if (const Alarm* alarm = model.Alarms()->Of(QStringLiteral("lab/bay2/gen4")))
        model.Acknowledge(alarm->prefix, alarm->raise);
    window.show();
    window.resize(1441, 800); // lays the grid out for the shown width
    QDeadlineTimer settle(1500);
    while (!settle.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    model.Refresh();
    QCoreApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        err << "cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
