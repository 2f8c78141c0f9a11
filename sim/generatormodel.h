// The simulated generator itself: set points, output ramps, tube temperature,
// fault flags, the framing of what arrives on the line and the reply to each
// frame, shaped by the injected faults. No descriptors, no threads, no clock:
// the caller says what time it is, so the model runs the same under a test.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace ondrel::sim {

// STX and CR shown as <STX> and <CR>, other unprintable bytes as <xHH>.
std::string Visible(const std::string& bytes);

// What the generator is told to do wrong, until "normal".
struct Injections
{
    bool silent = false;
    bool nul = false; // a NUL at position 2 of every MON reply
    long shortK = 0, longK = 0, garbleK = 0, delayMs = 0, dropN = 0;
    std::string mute; // frames beginning with this mnemonic get no reply
    std::string stray;
    bool strayPending = false;
    std::deque<std::string> nextReplies;
};

// Bytes for the line, not before dueNs.
struct Outgoing
{
    std::string bytes;
    std::int64_t dueNs = 0;
    bool isReply = true; // false: stray characters ahead of a reply
};

struct Readings
{
    double kv = 0;   // tenths of a kV
    double ua = 0;   // µA
    double temp = 0; // tenths of a degree
};

class CGeneratorModel
{
public:
    using LogFn = std::function<void(const std::string&)>;

    CGeneratorModel(std::string firmware, unsigned seed, int turnaroundMs, LogFn log);

    // Bytes from the line at nowNs (a monotonic time in ns). Each complete frame
    // acts at once; what it is answered with is appended to *out.
    void Receive(const char* data, std::size_t n, std::int64_t nowNs, std::vector<Outgoing>* out);
    // The line was closed: a frame half received is lost.
    void ResetFraming();

    void RaiseFault(int flag, std::int64_t nowNs); // 1-9
    void ClearFaults(std::int64_t nowNs);
    std::string FaultText() const; // nine '0'/'1' separated by spaces, as FLT answers

    void SetFirmware(std::string firmware) { m_firmware = std::move(firmware); }
    const std::string& Firmware() const { return m_firmware; }
    void SetNoise(bool on) { m_noise = on; }
    bool Noise() const { return m_noise; }

    long VoltageSet() const { return m_vpSet; }
    long CurrentSet() const { return m_cpSet; }
    bool Enabled() const { return m_enabled; }
    Readings ReadingsAt(std::int64_t nowNs); // without noise

    Injections& Inject() { return m_inject; }
    const Injections& Inject() const { return m_inject; }

    const std::vector<std::string>& Frames() const { return m_frames; }
    void ClearFrames() { m_frames.clear(); }
    long FramesUnanswered() const { return m_unanswered; }

    static bool ValidFirmware(const std::string& text);

private:
    bool AnyFault() const;
    void Advance(std::int64_t now);
    void Retarget(std::int64_t now);
    long Jitter(int spread);
    std::string MonitorReply(std::int64_t now);
    bool Respond(const std::string& frame, std::int64_t now, std::string* reply, bool* isMon);
    void HandleFrame(const std::string& frame, std::int64_t now, std::vector<Outgoing>* out);
    void FlushGarbage();

    int m_turnaroundMs;
    LogFn m_log;

    long m_vpSet = 0; // tenths of a kV
    long m_cpSet = 0; // µA
    bool m_enabled = false;
    Readings m_now;
    double m_kvTarget = 0, m_uaTarget = 0, m_kvRate = 1, m_uaRate = 1; // per second
    std::int64_t m_lastAdvance = 0;
    bool m_flags[9] = {};
    bool m_noise = true;
    std::mt19937 m_rng;
    std::string m_firmware;

    Injections m_inject;

    std::string m_frame;
    bool m_inFrame = false;
    std::string m_garbage;
    std::size_t m_garbageCount = 0;

    std::vector<std::string> m_frames;
    long m_unanswered = 0;
};

} // namespace ondrel::sim
