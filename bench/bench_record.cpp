// What the exposure record costs a console polling at line speed: the CPU it
// adds (the row formatting on the polling thread plus the writer thread's
// writes and syncs) and the longest time a poll was held up by it, which is the
// time spent in the record's receivers while the poll announces its reading.
//
// The console runs in alternating rounds with and without a record, against
// ondrel-sim in a process of its own, and clicks Clear Faults every few seconds
// so that event rows (each synced at once) are part of the load.
//
//   bench_record [--seconds S] [--rounds N] [--turnaround MS] [--clear-every S]
//                [--file PATH] [--sim PATH]
#include "consolestate.h"
#include "dialogbuilder.h"
#include "mainfrm.h"
#include "modalanswerer.h"
#include "mscomm.h"
#include "observers.h"
#include "ondrelview.h"
#include "record.h"
#include "recordformat.h"
#include "resource.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include <sys/resource.h>

using namespace ondrel;

namespace {

const char kUsage[] =
    "usage: bench_record [options]\n"
    "  --seconds S       polling time in all, half of it recorded (default 60)\n"
    "  --rounds N        turns with and without a record (default 6)\n"
    "  --turnaround MS   the simulator's think time per reply (default 2)\n"
    "  --clear-every S   a Clear Faults click (an event row) every S seconds (default 5)\n"
    "  --file PATH       the record (default: a fresh file under /var/tmp, on disk)\n"
    "  --sim PATH        the ondrel-sim program (default: the one built with this)\n";

struct Config
{
    int seconds = 60;
    int rounds = 6;
    int turnaroundMs = 2;
    int clearEvery = 5;
    QString file;
    QString port; // the simulator's line
    QString simPath = QStringLiteral(ONDREL_SIM_PATH);
};

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double ThreadCpu()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double ProcessCpu()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// The record's writer thread's CPU, in seconds, from the scheduler's own count;
// -1 when there is no such thread.
double WriterCpu()
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "ondrel-record")
            continue;
        QFile schedstat(tasks.filePath(tid + QStringLiteral("/schedstat")));
        if (!schedstat.open(QIODevice::ReadOnly))
            return -1;
        return schedstat.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return -1;
}

bool ParseArguments(const QStringList& args, Config* c)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (!hasValue) {
            std::fprintf(stderr, "bench_record: %s needs a value\n%s", qPrintable(arg), kUsage);
            return false;
        }
        const QString value = args[++i];
        bool ok = true;
        if (arg == QLatin1String("--seconds"))
            c->seconds = value.toInt(&ok);
        else if (arg == QLatin1String("--rounds"))
            c->rounds = value.toInt(&ok);
        else if (arg == QLatin1String("--turnaround"))
            c->turnaroundMs = value.toInt(&ok);
        else if (arg == QLatin1String("--clear-every"))
            c->clearEvery = value.toInt(&ok);
        else if (arg == QLatin1String("--file"))
            c->file = value;
        else if (arg == QLatin1String("--sim"))
            c->simPath = value;
        else
            ok = false;
        if (!ok || c->seconds < 2 || c->rounds < 2 || c->rounds % 2 != 0 || c->turnaroundMs < 0 ||
            c->clearEvery < 1) {
            std::fprintf(stderr, "bench_record: bad %s %s (rounds: an even number)\n%s",
                         qPrintable(arg), qPrintable(value), kUsage);
            return false;
        }
    }
    return true;
}

struct Tally
{
    double wall = 0;
    double processCpu = 0;
    long readings = 0;
    long events = 0;
    // With a record only.
    double receiverCpu = 0; // in the record's receivers, on the polling thread
    double writerCpu = 0;
    std::vector<double> heldUp; // seconds in the receivers, one entry a signal
    qint64 bytes = 0;
};

// One round: a console on the simulator, its own timer polling, Clear Faults
// clicked now and then; recorded when record is given.
bool Round(QApplication& app, const Config& c, CExposureRecord* record, Tally* t)
{
    ResetConsoleState();
    // Before the frame: the view announces its stop as the frame destroys it.
    const auto timed = [&](auto&& deliver) {
        const double wall0 = Now();
        const double cpu0 = ThreadCpu();
        deliver();
        t->receiverCpu += ThreadCpu() - cpu0;
        t->heldUp.push_back(Now() - wall0);
    };
    CModalAnswerer answerer;
    CMainFrame frame;
    if (!frame.LoadFrame(IDR_MAINFRAME))
        return false;
    auto* view = new COndrelView(CViewContext{c.port}, &frame);
    frame.SetView(view);
    CConsoleObservers observers(nullptr, nullptr);
    observers.Attach(view, &frame); // the trend, as the console has it
    frame.show();

    QObject::connect(view, &COndrelView::readingTaken, [&](const Reading& r) {
        ++t->readings;
        // Without a record, the same row is made and dropped: what is left is the
        // machine's own noise, for comparison.
        if (record)
            timed([&] { record->OnReading(r); });
        else
            timed([&] { t->bytes += RecordRow(r).size(); });
    });
    QObject::connect(view, &COndrelView::consoleEvent, [&](const ConsoleEvent& e) {
        ++t->events;
        if (record)
            timed([&] { record->OnEvent(e); });
        else
            timed([&] { t->bytes += RecordRow(e).size(); });
    });

    view->OnInitialUpdate();
    if (answerer.Count() > 0 || g_linkFailed != 0 || view->m_editVersion->text().isEmpty()) {
        std::fprintf(stderr, "bench_record: the simulator did not answer the start-up\n");
        return false;
    }
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [view] {
        if (auto* clear =
                qobject_cast<QAbstractButton*>(DialogItemWidget(view->Form(), IDC_CLEAR_FAULTS)))
            clear->click();
    });
    clicker.start(std::chrono::seconds(c.clearEvery));

    const double writer0 = record ? WriterCpu() : 0;
    const double cpu0 = ProcessCpu();
    const double wall0 = Now();
    QTimer::singleShot(std::chrono::milliseconds(c.seconds * 1000 / c.rounds), &app,
                       &QCoreApplication::quit);
    app.exec();
    t->processCpu += ProcessCpu() - cpu0;
    t->wall += Now() - wall0;
    if (record)
        t->writerCpu += WriterCpu() - writer0;
    if (g_linkFailed != 0) {
        std::fprintf(stderr, "bench_record: a poll timed out; the figures are void\n");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Config config;
    if (!ParseArguments(app.arguments(), &config))
        return 2;

    QProcess sim;
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(config.simPath,
              {QStringLiteral("--baud-pace"), QStringLiteral("--quiet"),
               QStringLiteral("--turnaround"), QString::number(config.turnaroundMs)});
    if (!sim.waitForStarted() || !sim.waitForReadyRead(10000) || !sim.canReadLine()) {
        std::fprintf(stderr, "bench_record: %s did not start\n", qPrintable(config.simPath));
        return 1;
    }
    config.port = QString::fromLocal8Bit(sim.readLine()).trimmed();

    QTemporaryDir scratch(QStringLiteral("/var/tmp/bench_record-XXXXXX"));
    const QString path =
        config.file.isEmpty() ? scratch.filePath(QStringLiteral("record.csv")) : config.file;
    QString error;
    std::unique_ptr<CExposureRecord> record = CExposureRecord::Open(path, &error);
    if (!record) {
        std::fprintf(stderr, "bench_record: %s\n", qPrintable(error));
        return 1;
    }
    const int syncs0 = record->SyncCount();
    std::printf("simulator: %s, line speed, turnaround %d ms; record: %s\n",
                qPrintable(config.port), config.turnaroundMs, qPrintable(path));
    std::fflush(stdout);

    Tally with, without;
    for (int round = 0; round < config.rounds; ++round) {
        const bool recorded = round % 2 == 0;
        if (!Round(app, config, recorded ? record.get() : nullptr, recorded ? &with : &without))
            return 1;
    }
    sim.kill();
    sim.waitForFinished();
    const int syncs = record->SyncCount() - syncs0;
    const bool recording = record->Recording();
    record.reset();
    if (!recording) {
        std::fprintf(stderr, "bench_record: recording stopped during the run\n");
        return 1;
    }

    const auto sorted = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    const std::vector<double> held = sorted(with.heldUp);
    const std::vector<double> control = sorted(without.heldUp);
    const auto at = [](const std::vector<double>& v, double q) {
        return v.empty() ? 0.0 : v[std::min(v.size() - 1, size_t(q * double(v.size() - 1)))];
    };
    const double added = with.receiverCpu + with.writerCpu;
    std::printf("recorded: %ld readings and %ld events in %.1f s, %d syncs, %lld bytes\n",
                with.readings, with.events, with.wall, syncs,
                static_cast<long long>(QFileInfo(path).size()));
    std::printf("CPU the record adds: receivers on the polling thread %.4f s + writer thread "
                "%.4f s = %.4f %% of one core (goal <= 0.05 %%)\n",
                with.receiverCpu, with.writerCpu, 100.0 * added / with.wall);
    std::printf("per row: %.1f us formatting and queueing, %.1f us writing and syncing\n",
                1e6 * with.receiverCpu / double(with.readings + with.events),
                1e6 * with.writerCpu / double(with.readings + with.events));
    std::printf("poll held up by the record: max %.1f us, p99 %.1f us, median %.1f us "
                "(goal <= 200 us)\n",
                1e6 * at(held, 1.0), 1e6 * at(held, 0.99), 1e6 * at(held, 0.5));
    std::printf("the same rows made without a record (the machine's noise): max %.1f us, "
                "p99 %.1f us, median %.1f us\n",
                1e6 * at(control, 1.0), 1e6 * at(control, 0.99), 1e6 * at(control, 0.5));
    std::printf("whole process, for scale: %.3f %% of one core recorded, %.3f %% not, "
                "in %d alternating rounds\n",
                100.0 * with.processCpu / with.wall, 100.0 * without.processCpu / without.wall,
                config.rounds);
    return 0;
}
