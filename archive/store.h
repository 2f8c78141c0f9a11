// What the archive's writer does with each message, inside the transaction of
// its batch: events chained, readings folded into runs and per-minute roll-ups,
// exposure intervals kept by the lab's rule, and every missing or unreadable
// message recorded as a gap. Used by one thread only.
#pragma once

#include "beamtime.h"
#include "exposure.h"
#include "readingblock.h"
#include "recordreader.h"
#include "sqldatabase.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QTimeZone>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace ondrel::archive {

// One message as the broker delivered it, under a console's topic prefix.
struct ArchiveMessage
{
    QString generator; // the console's topic prefix
    QString subtopic;  // a SubtopicName, or what else the broker carried
    QByteArray payload;
    QDateTime received; // UTC
    bool retained = false;
    bool tooLarge = false; // over the payload bound: payload empty, counted as unreadable
};

// Messages the queue had no room for, counted per generator and topic.
struct DroppedMessages
{
    qint64 count = 0;
    QDateTime first;
    QDateTime last;
};
using DropKey = std::pair<QString, QString>; // generator, subtopic
using Drops = std::map<DropKey, DroppedMessages>;

// The columns a stored interval is read back from, in IntervalFromRow's order.
extern const char* const kIntervalColumns;
lab::ExposureInterval IntervalFromRow(const SqlRow& row);

// What an import of a console's record did.
struct ImportCounts
{
    qint64 events = 0, eventsHad = 0;     // stored; already in the archive
    qint64 readings = 0, readingsHad = 0; // the same for readings
    qint64 recordOnly = 0;                // record-continued rows: the file's, not the console's
    qint64 exposures = 0;                 // exposures the record added or closed
};
// The record's next row: CRecordReader::Next, or a test's table.
using RecordSource = std::function<CRecordReader::Result(RecordRow*, QString*)>;

class CStore
{
public:
    // `complain` hears the first unreadable message of each kind (standard error
    // when empty); further ones are only counted in their gap row.
    explicit CStore(ISqlDatabase& db, std::function<void(const QString&)> complain = {})
        : m_db(db), m_complain(std::move(complain))
    {}

    // Takes up where the database left off: chains' ends, ids, the generators'
    // counters and reading runs, the intervals still open or unresolved.
    bool Load(QString* error);
    // One transaction; on failure it is rolled back and the store loaded afresh,
    // so that the same batch can be tried again.
    bool ApplyBatch(const std::vector<ArchiveMessage>& messages, const Drops& drops,
                    QString* error);
    // Adds the record's events and readings that the archive does not hold for
    // generator, in one transaction: an event is held when one of the same time,
    // kind and detail is, a reading when a run of the generator's readings spans
    // its time. Importing a record again therefore adds nothing. A bad row rolls
    // everything back, with *error naming its line. Imported events are chained
    // like any other. The record's exposures, made by the same rule, are added
    // where the archive lacks them, and close those it could only bound; one
    // still on when the record ends is uncertain ("record ended").
    bool ImportRecord(const QString& generator, const RecordSource& next, ImportCounts* counts,
                      QString* error);
    // Keeps the per-day beam sums for zones as well as for those the archive
    // keeps already (a zone kept once stays kept: nothing else would keep its
    // sums right). A zone the archive lacks is filled from the intervals, a
    // batch at a time; one this computer no longer knows is dropped, and said,
    // since its sums could not be kept. Before the writer's first batch.
    bool KeepBeamZones(const QList<QTimeZone>& zones, QString* error);
    // Deletes at most limit blocks of readings that ended before cutoffMs, never
    // a block the writer may still extend; how many it deleted.
    std::optional<qint64> DeleteReadingsBefore(qint64 cutoffMs, int limit, QString* error);

private:
    // A block of readings still taking more; `stored` once its row exists.
    struct Block
    {
        qint64 id = 0;
        std::optional<qint64> startedMs;
        CBlockEncoder data;
        bool stored = false;
        bool dirty = false;
    };
    struct Generator
    {
        std::optional<qint64> startedMs;
        QString host, user;
        std::optional<qint64> lastEventSeq, lastReadingSeq;
        qint64 lastEventMs = 0, lastReadingMs = 0, lastHeardMs = 0;
        std::optional<Block> block;
        QHash<QString, qint64> dropGap;       // subtopic: the gap row still without its seqs
        QHash<QString, qint64> unreadableGap; // subtopic: the gap row counting them
        QHash<QString, QString> unreadableWhy;
        bool dirty = false;
    };
    struct Minute
    {
        qint64 readings = 0;
        lab::Measure kv, ua, t;
        std::optional<double> kvMin, uaMin, tMin;
    };
    struct Chain
    {
        qint64 lastId = 0;
        QByteArray lastHash;
    };

    bool Apply(const ArchiveMessage& m, QString* error);
    bool ApplyInfo(Generator& g, const ArchiveMessage& m, const ConsoleInfo& info, QString* error);
    bool ApplyEvent(Generator& g, const ArchiveMessage& m, const ConsoleEvent& event,
                    const std::optional<qint64>& seq, QString* error);
    bool ApplyReading(Generator& g, const ArchiveMessage& m, const Reading& reading,
                      const ReadCounters& counters, QString* error);
    bool Unreadable(Generator& g, const ArchiveMessage& m, const QString& why, QString* error);
    bool SequenceGap(Generator& g, const QString& generator, const QString& what, qint64 first,
                     qint64 last, qint64 fromMs, qint64 toMs, QString* error);
    // What a message's sequence number makes of it: a repeat to pass over, one to
    // take (any numbers missed before it recorded as a gap), or a failed write.
    enum class Sequenced
    {
        Take,
        Repeat,
        Failed
    };
    Sequenced Sequence(Generator& g, const QString& generator, const QString& what, qint64 seq,
                       qint64 timeMs, std::optional<qint64>& lastSeq, qint64 lastMs,
                       QString* error);
    bool FirstHeardGap(Generator& g, const QString& generator, const QString& what, qint64 seq,
                       qint64 timeMs, QString* error);
    bool Dropped(const DropKey& key, const DroppedMessages& drop, QString* error);
    bool StoreChanges(const lab::CExposureTracker::Changes& changes, QString* error);
    bool KeepBeamDays(const lab::ExposureInterval& interval, QString* error);
    bool FillBeamZone(const QTimeZone& zone, QString* error);
    bool LoadBeamZones(QString* error);
    // work() in a transaction of its own, rolled back when it fails.
    bool InTransaction(const std::function<bool()>& work, QString* error);
    void Say(const QString& text);
    bool AppendChained(const char* table, Chain& chain, SqlRow columns, QString* error);
    bool FlushBatchState(QString* error);
    // `head VALUES (...), (...) tail` for the rows, a few hundred at a time.
    bool ExecRows(const QString& head, const QString& tail, const std::vector<SqlRow>& rows,
                  QString* error);
    bool ImportExposures(const QString& generator,
                         const std::map<qint64, lab::ExposureInterval>& exposures,
                         ImportCounts* counts, QString* error);
    bool ImportChunk(const QString& generator, const std::vector<RecordRow>& rows,
                     std::optional<Block>* block, ImportCounts* counts, QString* error);
    // Starts a block for generator unless the reading may join the one it has
    // (which is written first when it must end).
    bool BlockFor(const QString& generator, std::optional<Block>& block,
                  const std::optional<qint64>& startedMs, const std::optional<qint64>& seq,
                  QString* error);
    bool WriteBlock(const QString& generator, Block& block, QString* error);
    void AddToMinute(const QString& generator, const Reading& reading);
    bool Exec(const QString& sql, SqlRow params, QString* error);
    void Forget();

    ISqlDatabase& m_db;
    const std::function<void(const QString&)> m_complain;
    QSet<QString> m_complained; // the kinds of unreadable message already said
    lab::CExposureTracker m_tracker;
    QHash<QString, Generator> m_generators;
    std::map<std::pair<QString, qint64>, Minute> m_minutes; // this batch's, by generator and minute
    Chain m_events, m_intervals;
    std::vector<std::unique_ptr<CLocalMidnights>> m_beamZones; // those beam_days holds
    qint64 m_nextReadingId = 1, m_nextGapId = 1;
    // False after a Load that failed (a database gone away): what is in memory
    // then is no longer the database's, and writing from it would overwrite it.
    bool m_loaded = false;
};

} // namespace ondrel::archive
