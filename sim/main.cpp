// ondrel-sim: a simulated generator on a pseudo-terminal, for trying the console
// without hardware and for fault-injection by hand or from scripts.
#include "generatorsim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

using ondrel::sim::CGeneratorSim;
using ondrel::sim::Options;

namespace {

const char kUsage[] =
    "Usage: ondrel-sim [options]\n"
    "Serves a simulated X-ray generator on a new pseudo-terminal and prints the\n"
    "device path as the first line of standard output. Control commands are read\n"
    "from standard input, one a line (type help). SIGINT or SIGTERM stops it.\n"
    "\n"
    "Options:\n"
    "  --firmware XXXX   the FREV revision (default 2000)\n"
    "  --baud-pace       pace replies at 9600 8N1, about 1.04 ms a character\n"
    "  --turnaround MS   think time before a reply (default 2)\n"
    "  --link PATH       also make a symbolic link PATH to the device (removed at exit)\n"
    "  --seed N          seed of the reading noise (default 1)\n"
    "  --quiet           no traffic log on standard error\n"
    "  --do \"COMMAND\"    run a control command at start (repeatable)\n"
    "  --help            this text, then the control commands\n"
    "  --version         the version\n";

int g_signalPipe[2] = {-1, -1};
std::mutex g_outMutex;

void OnSignal(int)
{
    int saved = errno;
    char c = 1;
    [[maybe_unused]] ssize_t n = write(g_signalPipe[1], &c, 1);
    errno = saved;
}

void PrintLine(std::FILE* to, const std::string& text)
{
    std::lock_guard<std::mutex> l(g_outMutex);
    std::fputs(text.c_str(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

int BadOption(const std::string& message)
{
    std::fprintf(stderr, "ondrel-sim: %s (see --help)\n", message.c_str());
    return 2;
}

bool ParseInt(const std::string& text, long maxValue, long* out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    *out = std::stol(text);
    return *out <= maxValue;
}

void RunCommandLine(CGeneratorSim& sim, const std::string& line)
{
    std::string answer = sim.Command(line);
    if (answer.empty())
        return;
    PrintLine(answer.rfind("error", 0) == 0 ? stderr : stdout, answer);
}

enum LongOnly
{
    kFirmware = 256,
    kBaudPace,
    kTurnaround,
    kLink,
    kSeed,
    kQuiet,
    kDo,
    kVersion
};

const option kOptions[] = {
    {"firmware", required_argument, nullptr, kFirmware},
    {"baud-pace", no_argument, nullptr, kBaudPace},
    {"turnaround", required_argument, nullptr, kTurnaround},
    {"link", required_argument, nullptr, kLink},
    {"seed", required_argument, nullptr, kSeed},
    {"quiet", no_argument, nullptr, kQuiet},
    {"do", required_argument, nullptr, kDo},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// "--name" of the option getopt_long reports by its value, or empty.
std::string LongName(int value)
{
    for (const option& o : kOptions)
        if (o.name && o.val == value)
            return std::string("--") + o.name;
    return {};
}

// The exit code when the program is to end here (help, a bad option), else -1.
int ParseOptions(int argc, char** argv, Options* options, bool* quiet)
{
    opterr = 0; // the messages below name the option and point to --help
    // '-': a word that is no option comes back in order, so it can be refused;
    // ':': a missing value is told apart from an unknown option.
    for (;;) {
        const int at = optind;
        const int c = getopt_long(argc, argv, "-:h", kOptions, nullptr);
        if (c == -1)
            break;
        const std::string value = optarg ? optarg : "";
        long number = 0;
        std::string error;
        switch (c) {
        case 'h':
            // The control commands belong here too: the manual page is made from this.
            std::printf("%s\n%s\n", kUsage, CGeneratorSim::CommandHelp());
            return 0;
        case kVersion:
            std::puts("ondrel-sim " ONDREL_VERSION);
            return 0;
        case kFirmware:
            if (!CGeneratorSim::ValidateCommand("firmware " + value, &error))
                return BadOption("--firmware needs exactly four printable characters, e.g. 2000");
            options->firmware = value;
            break;
        case kBaudPace:
            options->baudPace = true;
            break;
        case kTurnaround:
            if (!ParseInt(value, 60000, &number))
                return BadOption("--turnaround needs a number of milliseconds from 0 to 60000");
            options->turnaroundMs = int(number);
            break;
        case kLink:
            if (value.empty())
                return BadOption("--link needs a path");
            options->linkPath = value;
            break;
        case kSeed:
            if (!ParseInt(value, 4294967295L, &number))
                return BadOption("--seed needs a number from 0 to 4294967295");
            options->seed = unsigned(number);
            break;
        case kQuiet:
            *quiet = true;
            break;
        case kDo:
            if (!CGeneratorSim::ValidateCommand(value, &error))
                return BadOption("--do \"" + value + "\": " + error);
            options->startCommands.push_back(value);
            break;
        case ':':
            return BadOption(LongName(optopt) + " needs a value");
        case '?':
            if (!LongName(optopt).empty())
                return BadOption(LongName(optopt) + " takes no value");
            return BadOption("unknown option '" + std::string(argv[at]) + "'");
        default: // 1: a word that is no option
            return BadOption("unknown option '" + value + "'");
        }
    }
    if (optind < argc) // what follows "--"
        return BadOption("unknown option '" + std::string(argv[optind]) + "'");
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    // A reader of --sim-log that went away is a failed write, not the end.
    std::signal(SIGPIPE, SIG_IGN);
    Options options;
    bool quiet = false;
    if (int code = ParseOptions(argc, argv, &options, &quiet); code >= 0)
        return code;

    if (pipe(g_signalPipe) != 0) {
        std::fprintf(stderr, "ondrel-sim: cannot make a pipe: %s\n", std::strerror(errno));
        return 1;
    }
    fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);

    // The serving thread inherits a mask without SIGINT/SIGTERM, so the
    // signals land here, where the handler only pokes the pipe.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    struct sigaction sa
    {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    CGeneratorSim sim(options);
    if (quiet)
        sim.SetLogSink(nullptr);
    else
        sim.SetLogSink([](const std::string& line) { PrintLine(stderr, line); });
    std::string error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "ondrel-sim: %s\n", error.c_str());
        return 1;
    }
    PrintLine(stdout, sim.SlavePath());
    // Set only now, so a reopen among the --do commands does not print a path
    // before the first line.
    sim.SetPathSink([](const std::string& path) { PrintLine(stdout, path); });
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

    bool stdinOpen = true;
    bool discarding = false; // the rest of an overlong line
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int r = poll(fds, stdinOpen ? 2 : 1, -1);
        if (r < 0)
            continue; // EINTR: the pipe says whether it was a stop signal
        if (fds[0].revents)
            break;
        if (stdinOpen && fds[1].revents) {
            char buf[1024];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                // No more commands, but the generator keeps serving.
                stdinOpen = false;
                if (!pending.empty())
                    RunCommandLine(sim, pending);
                pending.clear();
                continue;
            }
            pending.append(buf, std::size_t(n));
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                if (!discarding)
                    RunCommandLine(sim, pending.substr(0, nl));
                discarding = false;
                pending.erase(0, nl + 1);
            }
            if (pending.size() > 4096) {
                if (!discarding)
                    PrintLine(stderr, "error: command line too long, ignored");
                discarding = true;
                pending.clear();
            }
        }
    }
    sim.Stop();
    return 0;
}
