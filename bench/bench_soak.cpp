// A long run of the console against the simulated generator at line speed, with
// the generator misbehaving now and then and an operator clicking: nothing may
// hang or crash, and memory must settle after the first minute.
//
// A timed-out poll stops polling until the console is restarted; the operator is
// told "Restart Application", so this run does just that, the way a restart
// would: the frame and view go, the module state returns to its start values
// and a fresh console starts up.
//
//   bench_soak [--minutes N] [--seed S] [--verbose]
#include "consolestate.h"
#include "dialogbuilder.h"
#include "exchange.h"
#include "generatorsim.h"
#include "mainfrm.h"
#include "modalanswerer.h"
#include "mscomm.h"
#include "observers.h"
#include "ondrelview.h"
#include "resource.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define ONDREL_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ONDREL_LSAN 1
#endif
#endif
#ifdef ONDREL_LSAN
#include <sanitizer/lsan_interface.h>
#endif

using namespace ondrel;

namespace {

const char kUsage[] = "usage: bench_soak [--minutes N] [--seed S] [--verbose]\n"
                      "  --minutes N   length of the run, 1 to 1440 (default 10)\n"
                      "  --seed S      seed of the fault and click schedule (default: the time)\n"
                      "  --verbose     one line per injection, click and restart\n";

constexpr int kTicksPerMinute = 300; // the console's 200 ms timer
constexpr int kDispatchMs = 50;
// A console that cannot even start is restarted at most this often.
constexpr double kRestartGapS = 1.0;

double NowSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

long ResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

const char* GrowthVerdict(long growthKiB)
{
#ifdef ONDREL_LSAN
    // The sanitizer keeps freed blocks in quarantine: resident memory only grows.
    Q_UNUSED(growthKiB);
    return "not meaningful under AddressSanitizer (freed memory stays in quarantine)";
#else
    return growthKiB < 1024 ? "met" : "MISSED";
#endif
}

// The real wait clock, counting on the way through: every wait calls Begin
// once, and only a wait that runs out is past the end after a sleep.
class CCountingClock : public CWaitClock
{
public:
    void Begin() override
    {
        ++waits;
        m_real.Begin();
    }
    std::chrono::nanoseconds Elapsed() override { return m_real.Elapsed(); }
    void SleepUntil(std::chrono::nanoseconds until, const InputWake& wake) override
    {
        m_real.SleepUntil(until, wake);
        if (m_real.Elapsed() >= kWaitEnd)
            ++(g_polling ? pollTimeouts : otherTimeouts);
    }

    long waits = 0;
    long pollTimeouts = 0;
    long otherTimeouts = 0;

private:
    CMonotonicWaitClock m_real;
};

class CSoak : public QObject
{
public:
    CSoak(sim::CGeneratorSim& generator, unsigned seed, int minutes, bool verbose)
        : m_generator(generator), m_rng(seed), m_verbose(verbose), m_duration(minutes * 60.0),
          m_warmUp(std::min(60.0, m_duration / 2))
    {
        connect(&m_dispatcher, &QTimer::timeout, this, [this] { Dispatch(); });
    }

    ~CSoak() override { DestroyConsole(); }

    bool Run()
    {
        m_start = NowSeconds();
        StartConsole();
        m_rssStart = ResidentKiB();
        std::printf("RSS at start: %ld KiB\n", m_rssStart);
        std::fflush(stdout);
        ScheduleNextEvent();
        m_dispatcher.start(kDispatchMs);
        QCoreApplication::exec();
        m_dispatcher.stop();
        m_rssEnd = ResidentKiB();
        DestroyConsole();
        Report();
        return m_rssWarm >= 0 && m_rssEnd >= 0;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Timer && watched == m_view)
            ++m_ticks;
        return false;
    }

private:
    using Action = std::function<void()>;

    double Elapsed() const { return NowSeconds() - m_start; }

    bool ConsoleBusy() const
    {
        // Inside a command, the version read or a poll, or under a box: acting now
        // would pull the view away under its own handler.
        return m_acting || QApplication::activeModalWidget() || g_ready != 1 || g_polling != 0;
    }

    void StartConsole()
    {
        ResetConsoleState();
        m_answerer = std::make_unique<CModalAnswerer>();
        m_frame = std::make_unique<CMainFrame>();
        if (!m_frame->LoadFrame(IDR_MAINFRAME)) {
            std::fprintf(stderr, "bench_soak: the main frame could not be created\n");
            std::exit(1);
        }
        m_view = new COndrelView(CViewContext{QString::fromStdString(m_generator.SlavePath())},
                                 m_frame.get());
        m_view->m_wait.SetClock(&m_sleep);
        m_frame->SetView(m_view);
        CConsoleObservers(nullptr, nullptr)
            .Attach(m_view, m_frame.get()); // the trend, as the console has it
        m_frame->show();
        m_view->installEventFilter(this);
        m_lastStart = Elapsed();
        m_view->OnInitialUpdate();
    }

    void DestroyConsole()
    {
        if (m_answerer) {
            for (const QString& text : m_answerer->Texts()) {
                if (text == QLatin1String(COndrelView::kTimeOutText))
                    ++m_timeOutBoxes;
                else
                    ++m_otherBoxes;
            }
        }
        m_view = nullptr;
        m_frame.reset();
        m_answerer.reset();
    }

    void Log(const std::string& what)
    {
        if (!m_verbose)
            return;
        std::printf("%8.1f s  %s\n", Elapsed(), what.c_str());
        std::fflush(stdout);
    }

    void Restart()
    {
        Log("restart, RSS " + std::to_string(ResidentKiB()) + " KiB");
        DestroyConsole();
        ++m_restarts;
        StartConsole();
    }

    double Uniform(double low, double high)
    {
        return std::uniform_real_distribution<double>(low, high)(m_rng);
    }

    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_rng); }

    void At(double when, Action action) { m_schedule.emplace(when, std::move(action)); }

    void Inject(const std::string& command)
    {
        Log(command);
        const std::string answer = m_generator.Command(command);
        if (answer.rfind("error", 0) == 0)
            std::fprintf(stderr, "bench_soak: simulator refused \"%s\": %s\n", command.c_str(),
                         answer.c_str());
        ++m_injections;
    }

    void ClickXray()
    {
        if (!m_view)
            return;
        m_view->m_checkVoltage->setChecked(Pick(0, 1) == 1);
        m_view->m_checkCurrent->setChecked(Pick(0, 1) == 1);
        Log(std::string("click X-Ray On/Off ") + (m_view->m_checkXray->isChecked() ? "off" : "on") +
            (m_view->m_checkVoltage->isChecked() ? ", 80.5 KV" : "") +
            (m_view->m_checkCurrent->isChecked() ? ", 1.1mA" : ""));
        m_view->m_checkXray->click();
        ++m_clicks;
    }

    void ClickClearFaults()
    {
        if (!m_view)
            return;
        // The button has no member of the view; it is found on the form by its id.
        if (auto* button = qobject_cast<QAbstractButton*>(
                DialogItemWidget(m_view->Form(), IDC_CLEAR_FAULTS))) {
            Log("click Clear Faults");
            button->click();
            ++m_clicks;
        }
    }

    // One random disturbance or click, and when the next one comes.
    void ScheduleNextEvent()
    {
        const double now = Elapsed();
        At(now + std::min(30.0, 0.5 + std::exponential_distribution<double>(1.0 / 4.0)(m_rng)),
           [this] {
               RandomEvent();
               ScheduleNextEvent();
           });
    }

    void RandomEvent()
    {
        const double now = Elapsed();
        static const int kWeights[] = {4, 2, 2, 1, 1, 1, 1, 1};
        std::discrete_distribution<int> kind(std::begin(kWeights), std::end(kWeights));
        switch (kind(m_rng)) {
        case 0:
            ClickXray();
            break;
        case 1:
            ClickClearFaults();
            break;
        case 2:
            Inject("fault " + std::to_string(Pick(1, 9)));
            At(now + Uniform(1, 6), [this] { ClickClearFaults(); });
            break;
        case 3:
            Inject("garble " + std::to_string(Pick(1, 18)));
            At(now + Uniform(2, 10), [this] { Inject("garble 0"); });
            break;
        case 4:
            Inject("short " + std::to_string(Pick(1, 4)));
            At(now + Uniform(1, 5), [this] { Inject("short 0"); });
            break;
        case 5: {
            static const char kStray[] = "X7?#k0";
            std::string text;
            for (int i = Pick(1, 3); i > 0; --i)
                text += kStray[Pick(0, int(sizeof kStray) - 2)];
            Inject("stray " + text);
            break;
        }
        case 6:
            Inject("silent on");
            At(now + Uniform(1, 12), [this] { Inject("silent off"); });
            break;
        default: {
            static const int kDelays[] = {20, 150, 1000, 4000};
            Inject("delay " + std::to_string(kDelays[Pick(0, 3)]));
            At(now + Uniform(2, 10), [this] { Inject("delay 0"); });
            break;
        }
        }
    }

    void Progress(int minute)
    {
        std::printf("minute %d: ticks %ld, exchanges %ld, time-outs %ld, restarts %ld, RSS %ld "
                    "KiB\n",
                    minute, m_ticks, m_sleep.waits, m_sleep.pollTimeouts + m_sleep.otherTimeouts,
                    m_restarts, ResidentKiB());
        std::fflush(stdout);
    }

    void Dispatch()
    {
        if (ConsoleBusy())
            return;
        m_acting = true;
        // The simulator keeps every frame for its tests; that record is its
        // memory, not the console's, and must not pass for growth.
        m_generator.ClearReceivedFrames();
        const double now = Elapsed();
        if (m_rssWarm < 0 && now >= m_warmUp) {
            m_rssWarm = ResidentKiB();
            std::printf("RSS after warm-up (%.0f s): %ld KiB\n", m_warmUp, m_rssWarm);
        }
        if (now >= (m_lastProgress + 1) * 60.0)
            Progress(++m_lastProgress);
        if (now >= m_duration) {
            m_acting = false;
            QCoreApplication::quit();
            return;
        }
        if (g_linkFailed == 1 && now - m_lastStart >= kRestartGapS) {
            Restart();
        } else if (!m_schedule.empty() && m_schedule.begin()->first <= now) {
            Action action = std::move(m_schedule.begin()->second);
            m_schedule.erase(m_schedule.begin());
            action();
        }
        m_acting = false;
    }

    void Report()
    {
        const double ran = Elapsed();
        const long timeouts = m_sleep.pollTimeouts + m_sleep.otherTimeouts;
        std::printf("ran %.1f s: ticks %ld of %.0f nominal\n", ran, m_ticks,
                    ran / 60.0 * kTicksPerMinute);
        std::printf("exchanges %ld (simulator: %ld replies, %ld frames unanswered)\n",
                    m_sleep.waits, m_generator.RepliesSent(), m_generator.FramesUnanswered());
        std::printf("time-outs %ld (%ld in polls, %ld in the version read and commands; "
                    "%ld time-out boxes answered, %ld other boxes)\n",
                    timeouts, m_sleep.pollTimeouts, m_sleep.otherTimeouts, m_timeOutBoxes,
                    m_otherBoxes);
        std::printf("restarts %ld, operator clicks %ld, injections %ld\n", m_restarts, m_clicks,
                    m_injections);
        const long growth = m_rssEnd - m_rssWarm;
        std::printf("RSS start %ld KiB, after warm-up %ld KiB, end %ld KiB: growth after warm-up "
                    "%ld KiB (goal < 1024 KiB) %s\n",
                    m_rssStart, m_rssWarm, m_rssEnd, growth, GrowthVerdict(growth));
        std::fflush(stdout);
    }

    sim::CGeneratorSim& m_generator;
    std::mt19937 m_rng;
    const bool m_verbose;
    const double m_duration;
    const double m_warmUp;
    CCountingClock m_sleep;
    QTimer m_dispatcher;
    std::multimap<double, Action> m_schedule;

    std::unique_ptr<CModalAnswerer> m_answerer;
    std::unique_ptr<CMainFrame> m_frame;
    COndrelView* m_view = nullptr;

    double m_start = 0;
    double m_lastStart = 0;
    int m_lastProgress = 0;
    bool m_acting = false;
    long m_ticks = 0;
    long m_restarts = 0;
    long m_clicks = 0;
    long m_injections = 0;
    long m_timeOutBoxes = 0;
    long m_otherBoxes = 0;
    long m_rssStart = -1;
    long m_rssWarm = -1;
    long m_rssEnd = -1;
};

bool ParseNumber(const char* text, unsigned long high, unsigned long* out)
{
    if (!*text || std::strspn(text, "0123456789") != std::strlen(text) || std::strlen(text) > 10)
        return false;
    *out = std::strtoul(text, nullptr, 10);
    return *out <= high;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned long minutes = 10;
    unsigned long seed = static_cast<unsigned long>(std::time(nullptr)) & 0xffffffffUL;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--verbose") {
            verbose = true;
            continue;
        }
        const bool isMinutes = arg == "--minutes";
        if ((isMinutes || arg == "--seed") && i + 1 < argc &&
            ParseNumber(argv[i + 1], isMinutes ? 1440 : 0xffffffffUL,
                        isMinutes ? &minutes : &seed) &&
            (!isMinutes || minutes >= 1)) {
            ++i;
            continue;
        }
        std::fprintf(stderr, "bench_soak: bad or incomplete option '%s'\n%s", argv[i], kUsage);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    std::printf("seed %lu, %lu minutes\n", seed, minutes);
    std::fflush(stdout);

    bool ok = false;
    {
        QApplication app(argc, argv);
        sim::Options options;
        options.baudPace = true;
        options.seed = unsigned(seed);
        sim::CGeneratorSim generator(options);
        generator.SetLogSink(nullptr);
        std::string error;
        if (!generator.Start(&error)) {
            std::fprintf(stderr, "bench_soak: simulator: %s\n", error.c_str());
            return 1;
        }
        {
            CSoak soak(generator, unsigned(seed), int(minutes), verbose);
            ok = soak.Run();
        }
        generator.Stop();
    }
#ifdef ONDREL_LSAN
    // Everything of ours is gone now; what is still allocated and unreachable leaked.
    std::printf("LeakSanitizer: checking\n");
    std::fflush(stdout);
    __lsan_do_leak_check(); // prints a report and ends the process if anything leaked
    std::printf("LeakSanitizer: no leaks\n");
#else
    std::printf("LeakSanitizer: not in this build (configure with -DONDREL_SANITIZE=ON)\n");
#endif
    return ok ? 0 : 1;
}
