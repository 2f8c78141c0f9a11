#include "replyharness.h"

#include "exchange.h"
#include "fakeport.h"
#include "frames.h"
#include "mscomm.h"
#include "replyparse.h"
#include "serialdevice.h"
#include "virtualclock.h"

#include <QVariant>
#include <algorithm>
#include <exception>
#include <limits>
#include <memory>
#include <vector>

namespace ondrel::fuzz {

namespace {

constexpr unsigned kMaxSettingsLength = 40;
constexpr unsigned kMaxReplyLength = 40;
constexpr unsigned kMaxPieces = 8;
constexpr unsigned kMaxStrays = 8;
constexpr unsigned kMaxStrayLength = 32;
constexpr int kMaxExchanges = 3;
// The control's counts are 16-bit.
constexpr qint64 kCountCap = 32767;
constexpr qint64 kNever = std::numeric_limits<qint64>::max();
// A wait looks at its start and then only when woken: by the long-wait mark, by
// the port once the armed count is there, and by a hang-up.
constexpr int kMaxLooks = 4;

const frames::Command* const kCommands[] = {
    &frames::kReadVersion, &frames::kReadFaults,  &frames::kReadMonitor, &frames::kVoltage805,
    &frames::kVoltageZero, &frames::kCurrent1100, &frames::kCurrentZero, &frames::kEnable,
    &frames::kDisable,     &frames::kClearFaults,
};
constexpr unsigned kCommandCount = sizeof kCommands / sizeof kCommands[0];

// Reads the script front to back; a script that ends early reads as zeros, so
// every byte string is a valid script.
class CByteSource
{
public:
    CByteSource(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    // 0..max: one byte for max below 256, two otherwise.
    unsigned Integral(unsigned max)
    {
        unsigned value = Byte();
        if (max > 0xFF)
            value = (value << 8) | Byte();
        return value % (max + 1);
    }

    // A delay in ms: mostly short, as replies come, and otherwise around the end of
    // a wait (its last check at 3700 ms, its last sleep ending at 3701 ms), where
    // a byte just makes it, is just missed, or is left to spoil the next exchange.
    qint64 Delay()
    {
        const unsigned code = Byte();
        return code < 224 ? qint64(code) : qint64(code - 224 + 3685);
    }

    QByteArray Bytes(unsigned count)
    {
        const std::size_t take = std::min<std::size_t>(count, m_size - m_pos);
        QByteArray out(reinterpret_cast<const char*>(m_data + m_pos), qsizetype(take));
        m_pos += take;
        return out;
    }

private:
    unsigned Byte() { return m_pos < m_size ? m_data[m_pos++] : 0u; }

    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

struct Broken
{
    QString what;
};

// The message is only built when the check fails: checks run on every input.
#define CHECK(condition, what)                                                                     \
    do {                                                                                           \
        if (!(condition))                                                                          \
            throw Broken{QString(what)};                                                           \
    } while (false)

QString Printable(const QByteArray& bytes)
{
    QString out;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7F) ? QString(QChar(u))
                                       : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

QString FormatSettings(const LineSettings& s)
{
    static const char* const parity[] = {"N", "E", "O", "M", "S"};
    static const char* const stop[] = {"1", "1.5", "2"};
    return QStringLiteral("%1,%2,%3,%4")
        .arg(s.baud)
        .arg(QLatin1String(parity[int(s.parity)]))
        .arg(s.dataBits)
        .arg(QLatin1String(stop[int(s.stopBits)]));
}

// The no-fault reply spelt out position by position, independently of the frame
// table's constant.
bool ExpectNoFault(const QByteArray& r)
{
    if (r.size() != 19 || r[0] != '\x02' || r[18] != '\r')
        return false;
    for (int i = 1; i < 18; ++i) {
        if (r[i] != (i % 2 ? '0' : ' '))
            return false;
    }
    return true;
}

void CheckField(const QString& field, const QByteArray& r, std::initializer_list<int> positions,
                const char* name)
{
    CHECK(field.size() == int(positions.size()),
          QStringLiteral("%1 field has %2 characters, not %3")
              .arg(QLatin1String(name))
              .arg(field.size())
              .arg(positions.size()));
    int i = 0;
    for (int p : positions) {
        const QChar expected = p < 0 ? QChar(u'.') : QChar(uchar(r[p]));
        CHECK(field[i] == expected, QStringLiteral("%1 field character %2 is U+%3, not U+%4")
                                        .arg(QLatin1String(name))
                                        .arg(i)
                                        .arg(uint(field[i].unicode()), 4, 16, QLatin1Char('0'))
                                        .arg(uint(expected.unicode()), 4, 16, QLatin1Char('0')));
        ++i;
    }
}

class CRun
{
public:
    CRun(ReplyRun* result, bool tracing) : m_result(result), m_tracing(tracing)
    {
        auto port = std::make_unique<CFakePort>(&m_clock);
        m_port = port.get();
        m_comm = std::make_unique<CMSComm>(std::move(port));
        m_wait.SetClock(&m_clock);
    }

    void Settings(CByteSource& src);
    // False once the device has hung up: nothing more can be exchanged.
    bool Exchange(CByteSource& src);

private:
    // What the model expects of one wait.
    enum class Outcome
    {
        Reply,
        TimeOut,
        HangUp
    };
    Outcome ExpectedWait(int n, qint64 start, int* checks) const;
    qint64 CountAt(qint64 t) const
    {
        const auto end = std::upper_bound(m_times.begin(), m_times.end(), t);
        return std::min<qint64>(end - m_times.begin(), kCountCap);
    }
    void Schedule(const QByteArray& bytes, qint64 at)
    {
        m_port->Arrive(bytes, at);
        m_times.insert(std::upper_bound(m_times.begin(), m_times.end(), at), size_t(bytes.size()),
                       at);
    }
    void CheckMirror(const char* when)
    {
        CHECK(m_port->Pending().size() == CountAt(m_clock.Now()) &&
                  m_port->Pending().size() + m_port->ScheduledCount() == qsizetype(m_times.size()),
              QStringLiteral("port and model disagree %1").arg(QLatin1String(when)));
    }
    template <class F> void Trace(F&& line)
    {
        if (m_tracing)
            m_result->trace << line();
    }
    void CheckReply(const QByteArray& reply, const QByteArray& frame);

    ReplyRun* m_result;
    bool m_tracing;
    CVirtualClock m_clock;
    CWaitContext m_wait;
    CFakePort* m_port = nullptr;
    std::unique_ptr<CMSComm> m_comm;
    std::vector<qint64> m_times; // arrival times of the unread bytes, oldest first
    qint64 m_hangAt = kNever;
    bool m_hungUp = false;
};

void CRun::Settings(CByteSource& src)
{
    const unsigned length = src.Integral(kMaxSettingsLength);
    const bool utf8 = src.Integral(0xFF) & 1u;
    const QByteArray raw = src.Bytes(length);
    const QString text = utf8 ? QString::fromUtf8(raw) : QString::fromLatin1(raw);

    LineSettings parsed;
    parsed.baud = -7; // must stay untouched by a rejected string
    QString error;
    const bool ok = ParseSettings(text, &parsed, &error);
    CHECK(ParseSettings(text, nullptr, nullptr) == ok, "ParseSettings depends on its outputs");
    if (ok) {
        CHECK(error.isEmpty(), "accepted settings came with an error text");
        CHECK(parsed.baud >= 1 && parsed.baud <= 4000000 && parsed.dataBits >= 5 &&
                  parsed.dataBits <= 8,
              QStringLiteral("accepted settings out of range: %1").arg(FormatSettings(parsed)));
        LineSettings again;
        QString againError;
        CHECK(ParseSettings(FormatSettings(parsed), &again, &againError) && again == parsed,
              QStringLiteral("settings %1 do not read back").arg(FormatSettings(parsed)));
        Trace([&] { return QStringLiteral("settings %1").arg(FormatSettings(parsed)); });
    } else {
        CHECK(!error.isEmpty(), "rejected settings without an error text");
        CHECK(parsed.baud == -7, "rejected settings changed the output");
        Trace([&] { return QStringLiteral("settings rejected"); });
    }

    const QString before = m_comm->GetSettings();
    bool threw = false;
    try {
        m_comm->SetSettings(text);
    } catch (const CCommError& e) {
        threw = true;
        CHECK(!e.Message().isEmpty(), "empty CCommError for settings");
    }
    CHECK(threw == !ok, "SetSettings and ParseSettings disagree");
    CHECK(m_comm->GetSettings() == (ok ? text : before), "Settings property after a put");

    m_comm->SetPortOpen(true);
    CHECK(m_port->OpenSettings() == (ok ? parsed : LineSettings{}),
          "the port opened with other settings than the property's");
}

CRun::Outcome CRun::ExpectedWait(int n, qint64 start, int* checks) const
{
    // The count only changes when bytes arrive, so step from arrival to arrival
    // instead of through all 3701 checks.
    auto next = std::upper_bound(m_times.begin(), m_times.end(), start);
    qint64 k = 0;
    for (;;) {
        *checks = int(k) + 1;
        if (m_hangAt <= start + k)
            return Outcome::HangUp;
        if (std::min<qint64>(next - m_times.begin(), kCountCap) == n)
            return Outcome::Reply;
        const qint64 change = std::min(next != m_times.end() ? *next : kNever, m_hangAt);
        if (change == kNever || change - start > kWaitLimit) {
            *checks = kWaitLimit + 1;
            return Outcome::TimeOut;
        }
        k = change - start;
        next = std::upper_bound(next, m_times.end(), start + k);
    }
}

void CRun::CheckReply(const QByteArray& reply, const QByteArray& frame)
{
    const bool noFault = IsNoFaultReply(reply);
    CHECK(noFault == ExpectNoFault(reply),
          QStringLiteral("fault verdict %1 for %2").arg(noFault).arg(Printable(reply)));
    const QString verdict = FaultVerdictText(reply);
    CHECK(verdict == QLatin1String(noFault ? "No Error" : "Error.Please Clear"),
          QStringLiteral("faults field text \"%1\"").arg(verdict));

    const std::optional<MonitorFields> fields = MonitorFieldsFrom(reply);
    CHECK(fields.has_value() == (reply.size() >= 15),
          QStringLiteral("readings of a %1-character reply").arg(reply.size()));
    if (fields) {
        CheckField(fields->kilovolts, reply, {1, 2, 3, -1, 4}, "kV");
        CheckField(fields->microamps, reply, {6, 7, 8, 9}, "uA");
        CheckField(fields->temperature, reply, {11, 12, 13, -1, 14}, "temperature");
    }

    if (frame == frames::kReadFaults.frame)
        Trace([&] { return QStringLiteral("faults: %1").arg(verdict); });
    if (frame == frames::kReadMonitor.frame) {
        Trace([&] {
            return fields ? QStringLiteral("readings: %1 %2 %3")
                                .arg(fields->kilovolts, fields->microamps, fields->temperature)
                          : QStringLiteral("readings: unchanged");
        });
    }
}

bool CRun::Exchange(CByteSource& src)
{
    const unsigned selector = src.Integral(kCommandCount + 1);
    const frames::Command& command =
        selector < kCommandCount ? *kCommands[selector] : *kCommands[1 + selector % 2];
    const int n =
        selector < kCommandCount ? command.replyLength : int(src.Integral(kMaxReplyLength));
    const QByteArray frame(command.frame);
    const unsigned flags = src.Integral(0xFF);
    const bool readAfterTimeOut = flags & 1u;
    const long mode = (flags & 2u) ? 1 : 0;
    const qint64 hangDelay = (flags & 4u) ? 1 + src.Delay() : kNever;
    const short inputLen = (flags & 8u) ? 0 : short(n);

    // Only messages and the trace name the exchange: formatting it for every input
    // would cost more than the rest of a short exchange.
    const auto name = [&] {
        return QStringLiteral("%1 n=%2").arg(Printable(frame.mid(1, frame.size() - 2))).arg(n);
    };
    const qint64 writeTime = m_clock.Now();
    try {
        const int written = m_port->Written().size();
        m_comm->SetOutput(QVariant(QString::fromLatin1(frame)));
        CHECK(!m_hungUp, "a hung-up port took a frame");
        CHECK(m_port->Written().size() == written + 1 && m_port->Written().last() == frame,
              QStringLiteral("%1: frame not sent unchanged").arg(name()));

        if (hangDelay != kNever) {
            const qint64 at = writeTime + hangDelay;
            m_hangAt = std::min(m_hangAt, at);
            m_clock.At(at, [this] {
                m_port->HangUp();
                m_hungUp = true;
            });
        }
        if (!(flags & 16u)) {
            // The reply: n arbitrary bytes in pieces, each some time after the last.
            const QByteArray reply = src.Bytes(unsigned(n));
            const unsigned pieces = 1 + src.Integral(kMaxPieces - 1);
            qint64 at = writeTime;
            qsizetype from = 0;
            for (unsigned i = 0; i < pieces; ++i) {
                at += src.Delay();
                const qsizetype rest = reply.size() - from;
                const qsizetype length =
                    i + 1 < pieces ? qsizetype(src.Integral(unsigned(rest))) : rest;
                Schedule(reply.mid(from, length), at);
                from += length;
            }
        }
        if (flags & 32u) {
            // Stray bytes: noise on the line, or another device's chatter.
            const unsigned strays = 1 + src.Integral(kMaxStrays - 1);
            for (unsigned i = 0; i < strays; ++i) {
                const qint64 at = writeTime + src.Delay();
                Schedule(src.Bytes(src.Integral(kMaxStrayLength)), at);
            }
        }
        CheckMirror("after scheduling");

        m_comm->SetInputLen(inputLen);
        m_comm->SetInputMode(mode);

        // The wait.
        const qint64 start = m_clock.Now();
        int expectedChecks = 0;
        const Outcome expected = ExpectedWait(n, start, &expectedChecks);
        const QByteArray waitingBefore = m_port->Pending();
        m_port->ResetCallCounts();
        m_clock.ResetCounts();
        // The old model's looks were one a millisecond: the last one is where the wait ends.
        const qint64 expectedMs =
            expected == Outcome::TimeOut ? kWaitLimit + 1 : expectedChecks - 1;
        bool replied = false;
        try {
            replied = WaitForReply(*m_comm, n, m_wait);
        } catch (const CCommError& e) {
            CHECK(expected == Outcome::HangUp,
                  QStringLiteral("%1: wait threw \"%2\"").arg(name(), e.Message()));
            CHECK(m_clock.Now() == start + expectedMs,
                  QStringLiteral("%1: hung up after %2 ms, expected %3")
                      .arg(name())
                      .arg(m_clock.Now() - start)
                      .arg(expectedMs));
            CHECK(!m_port->WakeArmed(), QStringLiteral("%1: port left armed").arg(name()));
            Trace([&] { return QStringLiteral("%1: hung up").arg(name()); });
            return false;
        }
        CHECK(expected != Outcome::HangUp,
              QStringLiteral("%1: wait survived a hang-up").arg(name()));
        CHECK(replied == (expected == Outcome::Reply),
              QStringLiteral("%1: wait returned %2").arg(name()).arg(replied));
        CHECK(m_port->CountCalls() <= kMaxLooks,
              QStringLiteral("%1: %2 count reads, expected at most %3")
                  .arg(name())
                  .arg(m_port->CountCalls())
                  .arg(kMaxLooks));
        CHECK(m_clock.Begins() == 1 && m_clock.Now() == start + expectedMs,
              QStringLiteral("%1: ended after %2 ms, expected %3")
                  .arg(name())
                  .arg(m_clock.Now() - start)
                  .arg(expectedMs));
        CHECK(!m_port->WakeArmed(), QStringLiteral("%1: port left armed").arg(name()));
        CHECK(m_port->ReadCalls() == 0, QStringLiteral("%1: the wait read").arg(name()));
        const QByteArray waitingAfter = m_port->Pending();
        CHECK(waitingAfter.startsWith(waitingBefore),
              QStringLiteral("%1: the wait removed characters").arg(name()));
        if (replied)
            CHECK(waitingAfter.size() == n, QStringLiteral("%1: wait true with %2 waiting")
                                                .arg(name())
                                                .arg(waitingAfter.size()));
        CheckMirror("after the wait");

        const auto line = [&] {
            return replied ? QStringLiteral("%1: reply").arg(name())
                           : QStringLiteral("%1: timed out").arg(name());
        };
        if (replied || readAfterTimeOut) {
            const QVariant input = m_comm->GetInput();
            CHECK(input.typeId() == (mode == 1 ? QMetaType::QByteArray : QMetaType::QString),
                  QStringLiteral("%1: Input is a %2").arg(name(), QLatin1String(input.typeName())));
            qsizetype units = 0;
            if (mode == 0) {
                const QString text = input.toString();
                units = text.size();
                for (QChar c : text)
                    CHECK(c.unicode() < 0x100, QStringLiteral("%1: Input holds U+%2")
                                                   .arg(name())
                                                   .arg(uint(c.unicode()), 4, 16));
            } else {
                units = input.toByteArray().size();
            }
            const qsizetype limit = inputLen > 0 ? inputLen : std::numeric_limits<qsizetype>::max();
            CHECK(units == std::min(limit, waitingAfter.size()),
                  QStringLiteral("%1: Input returned %2 of %3 waiting (InputLen %4)")
                      .arg(name())
                      .arg(units)
                      .arg(waitingAfter.size())
                      .arg(inputLen));
            const QByteArray reply = ReplyText(input);
            CHECK(reply == waitingAfter.left(units),
                  QStringLiteral("%1: reply text %2 is not the bytes received")
                      .arg(name(), Printable(reply)));
            CHECK(m_port->Pending() == waitingAfter.mid(units),
                  QStringLiteral("%1: Input took other characters than it returned").arg(name()));
            m_times.erase(m_times.begin(), m_times.begin() + units);
            CheckMirror("after the read");
            Trace([&] { return QStringLiteral("%1, read %2").arg(line(), Printable(reply)); });
            CheckReply(reply, frame);
        } else {
            Trace(line);
        }
    } catch (const CCommError& e) {
        // Outside the wait only a hung-up device may refuse.
        CHECK(m_hungUp, QStringLiteral("%1: unexpected \"%2\"").arg(name(), e.Message()));
        Trace([&] { return QStringLiteral("%1: hung up").arg(name()); });
        return false;
    }
    return true;
}

} // namespace

ReplyRun RunReplyInput(const std::uint8_t* data, std::size_t size, bool trace)
{
    ReplyRun result;
    try {
        CByteSource src(data, size);
        CRun run(&result, trace);
        run.Settings(src);
        const int exchanges = 1 + int(src.Integral(kMaxExchanges - 1));
        for (int i = 0; i < exchanges; ++i) {
            if (!run.Exchange(src))
                break;
        }
    } catch (const Broken& broken) {
        result.violation = broken.what;
    } catch (const std::exception& e) {
        result.violation =
            QStringLiteral("unexpected exception: %1").arg(QString::fromUtf8(e.what()));
    }
    return result;
}

} // namespace ondrel::fuzz
