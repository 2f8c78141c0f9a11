// What one status poll costs the console: its duration against the time the
// characters need on a 9600 baud line, the console's CPU while it polls at line
// speed with the real 200 ms timer, and the CPU of the same poll written as the
// short python-serial scripts a lab engineer would use instead: one looking every
// millisecond, one blocking in read(n). Also the wait for a reply that never comes.
//
// The generator is ondrel-sim in a process of its own, so that the CPU it spends
// pacing its replies is not charged to the console.
//
//   bench_poll [--polls N] [--seconds S] [--rounds N] [--turnaround MS] [--sim PATH]
//              [--python PATH] [--baseline PATH] [--no-baseline]
#include "consolestate.h"
#include "countingclock.h"
#include "exchange.h"
#include "mainfrm.h"
#include "modalanswerer.h"
#include "mscomm.h"
#include "observers.h"
#include "ondrelview.h"
#include "resource.h"

#include <QApplication>
#include <QLineEdit>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace ondrel;

namespace {

constexpr double kCharMs = 10.0 * 1000.0 / 9600.0; // 8N1: ten bits a character
// FLT and MON frames with their replies: 5 + 19 + 5 + 21 characters.
constexpr int kPollChars = 50;
// What the simulator itself takes: it writes a reply's last character n - 1
// character times after the first, and the frames we send are not paced at all.
constexpr int kSimPacedChars = (19 - 1) + (21 - 1);

const char kUsage[] =
    "usage: bench_poll [options]\n"
    "  --polls N         direct polls timed for the duration figure (default 300)\n"
    "  --seconds S       length of each CPU run, console and baseline (default 60)\n"
    "  --rounds N        turns the console and the baseline take at polling (default 6)\n"
    "  --turnaround MS   the simulator's think time per reply (default 2)\n"
    "  --sim PATH        the ondrel-sim program (default: the one built with this)\n"
    "  --python PATH     the python interpreter for the baseline (default /usr/bin/python3)\n"
    "  --baseline PATH   the baseline script (default: bench/baseline_poll.py)\n"
    "  --no-baseline     skip the python baseline\n";

struct Config
{
    int polls = 300;
    int seconds = 60;
    int turnaroundMs = 2;
    int rounds = 6;
    std::string simPath = ONDREL_SIM_PATH;
    // Debian's interpreter, which has python3-serial; a python3 earlier on PATH
    // (pyenv, a venv) often has not.
    std::string python = "/usr/bin/python3";
    std::string baseline = ONDREL_BASELINE_SCRIPT;
    bool runBaseline = true;
};

int Usage(const std::string& message)
{
    std::fprintf(stderr, "bench_poll: %s\n%s", message.c_str(), kUsage);
    return 2;
}

bool ParseCount(const char* text, int low, int high, int* out)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return false;
    *out = int(value);
    return true;
}

// 0 to go on, otherwise the exit code.
int ParseArguments(int argc, char** argv, Config* c)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (arg == "--no-baseline") {
            c->runBaseline = false;
        } else if (arg == "--polls" || arg == "--seconds" || arg == "--turnaround" ||
                   arg == "--rounds") {
            int* target = arg == "--polls"     ? &c->polls
                          : arg == "--seconds" ? &c->seconds
                          : arg == "--rounds"  ? &c->rounds
                                               : &c->turnaroundMs;
            const int low = arg == "--turnaround" ? 0 : 1;
            const int high = arg == "--turnaround" ? 1000 : 100000;
            if (!hasValue || !ParseCount(argv[++i], low, high, target))
                return Usage(arg + " needs a whole number from " + std::to_string(low) + " to " +
                             std::to_string(high));
        } else if (arg == "--sim" || arg == "--python" || arg == "--baseline") {
            if (!hasValue || argv[i + 1][0] == '\0')
                return Usage(arg + " needs a path");
            std::string& target = arg == "--sim"      ? c->simPath
                                  : arg == "--python" ? c->python
                                                      : c->baseline;
            target = argv[++i];
        } else {
            return Usage("unknown option '" + arg + "'");
        }
    }
    if (c->rounds > c->seconds)
        return Usage("--rounds must not exceed --seconds: a round lasts a second at least");
    return 0;
}

double CpuSeconds(const rusage& r)
{
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double SelfCpuSeconds()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return CpuSeconds(r);
}

double NowSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A child process with its standard output on a pipe (or inherited).
class CChild
{
public:
    ~CChild() { Stop(); }

    bool Spawn(const std::vector<std::string>& args, bool pipeOut, std::string* error)
    {
        int fds[2] = {-1, -1};
        if (pipeOut && pipe2(fds, O_CLOEXEC) != 0) {
            *error = std::string("cannot make a pipe: ") + std::strerror(errno);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (pipeOut)
            posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (pipeOut)
            close(fds[1]);
        if (rc != 0) {
            if (pipeOut)
                close(fds[0]);
            m_pid = -1;
            *error = "cannot start " + args[0] + ": " + std::strerror(rc);
            return false;
        }
        m_out = pipeOut ? fds[0] : -1;
        return true;
    }

    // The first line of its output, waiting at most timeoutMs.
    bool ReadLine(int timeoutMs, std::string* line)
    {
        line->clear();
        const double deadline = NowSeconds() + timeoutMs / 1000.0;
        for (;;) {
            const int left = int((deadline - NowSeconds()) * 1000.0);
            if (left <= 0)
                return false;
            pollfd p{m_out, POLLIN, 0};
            const int r = poll(&p, 1, left);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            char c;
            const ssize_t n = read(m_out, &c, 1);
            if (n <= 0)
                return false;
            if (c == '\n')
                return true;
            if (line->size() > 4096)
                return false;
            *line += c;
        }
    }

    // All output until the child closes it.
    std::string ReadAll()
    {
        std::string all;
        char buf[512];
        for (;;) {
            const ssize_t n = read(m_out, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return all;
            all.append(buf, size_t(n));
        }
    }

    // Waits for the end; its CPU from the kernel's own account.
    bool Wait(int* status, rusage* usage)
    {
        if (m_pid < 0)
            return false;
        pid_t r;
        do {
            r = wait4(m_pid, status, 0, usage);
        } while (r < 0 && errno == EINTR);
        m_pid = -1;
        CloseOut();
        return r > 0;
    }

    void Stop()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            m_pid = -1;
        }
        CloseOut();
    }

private:
    void CloseOut()
    {
        if (m_out >= 0)
            close(m_out);
        m_out = -1;
    }

    pid_t m_pid = -1;
    int m_out = -1;
};

struct Stats
{
    double median, p95, min, max;
};

Stats Summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) {
        return v[std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5))];
    };
    return {at(0.5), at(0.95), v.front(), v.back()};
}

// The console as the operator has it: the main frame with its bars around the
// form view, shown (offscreen), started up against the simulator.
struct Console
{
    QString port; // the generator's line
    std::unique_ptr<CMainFrame> frame;
    COndrelView* view = nullptr;

    bool Start(std::string* error)
    {
        ResetConsoleState();
        frame = std::make_unique<CMainFrame>();
        if (!frame->LoadFrame(IDR_MAINFRAME)) {
            *error = "the main frame could not be created";
            return false;
        }
        view = new COndrelView(CViewContext{port}, frame.get());
        frame->SetView(view);
        CConsoleObservers(nullptr, nullptr)
            .Attach(view, frame.get()); // the trend, as the console has it
        frame->show();
        // Start-up talks to the generator; a box it raises must not hang the run,
        // but it does mean the figures would be meaningless.
        CModalAnswerer answerer;
        view->OnInitialUpdate();
        if (answerer.Count() > 0) {
            *error = "start-up showed \"" + answerer.Texts().join(" / ").toStdString() + "\"";
            return false;
        }
        if (view->m_editVersion->text() != QLatin1String("2000") || g_linkFailed != 0) {
            *error = "the simulator did not answer the version read (shown: \"" +
                     view->m_editVersion->text().toStdString() + "\")";
            return false;
        }
        return true;
    }
};

// (a) One poll, called directly, against its wire time.
bool PollDuration(Console& console, const Config& c)
{
    std::vector<double> ms;
    ms.reserve(size_t(c.polls));
    for (int i = 0; i < c.polls; ++i) {
        console.view->m_editKilovolts->clear();
        const double start = NowSeconds();
        console.view->PollStatus();
        ms.push_back((NowSeconds() - start) * 1000.0);
        if (g_linkFailed != 0) {
            std::fprintf(stderr, "bench_poll: poll %d timed out; the duration figure is void\n",
                         i + 1);
            return false;
        }
        if (console.view->m_editKilovolts->text().isEmpty() ||
            console.view->m_editFaults->text() != QLatin1String("No Error")) {
            std::fprintf(stderr, "bench_poll: poll %d did not fill the form\n", i + 1);
            return false;
        }
        QCoreApplication::processEvents(); // let the form repaint between polls, untimed
    }
    const Stats s = Summarise(ms);
    const double wire = kPollChars * kCharMs + 2.0 * c.turnaroundMs;
    const double paced = kSimPacedChars * kCharMs + 2.0 * c.turnaroundMs;
    std::printf("poll duration: median %.2f ms, p95 %.2f ms, min %.2f ms, max %.2f ms (%d polls)\n",
                s.median, s.p95, s.min, s.max, c.polls);
    std::printf("wire time: %d characters at 9600 8N1 + 2 x %d ms turnaround = %.2f ms\n",
                kPollChars, c.turnaroundMs, wire);
    std::printf("poll ratio (duration / wire time): median %.3f, p95 %.3f (goal <= 1.05)\n",
                s.median / wire, s.p95 / wire);
    std::printf("simulator's own pacing (last reply characters, unpaced frames): %.2f ms; "
                "median / that %.3f, p95 / that %.3f\n",
                paced, s.median / paced, s.p95 / paced);
    std::fflush(stdout);
    return true;
}

// CPU seconds and wall seconds of the event loop left to run for a while.
void RunFor(QApplication& app, int ms, double* cpu, double* wall)
{
    const double cpu0 = SelfCpuSeconds();
    const double wall0 = NowSeconds();
    QTimer::singleShot(ms, &app, &QCoreApplication::quit);
    app.exec();
    *cpu = SelfCpuSeconds() - cpu0;
    *wall = NowSeconds() - wall0;
}

// CPU and wall seconds summed over the rounds of one contender.
struct CpuTally
{
    double cpu = 0;
    double wall = 0;
    long ticks = 0;
    long sleeps = 0;
    double Percent() const { return wall > 0 ? 100.0 * cpu / wall : 0.0; }
};

// (b) The console left to its own timer for a while.
bool ConsoleCpu(QApplication& app, Console& console, int ms, CpuTally* usage)
{
    // A new window's first full paint (and the tick start-up's exchanges held
    // back) is no cost of polling: let it pass, unmeasured.
    double settleCpu = 0, settleWall = 0;
    RunFor(app, 1000, &settleCpu, &settleWall);
    CCountingClock sleep;
    console.view->m_wait.SetClock(&sleep);
    long ticks = 0;
    struct TickCounter : QObject
    {
        long* ticks;
        explicit TickCounter(long* t) : ticks(t) {}
        bool eventFilter(QObject*, QEvent* e) override
        {
            if (e->type() == QEvent::Timer)
                ++*ticks;
            return false;
        }
    } counter(&ticks);
    console.view->installEventFilter(&counter);
    double cpu = 0, wall = 0;
    RunFor(app, ms, &cpu, &wall);
    console.view->removeEventFilter(&counter);
    console.view->m_wait.SetClock(nullptr);

    if (g_linkFailed != 0) {
        std::fprintf(stderr, "bench_poll: a poll timed out during the CPU run; the figure is "
                             "void\n");
        return false;
    }
    usage->cpu += cpu;
    usage->wall += wall;
    usage->ticks += ticks;
    usage->sleeps += sleep.sleeps;
    return true;
}

// The same console with polling stopped: what is left is the event loop, the
// timers and the bars.
void IdleCpu(QApplication& app, int ms)
{
    g_linkFailed = 1; // as after a timed-out poll: the ticks come, nothing is sent
    double cpu = 0, wall = 0;
    RunFor(app, ms, &cpu, &wall);
    std::printf("console CPU with polling stopped: %.3f s in %.1f s = %.3f %% of one core\n", cpu,
                wall, 100.0 * cpu / wall);
    std::fflush(stdout);
}

// (d) A reply that never comes, on the console's own wait: nothing is sent, so
// the simulator has nothing to answer.
void MissingReply(Console& console)
{
    std::vector<double> seconds;
    for (int i = 0; i < 2; ++i) {
        const double start = NowSeconds();
        const bool got = ondrel::WaitForReply(console.view->m_comm, 6, console.view->m_wait);
        seconds.push_back(NowSeconds() - start);
        if (got)
            std::fprintf(stderr, "bench_poll: a reply came from nowhere\n");
    }
    std::printf("missing-reply wait: %.4f s, %.4f s (goal 3.70-3.75 s)\n", seconds[0], seconds[1]);
    std::fflush(stdout);
}

// Picks "key value" out of the baseline's summary line.
bool Field(const std::string& line, const std::string& key, double* value)
{
    const size_t at = line.find(key + " ");
    if (at == std::string::npos)
        return false;
    char* end = nullptr;
    const char* start = line.c_str() + at + key.size() + 1;
    *value = std::strtod(start, &end);
    return end != start;
}

// (c) The python loop against the same simulator, measured the same way: the
// script takes its own rusage around the loop, leaving out the interpreter's
// start-up, which the kernel's figure for the whole child includes.
bool BaselineCpu(const Config& c, const std::string& style, const std::string& port, double seconds,
                 CpuTally* usage, double* wholeProcess)
{
    CChild script;
    std::string error;
    char secondsText[32];
    std::snprintf(secondsText, sizeof secondsText, "%.3f", seconds);
    if (!script.Spawn(
            {c.python, c.baseline, "--port", port, "--seconds", secondsText, "--style", style},
            true, &error)) {
        std::fprintf(stderr, "bench_poll: %s\n", error.c_str());
        return false;
    }
    const std::string out = script.ReadAll();
    int status = 0;
    rusage child{};
    if (!script.Wait(&status, &child) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_poll: the baseline script failed (%s)\n", out.c_str());
        return false;
    }
    const size_t at = out.find("baseline:");
    const std::string line = at == std::string::npos ? std::string() : out.substr(at);
    double cpu = 0, wall = 0, polls = 0, timeouts = 0;
    if (!Field(line, "cpu", &cpu) || !Field(line, "wall", &wall) || !Field(line, "polls", &polls) ||
        !Field(line, "timeouts", &timeouts) || wall <= 0) {
        std::fprintf(stderr, "bench_poll: no summary from the baseline script: %s\n", out.c_str());
        return false;
    }
    if (timeouts > 0) {
        std::fprintf(stderr, "bench_poll: %.0f baseline exchanges timed out; the figure is void\n",
                     timeouts);
        return false;
    }
    usage->cpu += cpu;
    usage->wall += wall;
    usage->ticks += long(polls);
    *wholeProcess += CpuSeconds(child);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    if (const int rc = ParseArguments(argc, argv, &config))
        return rc < 0 ? 0 : rc;
    // Timer figures must not depend on whether a display happens to be around.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    std::signal(SIGPIPE, SIG_IGN);

    CChild sim;
    std::string error;
    if (!sim.Spawn({config.simPath, "--baud-pace", "--quiet", "--turnaround",
                    std::to_string(config.turnaroundMs)},
                   true, &error)) {
        std::fprintf(stderr, "bench_poll: %s\n", error.c_str());
        return 1;
    }
    std::string port;
    if (!sim.ReadLine(10000, &port) || port.rfind("/dev/", 0) != 0) {
        std::fprintf(stderr, "bench_poll: %s did not name its device (got \"%s\")\n",
                     config.simPath.c_str(), port.c_str());
        return 1;
    }
    std::printf("simulator: %s, line speed, turnaround %d ms\n", port.c_str(), config.turnaroundMs);

    QApplication app(argc, argv);
    // The machine's load drifts; taking turns in short rounds lets the console
    // and the baseline see the same load.
    const double roundSeconds = double(config.seconds) / config.rounds;
    CpuTally ours, loop, blocking;
    double loopWhole = 0, blockingWhole = 0;
    for (int round = 0; round < config.rounds; ++round) {
        {
            Console console;
            console.port = QString::fromStdString(port);
            if (!console.Start(&error)) {
                std::fprintf(stderr, "bench_poll: %s\n", error.c_str());
                return 1;
            }
            if (round == 0 && !PollDuration(console, config))
                return 1;
            if (!ConsoleCpu(app, console, int(roundSeconds * 1000), &ours))
                return 1;
            if (round == config.rounds - 1) {
                IdleCpu(app, std::max(5000, config.seconds * 250));
                MissingReply(console);
            }
        } // the console lets go of the port for the peers
        if (config.runBaseline &&
            (!BaselineCpu(config, "loop", port, roundSeconds, &loop, &loopWhole) ||
             !BaselineCpu(config, "read", port, roundSeconds, &blocking, &blockingWhole)))
            return 1;
    }

    std::printf("console CPU while polling: %.3f s in %.1f s = %.3f %% of one core, %ld ticks, "
                "%.3f ms a tick, %.1f sleeps of the wait a tick (goal <= 0.25 %%)\n",
                ours.cpu, ours.wall, ours.Percent(), ours.ticks,
                ours.ticks > 0 ? 1000.0 * ours.cpu / double(ours.ticks) : 0.0,
                ours.ticks > 0 ? double(ours.sleeps) / double(ours.ticks) : 0.0);
    if (!config.runBaseline)
        return 0;
    const struct
    {
        const char* name;
        const CpuTally& tally;
        double whole;
    } peers[] = {{"python 1 ms loop", loop, loopWhole},
                 {"python read(n)", blocking, blockingWhole}};
    for (const auto& peer : peers) {
        std::printf("%s CPU while polling: %.3f s in %.1f s = %.3f %% of one core, %ld polls, "
                    "%.3f ms a poll (whole processes incl. interpreter start-up: %.3f s)\n",
                    peer.name, peer.tally.cpu, peer.tally.wall, peer.tally.Percent(),
                    peer.tally.ticks,
                    peer.tally.ticks > 0 ? 1000.0 * peer.tally.cpu / double(peer.tally.ticks) : 0.0,
                    peer.whole);
        std::printf("CPU ratio console / %s: %.3f (goal < 1)\n", peer.name,
                    peer.tally.Percent() > 0 ? ours.Percent() / peer.tally.Percent() : 0.0);
    }
    std::printf("(%d alternating rounds: console, loop, read(n))\n", config.rounds);
    return 0;
}
