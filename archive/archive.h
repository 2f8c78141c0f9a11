// The lab's archive: every generator's events, readings and exposures in one
// database (a SQLite file or a PostgreSQL database), written by a thread of its own from a bounded
// queue, and the questions the lab asks of it.
#pragma once

#include "beamtime.h"
#include "exposure.h"
#include "store.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace ondrel::archive {

class ISqlDatabase;

struct ArchiveOptions
{
    // What the queue may hold before messages are dropped (and recorded as a gap).
    qint64 queueLimitBytes = qint64(64) << 20;
    // How long the writer gathers messages into one transaction; with the
    // commit's own time, a message is on disk within a second of arriving.
    int batchWindowMs = 250;
    // Where the writer's failures are said; standard error when empty.
    std::function<void(const QString&)> complain;
    // Called by the writer after each commit with how long each of the batch's
    // messages waited, from being received to the commit's end, in ms; for a
    // benchmark's figures. Nothing is measured when it is empty.
    std::function<void(const std::vector<qint64>& waitedMs)> committed;
    // The zones whose beam time per local day the writer keeps summed, besides
    // those the archive keeps already; one it lacks is filled when opened.
    QList<QTimeZone> beamZones;
};

struct VerifyReport
{
    qint64 rowsChecked = 0;
    QStringList problems; // each names its table and row
    bool Ok() const { return problems.isEmpty(); }
};

// One row of the gaps table: messages of a generator the archive never got.
struct Gap
{
    QString generator;
    QString what; // the subtopic: "reading", "event", ...
    std::optional<qint64> firstSeq, lastSeq;
    std::optional<qint64> count;
    QDateTime from, to; // UTC; invalid where not known
    QString reason;
};

// How big each table is, and how much of it is recent.
struct TableSize
{
    QString table;
    qint64 rows = 0;
    qint64 rowsSince = 0; // rows whose time is at or after the `since` asked about
    QDateTime oldest;     // the earliest time in it; invalid when empty
};

// The lowest, mean and highest of a read-out; all empty when no reading of it was a number.
struct ValueRange
{
    std::optional<double> min, mean, max;
};

// The readings of one bucket of time, or of one minute's roll-up.
struct ReadingPoint
{
    QDateTime start; // UTC: the bucket's or minute's start
    qint64 readings = 0;
    ValueRange kv, ua, temperature;
};

class CArchive
{
public:
    // Opens (creating or migrating) the archive for writing: a target starting
    // with postgresql:// or postgres:// is a PostgreSQL connection URI, anything
    // else a SQLite file. Nothing, with *error saying why and naming the target
    // (never its password), when it cannot be: another writer has it, its schema
    // is newer than this program's, it is no database, it cannot be written.
    static std::unique_ptr<CArchive> Open(const QString& target, ArchiveOptions options,
                                          QString* error);
    // Opens an existing archive for the queries only, without the writer's lock,
    // so that it can be read while another process writes it. Nothing, with
    // *error, when it is absent, no archive, or of a schema newer than this program's.
    static std::unique_ptr<CArchive> OpenReadOnly(const QString& target, QString* error);
    // Commits what is queued, then stops the writer.
    ~CArchive();

    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    // From any thread, without waiting for the database. False when the queue
    // was full: the message is dropped, and the drop recorded as a gap.
    bool Enqueue(ArchiveMessage message);
    // Waits until everything enqueued before the call is committed; false when
    // that did not happen within timeoutMs (see LastError).
    bool Flush(int timeoutMs);
    // The writer's last failure; empty when all went well.
    QString LastError() const;

    // Every interval overlapping [from, to), by start; all generators when
    // generator is empty. Uncertain intervals come with both bounds of their end.
    std::optional<std::vector<lab::ExposureInterval>>
    Exposures(const QDateTime& from, const QDateTime& to, const QString& generator, QString* error);
    // Beam time per generator per local period of zone within [from, to). From
    // the per-day sums when the archive keeps zone's and from and to are local
    // midnights; otherwise summed from every exposure in the range.
    std::optional<BeamTime> BeamTimeIn(Period period, const QDateTime& from, const QDateTime& to,
                                       const QTimeZone& zone, QString* error);
    // One generator's readings in [from, to) in at most maxPoints buckets of
    // equal length, each with the readings whose time falls in it; empty buckets
    // are left out. A run of equal readings counts in each bucket it spans, in
    // proportion to the time it spends there.
    std::optional<std::vector<ReadingPoint>> Readings(const QString& generator,
                                                      const QDateTime& from, const QDateTime& to,
                                                      int maxPoints, QString* error);
    // One generator's roll-ups, a point per minute that had readings, in [from, to).
    std::optional<std::vector<ReadingPoint>>
    Rollups(const QString& generator, const QDateTime& from, const QDateTime& to, QString* error);
    // Checks the chained tables for rows edited, inserted or deleted since stored.
    std::optional<VerifyReport> Verify(QString* error);
    // The recorded gaps, by time; all generators when generator is empty.
    std::optional<std::vector<Gap>> Gaps(const QString& generator, QString* error);
    // Every table's rows, and those with a time at or after since.
    std::optional<std::vector<TableSize>> TableSizes(const QDateTime& since, QString* error);

    // The writer's own work, between its batches; refused on a read-only archive.
    // See CStore::ImportRecord.
    bool Import(const QString& generator, const RecordSource& next, ImportCounts* counts,
                QString* error);
    // The target as messages name it (never a password).
    QString Name() const { return m_name; }
    // The size of a PostgreSQL archive's database on its server; nothing for a
    // file (whose size the file system tells) or when the server does not say.
    std::optional<qint64> ServerDatabaseBytes(QString* error);
    // One batch of retention: at most batchRows runs of readings that ended before
    // cutoff deleted; how many were.
    std::optional<qint64> DeleteReadingsBefore(const QDateTime& cutoff, int batchRows,
                                               QString* error);

private:
    CArchive(QString name, ArchiveOptions options, int lockFd, std::unique_ptr<ISqlDatabase> writer,
             std::unique_ptr<ISqlDatabase> reader);
    void Run();
    void Complain(const QString& text);
    // BeamTimeIn's answer from the per-day sums; false on a failed query, true
    // with *answer empty when the sums cannot answer it.
    bool BeamTimeFromDays(Period period, const QDateTime& from, const QDateTime& to,
                          const QTimeZone& zone, std::optional<BeamTime>* answer, QString* error);
    // Exposures' answer, or only those of it that started before from.
    std::optional<std::vector<lab::ExposureInterval>>
    Overlapping(const QDateTime& from, const QDateTime& to, const QString& generator,
                bool startedBefore, QString* error);

    const QString m_name; // the writer's, as messages say it
    const ArchiveOptions m_options;
    const int m_lockFd; // a SQLite file's; -1 on PostgreSQL, whose lock is the writer's session's
    std::unique_ptr<ISqlDatabase> m_writerDb; // the writer thread's alone
    std::mutex m_storeMutex;         // the writer's batches, imports and retention take turns
    std::unique_ptr<CStore> m_store; // none when read-only
    std::mutex m_readMutex;          // the queries' connection
    std::unique_ptr<ISqlDatabase> m_readerDb;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<ArchiveMessage> m_queue;
    qint64 m_queuedBytes = 0;
    Drops m_drops;
    std::chrono::steady_clock::time_point m_firstQueued;
    quint64 m_received = 0;  // messages enqueued or dropped
    quint64 m_committed = 0; // of those, stored or recorded as dropped
    quint64 m_flushWanted = 0;
    bool m_stop = false;
    QString m_lastError;
    std::thread m_thread;
};

} // namespace ondrel::archive
