#include "generatormodel.h"

#include "byteescape.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ondrel::sim {

namespace {

constexpr char kStx = 0x02;
constexpr char kCr = 0x0D;
// Nothing the console sends is longer than a dozen bytes; a bound keeps a
// stream of junk without CR from growing the buffer.
constexpr std::size_t kMaxFrame = 64;
// Received frames kept for Frames(); a console polling for hours would
// otherwise grow the record without end.
constexpr std::size_t kMaxKeptFrames = 20000;
constexpr std::int64_t kNsPerMs = 1000000;
constexpr double kAmbientTenths = 250.0;   // 25.0 degrees
constexpr double kHeatTenthsPerWatt = 2.0; // steady rise: 0.2 degrees per watt
constexpr double kThermalTauS = 90.0;      // the tube warms and cools slowly
constexpr double kRampSeconds = 1.0;

std::string Digits4(long value)
{
    value = std::clamp(value, 0L, 9999L);
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04ld", value);
    return buf;
}

double Approach(double value, double target, double step)
{
    if (value < target)
        return std::min(target, value + step);
    return std::max(target, value - step);
}

bool SetPoint(const std::string& body, const char* mnemonic, long* value)
{
    if (body.size() != 6 || body.compare(0, 2, mnemonic) != 0)
        return false;
    long v = 0;
    for (std::size_t i = 2; i < 6; ++i) {
        if (body[i] < '0' || body[i] > '9')
            return false;
        v = v * 10 + (body[i] - '0');
    }
    *value = v;
    return true;
}

} // namespace

std::string Visible(const std::string& bytes)
{
    std::string out;
    AppendEscaped(out, bytes, ByteEscape{"<x", ">"}, [](unsigned char c) -> const char* {
        return c == 0x02 ? "<STX>" : c == 0x0D ? "<CR>" : nullptr;
    });
    return out;
}

CGeneratorModel::CGeneratorModel(std::string firmware, unsigned seed, int turnaroundMs, LogFn log)
    : m_turnaroundMs(turnaroundMs), m_log(std::move(log)), m_rng(seed),
      m_firmware(std::move(firmware))
{
    m_now.temp = kAmbientTenths;
    if (!m_log)
        m_log = [](const std::string&) {};
}

bool CGeneratorModel::ValidFirmware(const std::string& text)
{
    return text.size() == 4 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool CGeneratorModel::AnyFault() const
{
    return std::any_of(std::begin(m_flags), std::end(m_flags), [](bool f) { return f; });
}

void CGeneratorModel::Advance(std::int64_t now)
{
    if (m_lastAdvance == 0)
        m_lastAdvance = now;
    double dt = double(now - m_lastAdvance) / 1e9;
    m_lastAdvance = now;
    if (dt <= 0)
        return;
    m_now.kv = Approach(m_now.kv, m_kvTarget, m_kvRate * dt);
    m_now.ua = Approach(m_now.ua, m_uaTarget, m_uaRate * dt);
    double watts = (m_now.kv / 10.0) * (m_now.ua / 1000.0);
    double tempTarget = kAmbientTenths + kHeatTenthsPerWatt * watts;
    m_now.temp += (tempTarget - m_now.temp) * (1.0 - std::exp(-dt / kThermalTauS));
}

// New targets ramp from where the output stands, over about a second
// whatever the distance.
void CGeneratorModel::Retarget(std::int64_t now)
{
    Advance(now);
    bool on = m_enabled && !AnyFault();
    m_kvTarget = on ? double(m_vpSet) : 0.0;
    m_uaTarget = on ? double(m_cpSet) : 0.0;
    m_kvRate = std::max(std::fabs(m_kvTarget - m_now.kv), 1.0) / kRampSeconds;
    m_uaRate = std::max(std::fabs(m_uaTarget - m_now.ua), 1.0) / kRampSeconds;
}

void CGeneratorModel::RaiseFault(int flag, std::int64_t nowNs)
{
    Advance(nowNs);
    m_flags[flag - 1] = true;
    m_enabled = false;
    m_now.kv = m_now.ua = 0; // an interlock cuts the output at once, no ramp
    Retarget(nowNs);
}

void CGeneratorModel::ClearFaults(std::int64_t nowNs)
{
    std::fill(std::begin(m_flags), std::end(m_flags), false);
    Retarget(nowNs);
}

std::string CGeneratorModel::FaultText() const
{
    std::string s;
    for (int i = 0; i < 9; ++i) {
        if (i)
            s += ' ';
        s += m_flags[i] ? '1' : '0';
    }
    return s;
}

Readings CGeneratorModel::ReadingsAt(std::int64_t nowNs)
{
    Advance(nowNs);
    return m_now;
}

long CGeneratorModel::Jitter(int spread)
{
    if (!m_noise)
        return 0;
    return long(m_rng() % unsigned(2 * spread + 1)) - spread;
}

std::string CGeneratorModel::MonitorReply(std::int64_t now)
{
    Advance(now);
    long k = std::lround(m_now.kv), u = std::lround(m_now.ua), t = std::lround(m_now.temp);
    // The random draws happen on every reading, so a seed gives the same
    // sequence whatever the output does.
    long nk = Jitter(1), nu = Jitter(2), nt = Jitter(1);
    if (k > 0)
        k += nk;
    if (u > 0)
        u += nu;
    t += nt;
    long power = std::lround(m_now.kv * m_now.ua / 1000.0); // tenths of a watt
    return std::string(1, kStx) + Digits4(k) + ' ' + Digits4(u) + ' ' + Digits4(t) + ' ' +
           Digits4(power) + kCr;
}

// The normal reply to a frame, or false for a frame the generator does not know.
bool CGeneratorModel::Respond(const std::string& frame, std::int64_t now, std::string* reply,
                              bool* isMon)
{
    const std::string body = frame.substr(1, frame.size() - 2);
    *isMon = false;
    long value = 0;
    if (body == "FREV") {
        *reply = std::string(1, kStx) + m_firmware + kCr;
    } else if (body == "FLT") {
        *reply = std::string(1, kStx) + FaultText() + kCr;
    } else if (body == "MON") {
        *reply = MonitorReply(now);
        *isMon = true;
    } else if (SetPoint(body, "VP", &value)) {
        m_vpSet = value;
        Retarget(now);
        *reply = frame;
    } else if (SetPoint(body, "CP", &value)) {
        m_cpSet = value;
        Retarget(now);
        *reply = frame;
    } else if (body == "ENBL1" || body == "ENBL0") {
        m_enabled = body == "ENBL1";
        Retarget(now);
        *reply = frame;
    } else if (body == "CLR") {
        ClearFaults(now);
        *reply = frame;
    } else {
        return false;
    }
    return true;
}

void CGeneratorModel::HandleFrame(const std::string& frame, std::int64_t now,
                                  std::vector<Outgoing>* out)
{
    if (m_frames.size() >= kMaxKeptFrames)
        m_frames.erase(m_frames.begin(), m_frames.begin() + kMaxKeptFrames / 2);
    m_frames.push_back(frame);
    m_log("<- " + Visible(frame));
    std::string reply;
    bool isMon = false;
    if (!Respond(frame, now, &reply, &isMon)) {
        ++m_unanswered;
        m_log("   not understood, no reply");
        return;
    }
    Injections& in = m_inject;
    if (in.silent) {
        ++m_unanswered;
        m_log("   silent, no reply");
        return;
    }
    if (!in.mute.empty() && frame.compare(1, in.mute.size(), in.mute) == 0) {
        ++m_unanswered;
        m_log("   muted, no reply");
        return;
    }
    if (in.dropN > 0) {
        --in.dropN;
        ++m_unanswered;
        m_log("   dropped, no reply (" + std::to_string(in.dropN) + " more to drop)");
        return;
    }
    if (!in.nextReplies.empty()) {
        reply = in.nextReplies.front();
        in.nextReplies.pop_front();
    } else {
        if (in.nul && isMon && reply.size() > 2)
            reply[2] = '\0';
        for (long i = 1; i <= in.garbleK && std::size_t(i) < reply.size(); ++i)
            reply[std::size_t(i)] = '?';
        reply.resize(reply.size() - std::min<std::size_t>(reply.size(), std::size_t(in.shortK)));
        reply.append(std::size_t(in.longK), '9');
    }
    std::int64_t due = now + (std::int64_t(m_turnaroundMs) + in.delayMs) * kNsPerMs;
    if (in.strayPending) {
        in.strayPending = false;
        out->push_back({in.stray, due, false});
    }
    if (reply.empty()) {
        ++m_unanswered;
        m_log("   reply cut to nothing");
        return;
    }
    out->push_back({std::move(reply), due, true});
}

void CGeneratorModel::FlushGarbage()
{
    if (m_garbageCount == 0)
        return;
    m_log("<- dropped " + std::to_string(m_garbageCount) + " byte(s) outside a frame: " +
          Visible(m_garbage) + (m_garbageCount > m_garbage.size() ? "..." : ""));
    m_garbage.clear();
    m_garbageCount = 0;
}

void CGeneratorModel::Receive(const char* data, std::size_t n, std::int64_t nowNs,
                              std::vector<Outgoing>* out)
{
    for (std::size_t i = 0; i < n; ++i) {
        char c = data[i];
        if (c == kStx) {
            if (m_inFrame)
                m_log("<- broken frame dropped: " + Visible(m_frame));
            FlushGarbage();
            m_frame.assign(1, kStx);
            m_inFrame = true;
            continue;
        }
        if (!m_inFrame) {
            if (m_garbage.size() < kMaxFrame)
                m_garbage += c;
            ++m_garbageCount;
            continue;
        }
        m_frame += c;
        if (c == kCr) {
            m_inFrame = false;
            std::string f;
            f.swap(m_frame);
            HandleFrame(f, nowNs, out);
        } else if (m_frame.size() >= kMaxFrame) {
            m_log("<- overlong frame dropped: " + Visible(m_frame) + "...");
            m_frame.clear();
            m_inFrame = false;
        }
    }
    FlushGarbage();
}

void CGeneratorModel::ResetFraming()
{
    m_frame.clear();
    m_inFrame = false;
    m_garbage.clear();
    m_garbageCount = 0;
}

} // namespace ondrel::sim
