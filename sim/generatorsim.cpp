#include "generatorsim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace ondrel::sim {

namespace {

constexpr char kStx = 0x02;
constexpr char kCr = 0x0D;
// Nothing the console sends is longer than a dozen bytes; a bound keeps a
// stream of junk without CR from growing the buffer.
constexpr std::size_t kMaxFrame = 64;
// Received frames kept for ReceivedFrames(); a console polling for hours would
// otherwise grow the record without end.
constexpr std::size_t kMaxKeptFrames = 20000;
constexpr std::int64_t kNsPerMs = 1000000;
// 10 bits (start, 8 data, stop) at 9600 baud, as a numerator over 9600 so that
// deadlines stay exact: character i is due at start + i * kBitsTimesNs / 9600.
constexpr std::int64_t kBitsTimesNs = 10LL * 1000000000LL;
constexpr std::int64_t kBaud = 9600;
constexpr double kAmbientTenths = 250.0;   // 25.0 degrees
constexpr double kHeatTenthsPerWatt = 2.0; // steady rise: 0.2 degrees per watt
constexpr double kThermalTauS = 90.0;      // the tube warms and cools slowly
constexpr double kRampSeconds = 1.0;

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

std::string Visible(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == 0x02) {
            out += "<STX>";
        } else if (c == 0x0D) {
            out += "<CR>";
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<x%02X>", c);
            out += buf;
        }
    }
    return out;
}

std::string Digits4(long value)
{
    value = std::clamp(value, 0L, 9999L);
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04ld", value);
    return buf;
}

bool ParseNumber(const std::string& text, long maxValue, long* out)
{
    if (text.empty() || text.size() > 9)
        return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > maxValue)
        return false;
    *out = value;
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Unescape(const std::string& in, std::string* out, std::string* error)
{
    out->clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            *out += in[i];
            continue;
        }
        if (i + 1 >= in.size()) {
            *error = "a lone backslash at the end of the text";
            return false;
        }
        char e = in[++i];
        if (e == 'r') {
            *out += '\r';
        } else if (e == 'n') {
            *out += '\n';
        } else if (e == '\\') {
            *out += '\\';
        } else if (e == 'x') {
            int hi = i + 1 < in.size() ? HexValue(in[i + 1]) : -1;
            int lo = i + 2 < in.size() ? HexValue(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                *error = "\\x needs two hex digits";
                return false;
            }
            *out += char(hi * 16 + lo);
            i += 2;
        } else {
            *error = std::string("unknown escape \\") + e + " (use \\xHH \\r \\n \\\\)";
            return false;
        }
    }
    return true;
}

bool ValidFirmware(const std::string& text)
{
    return text.size() == 4 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

const char kHelp[] = "commands:\n"
                     "  help            list the commands\n"
                     "  status          set points, readings, flags and injections on one line\n"
                     "  normal          cancel every injection (faults stay)\n"
                     "  fault N         raise fault flag N (1-9); output off, X-rays disabled\n"
                     "  clear           clear the fault flags (as CLR does)\n"
                     "  silent on|off   answer nothing\n"
                     "  short K         drop the last K characters of every reply (0 = off)\n"
                     "  long K          append K characters '9' to every reply (0 = off)\n"
                     "  garble K        replace K characters of every reply, from position 1, "
                     "with '?' (0 = off)\n"
                     "  stray TEXT      send TEXT once, just before the next reply\n"
                     "  next TEXT       the next reply is exactly TEXT (several queue up)\n"
                     "                  TEXT escapes: \\xHH \\r \\n \\\\\n"
                     "  delay MS        delay every reply by MS ms (0 = off)\n"
                     "  drop N          answer nothing to the next N frames (they still act)\n"
                     "  nul on|off      a NUL byte at position 2 of every MON reply\n"
                     "  firmware XXXX   the FREV revision from now on\n"
                     "  noise on|off    reading noise\n"
                     "  reopen [MS]     pull the cable: close the line, wait MS ms (500), "
                     "open a new pty\n"
                     "  unlink          remove the --link symlink, the line stays open";

struct Parsed
{
    enum Kind
    {
        Empty,
        Help,
        Status,
        Normal,
        Fault,
        Clear,
        Silent,
        Short,
        Long,
        Garble,
        Stray,
        Next,
        Delay,
        Drop,
        Nul,
        Firmware,
        Noise,
        Reopen,
        Unlink
    };
    Kind kind = Empty;
    long number = 0;
    bool on = false;
    std::string text;
};

bool Parse(const std::string& rawLine, Parsed* out, std::string* error)
{
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) {
        out->kind = Parsed::Empty;
        return true;
    }
    std::size_t end = line.find_first_of(" \t", start);
    std::string word = line.substr(start, end == std::string::npos ? end : end - start);
    // The rest of the line verbatim (TEXT arguments keep inner spaces).
    std::string rest;
    if (end != std::string::npos)
        rest = line.substr(end + 1);
    std::vector<std::string> args;
    {
        std::size_t p = 0;
        while ((p = rest.find_first_not_of(" \t", p)) != std::string::npos) {
            std::size_t q = rest.find_first_of(" \t", p);
            args.push_back(rest.substr(p, q == std::string::npos ? q : q - p));
            p = q;
        }
    }

    struct Entry
    {
        const char* name;
        Parsed::Kind kind;
        char arg; // '-' none, 'n' number, 'b' on|off, 't' text, 'f' firmware, 'o' optional number
        long maxValue;
    };
    static const Entry table[] = {
        {"help", Parsed::Help, '-', 0},          {"status", Parsed::Status, '-', 0},
        {"normal", Parsed::Normal, '-', 0},      {"fault", Parsed::Fault, 'n', 9},
        {"clear", Parsed::Clear, '-', 0},        {"silent", Parsed::Silent, 'b', 0},
        {"short", Parsed::Short, 'n', 1000},     {"long", Parsed::Long, 'n', 1000},
        {"garble", Parsed::Garble, 'n', 1000},   {"stray", Parsed::Stray, 't', 0},
        {"next", Parsed::Next, 't', 0},          {"delay", Parsed::Delay, 'n', 600000},
        {"drop", Parsed::Drop, 'n', 1000000},    {"nul", Parsed::Nul, 'b', 0},
        {"firmware", Parsed::Firmware, 'f', 0},  {"noise", Parsed::Noise, 'b', 0},
        {"reopen", Parsed::Reopen, 'o', 600000}, {"unlink", Parsed::Unlink, '-', 0},
    };
    const Entry* entry = nullptr;
    for (const Entry& e : table)
        if (word == e.name)
            entry = &e;
    if (!entry) {
        *error = "unknown command '" + word + "' (try help)";
        return false;
    }
    out->kind = entry->kind;
    const std::string usage = std::string(entry->name);
    switch (entry->arg) {
    case '-':
        if (!args.empty()) {
            *error = usage + " takes no argument";
            return false;
        }
        return true;
    case 'n':
    case 'o':
        if (args.empty() && entry->arg == 'o') {
            out->number = 500;
            return true;
        }
        if (args.size() != 1 || !ParseNumber(args[0], entry->maxValue, &out->number)) {
            *error = usage + " needs one number from " +
                     (entry->kind == Parsed::Fault ? "1" : "0") + " to " +
                     std::to_string(entry->maxValue);
            return false;
        }
        if (entry->kind == Parsed::Fault && out->number < 1) {
            *error = "fault needs a flag number from 1 to 9";
            return false;
        }
        return true;
    case 'b':
        if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) {
            *error = usage + " needs on or off";
            return false;
        }
        out->on = args[0] == "on";
        return true;
    case 'f':
        if (args.size() != 1 || !ValidFirmware(args[0])) {
            *error = "firmware needs exactly four printable characters, e.g. 2000";
            return false;
        }
        out->text = args[0];
        return true;
    case 't': {
        if (rest.empty()) {
            *error = usage + " needs a TEXT";
            return false;
        }
        std::string why;
        if (!Unescape(rest, &out->text, &why)) {
            *error = usage + ": " + why;
            return false;
        }
        return true;
    }
    }
    return true;
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
        const char* what = "";
    };

    Options opts;
    mutable std::mutex m;

    // The line.
    int master = -1;
    int slave = -1; // ours: keeps the master readable while no console is attached
    std::string slavePath;
    int wake[2] = {-1, -1};
    std::thread thread;
    std::thread::id threadId;
    std::atomic<bool> stopping{false};
    bool running = false;
    bool linkMade = false;
    std::int64_t masterRetryAt = 0; // after a read error the master rests a while

    // A reopen is done by the serving thread; Command() waits for it.
    bool reopenRequested = false;
    long reopenMs = 500;
    unsigned long reopenGeneration = 0;
    std::string reopenAnswer;
    std::condition_variable reopenDone;

    // The generator.
    long vpSet = 0; // tenths of a kV
    long cpSet = 0; // µA
    bool enabled = false;
    double kv = 0, ua = 0, temp = kAmbientTenths;
    double kvTarget = 0, uaTarget = 0, kvRate = 1, uaRate = 1; // per second
    std::int64_t lastAdvance = 0;
    bool flags[9] = {};
    bool noise = true;
    std::mt19937 rng;
    std::string firmware;

    // Injections.
    bool silent = false;
    bool nul = false;
    long shortK = 0, longK = 0, garbleK = 0, delayMs = 0, dropN = 0;
    std::string stray;
    bool strayPending = false;
    std::deque<std::string> nextReplies;

    // Frame parser.
    std::string frame;
    bool inFrame = false;
    std::string garbage;
    std::size_t garbageCount = 0;

    // Output.
    std::deque<Job> jobs;
    std::int64_t lastEnd = 0;

    // Records.
    std::vector<std::string> frames;
    long replies = 0;
    long unanswered = 0;

    // Log: lines are queued under m and handed to the sink outside it, so a
    // sink may call back into the simulator.
    std::recursive_mutex logMutex;
    std::function<void(const std::string&)> logSink;
    std::function<void(const std::string&)> pathSink;
    std::vector<std::string> pendingLog;

    explicit Impl(Options o) : opts(std::move(o)), rng(opts.seed), firmware(opts.firmware)
    {
        logSink = [](const std::string& line) { std::cerr << line << std::endl; };
    }

    ~Impl()
    {
        ClosePty();
        for (int fd : wake)
            if (fd >= 0)
                close(fd);
    }

    // --- logging -----------------------------------------------------------

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

    // --- the pty -----------------------------------------------------------

    bool OpenPty(std::string* error)
    {
        int mfd = posix_openpt(O_RDWR | O_NOCTTY);
        if (mfd < 0) {
            *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        if (grantpt(mfd) != 0 || unlockpt(mfd) != 0) {
            *error = std::string("cannot unlock the pseudo-terminal: ") + std::strerror(errno);
            close(mfd);
            return false;
        }
        char name[128];
        if (ptsname_r(mfd, name, sizeof name) != 0) {
            *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
            close(mfd);
            return false;
        }
        fcntl(mfd, F_SETFD, FD_CLOEXEC);
        fcntl(mfd, F_SETFL, fcntl(mfd, F_GETFL) | O_NONBLOCK);
        int sfd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (sfd < 0) {
            *error = std::string("cannot open ") + name + ": " + std::strerror(errno);
            close(mfd);
            return false;
        }
        termios t{};
        if (tcgetattr(sfd, &t) == 0) {
            cfmakeraw(&t);
            cfsetispeed(&t, B9600);
            cfsetospeed(&t, B9600);
            tcsetattr(sfd, TCSANOW, &t);
        }
        master = mfd;
        slave = sfd;
        slavePath = name;
        masterRetryAt = 0;
        return true;
    }

    void ClosePty()
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
        master = slave = -1;
        jobs.clear();
        lastEnd = 0;
        frame.clear();
        inFrame = false;
        garbage.clear();
        garbageCount = 0;
    }

    bool MakeLink(std::string* error)
    {
        const std::string& path = opts.linkPath;
        struct stat st
        {};
        if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            *error = path + " exists and is not a symbolic link; not replacing it";
            return false;
        }
        // Made beside the target name and renamed over it, so the path never
        // goes missing while it is repointed.
        std::string tmp = path + ".tmp" + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(slavePath.c_str(), tmp.c_str()) != 0 ||
            rename(tmp.c_str(), path.c_str()) != 0) {
            *error = "cannot make the link " + path + ": " + std::strerror(errno);
            unlink(tmp.c_str());
            return false;
        }
        linkMade = true;
        return true;
    }

    // Removes the link only while it still points at our line, so a second
    // simulator that took the name over keeps it.
    void RemoveLink()
    {
        if (!linkMade)
            return;
        linkMade = false;
        char buf[256];
        ssize_t n = readlink(opts.linkPath.c_str(), buf, sizeof buf - 1);
        if (n > 0 && std::string(buf, std::size_t(n)) == slavePath)
            unlink(opts.linkPath.c_str());
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
            ClosePty();
        }
        FlushLog();
        WaitMs(ms);
        std::string answer, path;
        {
            std::lock_guard<std::mutex> l(m);
            if (stopping)
                return "error: the simulator stopped during reopen";
            std::string error;
            if (!OpenPty(&error)) {
                Log("reopen failed: " + error);
                answer = "error: " + error;
            } else {
                if (!opts.linkPath.empty() && !MakeLink(&error))
                    Log(error);
                Log("line open again at " + slavePath);
                answer = "ok reopened at " + slavePath;
                path = slavePath;
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

    // --- the generator -----------------------------------------------------

    bool AnyFault() const
    {
        return std::any_of(std::begin(flags), std::end(flags), [](bool f) { return f; });
    }

    static double Approach(double value, double target, double step)
    {
        if (value < target)
            return std::min(target, value + step);
        return std::max(target, value - step);
    }

    void Advance(std::int64_t now)
    {
        if (lastAdvance == 0)
            lastAdvance = now;
        double dt = double(now - lastAdvance) / 1e9;
        lastAdvance = now;
        if (dt <= 0)
            return;
        kv = Approach(kv, kvTarget, kvRate * dt);
        ua = Approach(ua, uaTarget, uaRate * dt);
        double watts = (kv / 10.0) * (ua / 1000.0);
        double tempTarget = kAmbientTenths + kHeatTenthsPerWatt * watts;
        temp += (tempTarget - temp) * (1.0 - std::exp(-dt / kThermalTauS));
    }

    // New targets ramp from where the output stands, over about a second
    // whatever the distance.
    void Retarget(std::int64_t now)
    {
        Advance(now);
        bool on = enabled && !AnyFault();
        kvTarget = on ? double(vpSet) : 0.0;
        uaTarget = on ? double(cpSet) : 0.0;
        kvRate = std::max(std::fabs(kvTarget - kv), 1.0) / kRampSeconds;
        uaRate = std::max(std::fabs(uaTarget - ua), 1.0) / kRampSeconds;
    }

    void RaiseFault(int n, std::int64_t now)
    {
        Advance(now);
        flags[n - 1] = true;
        enabled = false;
        kv = ua = 0; // an interlock cuts the output at once, no ramp
        Retarget(now);
    }

    long Jitter(int spread)
    {
        if (!noise)
            return 0;
        return long(rng() % unsigned(2 * spread + 1)) - spread;
    }

    std::string FaultText() const
    {
        std::string s;
        for (int i = 0; i < 9; ++i) {
            if (i)
                s += ' ';
            s += flags[i] ? '1' : '0';
        }
        return s;
    }

    std::string MonitorReply(std::int64_t now)
    {
        Advance(now);
        long k = std::lround(kv), u = std::lround(ua), t = std::lround(temp);
        // The random draws happen on every reading, so a seed gives the same
        // sequence whatever the output does.
        long nk = Jitter(1), nu = Jitter(2), nt = Jitter(1);
        if (k > 0)
            k += nk;
        if (u > 0)
            u += nu;
        t += nt;
        long power = std::lround(kv * ua / 1000.0); // tenths of a watt
        return std::string(1, kStx) + Digits4(k) + ' ' + Digits4(u) + ' ' + Digits4(t) + ' ' +
               Digits4(power) + kCr;
    }

    static bool SetPoint(const std::string& body, const char* mnemonic, long* value)
    {
        if (body.size() != 6 || body.compare(0, 2, mnemonic) != 0)
            return false;
        return ParseNumber(body.substr(2), 9999, value);
    }

    // The normal reply to a frame, or false for a frame the generator does not know.
    bool Respond(const std::string& frameBytes, std::int64_t now, std::string* reply, bool* isMon)
    {
        const std::string body = frameBytes.substr(1, frameBytes.size() - 2);
        *isMon = false;
        long value = 0;
        if (body == "FREV") {
            *reply = std::string(1, kStx) + firmware + kCr;
        } else if (body == "FLT") {
            *reply = std::string(1, kStx) + FaultText() + kCr;
        } else if (body == "MON") {
            *reply = MonitorReply(now);
            *isMon = true;
        } else if (SetPoint(body, "VP", &value)) {
            vpSet = value;
            Retarget(now);
            *reply = frameBytes;
        } else if (SetPoint(body, "CP", &value)) {
            cpSet = value;
            Retarget(now);
            *reply = frameBytes;
        } else if (body == "ENBL1" || body == "ENBL0") {
            enabled = body == "ENBL1";
            Retarget(now);
            *reply = frameBytes;
        } else if (body == "CLR") {
            std::fill(std::begin(flags), std::end(flags), false);
            Retarget(now);
            *reply = frameBytes;
        } else {
            return false;
        }
        return true;
    }

    void Enqueue(std::string bytes, std::int64_t due, const char* what)
    {
        Job job;
        job.bytes = std::move(bytes);
        job.paced = opts.baudPace;
        job.start = std::max(due, lastEnd);
        job.what = what;
        lastEnd =
            job.start + (job.paced ? std::int64_t(job.bytes.size()) * kBitsTimesNs / kBaud : 0);
        jobs.push_back(std::move(job));
    }

    void HandleFrame(const std::string& f, std::int64_t now)
    {
        if (frames.size() >= kMaxKeptFrames)
            frames.erase(frames.begin(), frames.begin() + kMaxKeptFrames / 2);
        frames.push_back(f);
        Log("<- " + Visible(f));
        std::string reply;
        bool isMon = false;
        if (!Respond(f, now, &reply, &isMon)) {
            ++unanswered;
            Log("   not understood, no reply");
            return;
        }
        if (silent) {
            ++unanswered;
            Log("   silent, no reply");
            return;
        }
        if (dropN > 0) {
            --dropN;
            ++unanswered;
            Log("   dropped, no reply (" + std::to_string(dropN) + " more to drop)");
            return;
        }
        if (!nextReplies.empty()) {
            reply = nextReplies.front();
            nextReplies.pop_front();
        } else {
            if (nul && isMon && reply.size() > 2)
                reply[2] = '\0';
            for (long i = 1; i <= garbleK && std::size_t(i) < reply.size(); ++i)
                reply[std::size_t(i)] = '?';
            reply.resize(reply.size() - std::min<std::size_t>(reply.size(), std::size_t(shortK)));
            reply.append(std::size_t(longK), '9');
        }
        std::int64_t due = now + (std::int64_t(opts.turnaroundMs) + delayMs) * kNsPerMs;
        if (strayPending) {
            strayPending = false;
            Enqueue(stray, due, "stray");
        }
        if (reply.empty()) {
            ++unanswered;
            Log("   reply cut to nothing");
            return;
        }
        Enqueue(std::move(reply), due, "");
    }

    void FlushGarbage()
    {
        if (garbageCount == 0)
            return;
        Log("<- dropped " + std::to_string(garbageCount) + " byte(s) outside a frame: " +
            Visible(garbage) + (garbageCount > garbage.size() ? "..." : ""));
        garbage.clear();
        garbageCount = 0;
    }

    void OnBytes(const char* data, std::size_t n, std::int64_t now)
    {
        for (std::size_t i = 0; i < n; ++i) {
            char c = data[i];
            if (c == kStx) {
                if (inFrame)
                    Log("<- broken frame dropped: " + Visible(frame));
                FlushGarbage();
                frame.assign(1, kStx);
                inFrame = true;
                continue;
            }
            if (!inFrame) {
                if (garbage.size() < kMaxFrame)
                    garbage += c;
                ++garbageCount;
                continue;
            }
            frame += c;
            if (c == kCr) {
                inFrame = false;
                std::string f;
                f.swap(frame);
                HandleFrame(f, now);
            } else if (frame.size() >= kMaxFrame) {
                Log("<- overlong frame dropped: " + Visible(frame) + "...");
                frame.clear();
                inFrame = false;
            }
        }
        FlushGarbage();
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
                Log(std::string("-> ") + (*job.what ? job.what : "") + (*job.what ? " " : "") +
                    Visible(job.bytes));
                if (!*job.what)
                    ++replies;
            }
            std::size_t count = job.paced ? 1 : job.bytes.size() - job.pos;
            ssize_t w = master >= 0 ? write(master, job.bytes.data() + job.pos, count) : -1;
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

    // --- the serving thread -------------------------------------------------

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
                        masterFd = master;
                    resting = masterFd < 0 && master >= 0;
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
                if (masterFd != master)
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

    std::string StatusLine()
    {
        Advance(NowNs());
        auto tenths = [](double v) {
            long x = std::lround(v);
            char b[32];
            std::snprintf(b, sizeof b, "%ld.%ld", x / 10, x % 10);
            return std::string(b);
        };
        std::string s = "set VP" + Digits4(vpSet) + " CP" + Digits4(cpSet) + " ENBL" +
                        (enabled ? "1" : "0") + " | kV " + tenths(kv) + " uA " +
                        std::to_string(std::lround(ua)) + " temp " + tenths(temp) + " | FLT " +
                        FaultText() + " | firmware " + firmware + " noise " +
                        (noise ? "on" : "off") + " | injections:";
        std::string inj;
        if (silent)
            inj += " silent";
        if (shortK)
            inj += " short " + std::to_string(shortK);
        if (longK)
            inj += " long " + std::to_string(longK);
        if (garbleK)
            inj += " garble " + std::to_string(garbleK);
        if (strayPending)
            inj += " stray " + Visible(stray);
        if (!nextReplies.empty())
            inj += " next x" + std::to_string(nextReplies.size());
        if (delayMs)
            inj += " delay " + std::to_string(delayMs);
        if (dropN)
            inj += " drop " + std::to_string(dropN);
        if (nul)
            inj += " nul";
        return s + (inj.empty() ? " none" : inj);
    }

    // Runs everything but reopen; m is held.
    std::string Apply(const Parsed& p)
    {
        auto onOff = [](bool b) { return std::string(b ? "on" : "off"); };
        std::int64_t now = NowNs();
        switch (p.kind) {
        case Parsed::Empty:
            return "";
        case Parsed::Help:
            return kHelp;
        case Parsed::Status:
            return StatusLine();
        case Parsed::Normal:
            silent = nul = false;
            shortK = longK = garbleK = delayMs = dropN = 0;
            stray.clear();
            strayPending = false;
            nextReplies.clear();
            return "ok no injections (faults stay)";
        case Parsed::Fault:
            RaiseFault(int(p.number), now);
            return "ok fault " + std::to_string(p.number) + " raised, output off";
        case Parsed::Clear:
            std::fill(std::begin(flags), std::end(flags), false);
            Retarget(now);
            return "ok faults cleared";
        case Parsed::Silent:
            silent = p.on;
            return "ok silent " + onOff(silent);
        case Parsed::Short:
            shortK = p.number;
            return "ok short " + std::to_string(shortK);
        case Parsed::Long:
            longK = p.number;
            return "ok long " + std::to_string(longK);
        case Parsed::Garble:
            garbleK = p.number;
            return "ok garble " + std::to_string(garbleK);
        case Parsed::Stray:
            stray = p.text;
            strayPending = true;
            return "ok stray " + Visible(stray) + " before the next reply";
        case Parsed::Next:
            nextReplies.push_back(p.text);
            return "ok next reply " + Visible(p.text) + " (" + std::to_string(nextReplies.size()) +
                   " queued)";
        case Parsed::Delay:
            delayMs = p.number;
            return "ok delay " + std::to_string(delayMs) + " ms";
        case Parsed::Drop:
            dropN = p.number;
            return "ok dropping the next " + std::to_string(dropN) + " frame(s)";
        case Parsed::Nul:
            nul = p.on;
            return "ok nul " + onOff(nul);
        case Parsed::Firmware:
            firmware = p.text;
            return "ok firmware " + firmware;
        case Parsed::Noise:
            noise = p.on;
            return "ok noise " + onOff(noise);
        case Parsed::Unlink:
            if (opts.linkPath.empty())
                return "error: no --link path was given";
            if (!linkMade)
                return "ok the link was already gone";
            RemoveLink();
            return "ok removed " + opts.linkPath;
        case Parsed::Reopen:
            break;
        }
        return "error: internal: unhandled command";
    }

    std::string Command(const std::string& line)
    {
        Parsed p;
        std::string error;
        if (!Parse(line, &p, &error))
            return "error: " + error;
        if (p.kind != Parsed::Reopen) {
            std::string answer;
            {
                std::lock_guard<std::mutex> l(m);
                answer = Apply(p);
                if (p.kind != Parsed::Empty && p.kind != Parsed::Help && p.kind != Parsed::Status)
                    Log("command: " + line + " -> " + answer);
            }
            FlushLog();
            return answer;
        }
        std::unique_lock<std::mutex> l(m);
        if (!running || std::this_thread::get_id() == threadId) {
            if (master < 0 && !running)
                return "error: the line is not open yet";
            l.unlock();
            return ReopenNow(p.number);
        }
        unsigned long generation = reopenGeneration;
        reopenRequested = true;
        reopenMs = p.number;
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
        if (!ValidFirmware(d->firmware)) {
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
        if (!d->OpenPty(error))
            return false;
        if (!d->opts.linkPath.empty() && !d->MakeLink(error)) {
            d->ClosePty();
            return false;
        }
        d->Log("line open at " + d->slavePath);
    }
    d->FlushLog();
    for (const std::string& c : d->opts.startCommands) {
        std::string answer = d->Command(c);
        if (answer.rfind("error", 0) == 0) {
            *error = "start command '" + c + "': " + answer;
            std::lock_guard<std::mutex> l(d->m);
            d->RemoveLink();
            d->ClosePty();
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
        d->RemoveLink();
        d->ClosePty();
        d->Log("stopped");
    }
    d->reopenDone.notify_all();
    d->FlushLog();
}

std::string CGeneratorSim::SlavePath() const
{
    std::lock_guard<std::mutex> l(d->m);
    return d->slavePath;
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
    return d->frames;
}

void CGeneratorSim::ClearReceivedFrames()
{
    std::lock_guard<std::mutex> l(d->m);
    d->frames.clear();
}

long CGeneratorSim::RepliesSent() const
{
    std::lock_guard<std::mutex> l(d->m);
    return d->replies;
}

long CGeneratorSim::FramesUnanswered() const
{
    std::lock_guard<std::mutex> l(d->m);
    return d->unanswered;
}

const char* CGeneratorSim::CommandHelp()
{
    return kHelp;
}

bool CGeneratorSim::ValidateCommand(const std::string& line, std::string* error)
{
    Parsed p;
    std::string dummy;
    return Parse(line, &p, error ? error : &dummy);
}

} // namespace ondrel::sim
