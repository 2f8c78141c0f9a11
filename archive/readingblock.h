// A generator's readings packed into blocks: each reading is written as what
// changed since the one before it (times and sequence numbers as differences,
// read-outs that are plain decimals as scaled integers), so that a reading whose
// values all differ takes a dozen bytes instead of a row of its own. Nothing is
// rounded: every text, flag and beam time decodes to exactly what was stored.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace ondrel::archive {

// A reading as stored, or a run of identical ones (same texts and flags,
// consecutive sequence numbers) of which only the first and last times and
// beam times are known: what archives of an older layout kept.
struct StoredRun
{
    qint64 firstMs = 0, lastMs = 0;
    qint64 count = 1;
    std::optional<qint64> firstSeq, lastSeq;
    QString kv, ua, temperature, faults;
    std::optional<bool> xrayOn;
    bool fault = false;
    std::optional<double> firstBeamOnS, lastBeamOnS;
    // The read-outs as numbers (ReadoutNumber of the texts), filled in by
    // DecodeBlock; not compared.
    std::optional<double> kvValue, uaValue, temperatureValue;

    bool operator==(const StoredRun& o) const;
    bool operator!=(const StoredRun& o) const { return !(*this == o); }
};

class CBlockEncoder
{
public:
    // A reading identical to the one before it (same texts, flags and beam time,
    // the next sequence number or none for both, no step back in time) only
    // lengthens that one's run: an idle generator costs bytes per block, not per
    // reading. Only the run's first and last time are kept.
    void Append(const StoredRun& run);

    QByteArray Bytes() const;
    qint64 Readings() const { return m_readings; }
    qint64 Entries() const { return m_written.entries + (m_pending ? 1 : 0); }
    qint64 MinMs() const { return m_minMs; }
    qint64 MaxMs() const { return m_maxMs; }
    std::optional<qint64> FirstSeq() const { return m_firstSeq; }
    std::optional<qint64> LastSeq() const { return m_lastSeq; }

private:
    struct Readout
    {
        QString text;
        qint64 mantissa = 0;
    };
    // The bytes so far, and what the next entry is written against.
    struct State
    {
        QByteArray bytes;
        qint64 entries = 0;
        qint64 timeMs = 0;
        std::optional<qint64> seq;
        Readout kv, ua, temperature;
        QString faults;
        std::optional<bool> xrayOn;
        bool fault = false;
        std::optional<double> beam;
        qint64 beamMs = 0;
    };
    static void Write(State& state, const StoredRun& run);
    static void PutReadout(State& state, Readout& readout, const QString& text);
    static void PutBeam(State& state, const std::optional<double>& beam);

    State m_written;
    std::optional<StoredRun> m_pending; // the last entry, which may still lengthen
    qint64 m_readings = 0;
    qint64 m_minMs = 0, m_maxMs = 0;
    std::optional<qint64> m_firstSeq, m_lastSeq;
};

// A block holds at most this many entries, so that the writer, which rewrites a
// generator's open block with each batch, rewrites little; and at most this many
// readings, so that a row never stands for a long stretch of time.
constexpr qint64 kBlockEntries = 64;
constexpr qint64 kBlockReadings = 4096;

// Whether a reading with sequence number seq may follow the block's readings:
// it has room, and seq follows its last one (or neither has one), so that a
// block's span of time never covers readings it lacks.
bool ContinuesBlock(const CBlockEncoder& block, const std::optional<qint64>& seq);

enum class Decode
{
    Everything,
    NumbersOnly // the read-outs' texts left empty where their numbers say it all
};
// The runs a block holds, in the order stored; false, with *error, for bytes
// that are no block (cut short, or a value that cannot be).
bool DecodeBlock(const QByteArray& bytes, std::vector<StoredRun>* runs, QString* error,
                 Decode what = Decode::Everything);

} // namespace ondrel::archive
