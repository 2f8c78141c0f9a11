// The serving loop: one thread that reads the line, hands the bytes to the
// generator model, writes its replies when they are due (paced at the line's
// character time on request), and runs the control commands that arrive from
// other threads.
#include "generatorsim.h"

#include "generatormodel.h"
#include "ptyline.h"
#include "simcommand.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ondrel::sim {

namespace {

constexpr std::int64_t kNsPerMs = 1000000;
// 10 bits (start, 8 data, stop) at 9600 baud, as a numerator over 9600 so that
// deadlines stay exact: character i is due at start + i * kBitsTimesNs / 9600.
constexpr std::int64_t kBitsTimesNs = 10LL * 1000000000LL;
constexpr std::int64_t kBaud = 9600;

std::int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::string Timestamp()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, long(ts.tv_nsec / 1000000));
    return buf;
}

} // namespace

struct CGeneratorSim::Impl
{
    struct Job
    {
        std::string bytes;
        std::size_t pos = 0;
        std::int64_t start = 0; // when the first character is due
        bool paced = false;
        bool isReply = true;
    };

    Options opts;
    mutable std::mutex m;

    CPtyLine line;
    CGeneratorModel model;

    int wake[2] = {-1, -1};
    std::thread thread;
    std::thread::id threadId;
    std::atomic<bool> stopping{false};
    bool running = false;
    std::int64_t masterRetryAt = 0; // after a read error the master rests a while

    // A reopen is done by the serving thread; Command() waits for it.
    bool reopenRequested = false;
    long reopenMs = 500;
    unsigned long reopenGeneration = 0;
    std::string reopenAnswer;
    std::condition_variable reopenDone;

    // Output.
    std::deque<Job> jobs;
    std::int64_t lastEnd = 0;
    long replies = 0;

    // Log: lines are queued under m and handed to the sink outside it, so a
    // sink may call back into the simulator.
    std::recursive_mutex logMutex;
    std::function<void(const std::string&)> logSink;
    std::function<void(const std::string&)> pathSink;
    std::vector<std::string> pendingLog;

    explicit Impl(Options o)
        : opts(std::move(o)), line(opts.linkPath),
          model(opts.firmware, opts.seed, opts.turnaroundMs,
                [this](const std::string& text) { Log(text); })
    {
        logSink = [](const std::string& text) { std::cerr << text << std::endl; };
    }

    ~Impl()
    {
        CloseLine();
        for (int fd : wake)
            if (fd >= 0)
                close(fd);
    }

    // --- logging -----------------------------------------------------------

    // m is held.
    void Log(const std::string& text) { pendingLog.push_back(Timestamp() + " " + text); }

    void FlushLog()
    {
        std::lock_guard<std::recursive_mutex> lg(logMutex);
        std::vector<std::string> lines;
        std::function<void(const std::string&)> sink;
        {
            std::lock_guard<std::mutex> l(m);
            lines.swap(pendingLog);
            sink = logSink;
        }
        if (!sink)
            return;
        for (const std::string& line : lines) {
            try {
                sink(line);
            } catch (...) {
                // A failing sink must not take the line down with it.
            }
        }
    }

    void Wake()
    {
        if (wake[1] >= 0) {
            char c = 1;
            [[maybe_unused]] ssize_t n = write(wake[1], &c, 1);
        }
    }

    // --- the line ----------------------------------------------------------

    // m is held, or the thread is not running.
    bool OpenLine(std::string* error)
    {
        if (!line.Open(error))
            return false;
        masterRetryAt = 0;
        return true;
    }

    // What was on its way out, and a frame half received, go with the line.
    void CloseLine()
    {
        line.Close();
        jobs.clear();
        lastEnd = 0;
        model.ResetFraming();
    }

    // Sleeps up to ms, returning early when the simulator stops.
    void WaitMs(long ms)
    {
        std::int64_t deadline = NowNs() + std::int64_t(ms) * kNsPerMs;
        while (!stopping) {
            std::int64_t left = deadline - NowNs();
            if (left <= 0)
                return;
            pollfd p{wake[0], POLLIN, 0};
            int r = poll(&p, 1, int(std::min<std::int64_t>(left / kNsPerMs + 1, 1000)));
            if (r > 0) {
                char buf[64];
                while (read(wake[0], buf, sizeof buf) > 0) {
                }
            }
        }
    }

    // The cable pulled and plugged back in. Called without m held.
    std::string ReopenNow(long ms)
    {
        {
            std::lock_guard<std::mutex> l(m);
            Log("line closed (cable pulled), back in " + std::to_string(ms) + " ms");
            CloseLine();
        }
        FlushLog();
        WaitMs(ms);
        std::string answer, path;
        {
            std::lock_guard<std::mutex> l(m);
            if (stopping)
                return "error: the simulator stopped during reopen";
            std::string error;
            if (!OpenLine(&error)) {
                Log("reopen failed: " + error);
                answer = "error: " + error;
            } else {
                if (!line.MakeLink(&error))
                    Log(error);
                Log("line open again at " + line.SlavePath());
                answer = "ok reopened at " + line.SlavePath();
                path = line.SlavePath();
            }
        }
        FlushLog();
        if (!path.empty()) {
            std::function<void(const std::string&)> sink;
            {
                std::lock_guard<std::recursive_mutex> lg(logMutex);
                sink = pathSink;
            }
            if (sink) {
                try {
                    sink(path);
                } catch (...) {
                }
            }
        }
        return answer;
    }

    // --- output ------------------------------------------------------------

    void Enqueue(Outgoing out)
    {
        Job job;
        job.bytes = std::move(out.bytes);
        job.paced = opts.baudPace;
        job.start = std::max(out.dueNs, lastEnd);
        job.isReply = out.isReply;
        lastEnd =
            job.start + (job.paced ? std::int64_t(job.bytes.size()) * kBitsTimesNs / kBaud : 0);
        jobs.push_back(std::move(job));
    }

    void OnBytes(const char* data, std::size_t n, std::int64_t now)
    {
        std::vector<Outgoing> out;
        model.Receive(data, n, now, &out);
        for (Outgoing& o : out)
            Enqueue(std::move(o));
    }

    // Writes what is due; returns when the next character is due (0: nothing queued).
    std::int64_t WriteDue(std::int64_t now)
    {
        while (!jobs.empty()) {
            Job& job = jobs.front();
            std::int64_t due = job.start;
            if (job.paced)
                due += std::int64_t(job.pos) * kBitsTimesNs / kBaud;
            if (due > now)
                return due;
            if (job.pos == 0) {
                Log(std::string("-> ") + (job.isReply ? "" : "stray ") + Visible(job.bytes));
                if (job.isReply)
                    ++replies;
            }
            std::size_t count = job.paced ? 1 : job.bytes.size() - job.pos;
            ssize_t w = line.Write(job.bytes.data() + job.pos, count);
            if (w > 0)
                job.pos += std::size_t(w);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0 || (!job.paced && job.pos < job.bytes.size())) {
                // A console that does not read fills the pty; the rest is lost,
                // as on a line whose receiver overflowed.
                Log("   output dropped: " + std::to_string(job.bytes.size() - job.pos) +
                    " byte(s), the pty buffer is full");
                job.pos = job.bytes.size();
            }
            if (job.pos >= job.bytes.size())
                jobs.pop_front();
        }
        return 0;
    }

    void Run()
    {
        char buf[512];
        while (!stopping) {
            bool doReopen = false;
            long ms = 0;
            std::int64_t next = 0;
            int masterFd = -1;
            bool resting = false;
            {
                std::lock_guard<std::mutex> l(m);
                if (reopenRequested) {
                    reopenRequested = false;
                    doReopen = true;
                    ms = reopenMs;
                } else {
                    next = WriteDue(NowNs());
                    if (NowNs() >= masterRetryAt)
                        masterFd = line.MasterFd();
                    resting = masterFd < 0 && line.IsOpen();
                }
            }
            FlushLog();
            if (doReopen) {
                std::string answer = ReopenNow(ms);
                {
                    std::lock_guard<std::mutex> l(m);
                    reopenAnswer = answer;
                    ++reopenGeneration;
                }
                reopenDone.notify_all();
                continue;
            }

            int timeoutMs = 1000;
            std::int64_t now = NowNs();
            if (next != 0) {
                std::int64_t left = next - now;
                if (left <= 0)
                    continue;
                if (left < kNsPerMs) {
                    // poll() counts whole milliseconds; the last fraction is slept
                    // against the absolute deadline so pacing does not drift.
                    timespec ts{time_t(next / 1000000000LL), long(next % 1000000000LL)};
                    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
                    }
                    continue;
                }
                timeoutMs = int(std::min<std::int64_t>(left / kNsPerMs, 1000));
            }
            if (resting)
                timeoutMs = std::min(timeoutMs, 50);

            pollfd fds[2] = {{wake[0], POLLIN, 0}, {masterFd, POLLIN, 0}};
            int r = poll(fds, masterFd >= 0 ? 2 : 1, timeoutMs);
            if (r < 0)
                continue; // EINTR
            if (fds[0].revents & POLLIN) {
                while (read(wake[0], buf, sizeof buf) > 0) {
                }
            }
            if (masterFd >= 0 && fds[1].revents) {
                ssize_t n = read(masterFd, buf, sizeof buf);
                std::lock_guard<std::mutex> l(m);
                if (masterFd != line.MasterFd())
                    continue; // reopened meanwhile
                if (n > 0) {
                    OnBytes(buf, std::size_t(n), NowNs());
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    Log(std::string("line read failed: ") + std::strerror(errno));
                    masterRetryAt = NowNs() + 100 * kNsPerMs;
                } else if (n == 0) {
                    masterRetryAt = NowNs() + 100 * kNsPerMs;
                }
            }
            FlushLog();
        }
    }

    // --- control commands ---------------------------------------------------

    // m is held.
    std::string Unlink()
    {
        if (line.LinkPath().empty())
            return "error: no --link path was given";
        if (!line.LinkMade())
            return "ok the link was already gone";
        line.RemoveLink();
        return "ok removed " + line.LinkPath();
    }

    std::string Command(const std::string& text)
    {
        SimCommand c;
        std::string error;
        if (!ParseCommand(text, &c, &error))
            return "error: " + error;
        if (c.kind != SimCommand::Reopen) {
            std::string answer;
            {
                std::lock_guard<std::mutex> l(m);
                answer = c.kind == SimCommand::Unlink ? Unlink() : ApplyCommand(c, model, NowNs());
                if (c.kind != SimCommand::Empty && c.kind != SimCommand::Help &&
                    c.kind != SimCommand::Status)
                    Log("command: " + text + " -> " + answer);
            }
            FlushLog();
            return answer;
        }
        std::unique_lock<std::mutex> l(m);
        if (!running || std::this_thread::get_id() == threadId) {
            if (!line.IsOpen() && !running)
                return "error: the line is not open yet";
            l.unlock();
            return ReopenNow(c.number);
        }
        unsigned long generation = reopenGeneration;
        reopenRequested = true;
        reopenMs = c.number;
        Wake();
        reopenDone.wait(l, [&] { return reopenGeneration != generation || !running; });
        if (reopenGeneration == generation)
            return "error: the simulator stopped before the reopen";
        return reopenAnswer;
    }
};

CGeneratorSim::CGeneratorSim(Options options) : d(std::make_unique<Impl>(std::move(options))) {}

CGeneratorSim::~CGeneratorSim()
{
    Stop();
}

bool CGeneratorSim::Start(std::string* error)
{
    std::string dummy;
    if (!error)
        error = &dummy;
    {
        std::lock_guard<std::mutex> l(d->m);
        if (d->running)
            return true;
        if (!CGeneratorModel::ValidFirmware(d->model.Firmware())) {
            *error = "the firmware revision must be four printable characters";
            return false;
        }
        if (d->opts.turnaroundMs < 0) {
            *error = "the turnaround must not be negative";
            return false;
        }
        for (const std::string& c : d->opts.startCommands) {
            if (!ValidateCommand(c, error)) {
                *error = "start command '" + c + "': " + *error;
                return false;
            }
        }
        if (d->wake[0] < 0) {
            if (pipe(d->wake) != 0) {
                *error = std::string("cannot make a pipe: ") + std::strerror(errno);
                return false;
            }
            for (int fd : d->wake) {
                fcntl(fd, F_SETFD, FD_CLOEXEC);
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            }
        }
        d->stopping = false;
        if (!d->OpenLine(error))
            return false;
        if (!d->line.MakeLink(error)) {
            d->CloseLine();
            return false;
        }
        d->Log("line open at " + d->line.SlavePath());
    }
    d->FlushLog();
    for (const std::string& c : d->opts.startCommands) {
        std::string answer = d->Command(c);
        if (answer.rfind("error", 0) == 0) {
            *error = "start command '" + c + "': " + answer;
            std::lock_guard<std::mutex> l(d->m);
            d->line.RemoveLink();
            d->CloseLine();
            return false;
        }
    }
    std::lock_guard<std::mutex> l(d->m);
    d->running = true;
    d->thread = std::thread([this] { d->Run(); });
    d->threadId = d->thread.get_id();
    return true;
}

void CGeneratorSim::Stop()
{
    {
        std::lock_guard<std::mutex> l(d->m);
        if (!d->running)
            return;
        d->stopping = true;
    }
    d->Wake();
    if (d->thread.joinable())
        d->thread.join();
    {
        std::lock_guard<std::mutex> l(d->m);
        d->running = false;
        d->threadId = {};
        d->line.RemoveLink();
        d->CloseLine();
        d->Log("stopped");
    }
    d->reopenDone.notify_all();
    d->FlushLog();
}

std::string CGeneratorSim::SlavePath() const
{
    std::lock_guard<std::mutex> l(d->m);
    return d->line.SlavePath();
}

std::string CGeneratorSim::Command(const std::string& line)
{
    try {
        return d->Command(line);
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
}

void CGeneratorSim::SetLogSink(std::function<void(const std::string&)> sink)
{
    std::lock_guard<std::recursive_mutex> lg(d->logMutex);
    std::lock_guard<std::mutex> l(d->m);
    d->logSink = std::move(sink);
}

void CGeneratorSim::SetPathSink(std::function<void(const std::string&)> sink)
{
    std::lock_guard<std::recursive_mutex> lg(d->logMutex);
    d->pathSink = std::move(sink);
}

std::vector<std::string> CGeneratorSim::ReceivedFrames() const
{
    std::lock_guard<std::mutex> l(d->m);
    return d->model.Frames();
}

void CGeneratorSim::ClearReceivedFrames()
{
    std::lock_guard<std::mutex> l(d->m);
    d->model.ClearFrames();
}

long CGeneratorSim::RepliesSent() const
{
    std::lock_guard<std::mutex> l(d->m);
    return d->replies;
}

long CGeneratorSim::FramesUnanswered() const
{
    std::lock_guard<std::mutex> l(d->m);
    return d->model.FramesUnanswered();
}

const char* CGeneratorSim::CommandHelp()
{
    return kCommandHelp;
}

bool CGeneratorSim::ValidateCommand(const std::string& line, std::string* error)
{
    SimCommand p;
    std::string dummy;
    return ParseCommand(line, &p, error ? error : &dummy);
}

} // namespace ondrel::sim
