// The trend window's CPU at the console's pace of 5 readings a second: with the
// window open, with it closed, and with no trend listening at all. The window
// starts with ten minutes of readings, so that an open window draws full charts.
// The three take turns in rounds so that all see the same machine load.
//
//   bench_trend [--seconds S] [--rounds N]
//
// Run it on a real X server (xvfb-run -a) or with QT_QPA_PLATFORM=offscreen;
// either way the painting into the window's backing store is counted.
#include "model.h"
#include "trendwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTextStream>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <sys/resource.h>
#include <vector>

using namespace ondrel;

namespace {

constexpr std::chrono::milliseconds kPollPeriod(200);

double SelfCpuSeconds()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// What a poll at X-rays on reads: near the set points, with a little noise.
Reading MakeReading(const QDateTime& time, int i)
{
    const double wobble = std::sin(i * 0.37);
    return Reading::FromForm(time, QString::asprintf("%05.1f", 80.5 + 0.2 * wobble),
                             QString::asprintf("%04d", 1100 + int(3 * wobble)),
                             QString::asprintf("%05.1f", 30 + i * 0.0005),
                             QStringLiteral("No Error"), "000");
}

// The console's side: announces a reading every poll period, as the view does.
class CFeed : public QObject
{
    Q_OBJECT
public:
    CFeed()
    {
        connect(&m_timer, &QTimer::timeout, this,
                [this] { emit readingTaken(MakeReading(TelemetryNow(), m_count++)); });
        m_timer.start(kPollPeriod);
    }
    int Count() const { return m_count; }

signals:
    void readingTaken(const ondrel::Reading& reading);

private:
    QTimer m_timer;
    int m_count = 0;
};

void RunFor(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QTextStream out(stdout);
    int seconds = 30;
    int rounds = 3;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        bool ok = false;
        if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = args[++i].toInt(&ok);
        else if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = args[++i].toInt(&ok);
        if (!ok || seconds < 1 || rounds < 1) {
            QTextStream(stderr) << "usage: bench_trend [--seconds S] [--rounds N]\n";
            return 2;
        }
    }

    QWidget owner;
    CTrendWindow trend(&owner);
    const QDateTime now = TelemetryNow();
    const int prefill = int(CTrendWindow::kShown / kPollPeriod);
    // An exposure and a time-out among them, in time order as the console announces them.
    for (int i = 0; i < prefill; ++i) {
        const QDateTime time = now.addMSecs(-(prefill - i) * kPollPeriod.count());
        if (i == prefill / 2)
            trend.AddEvent({time, EventKind::XrayOn, QString()});
        if (i == prefill * 3 / 4)
            trend.AddEvent({time, EventKind::Timeout, QStringLiteral("XRAY OFF")});
        if (i == prefill * 3 / 4 + 20)
            trend.AddEvent({time, EventKind::XrayOff, QString()});
        trend.AddReading(MakeReading(time, i));
    }

    CFeed feed;
    enum Mode
    {
        NoTrend,
        Closed,
        Open
    };
    const char* const names[] = {"no trend listening", "trend closed", "trend open"};
    std::vector<double> percent[3];
    int refreshes = 0;
    int readings = 0;
    out << "platform " << QGuiApplication::platformName() << ", " << rounds << " rounds of "
        << seconds << " s per case, " << 1000 / kPollPeriod.count() << " readings/s\n";
    out.flush();
    for (int round = 0; round < rounds; ++round) {
        for (Mode mode : {NoTrend, Closed, Open}) {
            QObject::disconnect(&feed, nullptr, &trend, nullptr);
            if (mode != NoTrend)
                QObject::connect(&feed, &CFeed::readingTaken, &trend, &CTrendWindow::AddReading);
            trend.setVisible(mode == Open);
            RunFor(std::chrono::seconds(2)); // the show and its first full drawing settle
            const int refreshesBefore = trend.Refreshes();
            const int readingsBefore = feed.Count();
            QElapsedTimer wall;
            wall.start();
            const double cpu = SelfCpuSeconds();
            RunFor(std::chrono::seconds(seconds));
            const double used = SelfCpuSeconds() - cpu;
            percent[mode].push_back(100.0 * used / (wall.nsecsElapsed() / 1e9));
            if (mode == Open) {
                refreshes += trend.Refreshes() - refreshesBefore;
                readings += feed.Count() - readingsBefore;
            }
        }
    }
    for (Mode mode : {NoTrend, Closed, Open}) {
        out << QString::asprintf("%-20s median %5.2f %% of a core   rounds:", names[mode],
                                 Median(percent[mode]));
        for (double p : percent[mode])
            out << QString::asprintf(" %.2f", p);
        out << "\n";
    }
    out << QString::asprintf("open: %d redraws for %d readings; %d samples kept\n", refreshes,
                             readings, int(trend.Model().Samples().size()));
    out << QString::asprintf("trend closed minus none: %+.2f %%; open minus none: %+.2f %%\n",
                             Median(percent[Closed]) - Median(percent[NoTrend]),
                             Median(percent[Open]) - Median(percent[NoTrend]));
    return 0;
}

#include "bench_trend.moc"
