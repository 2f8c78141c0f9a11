// How long the bounded wait really takes: the cost of a missing reply, and how
// soon a complete reply is noticed once its last character is on the line.
//
//   bench_wait [--missing N] [--exchanges N]
#include "exchange.h"
#include "frames.h"
#include "generatorsim.h"
#include "mscomm.h"
#include "ptyend.h"

#include <QCoreApplication>
#include <QStringList>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ondrel;

namespace {

// 10 bits a character at 9600 baud.
constexpr double kCharNs = 10.0 * 1e9 / 9600.0;

qint64 NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void SleepUntil(qint64 ns)
{
    timespec ts{time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

struct Stats
{
    double min, median, p95, p99, max;
};

Stats Summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) {
        return v[std::min(v.size() - 1, size_t(q * (v.size() - 1) + 0.5))];
    };
    return {v.front(), at(0.5), at(0.95), at(0.99), v.back()};
}

bool OpenComm(CMSComm& comm, const QString& path)
{
    comm.SetPortOverride(path);
    try {
        comm.SetCommPort(1);
        comm.SetSettings(QStringLiteral("9600,N,8,1"));
        comm.SetInputLen(1);
        comm.SetInputMode(0);
        comm.SetPortOpen(true);
    } catch (const CCommError& e) {
        std::fprintf(stderr, "bench_wait: %s\n", e.what());
        return false;
    }
    return true;
}

// (a) A generator that never answers.
bool MissingReply(int repetitions)
{
    CPtyEnd pty;
    if (!pty.IsOpen()) {
        std::fprintf(stderr, "bench_wait: cannot open a pty\n");
        return false;
    }
    CMSComm comm;
    if (!OpenComm(comm, pty.SlavePath()))
        return false;

    std::vector<double> seconds;
    for (int i = 0; i < repetitions; ++i) {
        const qint64 start = NowNs();
        const bool got = WaitForReply(comm, 6);
        seconds.push_back(double(NowNs() - start) / 1e9);
        if (got) {
            std::fprintf(stderr, "bench_wait: a reply appeared from nowhere\n");
            return false;
        }
    }
    const Stats s = Summarise(seconds);
    std::printf("missing reply: min %.3f s, median %.3f s, max %.3f s (%d runs, goal 3.700-3.750 "
                "s)\n",
                s.min, s.median, s.max, repetitions);
    std::fflush(stdout);
    return true;
}

const frames::Command kCycle[] = {frames::kReadVersion, frames::kReadFaults, frames::kReadMonitor,
                                  frames::kVoltage805,  frames::kEnable,     frames::kClearFaults};

void PrintLatency(const char* what, const std::vector<double>& ms, int timeouts)
{
    const Stats s = Summarise(ms);
    std::printf("reply noticed after last character (%s): median %.3f ms, p95 %.3f ms, "
                "p99 %.3f ms, min %.3f ms, max %.3f ms (%zu exchanges, %d timed out; goal "
                "median <= 0.10 ms, p99 <= 1 ms)\n",
                what, s.median, s.p95, s.p99, s.min, s.max, ms.size(), timeouts);
    std::fflush(stdout);
}

// (b1) Our own generator thread on a pty: it knows to the nanosecond when the
// last character went onto the line.
bool LatencyOwnWriter(int exchanges)
{
    CPtyEnd pty;
    if (!pty.IsOpen())
        return false;
    CMSComm comm;
    if (!OpenComm(comm, pty.SlavePath()))
        return false;

    std::mutex m;
    std::condition_variable cv;
    qint64 lastCharNs = 0;
    bool done = false;
    std::atomic<bool> stop{false};

    std::thread writer([&] {
        std::string frame;
        char c;
        while (!stop && ::read(pty.Fd(), &c, 1) == 1) {
            frame += c;
            if (c != '\r')
                continue;
            int length = 0;
            for (const auto& cmd : kCycle)
                if (frame == cmd.frame)
                    length = cmd.replyLength;
            frame.clear();
            std::string reply(size_t(length), 'x');
            reply.front() = '\x02';
            reply.back() = '\r';
            const qint64 start = NowNs() + 2000000; // turnaround
            for (size_t i = 0; i < reply.size(); ++i) {
                SleepUntil(start + qint64(double(i) * kCharNs));
                if (::write(pty.Fd(), &reply[i], 1) != 1)
                    return;
            }
            const qint64 sent = NowNs();
            std::lock_guard<std::mutex> l(m);
            lastCharNs = sent;
            done = true;
            cv.notify_one();
        }
    });

    std::vector<double> ms;
    int timeouts = 0;
    for (int i = 0; i < exchanges; ++i) {
        const frames::Command& cmd = kCycle[i % std::size(kCycle)];
        {
            std::lock_guard<std::mutex> l(m);
            done = false;
        }
        comm.SetOutput(QString::fromLatin1(cmd.frame));
        comm.SetInputLen(short(cmd.replyLength));
        const bool ok = WaitForReply(comm, cmd.replyLength);
        const qint64 returned = NowNs();
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return done; });
        if (ok)
            ms.push_back(double(returned - lastCharNs) / 1e6);
        else
            ++timeouts;
        l.unlock();
        comm.GetInput();
    }
    // The writer's read ends (EIO) once no one holds the slave side any more.
    stop = true;
    comm.SetPortOpen(false);
    pty.DropOwnSlave();
    writer.join();
    PrintLatency("own pty writer", ms, timeouts);
    return true;
}

// (b2) The simulated generator at line speed. It logs when a reply starts; the
// last character follows (length - 1) character times later.
bool LatencySimulator(int exchanges)
{
    sim::Options options;
    options.baudPace = true;
    sim::CGeneratorSim generator(options);
    std::mutex m;
    qint64 replyStartNs = 0;
    generator.SetLogSink([&](const std::string& line) {
        if (line.find("-> ") != std::string::npos) {
            std::lock_guard<std::mutex> l(m);
            replyStartNs = NowNs();
        }
    });
    std::string error;
    if (!generator.Start(&error)) {
        std::fprintf(stderr, "bench_wait: simulator: %s\n", error.c_str());
        return false;
    }
    CMSComm comm;
    if (!OpenComm(comm, QString::fromStdString(generator.SlavePath())))
        return false;

    std::vector<double> ms;
    int timeouts = 0;
    for (int i = 0; i < exchanges; ++i) {
        const frames::Command& cmd = kCycle[i % std::size(kCycle)];
        comm.SetOutput(QString::fromLatin1(cmd.frame));
        comm.SetInputLen(short(cmd.replyLength));
        const bool ok = WaitForReply(comm, cmd.replyLength);
        const qint64 returned = NowNs();
        comm.GetInput();
        std::lock_guard<std::mutex> l(m);
        if (!ok)
            ++timeouts;
        else
            ms.push_back(double(returned - replyStartNs - qint64((cmd.replyLength - 1) * kCharNs)) /
                         1e6);
    }
    PrintLatency("simulator, estimated from its log", ms, timeouts);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int missing = 5;
    int exchanges = 400;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        bool ok = false;
        int* target = args[i] == QLatin1String("--missing")     ? &missing
                      : args[i] == QLatin1String("--exchanges") ? &exchanges
                                                                : nullptr;
        if (target && i + 1 < args.size())
            *target = args[++i].toInt(&ok);
        if (!target || !ok || *target < 1) {
            std::fprintf(stderr, "usage: bench_wait [--missing N] [--exchanges N]\n");
            return 2;
        }
    }
    bool ok = MissingReply(missing);
    ok = LatencyOwnWriter(exchanges) && ok;
    ok = LatencySimulator(exchanges) && ok;
    return ok ? 0 : 1;
}
