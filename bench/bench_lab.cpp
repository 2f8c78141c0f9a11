// What the lab's archive carries and how fast it answers.
//
// Ingest: N synthetic consoles (child processes, beam-on readings that all
// differ, 5 a second each) against a local mosquitto, and the archive in this
// process as `ondrel-lab serve` runs it (StartArchiveSubscriber into a CArchive
// with the real ArchiveOptions), on SQLite and on PostgreSQL: how long each
// message waited from its receipt to the end of the commit that made it durable,
// this process's CPU (the consoles, the broker and the PostgreSQL server are
// other processes), resident memory, the largest write-ahead log seen, and the
// bytes stored per reading; then a shorter idle run for the idle readings' size.
//
// Queries: archives made directly in SQLite, then in PostgreSQL (a year of
// exposures for 100, 300 and 1,000 generators, their per-minute roll-ups of
// beam-on time, and one generator's day of readings at 5 a second), each
// question timed as the CLI asks it, in Europe/Berlin; beam time first summed
// from every exposure, then from the per-day sums that the writer's first
// opening with the zone makes (timed too).
//
//   bench_lab [--generators N] [--seconds S] [--sqlite-only | --postgres]
//             [--queries-only | --ingest-only] [--sizes 100,300,1000]
#include "archive.h"
#include "brokerrig.h"
#include "figureline.h"
#include "fleetsubscriber.h"
#include "labserve.h"
#include "mqttsettings.h"
#include "pgrig.h"
#include "postgresdatabase.h"
#include "readingblock.h"
#include "selfmeasure.h"
#include "sqlitedatabase.h"
#include "syntheticconsoles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <sys/resource.h>

using namespace ondrel;
using namespace ondrel::archive;
using namespace ondrel::bench;
using namespace ondrel::testing;

namespace {

double MiB(qint64 bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

// One query's rows, for the sizes of what is stored.
std::optional<SqlRow> QueryOne(ISqlDatabase& db, const QString& sql)
{
    std::vector<SqlRow> rows;
    QString error;
    if (!db.Query(sql, {}, &rows, &error) || rows.empty()) {
        std::fprintf(stderr, "bench_lab: %s\n", qPrintable(error));
        return std::nullopt;
    }
    return rows[0];
}

struct IngestResult
{
    bool ran = false;
    qint64 messages = 0;
    double p50 = 0, p99 = 0, max = 0, cpu = 0;
    qint64 rssKb = 0, hwmKb = 0, walMax = 0;
    // The readings' own table and indexes; the roll-ups'; the whole database's,
    // which holds the consoles' events and exposures too.
    double bytesPerReading = 0, rollupBytesPerReading = 0, fileBytesPerReading = 0;
};

// Bytes stored per reading: the readings table with its index, and everything.
void StoredSize(const QString& target, bool postgres, IngestResult* r)
{
    QString error;
    std::unique_ptr<ISqlDatabase> db;
    if (postgres)
        db = CPostgresDatabase::Open(target, &error);
    else
        db = CSqliteDatabase::Open(target, CSqliteDatabase::Mode::Write, &error);
    if (!db) {
        std::fprintf(stderr, "bench_lab: %s\n", qPrintable(error));
        return;
    }
    const std::optional<SqlRow> count = QueryOne(*db, "SELECT SUM(count) FROM reading_blocks");
    if (!count || count->at(0).toLongLong() == 0)
        return;
    const double readings = double(count->at(0).toLongLong());
    if (postgres) {
        const auto t = QueryOne(*db, "SELECT pg_total_relation_size('reading_blocks'), "
                                     "pg_total_relation_size('rollups'), "
                                     "pg_database_size(current_database())");
        if (t) {
            r->bytesPerReading = double(t->at(0).toLongLong()) / readings;
            r->rollupBytesPerReading = double(t->at(1).toLongLong()) / readings;
            r->fileBytesPerReading = double(t->at(2).toLongLong()) / readings;
        }
        return;
    }
    QueryOne(*db, "PRAGMA wal_checkpoint(TRUNCATE)");
    r->fileBytesPerReading = double(QFileInfo(target).size()) / readings;
    const auto t = QueryOne(
        *db, "SELECT SUM(CASE WHEN name IN ('reading_blocks', 'reading_blocks_by_time', "
             "'sqlite_autoindex_reading_blocks_1') THEN pgsize ELSE 0 END), SUM(CASE WHEN name IN "
             "('rollups', 'sqlite_autoindex_rollups_1') THEN pgsize ELSE 0 END) FROM dbstat");
    if (t) {
        r->bytesPerReading = double(t->at(0).toLongLong()) / readings;
        r->rollupBytesPerReading = double(t->at(1).toLongLong()) / readings;
    }
}

IngestResult Ingest(const QString& target, bool postgres, int n, int seconds, bool varying,
                    int port, const char* self)
{
    IngestResult result;
    const QString root = QStringLiteral("lab%1%2").arg(postgres ? "pg" : "lite").arg(n);
    std::mutex mutex;
    std::vector<qint64> waits;
    qint64 committedMessages = 0;
    bool measuring = false;
    ArchiveOptions options;
    options.complain = [](const QString& text) {
        std::fprintf(stderr, "bench_lab: archive: %s\n", qPrintable(text));
    };
    options.committed = [&](const std::vector<qint64>& waited) {
        std::lock_guard<std::mutex> lock(mutex);
        committedMessages += qint64(waited.size());
        if (measuring)
            waits.insert(waits.end(), waited.begin(), waited.end());
    };
    QString error;
    std::unique_ptr<CArchive> archive = CArchive::Open(target, options, &error);
    if (!archive) {
        std::fprintf(stderr, "bench_lab: %s\n", qPrintable(error));
        return result;
    }
    const std::optional<MqttSettings> settings =
        ParseMqttUrl(QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(port).arg(root), "lab", &error);
    std::unique_ptr<QObject> subscriber = StartArchiveSubscriber(*archive, *settings, &error);
    if (!subscriber) {
        std::fprintf(stderr, "bench_lab: %s\n", qPrintable(error));
        return result;
    }
    auto* s = static_cast<lab::CFleetSubscriber*>(subscriber.get());
    if (!QTest::qWaitFor([&] { return s->Connected(); }, 10000))
        std::fprintf(stderr, "bench_lab: the archive's subscriber did not connect\n");

    SyntheticOptions synthetic;
    synthetic.count = n;
    synthetic.root = root;
    synthetic.port = port;
    synthetic.varying = varying;
    constexpr int kWarmUpLimitS = 60;
    synthetic.seconds = seconds + kWarmUpLimitS + 5;
    std::vector<std::unique_ptr<QProcess>> children =
        StartSynthetic(QString::fromLocal8Bit(self), synthetic);
    // Warm-up: until the archive takes in nearly every console's five a second.
    QElapsedTimer warm;
    warm.start();
    const auto committed = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return committedMessages;
    };
    for (qint64 before = committed(); warm.elapsed() < kWarmUpLimitS * 1000;) {
        QTest::qWait(1000);
        const qint64 now = committed();
        if (now - before >= qint64(n) * 5 * 9 / 10)
            break;
        before = now;
    }
    QTest::qWait(3000);
    std::fprintf(stderr, "bench_lab: %s: warm after %.1f s\n", qPrintable(archive->Name()),
                 double(warm.elapsed()) / 1000.0);

    const QString wal = target + QStringLiteral("-wal");
    const double cpu0 = CpuSeconds();
    const qint64 messages0 = committed();
    QElapsedTimer wall;
    wall.start();
    {
        std::lock_guard<std::mutex> lock(mutex);
        measuring = true;
    }
    qint64 rssMax = 0;
    while (wall.elapsed() < qint64(seconds) * 1000) {
        QTest::qWait(1000);
        if (!postgres)
            result.walMax = std::max(result.walMax, QFileInfo(wal).size());
        rssMax = std::max<qint64>(rssMax, StatusKb("VmRSS:"));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        measuring = false;
    }
    result.cpu = (CpuSeconds() - cpu0) / (double(wall.elapsed()) / 1000.0);
    result.messages = committed() - messages0;
    result.rssKb = rssMax;
    result.hwmKb = StatusKb("VmHWM:");
    for (auto& child : children)
        child->terminate();
    SyntheticEventsSent(children);
    QTest::qWait(1000);
    subscriber.reset();
    if (!archive->Flush(60000))
        std::fprintf(stderr, "bench_lab: the last messages were not committed: %s\n",
                     qPrintable(archive->LastError()));
    archive.reset();
    result.p50 = Percentile(waits, 0.5);
    result.p99 = Percentile(waits, 0.99);
    result.max = waits.empty() ? 0 : double(*std::max_element(waits.begin(), waits.end()));
    StoredSize(target, postgres, &result);
    result.ran = true;
    return result;
}

void PrintIngest(const char* backend, int n, int seconds, const IngestResult& r)
{
    std::printf("Ingest, %s: %d consoles at 5 readings a second, beam on, %d s measured "
                "(%lld messages committed, %.0f a second)\n",
                backend, n, seconds, static_cast<long long>(r.messages),
                double(r.messages) / seconds);
    Line("p99 receipt to durable",
         QStringLiteral("%1 ms (median %2, max %3)").arg(r.p99).arg(r.p50).arg(r.max), "<= 1 s",
         r.p99 <= 1000);
    Line("CPU of the archive process", QStringLiteral("%1 % of a core").arg(r.cpu * 100, 0, 'f', 1),
         "<= 25 %", r.cpu <= 0.25);
    Line("resident memory",
         QStringLiteral("%1 MiB (peak %2)")
             .arg(double(r.rssKb) / 1024, 0, 'f', 1)
             .arg(double(r.hwmKb) / 1024, 0, 'f', 1),
         "<= 150 MiB", r.hwmKb <= 150 * 1024);
    if (QLatin1String(backend) == QLatin1String("SQLite"))
        Line("WAL file (largest seen)", QStringLiteral("%1 MiB").arg(MiB(r.walMax), 0, 'f', 1),
             "<= 64 MiB", r.walMax <= qint64(64) << 20);
    else
        std::printf("  %-44s %s\n", "WAL file", "(the server's own, not the archive's file)");
    Line("stored size per beam-on reading",
         QStringLiteral("%1 B (+ roll-ups %2 B; whole database %3 B)")
             .arg(r.bytesPerReading, 0, 'f', 1)
             .arg(r.rollupBytesPerReading, 0, 'f', 1)
             .arg(r.fileBytesPerReading, 0, 'f', 1),
         "<= 32 bytes", r.bytesPerReading > 0 && r.bytesPerReading <= 32);
    std::fflush(stdout);
}

// --- Query archives ---------------------------------------------------------

constexpr int kExposuresPerDay = 3;

struct Generated
{
    qint64 intervals = 0, intervalRows = 0, rollups = 0, readings = 0, bytes = 0;
    double seconds = 0;
};

// Rows gathered into one INSERT of many: a year of 1,000 generators is millions
// of rows, and a statement each would take PostgreSQL a quarter of an hour.
class CBulkInsert
{
public:
    CBulkInsert(ISqlDatabase& db, QString* error) : m_db(db), m_error(error) {}
    // head: up to VALUES; row: one "(?, ...)"; tail: what follows the values.
    bool Add(const char* head, const char* row, const char* tail, const SqlRow& params)
    {
        Pending& p = m_pending[head];
        p.row = QLatin1String(row);
        p.tail = QLatin1String(tail);
        p.params += params;
        if (++p.rows >= 200 && !Send(head, p))
            return false;
        // Transactions of about half a million rows keep the write-ahead log bounded.
        if (++m_inTransaction >= 500000)
            return SendAll() && m_db.Exec(QStringLiteral("COMMIT"), {}, m_error) &&
                   (m_inTransaction = 0, true);
        return m_inTransaction != 1 || m_db.Exec(QStringLiteral("BEGIN"), {}, m_error);
    }
    bool Finish()
    {
        return SendAll() &&
               (m_inTransaction == 0 || m_db.Exec(QStringLiteral("COMMIT"), {}, m_error));
    }

private:
    struct Pending
    {
        QString row, tail;
        SqlRow params;
        int rows = 0;
    };
    bool Send(const QString& head, Pending& p)
    {
        if (p.rows == 0)
            return true;
        QStringList rows;
        for (int i = 0; i < p.rows; ++i)
            rows << p.row;
        const bool ok =
            m_db.Exec(head + rows.join(QStringLiteral(", ")) + p.tail, p.params, m_error);
        p.params.clear();
        p.rows = 0;
        return ok;
    }
    bool SendAll()
    {
        for (auto& [head, p] : m_pending) {
            if (!Send(head, p))
                return false;
        }
        return true;
    }
    ISqlDatabase& m_db;
    QString* m_error;
    std::map<QString, Pending> m_pending;
    qint64 m_inTransaction = 0;
};

std::unique_ptr<ISqlDatabase> Connect(const QString& target, QString* error)
{
    if (CPostgresDatabase::IsUri(target))
        return CPostgresDatabase::Open(target, error);
    return CSqliteDatabase::Open(target, CSqliteDatabase::Mode::Write, error);
}

// A year of exposures for n generators, straight into the archive's own tables
// through its database seam, in big transactions. The chains' hashes are
// placeholders: no query reads them, and Verify is not timed. The per-day sums
// are not made here but by the archive's first opening with the zone.
bool Generate(const QString& target, int n, const QDate& firstDay, int days, Generated* g,
              QString* error)
{
    QElapsedTimer took;
    took.start();
    {
        std::unique_ptr<CArchive> made = CArchive::Open(target, {}, error);
        if (!made)
            return false;
    }
    std::unique_ptr<ISqlDatabase> db = Connect(target, error);
    if (!db)
        return false;
    CBulkInsert bulk(*db, error);
    const qint64 day0 = QDateTime(firstDay, QTime(0, 0), QTimeZone::utc()).toMSecsSinceEpoch();
    constexpr qint64 kDayMs = 86400000, kMinuteMs = 60000;
    qint64 intervalId = 1;
    quint64 seed = 12345;
    const auto random = [&seed](qint64 below) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return qint64((seed >> 33) % quint64(below));
    };
    for (int gen = 0; gen < n; ++gen) {
        const QString name = QStringLiteral("site/gen%1").arg(gen, 4, 10, QLatin1Char('0'));
        if (!bulk.Add("INSERT INTO generators (generator, host, user_name, started_ms, "
                      "last_event_seq, last_reading_seq, last_heard_ms) VALUES ",
                      "(?, 'bench', 'ops', ?, 0, 0, ?)", "", {name, day0, day0 + days * kDayMs}))
            return false;
        for (int d = 0; d < days; ++d) {
            for (int e = 0; e < kExposuresPerDay; ++e) {
                // Within the working day's thirds, 1 to 6 minutes long.
                const qint64 start =
                    day0 + d * kDayMs + (7 + 4 * e) * 3600000LL + random(3 * 3600000LL);
                const qint64 end = start + kMinuteMs + random(5 * kMinuteMs);
                const char* head = "INSERT INTO intervals (id, generator, start_ms, change, "
                                   "end_state, earliest_end_ms, latest_end_ms, end_reason, host, "
                                   "user_name, set_kv, set_ua, kv_n, kv_sum, kv_max, ua_n, ua_sum, "
                                   "ua_max, prev_hash, hash) VALUES ";
                const char* row = "(?, ?, ?, ?, ?, ?, ?, ?, 'bench', 'ops', 80.5, 1100, ?, ?, "
                                  "80.6, ?, ?, 1101, 'x', 'x')";
                const qint64 count = (end - start) / 200;
                if (!bulk.Add(head, row, "",
                              {intervalId++, name, start, "opened", "open", start, QVariant(), "",
                               1, 80.5, 1, 1100.0}) ||
                    !bulk.Add(head, row, "",
                              {intervalId++, name, start, "closed", "closed", end, end, "xray-off",
                               count, 80.5 * double(count), count, 1100.0 * double(count)}) ||
                    !bulk.Add("INSERT INTO interval_now (generator, start_ms, end_state, "
                              "earliest_end_ms, latest_end_ms, end_reason, host, user_name, "
                              "set_kv, set_ua, kv_n, kv_sum, kv_max, ua_n, ua_sum, ua_max, "
                              "last_id) VALUES ",
                              "(?, ?, 'closed', ?, ?, 'xray-off', 'bench', 'ops', 80.5, 1100, ?, "
                              "?, 80.6, ?, ?, 1101, ?)",
                              "",
                              {name, start, end, end, count, 80.5 * double(count), count,
                               1100.0 * double(count), intervalId - 1}))
                    return false;
                ++g->intervals;
                g->intervalRows += 2;
                for (qint64 m = start / kMinuteMs * kMinuteMs; m < end; m += kMinuteMs) {
                    if (!bulk.Add("INSERT INTO rollups (generator, minute_ms, readings, kv_n, "
                                  "kv_min, kv_sum, kv_max, ua_n, ua_min, ua_sum, ua_max, t_n, "
                                  "t_min, t_sum, t_max) VALUES ",
                                  "(?, ?, 300, 300, 80.4, 24150, 80.6, 300, 1099, 330000, 1101, "
                                  "300, 30, 9300, 32)",
                                  " ON CONFLICT (generator, minute_ms) DO NOTHING", {name, m}))
                        return false;
                    ++g->rollups;
                }
            }
        }
    }
    // The first generator's last day of readings, 5 a second, every one different,
    // packed as the writer packs them.
    const qint64 lastDay = day0 + (days - 1) * kDayMs;
    CBlockEncoder block;
    qint64 blockId = 1;
    const auto writeBlock = [&] {
        const bool written =
            bulk.Add("INSERT INTO reading_blocks (id, generator, started_ms, first_seq, last_seq, "
                     "count, first_ms, last_ms, data) VALUES ",
                     "(?, 'site/gen0000', ?, ?, ?, ?, ?, ?, ?)", "",
                     {blockId++, day0, *block.FirstSeq(), *block.LastSeq(), block.Readings(),
                      block.MinMs(), block.MaxMs(), block.Bytes()});
        block = CBlockEncoder();
        return written;
    };
    for (qint64 i = 0; i < kDayMs / 200; ++i) {
        const int kv = 800 + int(i % 11), ua = 1090 + int((i * 7) % 21),
                  temp = 300 + int((i / 3) % 400);
        StoredRun r;
        r.firstMs = r.lastMs = lastDay + i * 200;
        r.firstSeq = r.lastSeq = i + 1;
        r.kv = QStringLiteral("%1.%2").arg(kv / 10, 3, 10, QLatin1Char('0')).arg(kv % 10);
        r.ua = QString::number(ua);
        r.temperature =
            QStringLiteral("%1.%2").arg(temp / 10, 3, 10, QLatin1Char('0')).arg(temp % 10);
        r.faults = QStringLiteral("No Error");
        r.xrayOn = true;
        r.firstBeamOnS = r.lastBeamOnS = double(i * 200) / 1000.0;
        if (!ContinuesBlock(block, r.firstSeq) && !writeBlock())
            return false;
        block.Append(r);
        ++g->readings;
    }
    if (block.Readings() > 0 && !writeBlock())
        return false;
    if (!bulk.Finish())
        return false;
    std::vector<SqlRow> rows;
    if (CPostgresDatabase::IsUri(target)) {
        // The planner's statistics, as autovacuum would have them on a year-old archive.
        if (!db->Exec(QStringLiteral("ANALYZE"), {}, error) ||
            !db->Query(QStringLiteral("SELECT pg_database_size(current_database())"), {}, &rows,
                       error))
            return false;
        g->bytes = rows[0][0].toLongLong();
    } else {
        if (!db->Query(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"), {}, &rows, error))
            return false;
        g->bytes = QFileInfo(target).size();
    }
    g->seconds = double(took.elapsed()) / 1000.0;
    return true;
}

// The median of three runs, in ms; the first warms the cache.
template <typename Query> double Timed(Query query, bool* ok)
{
    std::vector<qint64> ns;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer t;
        t.start();
        *ok = query() && *ok;
        ns.push_back(t.nsecsElapsed());
    }
    return Percentile(ns, 0.5) / 1e6;
}

// target: a SQLite file's path or a PostgreSQL database's URI.
void Queries(int n, const QString& target, const char* backend)
{
    const QDate firstDay(2025, 6, 1);
    constexpr int kDays = 365;
    Generated g;
    QString error;
    if (!Generate(target, n, firstDay, kDays, &g, &error)) {
        std::fprintf(stderr, "bench_lab: making the archive of %d: %s\n", n, qPrintable(error));
        return;
    }
    std::unique_ptr<CArchive> archive = CArchive::OpenReadOnly(target, &error);
    if (!archive) {
        std::fprintf(stderr, "bench_lab: %s\n", qPrintable(error));
        return;
    }
    const QTimeZone zone("Europe/Berlin");
    const auto midnight = [&](const QDate& d) { return QDateTime(d, QTime(0, 0), zone); };
    const QDate lastDay = firstDay.addDays(kDays - 1);
    QDate tuesday = lastDay;
    while (tuesday.dayOfWeek() != Qt::Tuesday)
        tuesday = tuesday.addDays(-1);
    std::printf("Queries, %s, %d generators x 1 year: %lld exposures (%lld rows), %lld roll-ups, "
                "%lld readings; %.0f MiB, made in %.0f s\n",
                backend, n, static_cast<long long>(g.intervals),
                static_cast<long long>(g.intervalRows), static_cast<long long>(g.rollups),
                static_cast<long long>(g.readings), MiB(g.bytes), g.seconds);
    bool ok = true;
    size_t found = 0;
    const double exposures = Timed(
        [&] {
            const auto r = archive->Exposures(midnight(tuesday), midnight(tuesday.addDays(1)),
                                              QString(), &error);
            found = r ? r->size() : 0;
            return r.has_value();
        },
        &ok);
    Line("exposures last Tuesday, all generators",
         QStringLiteral("%1 ms (%2 found)").arg(exposures, 0, 'f', 1).arg(found), "<= 100 ms",
         exposures <= 100);
    QStringList answer; // the last beam time's rows, "generator day ms"
    const auto beamTime = [&] {
        const auto r = archive->BeamTimeIn(Period::Day, midnight(firstDay),
                                           midnight(lastDay.addDays(1)), zone, &error);
        found = r ? r->totalMs.size() : 0;
        answer.clear();
        for (const BeamTimeRow& row : r ? r->rows : std::vector<BeamTimeRow>())
            answer << QStringLiteral("%1 %2 %3")
                          .arg(row.generator, row.period.toString(Qt::ISODate))
                          .arg(row.beamMs);
        return r.has_value();
    };
    const double summed = Timed(beamTime, &ok);
    const QStringList summedAnswer = answer;
    Line("beam time per day, a year, every exposure",
         QStringLiteral("%1 ms (%2 generators)").arg(summed, 0, 'f', 1).arg(found), "(no sums)",
         true);
    // The per-day sums, made as serve makes them when first given the zone.
    QElapsedTimer filling;
    filling.start();
    {
        ArchiveOptions options;
        options.beamZones = {zone};
        options.complain = [](const QString&) {};
        if (!CArchive::Open(target, options, &error))
            std::fprintf(stderr, "bench_lab: %s\n", qPrintable(error));
    }
    Line("summing a year into days, once",
         QStringLiteral("%1 s").arg(double(filling.elapsed()) / 1000.0, 0, 'f', 1), "(once)", true);
    const double beam = Timed(beamTime, &ok);
    Line("beam time per generator per day, a year",
         QStringLiteral("%1 ms (%2 generators)").arg(beam, 0, 'f', 1).arg(found), "<= 500 ms",
         beam <= 500);
    Line("the same days as from every exposure",
         QStringLiteral("%1 of %2 rows")
             .arg(answer == summedAnswer ? answer.size() : 0)
             .arg(summedAnswer.size()),
         "all", answer == summedAnswer && !answer.isEmpty());
    const double day = Timed(
        [&] {
            const QDateTime from(lastDay, QTime(0, 0), QTimeZone::utc());
            const auto r = archive->Readings("site/gen0000", from, from.addDays(1), 2000, &error);
            found = r ? r->size() : 0;
            return r.has_value();
        },
        &ok);
    Line("a day of readings in 2,000 points",
         QStringLiteral("%1 ms (%2 points)").arg(day, 0, 'f', 1).arg(found), "<= 150 ms",
         day <= 150);
    const double year = Timed(
        [&] {
            const auto r = archive->Rollups("site/gen0000", midnight(firstDay),
                                            midnight(lastDay.addDays(1)), &error);
            found = r ? r->size() : 0;
            return r.has_value();
        },
        &ok);
    Line("a generator's year from roll-ups",
         QStringLiteral("%1 ms (%2 minutes)").arg(year, 0, 'f', 1).arg(found), "<= 150 ms",
         year <= 150);
    if (!ok)
        std::fprintf(stderr, "bench_lab: a query failed: %s\n", qPrintable(error));
    archive.reset();
    if (CPostgresDatabase::IsUri(target))
        return;
    QFile::remove(target);
    QFile::remove(target + "-wal");
    QFile::remove(target + "-shm");
    QFile::remove(target + ".lock");
}

} // namespace

int main(int argc, char* argv[])
{
    // A thousand consoles' clients, and the broker serving them, need more than
    // the usual 1,024 descriptors.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    SyntheticOptions synthetic;
    if (IsSyntheticChild(argc, argv, &synthetic))
        return PublishSynthetic(synthetic);
    int n = 1000, seconds = 60;
    bool postgres = true, ingest = true, queries = true;
    QList<int> sizes{100, 300, 1000};
    for (int i = 1; i < argc; ++i) {
        const QByteArray a = argv[i];
        const QByteArray v = i + 1 < argc ? QByteArray(argv[i + 1]) : QByteArray();
        if (a == "--generators" && v.toInt() > 0)
            n = v.toInt(), ++i;
        else if (a == "--seconds" && v.toInt() > 0)
            seconds = v.toInt(), ++i;
        else if (a == "--sqlite-only")
            postgres = false;
        else if (a == "--postgres")
            postgres = true;
        else if (a == "--queries-only")
            ingest = false;
        else if (a == "--ingest-only")
            queries = false;
        else if (a == "--sizes" && !v.isEmpty()) {
            sizes.clear();
            for (const QByteArray& s : v.split(','))
                if (s.toInt() > 0)
                    sizes << s.toInt();
            ++i;
        } else {
            std::printf("usage: bench_lab [--generators N] [--seconds S] [--sqlite-only | "
                        "--postgres] [--queries-only | --ingest-only] [--sizes 100,300,1000]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (ingest) {
        CBroker broker;
        QString error;
        if (!broker.Start(&error)) {
            std::fprintf(stderr, "bench_lab: %s\n", qPrintable(error));
            return 1;
        }
        const IngestResult lite =
            Ingest(dir.filePath("ingest.db"), false, n, seconds, true, broker.plainPort, argv[0]);
        if (lite.ran)
            PrintIngest("SQLite", n, seconds, lite);
        if (postgres) {
            test::CPgRig pg;
            const QString uri = pg.Error().isEmpty() ? pg.NewDatabase(&error) : QString();
            if (uri.isEmpty()) {
                std::fprintf(stderr, "bench_lab: no PostgreSQL: %s\n",
                             qPrintable(pg.Error().isEmpty() ? error : pg.Error()));
            } else {
                const IngestResult r =
                    Ingest(uri, true, n, seconds, true, broker.plainPort, argv[0]);
                if (r.ran)
                    PrintIngest("PostgreSQL", n, seconds, r);
            }
        }
        // Idle consoles: every reading the same, a few bytes each.
        const int idleN = std::min(n, 200), idleSeconds = std::min(seconds, 30);
        const IngestResult idle = Ingest(dir.filePath("idle.db"), false, idleN, idleSeconds, false,
                                         broker.plainPort, argv[0]);
        if (idle.ran) {
            std::printf("Idle readings, SQLite: %d consoles, %d s (%lld messages)\n", idleN,
                        idleSeconds, static_cast<long long>(idle.messages));
            Line("stored size per idle reading",
                 QStringLiteral("%1 B (+ roll-ups %2 B; whole database %3 B)")
                     .arg(idle.bytesPerReading, 0, 'f', 1)
                     .arg(idle.rollupBytesPerReading, 0, 'f', 1)
                     .arg(idle.fileBytesPerReading, 0, 'f', 1),
                 "far less",
                 idle.bytesPerReading > 0 && idle.bytesPerReading <= lite.bytesPerReading / 3);
        }
    }
    if (queries) {
        for (const int size : sizes)
            Queries(size, QStringLiteral("%1/query%2.db").arg(dir.path()).arg(size), "SQLite");
        if (postgres) {
            test::CPgRig pg;
            QString error;
            for (const int size : sizes) {
                const QString uri = pg.Error().isEmpty() ? pg.NewDatabase(&error) : QString();
                if (uri.isEmpty()) {
                    std::fprintf(stderr, "bench_lab: no PostgreSQL: %s\n",
                                 qPrintable(pg.Error().isEmpty() ? error : pg.Error()));
                    break;
                }
                Queries(size, uri, "PostgreSQL");
            }
        }
    }
    return 0;
}
