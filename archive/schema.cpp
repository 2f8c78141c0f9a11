#include "schema.h"

#include "readingblock.h"

#include <QHash>
#include <cmath>
#include <limits>

namespace ondrel::archive {

namespace {

// Plain types only (BIGINT, DOUBLE PRECISION, TEXT) and ids the archive assigns
// itself, so that the same statements make the same tables in SQLite and
// PostgreSQL, and every query gives the same answers on both. Times
// are milliseconds since 1970 in UTC.
const char* const kVersion1[] = {
    "CREATE TABLE generators (generator TEXT PRIMARY KEY, host TEXT, user_name TEXT, "
    "started_ms BIGINT, last_event_seq BIGINT, last_reading_seq BIGINT, last_heard_ms BIGINT)",

    // Chained: each row's hash covers its columns and the previous row's hash.
    "CREATE TABLE events (id BIGINT PRIMARY KEY, generator TEXT NOT NULL, started_ms BIGINT, "
    "seq BIGINT, time_ms BIGINT NOT NULL, kind TEXT NOT NULL, detail TEXT NOT NULL, "
    "prev_hash TEXT NOT NULL, hash TEXT NOT NULL)",
    "CREATE INDEX events_by_time ON events (generator, time_ms)",

    // A run of identical readings (same texts, xray_on and fault) is one row.
    "CREATE TABLE readings (id BIGINT PRIMARY KEY, generator TEXT NOT NULL, started_ms BIGINT, "
    "first_seq BIGINT, last_seq BIGINT, count BIGINT NOT NULL, first_ms BIGINT NOT NULL, "
    "last_ms BIGINT NOT NULL, kv TEXT NOT NULL, ua TEXT NOT NULL, temperature TEXT NOT NULL, "
    "faults TEXT NOT NULL, xray_on BIGINT, fault BIGINT NOT NULL, first_beam_on_s DOUBLE "
    "PRECISION, last_beam_on_s DOUBLE PRECISION)",
    "CREATE INDEX readings_by_time ON readings (generator, first_ms)",

    // Sums and counts rather than means, so that late readings merge in exactly.
    "CREATE TABLE rollups (generator TEXT NOT NULL, minute_ms BIGINT NOT NULL, "
    "readings BIGINT NOT NULL, kv_n BIGINT NOT NULL, kv_min DOUBLE PRECISION, kv_sum DOUBLE "
    "PRECISION, kv_max DOUBLE PRECISION, ua_n BIGINT NOT NULL, ua_min DOUBLE PRECISION, ua_sum "
    "DOUBLE PRECISION, ua_max DOUBLE PRECISION, t_n BIGINT NOT NULL, t_min DOUBLE PRECISION, "
    "t_sum DOUBLE PRECISION, t_max DOUBLE PRECISION, PRIMARY KEY (generator, minute_ms))",

    // Every change of an interval is a row of its own, chained like the events;
    // an interval is what its latest row says.
    "CREATE TABLE intervals (id BIGINT PRIMARY KEY, generator TEXT NOT NULL, "
    "start_ms BIGINT NOT NULL, change TEXT NOT NULL, end_state TEXT NOT NULL, "
    "earliest_end_ms BIGINT, latest_end_ms BIGINT, end_reason TEXT NOT NULL, host TEXT NOT "
    "NULL, user_name TEXT NOT NULL, set_kv DOUBLE PRECISION, set_ua DOUBLE PRECISION, "
    "kv_n BIGINT NOT NULL, kv_sum DOUBLE PRECISION, kv_max DOUBLE PRECISION, "
    "ua_n BIGINT NOT NULL, ua_sum DOUBLE PRECISION, ua_max DOUBLE PRECISION, "
    "prev_hash TEXT NOT NULL, hash TEXT NOT NULL)",
    "CREATE INDEX intervals_by_start ON intervals (generator, start_ms)",

    "CREATE TABLE gaps (id BIGINT PRIMARY KEY, generator TEXT NOT NULL, what TEXT NOT NULL, "
    "first_seq BIGINT, last_seq BIGINT, count BIGINT, from_ms BIGINT, to_ms BIGINT, "
    "reason TEXT NOT NULL)",

    // Where each chain ends, so that rows cut off its end are missed too.
    "CREATE TABLE chain_heads (chain TEXT PRIMARY KEY, last_id BIGINT NOT NULL, "
    "last_hash TEXT NOT NULL)",
};

// The exposures of a day among a year of them, all generators: by start for
// those that start in it, by end for those that started before and ended in or
// after it, and the still unresolved ones by their state.
const char* const kVersion2[] = {
    "CREATE INDEX intervals_by_time ON intervals (start_ms)",
    "CREATE INDEX intervals_by_end ON intervals (latest_end_ms)",
    "CREATE INDEX intervals_by_state ON intervals (end_state, latest_end_ms)",
};

// Each interval's latest state, derived from its chain and kept beside it by
// the writer in the same transaction: the questions read one row per interval
// instead of finding each one's latest among all its changes.
const char* const kVersion3[] = {
    "CREATE TABLE interval_now (generator TEXT NOT NULL, start_ms BIGINT NOT NULL, "
    "end_state TEXT NOT NULL, earliest_end_ms BIGINT, latest_end_ms BIGINT, end_reason TEXT NOT "
    "NULL, host TEXT NOT NULL, user_name TEXT NOT NULL, set_kv DOUBLE PRECISION, set_ua DOUBLE "
    "PRECISION, kv_n BIGINT NOT NULL, kv_sum DOUBLE PRECISION, kv_max DOUBLE PRECISION, "
    "ua_n BIGINT NOT NULL, ua_sum DOUBLE PRECISION, ua_max DOUBLE PRECISION, "
    "last_id BIGINT NOT NULL, PRIMARY KEY (generator, start_ms))",
    "INSERT INTO interval_now SELECT i.generator, i.start_ms, i.end_state, i.earliest_end_ms, "
    "i.latest_end_ms, i.end_reason, i.host, i.user_name, i.set_kv, i.set_ua, i.kv_n, i.kv_sum, "
    "i.kv_max, i.ua_n, i.ua_sum, i.ua_max, i.id FROM intervals i WHERE i.id = (SELECT MAX(j.id) "
    "FROM intervals j WHERE j.generator = i.generator AND j.start_ms = i.start_ms)",
    "CREATE INDEX interval_now_by_time ON interval_now (start_ms)",
    "CREATE INDEX interval_now_by_end ON interval_now (latest_end_ms, start_ms)",
    "CREATE INDEX interval_now_by_state ON interval_now (end_state, latest_end_ms)",
};

// The read-outs as numbers beside their texts, so that the database can
// down-sample them: not every back end can cast a text that is no number.
const char* const kVersion4[] = {
    "ALTER TABLE readings ADD COLUMN kv_value DOUBLE PRECISION",
    "ALTER TABLE readings ADD COLUMN ua_value DOUBLE PRECISION",
    "ALTER TABLE readings ADD COLUMN temperature_value DOUBLE PRECISION",
};

// Readings packed into blocks of a generator's consecutive readings (see
// readingblock.h): a dozen bytes a reading instead of a row. A block ends where
// the sequence numbers jump or the console restarted, so that a block's span of
// time never covers readings it lacks. first_ms and last_ms are its earliest
// and latest reading's times.
const char* const kVersion5[] = {
    "CREATE TABLE reading_blocks (id BIGINT PRIMARY KEY, generator TEXT NOT NULL, started_ms "
    "BIGINT, first_seq BIGINT, last_seq BIGINT, count BIGINT NOT NULL, first_ms BIGINT NOT NULL, "
    "last_ms BIGINT NOT NULL, data BYTEA NOT NULL)",
    "CREATE INDEX reading_blocks_by_time ON reading_blocks (generator, first_ms)",
};

// Beam time summed per local day of each zone the writer is asked to keep, so
// that a year of days is read rather than summed from every exposure. Only
// closed and uncertain intervals are in it: an open one grows with every word
// from its console, and is counted when asked. A zone is in beam_zones once
// its sums are complete; the writer fills it from interval_now then.
const char* const kVersion6[] = {
    "CREATE TABLE beam_zones (zone TEXT PRIMARY KEY)",
    "CREATE TABLE beam_days (zone TEXT NOT NULL, generator TEXT NOT NULL, local_day BIGINT NOT "
    "NULL, beam_ms BIGINT NOT NULL, PRIMARY KEY (zone, generator, local_day))",
    // A year's days read from the index alone, without a look-up in the table for each.
    "CREATE INDEX beam_days_read ON beam_days (zone, generator, local_day, beam_ms)",
};

QVariant Value(const QVariant& text)
{
    const std::optional<double> v = ReadoutNumber(text.toString());
    return v ? QVariant(*v) : QVariant();
}

// A batch at a time, so that a year of readings needs no more memory than a minute's.
bool FillReadoutNumbers(ISqlDatabase& db, QString* error)
{
    constexpr qint64 kBatch = 5000;
    qint64 after = std::numeric_limits<qint64>::min();
    for (;;) {
        std::vector<SqlRow> rows;
        if (!db.Query(QStringLiteral("SELECT id, kv, ua, temperature FROM readings WHERE id > ? "
                                     "ORDER BY id LIMIT ?"),
                      {after, kBatch}, &rows, error))
            return false;
        for (const SqlRow& r : rows) {
            const SqlRow values{Value(r[1]), Value(r[2]), Value(r[3])};
            if ((!values[0].isNull() || !values[1].isNull() || !values[2].isNull()) &&
                !db.Exec(QStringLiteral("UPDATE readings SET kv_value = ?, ua_value = ?, "
                                        "temperature_value = ? WHERE id = ?"),
                         values + SqlRow{r[0]}, error))
                return false;
        }
        if (qint64(rows.size()) < kBatch)
            return true;
        after = rows.back()[0].toLongLong();
    }
}

std::optional<bool> XrayFlag(const QVariant& v)
{
    return v.isNull() ? std::nullopt : std::optional<bool>(v.toLongLong() != 0);
}

std::optional<qint64> OptionalInt(const QVariant& v)
{
    return v.isNull() ? std::nullopt : std::optional<qint64>(v.toLongLong());
}

std::optional<double> OptionalDouble(const QVariant& v)
{
    return v.isNull() ? std::nullopt : std::optional<double>(v.toDouble());
}

// Each row of runs becomes a run in a block of its generator's; blocks follow the
// same ends as the writer's. A batch at a time, and the open blocks written
// whenever they fill, so that memory stays a block per generator.
bool PackReadings(ISqlDatabase& db, QString* error)
{
    struct Open
    {
        qint64 id = 0;
        QVariant startedMs;
        CBlockEncoder block;
    };
    QHash<QString, Open> open;
    qint64 nextId = 1;
    const auto write = [&](const QString& generator, const Open& o) {
        return db.Exec(QStringLiteral("INSERT INTO reading_blocks (id, generator, started_ms, "
                                      "first_seq, last_seq, count, first_ms, last_ms, data) "
                                      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                       {o.id, generator, o.startedMs,
                        o.block.FirstSeq() ? QVariant(*o.block.FirstSeq()) : QVariant(),
                        o.block.LastSeq() ? QVariant(*o.block.LastSeq()) : QVariant(),
                        o.block.Readings(), o.block.MinMs(), o.block.MaxMs(), o.block.Bytes()},
                       error);
    };
    constexpr qint64 kBatch = 5000;
    qint64 after = std::numeric_limits<qint64>::min();
    for (;;) {
        std::vector<SqlRow> rows;
        if (!db.Query(QStringLiteral("SELECT id, generator, started_ms, first_seq, last_seq, "
                                     "count, first_ms, last_ms, kv, ua, temperature, faults, "
                                     "xray_on, fault, first_beam_on_s, last_beam_on_s FROM "
                                     "readings WHERE id > ? ORDER BY id LIMIT ?"),
                      {after, kBatch}, &rows, error))
            return false;
        for (const SqlRow& r : rows) {
            StoredRun run;
            run.firstSeq = OptionalInt(r[3]);
            run.lastSeq = OptionalInt(r[4]);
            run.count = std::max<qint64>(1, r[5].toLongLong());
            run.firstMs = r[6].toLongLong();
            run.lastMs = r[7].toLongLong();
            run.kv = r[8].toString();
            run.ua = r[9].toString();
            run.temperature = r[10].toString();
            run.faults = r[11].toString();
            run.xrayOn = XrayFlag(r[12]);
            run.fault = r[13].toLongLong() != 0;
            run.firstBeamOnS = OptionalDouble(r[14]);
            run.lastBeamOnS = OptionalDouble(r[15]);
            const QString generator = r[1].toString();
            auto it = open.find(generator);
            if (it != open.end() &&
                (it->startedMs != r[2] || !ContinuesBlock(it->block, run.firstSeq))) {
                if (!write(generator, *it))
                    return false;
                open.erase(it);
                it = open.end();
            }
            if (it == open.end()) {
                it = open.insert(generator, Open{nextId++, r[2], {}});
            }
            it->block.Append(run);
        }
        if (qint64(rows.size()) < kBatch)
            break;
        after = rows.back()[0].toLongLong();
    }
    for (auto it = open.cbegin(); it != open.cend(); ++it)
        if (!write(it.key(), it.value()))
            return false;
    if (!db.Exec(QStringLiteral("DROP TABLE readings"), {}, error))
        return false;
    // The writer rewrites each generator's open block, its row of counters and
    // its minute's roll-up with every batch: with room on the page, the new
    // version goes beside the old, no index changes, and the old one is pruned
    // there without waiting for a vacuum.
    if (db.KeepsOldRowVersions()) {
        for (const char* table : {"reading_blocks", "generators", "rollups"})
            if (!db.Exec(QStringLiteral("ALTER TABLE %1 SET (fillfactor = 50)")
                             .arg(QLatin1String(table)),
                         {}, error))
                return false;
    }
    return true;
}

struct Migration
{
    int to;
    const char* const* statements;
    int count;
    bool (*then)(ISqlDatabase& db, QString* error) = nullptr;
};

const Migration kMigrations[] = {
    {1, kVersion1, int(std::size(kVersion1))},
    {2, kVersion2, int(std::size(kVersion2))},
    {3, kVersion3, int(std::size(kVersion3))},
    {4, kVersion4, int(std::size(kVersion4)), FillReadoutNumbers},
    {5, kVersion5, int(std::size(kVersion5)), PackReadings},
    {6, kVersion6, int(std::size(kVersion6))},
};

} // namespace

std::optional<double> ReadoutNumber(const QString& text)
{
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

bool PrepareSchema(ISqlDatabase& db, QString* error)
{
    if (!db.Exec(QStringLiteral("BEGIN"), {}, error))
        return false;
    const auto fail = [&] {
        QString ignored;
        db.Exec(QStringLiteral("ROLLBACK"), {}, &ignored);
        return false;
    };
    if (!db.Exec(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version BIGINT NOT "
                                "NULL)"),
                 {}, error))
        return fail();
    std::vector<SqlRow> rows;
    if (!db.Query(QStringLiteral("SELECT MAX(version) FROM schema_version"), {}, &rows, error))
        return fail();
    const int version = rows.empty() || rows[0][0].isNull() ? 0 : rows[0][0].toInt();
    if (version > kSchemaVersion) {
        *error = QStringLiteral("%1: the archive's schema is version %2, newer than this program "
                                "reads (version %3); use a newer ondrel-lab")
                     .arg(db.Name())
                     .arg(version)
                     .arg(kSchemaVersion);
        return fail();
    }
    for (const Migration& m : kMigrations) {
        if (m.to <= version)
            continue;
        for (int i = 0; i < m.count; ++i) {
            if (!db.Exec(QString::fromLatin1(m.statements[i]), {}, error))
                return fail();
        }
        if (m.then && !m.then(db, error))
            return fail();
    }
    // Written even when it stays the same: a database this program may read
    // but not write is said now, not by the writer once messages arrive.
    if (!db.Exec(QStringLiteral("DELETE FROM schema_version"), {}, error) ||
        !db.Exec(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"),
                 {kSchemaVersion}, error))
        return fail();
    return db.Exec(QStringLiteral("COMMIT"), {}, error) || fail();
}

bool CheckSchema(ISqlDatabase& db, QString* error)
{
    std::vector<SqlRow> rows;
    QString why;
    if (!db.Query(QStringLiteral("SELECT MAX(version) FROM schema_version"), {}, &rows, &why)) {
        // The database's message starts with its name, already said.
        if (why.startsWith(db.Name() + QLatin1String(": ")))
            why = why.mid(db.Name().size() + 2);
        *error = QStringLiteral("%1: not an ondrel-lab archive (%2)").arg(db.Name(), why);
        return false;
    }
    const int version = rows.empty() || rows[0][0].isNull() ? 0 : rows[0][0].toInt();
    if (version > kSchemaVersion) {
        *error = QStringLiteral("%1: the archive's schema is version %2, newer than this program "
                                "reads (version %3); use a newer ondrel-lab")
                     .arg(db.Name())
                     .arg(version)
                     .arg(kSchemaVersion);
        return false;
    }
    if (version < kSchemaVersion) {
        *error = QStringLiteral("%1: the archive's schema is version %2, older than this program "
                                "reads (version %3); run ondrel-lab serve on it once to bring it "
                                "up to date")
                     .arg(db.Name())
                     .arg(version)
                     .arg(kSchemaVersion);
        return false;
    }
    return true;
}

} // namespace ondrel::archive
