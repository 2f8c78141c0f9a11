#include "readingblock.h"

#include "schema.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace ondrel::archive {

namespace {

// An entry: a flags byte, the time's difference, then each field the flags name.
enum Flag : quint8
{
    kSeqNext = 0,  // the sequence number after the previous one
    kSeqGiven = 1, // its difference from the previous one follows
    kSeqNone = 2,  // a reading without one
    kSeqMask = 3,
    kKv = 1 << 2, // a read-out that changed follows
    kUa = 1 << 3,
    kTemp = 1 << 4,
    kFaults = 1 << 5, // the faults text follows
    kState = 1 << 6,  // the state byte follows
    kBeam = 1 << 7,   // beam time follows
};
// The state byte.
enum State : quint8
{
    kXrayMask = 3, // 0: not said, 1: off, 2: on
    kFault = 1 << 2,
    kRun = 1 << 3, // a run: its count and last time, sequence number and beam time follow
};
// How a read-out or a beam time is written.
enum Tag : quint8
{
    kText = 0,   // a length and UTF-8 bytes; for beam time: none
    kNumber = 1, // + decimals: a scaled integer's difference from the previous one
    kRaw = 2,    // beam time: the double's 8 bytes
};
constexpr int kMaxDecimals = 6;

quint64 ZigZag(qint64 v)
{
    return (quint64(v) << 1) ^ quint64(v >> 63);
}

qint64 UnZigZag(quint64 v)
{
    return qint64(v >> 1) ^ -qint64(v & 1);
}

void PutVarint(QByteArray& out, quint64 v)
{
    while (v >= 0x80) {
        out.append(char(v | 0x80));
        v >>= 7;
    }
    out.append(char(v));
}

void PutSigned(QByteArray& out, qint64 v)
{
    PutVarint(out, ZigZag(v));
}

// Differences wrap rather than overflow: the decoder adds them back the same way.
qint64 Minus(qint64 a, qint64 b)
{
    return qint64(quint64(a) - quint64(b));
}

qint64 Plus(qint64 a, qint64 b)
{
    return qint64(quint64(a) + quint64(b));
}

// A read-out written as a scaled integer: "-012.50" is -1250 with 2 decimals
// and 3 integer digits. Texts that would not come back exactly stay texts.
struct Decimal
{
    qint64 mantissa = 0;
    int decimals = 0;
    int integerDigits = 1;
};
constexpr int kMaxIntegerDigits = 35; // the tag byte holds both counts
constexpr int kMaxSignificant = 15;   // exact in a double
constexpr qint64 kMaxMantissa = 1000000000000000;

std::optional<Decimal> AsDecimal(const QString& text)
{
    const int n = int(text.size());
    const bool negative = text.startsWith(QLatin1Char('-'));
    int i = negative ? 1 : 0;
    const auto digit = [&](int k) {
        return k < n && text[k] >= QLatin1Char('0') && text[k] <= QLatin1Char('9');
    };
    Decimal d;
    const int intStart = i;
    while (digit(i))
        ++i;
    d.integerDigits = i - intStart;
    if (d.integerDigits == 0 || d.integerDigits > kMaxIntegerDigits)
        return std::nullopt;
    if (i < n) {
        if (text[i] != QLatin1Char('.'))
            return std::nullopt;
        ++i;
        while (digit(i)) {
            ++i;
            ++d.decimals;
        }
        if (i < n || d.decimals == 0 || d.decimals > kMaxDecimals)
            return std::nullopt;
    }
    int significant = 0;
    for (int k = intStart; k < n; ++k) {
        if (text[k] == QLatin1Char('.'))
            continue;
        if (significant > 0 || text[k] != QLatin1Char('0'))
            ++significant;
        d.mantissa = d.mantissa * 10 + (text[k].unicode() - '0');
        if (significant > kMaxSignificant)
            return std::nullopt;
    }
    if (negative) {
        if (d.mantissa == 0)
            return std::nullopt; // "-0.0" is a text of its own
        d.mantissa = -d.mantissa;
    }
    return d;
}

QString DecimalText(const Decimal& d)
{
    QString digits = QString::number(d.mantissa < 0 ? -d.mantissa : d.mantissa);
    const int width = d.integerDigits + d.decimals;
    if (digits.size() < width)
        digits.prepend(QString(width - digits.size(), QLatin1Char('0')));
    if (d.decimals > 0)
        digits.insert(digits.size() - d.decimals, QLatin1Char('.'));
    return d.mantissa < 0 ? QLatin1Char('-') + digits : digits;
}

quint8 DecimalTag(const Decimal& d)
{
    return quint8(kNumber + d.decimals + (kMaxDecimals + 1) * (d.integerDigits - 1));
}

bool SameBeam(const std::optional<double>& a, const std::optional<double>& b)
{
    if (!a || !b)
        return !a && !b;
    return std::memcmp(&*a, &*b, sizeof(double)) == 0;
}

// Beam time in whole milliseconds when that gives the double back exactly.
std::optional<qint64> BeamMs(double seconds)
{
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e12)
        return std::nullopt;
    const qint64 ms = std::llround(seconds * 1000.0);
    const double back = double(ms) / 1000.0;
    if (std::memcmp(&back, &seconds, sizeof(double)) != 0)
        return std::nullopt;
    return ms;
}

class CReader
{
public:
    explicit CReader(const QByteArray& bytes) : m_p(bytes.constData()), m_end(m_p + bytes.size()) {}
    bool AtEnd() const { return m_p == m_end; }
    bool Byte(quint8* v)
    {
        if (m_p == m_end)
            return false;
        *v = quint8(*m_p++);
        return true;
    }
    bool Varint(quint64* v)
    {
        quint64 result = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            quint8 b = 0;
            if (!Byte(&b))
                return false;
            result |= quint64(b & 0x7f) << shift;
            if (!(b & 0x80)) {
                *v = result;
                return true;
            }
        }
        return false;
    }
    bool Signed(qint64* v)
    {
        quint64 u = 0;
        if (!Varint(&u))
            return false;
        *v = UnZigZag(u);
        return true;
    }
    bool Text(QString* text)
    {
        quint64 length = 0;
        if (!Varint(&length) || length > quint64(m_end - m_p))
            return false;
        *text = QString::fromUtf8(m_p, qsizetype(length));
        m_p += length;
        return true;
    }
    bool Raw(double* v)
    {
        if (m_end - m_p < qsizetype(sizeof(double)))
            return false;
        std::memcpy(v, m_p, sizeof(double));
        m_p += sizeof(double);
        return true;
    }

private:
    const char* m_p;
    const char* m_end;
};

} // namespace

bool StoredRun::operator==(const StoredRun& o) const
{
    return firstMs == o.firstMs && lastMs == o.lastMs && count == o.count &&
           firstSeq == o.firstSeq && lastSeq == o.lastSeq && kv == o.kv && ua == o.ua &&
           temperature == o.temperature && faults == o.faults && xrayOn == o.xrayOn &&
           fault == o.fault && SameBeam(firstBeamOnS, o.firstBeamOnS) &&
           SameBeam(lastBeamOnS, o.lastBeamOnS);
}

void CBlockEncoder::PutReadout(State& state, Readout& readout, const QString& text)
{
    if (const std::optional<Decimal> d = AsDecimal(text)) {
        state.bytes.append(char(DecimalTag(*d)));
        PutSigned(state.bytes, Minus(d->mantissa, readout.mantissa));
        readout.mantissa = d->mantissa;
    } else {
        const QByteArray utf8 = text.toUtf8();
        state.bytes.append(char(kText));
        PutVarint(state.bytes, quint64(utf8.size()));
        state.bytes.append(utf8);
    }
    readout.text = text;
}

void CBlockEncoder::PutBeam(State& state, const std::optional<double>& beam)
{
    if (!beam) {
        state.bytes.append(char(kText));
    } else if (const std::optional<qint64> ms = BeamMs(*beam)) {
        state.bytes.append(char(kNumber));
        PutSigned(state.bytes, Minus(*ms, state.beamMs));
        state.beamMs = *ms;
    } else {
        state.bytes.append(char(kRaw));
        state.bytes.append(reinterpret_cast<const char*>(&*beam), sizeof(double));
    }
    state.beam = beam;
}

void CBlockEncoder::Write(State& s, const StoredRun& run)
{
    const bool first = s.entries == 0;
    const bool isRun = run.count > 1;
    quint8 flags = 0;
    if (!run.firstSeq)
        flags = kSeqNone;
    else if (s.seq && *run.firstSeq == Plus(*s.seq, 1))
        flags = kSeqNext;
    else
        flags = kSeqGiven;
    if (first || run.kv != s.kv.text)
        flags |= kKv;
    if (first || run.ua != s.ua.text)
        flags |= kUa;
    if (first || run.temperature != s.temperature.text)
        flags |= kTemp;
    if (first || run.faults != s.faults)
        flags |= kFaults;
    if (first || isRun || run.xrayOn != s.xrayOn || run.fault != s.fault)
        flags |= kState;
    if (first || !SameBeam(run.firstBeamOnS, s.beam))
        flags |= kBeam;

    s.bytes.append(char(flags));
    PutSigned(s.bytes, Minus(run.firstMs, s.timeMs));
    if ((flags & kSeqMask) == kSeqGiven)
        PutSigned(s.bytes, Minus(*run.firstSeq, s.seq.value_or(0)));
    if (flags & kKv)
        PutReadout(s, s.kv, run.kv);
    if (flags & kUa)
        PutReadout(s, s.ua, run.ua);
    if (flags & kTemp)
        PutReadout(s, s.temperature, run.temperature);
    if (flags & kFaults) {
        const QByteArray utf8 = run.faults.toUtf8();
        PutVarint(s.bytes, quint64(utf8.size()));
        s.bytes.append(utf8);
        s.faults = run.faults;
    }
    if (flags & kState) {
        const quint8 xray = !run.xrayOn ? 0 : *run.xrayOn ? 2 : 1;
        s.bytes.append(char(xray | (run.fault ? kFault : 0) | (isRun ? kRun : 0)));
        s.xrayOn = run.xrayOn;
        s.fault = run.fault;
    }
    if (flags & kBeam)
        PutBeam(s, run.firstBeamOnS);
    s.timeMs = run.firstMs;
    if (run.firstSeq)
        s.seq = run.firstSeq;
    if (isRun) {
        PutVarint(s.bytes, quint64(run.count - 1));
        PutSigned(s.bytes, Minus(run.lastMs, run.firstMs));
        if (run.firstSeq)
            PutSigned(s.bytes, Minus(run.lastSeq.value_or(*run.firstSeq), *run.firstSeq));
        PutBeam(s, run.lastBeamOnS);
        s.timeMs = run.lastMs;
        if (run.firstSeq)
            s.seq = run.lastSeq.value_or(*run.firstSeq);
    }
    ++s.entries;
}

void CBlockEncoder::Append(const StoredRun& run)
{
    StoredRun* p = m_pending ? &*m_pending : nullptr;
    const bool lengthens =
        p && run.kv == p->kv && run.ua == p->ua && run.temperature == p->temperature &&
        run.faults == p->faults && run.xrayOn == p->xrayOn && run.fault == p->fault &&
        SameBeam(p->firstBeamOnS, p->lastBeamOnS) && SameBeam(p->lastBeamOnS, run.firstBeamOnS) &&
        SameBeam(run.firstBeamOnS, run.lastBeamOnS) && run.firstMs >= p->lastMs &&
        run.lastMs >= run.firstMs &&
        (p->firstSeq ? run.firstSeq && p->lastSeq && *run.firstSeq == Plus(*p->lastSeq, 1)
                     : !run.firstSeq);
    if (lengthens) {
        p->count += run.count;
        p->lastMs = run.lastMs;
        if (run.firstSeq)
            p->lastSeq = run.lastSeq.value_or(*run.firstSeq);
    } else {
        if (m_pending)
            Write(m_written, *m_pending);
        m_pending = run;
    }
    const qint64 lo = std::min(run.firstMs, run.lastMs), hi = std::max(run.firstMs, run.lastMs);
    m_minMs = m_readings == 0 ? lo : std::min(m_minMs, lo);
    m_maxMs = m_readings == 0 ? hi : std::max(m_maxMs, hi);
    if (!m_firstSeq)
        m_firstSeq = run.firstSeq;
    if (run.firstSeq)
        m_lastSeq = run.lastSeq.value_or(*run.firstSeq);
    m_readings += run.count;
}

QByteArray CBlockEncoder::Bytes() const
{
    if (!m_pending)
        return m_written.bytes;
    State s = m_written;
    Write(s, *m_pending);
    return s.bytes;
}

bool ContinuesBlock(const CBlockEncoder& block, const std::optional<qint64>& seq)
{
    if (block.Readings() == 0)
        return true;
    if (block.Entries() >= kBlockEntries || block.Readings() >= kBlockReadings)
        return false;
    if (!block.FirstSeq())
        return !seq;
    return seq && block.LastSeq() && *seq == Plus(*block.LastSeq(), 1);
}

bool DecodeBlock(const QByteArray& bytes, std::vector<StoredRun>* runs, QString* error, Decode what)
{
    static const double kPowers[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6};
    CReader in(bytes);
    StoredRun last; // what the next entry is read against
    qint64 timeMs = 0, beamMs = 0;
    std::optional<qint64> seq;
    qint64 kvMantissa = 0, uaMantissa = 0, tMantissa = 0;
    const auto fail = [&](const char* what) {
        *error = QStringLiteral("a block of readings is damaged at entry %1 (%2)")
                     .arg(runs->size() + 1)
                     .arg(QLatin1String(what));
        return false;
    };
    const auto readout = [&](QString* text, qint64* mantissa, std::optional<double>* value) {
        quint8 tag = 0;
        if (!in.Byte(&tag))
            return false;
        if (tag == kText) {
            if (!in.Text(text))
                return false;
            *value = ReadoutNumber(*text);
            return true;
        }
        Decimal d;
        d.decimals = (tag - kNumber) % (kMaxDecimals + 1);
        d.integerDigits = (tag - kNumber) / (kMaxDecimals + 1) + 1;
        qint64 delta = 0;
        if (d.integerDigits > kMaxIntegerDigits || !in.Signed(&delta))
            return false;
        d.mantissa = *mantissa = Plus(*mantissa, delta);
        if (d.mantissa <= -kMaxMantissa || d.mantissa >= kMaxMantissa)
            return false;
        // Both exact below 2^53, so the quotient is the text's nearest double,
        // as reading the text would give.
        *value = double(d.mantissa) / kPowers[d.decimals];
        if (what == Decode::Everything)
            *text = DecimalText(d);
        else
            text->clear();
        return true;
    };
    const auto beam = [&](std::optional<double>* value) {
        quint8 tag = 0;
        if (!in.Byte(&tag))
            return false;
        if (tag == kText) {
            value->reset();
            return true;
        }
        if (tag == kNumber) {
            qint64 delta = 0;
            if (!in.Signed(&delta))
                return false;
            beamMs = Plus(beamMs, delta);
            *value = double(beamMs) / 1000.0;
            return true;
        }
        double raw = 0;
        if (tag != kRaw || !in.Raw(&raw))
            return false;
        *value = raw;
        return true;
    };
    while (!in.AtEnd()) {
        quint8 flags = 0;
        qint64 delta = 0;
        if (!in.Byte(&flags) || !in.Signed(&delta))
            return fail("time");
        StoredRun run = last;
        run.count = 1;
        run.firstMs = run.lastMs = timeMs = Plus(timeMs, delta);
        switch (flags & kSeqMask) {
        case kSeqNext:
            if (!seq)
                return fail("sequence number");
            seq = Plus(*seq, 1);
            break;
        case kSeqGiven:
            if (!in.Signed(&delta))
                return fail("sequence number");
            seq = Plus(seq.value_or(0), delta);
            break;
        case kSeqNone:
            break;
        default:
            return fail("sequence number");
        }
        run.firstSeq = run.lastSeq =
            (flags & kSeqMask) == kSeqNone ? std::nullopt : std::optional<qint64>(seq);
        if (((flags & kKv) && !readout(&run.kv, &kvMantissa, &run.kvValue)) ||
            ((flags & kUa) && !readout(&run.ua, &uaMantissa, &run.uaValue)) ||
            ((flags & kTemp) && !readout(&run.temperature, &tMantissa, &run.temperatureValue)) ||
            ((flags & kFaults) && !in.Text(&run.faults)))
            return fail("read-outs");
        quint8 state = 0;
        if (flags & kState) {
            if (!in.Byte(&state) || (state & kXrayMask) == 3 || state > (kXrayMask | kFault | kRun))
                return fail("state");
            const quint8 xray = state & kXrayMask;
            run.xrayOn = xray == 0 ? std::nullopt : std::optional<bool>(xray == 2);
            run.fault = state & kFault;
        }
        if ((flags & kBeam) && !beam(&run.firstBeamOnS))
            return fail("beam time");
        run.lastBeamOnS = run.firstBeamOnS;
        if (state & kRun) {
            quint64 more = 0;
            if (!in.Varint(&more) || more == 0 || more > quint64(std::numeric_limits<int>::max()) ||
                !in.Signed(&delta))
                return fail("run");
            run.count = qint64(more) + 1;
            run.lastMs = timeMs = Plus(run.firstMs, delta);
            if (run.firstSeq) {
                if (!in.Signed(&delta))
                    return fail("run");
                run.lastSeq = seq = Plus(*run.firstSeq, delta);
            }
            if (!beam(&run.lastBeamOnS))
                return fail("run");
        }
        runs->push_back(run);
        last = run;
        last.firstBeamOnS = run.lastBeamOnS;
    }
    return true;
}

} // namespace ondrel::archive
