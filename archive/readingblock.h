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
    void Append(const StoredRun& run);

    const QByteArray& Bytes() const { return m_bytes; }
    qint64 Readings() const { return m_readings; }
    qint64 MinMs() const { return m_minMs; }
    qint64 MaxMs() const { return m_maxMs; }
    std::optional<qint64> FirstSeq() const { return m_firstSeq; }
    std::optional<qint64> LastSeq() const { return m_seq; }

private:
    struct Readout
    {
        QString text;
        qint64 mantissa = 0;
    };
    void PutReadout(Readout& state, const QString& text);
    void PutBeam(const std::optional<double>& beam);

    QByteArray m_bytes;
    qint64 m_readings = 0;
    qint64 m_minMs = 0, m_maxMs = 0;
    std::optional<qint64> m_firstSeq;
    // What the next entry is written against.
    qint64 m_timeMs = 0;
    std::optional<qint64> m_seq;
    Readout m_kv, m_ua, m_temperature;
    QString m_faults;
    std::optional<bool> m_xrayOn;
    bool m_fault = false;
    std::optional<double> m_beam;
    qint64 m_beamMs = 0;
};

// A block holds at most this many readings, so that the writer, which rewrites
// a generator's open block with each batch, rewrites little.
constexpr qint64 kBlockReadings = 64;

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
