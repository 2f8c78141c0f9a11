#include "archive.h"

#include "chain.h"
#include "postgresdatabase.h"
#include "readingblock.h"
#include "schema.h"
#include "sqlitedatabase.h"
#include "stderrwriter.h"

#include <QFile>
#include <QFileInfo>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>

namespace ondrel::archive {

namespace {

// Drops are counted per generator and topic; past this many generators, a
// flood of made-up prefixes is counted under one name.
constexpr size_t kDropKeysLimit = 10000;
const QString kManyGenerators = QStringLiteral("(further generators)");
constexpr int kRetryMs = 1000;

qint64 QueuedSize(const ArchiveMessage& m)
{
    return qint64(sizeof(ArchiveMessage)) + m.payload.size() +
           2 * (m.generator.size() + m.subtopic.size());
}

// A lock file beside the database, held for as long as the archive is open:
// two writers would each believe their chains' ends and ids their own.
int LockBeside(const QString& path, QString* error)
{
    const QString lockPath = path + QStringLiteral(".lock");
    const int fd =
        ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = QStringLiteral("%1: cannot make the lock file %2: %3")
                     .arg(path, lockPath, QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        char pid[32] = {};
        const ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
        ::close(fd);
        const QString holder =
            n > 0 ? QStringLiteral(" by process %1").arg(QString::fromLatin1(pid, int(n)).trimmed())
                  : QString();
        *error = why == EWOULDBLOCK
                     ? QStringLiteral("%1 is already open for writing%2 (%3 is locked); only one "
                                      "writer at a time")
                           .arg(path, holder, lockPath)
                     : QStringLiteral("%1: cannot lock %2: %3")
                           .arg(path, lockPath, QString::fromLocal8Bit(std::strerror(why)));
        return -1;
    }
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0) {
        // Only the message to a second writer would lack the number.
    }
    return fd;
}

} // namespace

std::unique_ptr<CArchive> CArchive::Open(const QString& target, ArchiveOptions options,
                                         QString* error)
{
    int lockFd = -1;
    std::unique_ptr<ISqlDatabase> writer, reader;
    if (CPostgresDatabase::IsUri(target)) {
        std::unique_ptr<CPostgresDatabase> db = CPostgresDatabase::Open(target, error);
        if (!db || !db->HoldWriterLock(error))
            return nullptr;
        writer = std::move(db);
    } else {
        lockFd = LockBeside(target, error);
        if (lockFd < 0)
            return nullptr;
        writer = CSqliteDatabase::Open(target, CSqliteDatabase::Mode::Write, error);
    }
    const auto fail = [&] {
        if (lockFd >= 0)
            ::close(lockFd);
        return nullptr;
    };
    if (!writer || !PrepareSchema(*writer, error))
        return fail();
    if (CPostgresDatabase::IsUri(target))
        reader = CPostgresDatabase::Open(target, error);
    else
        reader = CSqliteDatabase::Open(target, CSqliteDatabase::Mode::ReadOnly, error);
    if (!reader)
        return fail();
    const QString name = writer->Name();
    std::unique_ptr<CArchive> archive(
        new CArchive(name, std::move(options), lockFd, std::move(writer), std::move(reader)));
    if (!archive->m_store->Load(error) ||
        !archive->m_store->KeepBeamZones(archive->m_options.beamZones, error))
        return nullptr;
    try {
        archive->m_thread = std::thread([a = archive.get()] { a->Run(); });
    } catch (const std::system_error& e) {
        *error = QStringLiteral("%1: cannot start the writer thread: %2")
                     .arg(archive->m_name, QString::fromLocal8Bit(e.what()));
        return nullptr;
    }
    return archive;
}

std::unique_ptr<CArchive> CArchive::OpenReadOnly(const QString& target, QString* error)
{
    std::unique_ptr<ISqlDatabase> reader;
    if (CPostgresDatabase::IsUri(target)) {
        reader = CPostgresDatabase::Open(target, error);
    } else {
        if (!QFileInfo(target).isFile()) {
            *error = QFileInfo::exists(target)
                         ? QStringLiteral("%1: not a file").arg(target)
                         : QStringLiteral("%1: no archive there (serve or import makes one)")
                               .arg(target);
            return nullptr;
        }
        reader = CSqliteDatabase::Open(target, CSqliteDatabase::Mode::ReadOnly, error);
    }
    if (!reader || !CheckSchema(*reader, error))
        return nullptr;
    const QString name = reader->Name();
    return std::unique_ptr<CArchive>(new CArchive(name, {}, -1, nullptr, std::move(reader)));
}

CArchive::CArchive(QString name, ArchiveOptions options, int lockFd,
                   std::unique_ptr<ISqlDatabase> writer, std::unique_ptr<ISqlDatabase> reader)
    : m_name(std::move(name)), m_options(std::move(options)), m_lockFd(lockFd),
      m_writerDb(std::move(writer)),
      m_store(m_writerDb ? std::make_unique<CStore>(*m_writerDb, m_options.complain) : nullptr),
      m_readerDb(std::move(reader))
{}

CArchive::~CArchive()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_store.reset();
    m_readerDb.reset();
    m_writerDb.reset();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

void CArchive::Complain(const QString& text)
{
    if (m_options.complain)
        m_options.complain(text);
    else
        WriteStderr(QStringLiteral("ondrel-lab: %1\n").arg(text));
}

bool CArchive::Enqueue(ArchiveMessage message)
{
    if (!m_store)
        return false;
    const qint64 size = QueuedSize(message);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_received;
        if (m_queuedBytes + size > m_options.queueLimitBytes) {
            DropKey key{message.generator, message.subtopic};
            if (m_drops.size() >= kDropKeysLimit && !m_drops.count(key))
                key.first = kManyGenerators;
            DroppedMessages& d = m_drops[key];
            if (d.count++ == 0)
                d.first = message.received;
            d.last = message.received;
            return false;
        }
        if (m_queue.empty())
            m_firstQueued = std::chrono::steady_clock::now();
        m_queuedBytes += size;
        m_queue.push_back(std::move(message));
    }
    m_wake.notify_one();
    return true;
}

bool CArchive::Flush(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_store) {
        m_lastError = QStringLiteral("%1 is open for reading only").arg(m_name);
        return false;
    }
    const quint64 target = m_received;
    m_flushWanted = std::max(m_flushWanted, target);
    m_wake.notify_one();
    return m_done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return m_committed >= target; });
}

QString CArchive::LastError() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastError;
}

void CArchive::Run()
{
    bool failing = false;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stop || !m_queue.empty() || !m_drops.empty(); });
        if (m_queue.empty() && m_drops.empty())
            break; // stopping, with nothing left
        // Gather a batch: one transaction for many messages is what makes the
        // archive keep up; a flush, a stop or a half-full queue cuts it short.
        m_wake.wait_until(lock, m_firstQueued + std::chrono::milliseconds(m_options.batchWindowMs),
                          [&] {
                              return m_stop || m_flushWanted > m_committed ||
                                     m_queuedBytes > m_options.queueLimitBytes / 2;
                          });
        std::vector<ArchiveMessage> batch(std::make_move_iterator(m_queue.begin()),
                                          std::make_move_iterator(m_queue.end()));
        m_queue.clear();
        const qint64 bytes = m_queuedBytes;
        m_queuedBytes = 0;
        Drops drops;
        drops.swap(m_drops);
        quint64 count = batch.size();
        for (const auto& [key, d] : drops)
            count += quint64(d.count);
        lock.unlock();

        QString error;
        bool ok = false;
        {
            std::lock_guard<std::mutex> storeLock(m_storeMutex);
            ok = m_store->ApplyBatch(batch, drops, &error);
        }
        // Said once, not every retry: a server away for an hour would say it 3600 times.
        if (!ok && !failing)
            Complain(QStringLiteral("%1; retrying").arg(error));
        else if (ok && failing)
            Complain(QStringLiteral("%1: archiving again").arg(m_name));
        failing = !ok;

        if (ok && m_options.committed) {
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            std::vector<qint64> waited;
            waited.reserve(batch.size());
            for (const ArchiveMessage& m : batch)
                waited.push_back(now - m.received.toMSecsSinceEpoch());
            m_options.committed(waited);
        }
        lock.lock();
        if (ok) {
            m_committed += count;
            m_lastError.clear();
            m_done.notify_all();
            continue;
        }
        m_lastError = error;
        if (m_stop) {
            lock.unlock();
            Complain(QStringLiteral("%1: %2 messages were not archived").arg(m_name).arg(count));
            return;
        }
        // The batch goes back in front of what came meanwhile, still within the
        // bound; what no longer fits is dropped as a gap like any other.
        for (auto it = batch.rbegin(); it != batch.rend(); ++it)
            m_queue.push_front(std::move(*it));
        m_queuedBytes += bytes;
        for (const auto& [key, d] : drops) {
            DroppedMessages& mine = m_drops[key];
            mine.first = mine.count ? std::min(mine.first, d.first) : d.first;
            mine.last = mine.count ? std::max(mine.last, d.last) : d.last;
            mine.count += d.count;
        }
        m_firstQueued = std::chrono::steady_clock::now();
        m_wake.wait_for(lock, std::chrono::milliseconds(kRetryMs), [&] { return m_stop; });
    }
}

std::optional<std::vector<lab::ExposureInterval>> CArchive::Exposures(const QDateTime& from,
                                                                      const QDateTime& to,
                                                                      const QString& generator,
                                                                      QString* error)
{
    return Overlapping(from, to, generator, false, error);
}

std::optional<std::vector<lab::ExposureInterval>>
CArchive::Overlapping(const QDateTime& from, const QDateTime& to, const QString& generator,
                      bool startedBefore, QString* error)
{
    // Those that overlap [from, to) either start in it, or started before and
    // end in or after it, or have no end yet: unresolved ones, and an open one,
    // which is its generator's latest. Each is found by an index of its own
    // rather than by reading the whole table.
    const QString columns = QLatin1String(kIntervalColumns);
    const QString one = generator.isEmpty() ? QString() : QStringLiteral(" AND i.generator = ?");
    const qint64 fromMs = from.toMSecsSinceEpoch(), toMs = to.toMSecsSinceEpoch();
    const auto withGenerator = [&](SqlRow params) {
        if (!generator.isEmpty())
            params << generator;
        return params;
    };
    // Those that started before and end after from are found by whichever of
    // the two indexes leads to fewer rows: by end for a recent day, by start
    // for a year back. A unary plus keeps SQLite off the other index; PostgreSQL
    // weighs them by its own statistics.
    std::vector<SqlRow> sides;
    {
        std::lock_guard<std::mutex> lock(m_readMutex);
        if (!m_readerDb->Query(
                QStringLiteral("SELECT (SELECT COUNT(*) FROM (SELECT 1 FROM interval_now WHERE "
                               "start_ms < ? LIMIT 1000) a), (SELECT COUNT(*) FROM (SELECT 1 FROM "
                               "interval_now WHERE latest_end_ms > ? LIMIT 1000) b)"),
                {fromMs, fromMs}, &sides, error))
            return std::nullopt;
    }
    const bool byStart = !sides.empty() && sides[0][0].toLongLong() < sides[0][1].toLongLong();
    const QString endedAfter = byStart ? QStringLiteral("+i.latest_end_ms > ? AND i.start_ms < ?")
                                       : QStringLiteral("i.latest_end_ms > ? AND +i.start_ms < ?");
    const std::pair<QString, SqlRow> queries[] = {
        {QStringLiteral("SELECT %1 FROM interval_now i WHERE i.start_ms >= ? AND i.start_ms < ?%2")
             .arg(columns, one),
         withGenerator({fromMs, toMs})},
        {QStringLiteral("SELECT %1 FROM interval_now i WHERE %2%3").arg(columns, endedAfter, one),
         withGenerator({fromMs, fromMs})},
        {QStringLiteral("SELECT %1 FROM interval_now i WHERE i.end_state = 'uncertain' AND "
                        "i.latest_end_ms IS NULL AND i.start_ms < ?%2")
             .arg(columns, one),
         withGenerator({fromMs})},
        {QStringLiteral("SELECT %1 FROM interval_now i WHERE (i.generator, i.start_ms) IN (SELECT "
                        "g.generator, (SELECT MAX(k.start_ms) FROM interval_now k WHERE "
                        "k.generator = g.generator AND k.start_ms < ?) FROM generators g)%2")
             .arg(columns, one),
         withGenerator({fromMs})},
    };
    std::map<std::pair<qint64, QString>, lab::ExposureInterval> found;
    for (const auto& [sql, params] : queries) {
        if (startedBefore && &sql == &queries[0].first)
            continue;
        std::vector<SqlRow> rows;
        {
            std::lock_guard<std::mutex> lock(m_readMutex);
            if (!m_readerDb->Query(sql, params, &rows, error))
                return std::nullopt;
        }
        for (const SqlRow& r : rows) {
            lab::ExposureInterval i = IntervalFromRow(r);
            // An end not known yet may lie anywhere later.
            const bool endKnown = i.endState != lab::EndState::Open && i.latestEnd.isValid();
            if (!endKnown || i.latestEnd > from)
                found.emplace(std::pair{i.start.toMSecsSinceEpoch(), i.generator}, std::move(i));
        }
    }
    std::vector<lab::ExposureInterval> sorted;
    sorted.reserve(found.size());
    for (auto& [key, interval] : found)
        sorted.push_back(std::move(interval));
    return sorted;
}

namespace {

struct Accumulated
{
    qint64 n = 0;
    double sum = 0, weightSum = 0, min = 0, max = 0;
    // A run's readings count by how many of them fall in the bucket.
    void Add(std::optional<double> v, double weight)
    {
        if (!v || weight <= 0)
            return;
        min = n ? std::min(min, *v) : *v;
        max = n ? std::max(max, *v) : *v;
        ++n;
        sum += *v * weight;
        weightSum += weight;
    }
    ValueRange Range() const
    {
        if (!n)
            return {};
        return {min, sum / weightSum, max};
    }
};

ValueRange RollupRange(const QVariant& n, const QVariant& min, const QVariant& sum,
                       const QVariant& max)
{
    if (n.toLongLong() <= 0)
        return {};
    return {min.toDouble(), sum.toDouble() / double(n.toLongLong()), max.toDouble()};
}

} // namespace

std::optional<std::vector<ReadingPoint>> CArchive::Readings(const QString& generator,
                                                            const QDateTime& from,
                                                            const QDateTime& to, int maxPoints,
                                                            QString* error)
{
    const qint64 fromMs = from.toMSecsSinceEpoch(), toMs = to.toMSecsSinceEpoch();
    if (toMs <= fromMs || maxPoints < 1)
        return std::vector<ReadingPoint>();
    const qint64 width = std::max<qint64>(1, (toMs - fromMs + maxPoints - 1) / maxPoints);
    // The blocks within the window, and of those that began before it only the
    // last, which may reach into it: found by the index either way.
    std::vector<SqlRow> blocks;
    {
        std::lock_guard<std::mutex> lock(m_readMutex);
        if (!m_readerDb->Query(
                QStringLiteral("SELECT data FROM reading_blocks WHERE generator = ? AND first_ms "
                               "< ? AND last_ms >= ? AND first_ms >= COALESCE((SELECT "
                               "MAX(first_ms) FROM reading_blocks WHERE generator = ? AND "
                               "first_ms <= ?), ?) ORDER BY first_ms"),
                {generator, toMs, fromMs, generator, fromMs, fromMs}, &blocks, error))
            return std::nullopt;
    }
    const qint64 bucketCount = (toMs - fromMs + width - 1) / width;
    std::vector<std::array<Accumulated, 3>> buckets(static_cast<size_t>(bucketCount));
    std::vector<qint64> counts(static_cast<size_t>(bucketCount), 0);
    const auto add = [&](qint64 b, const StoredRun& r, qint64 in) {
        std::array<Accumulated, 3>& a = buckets[size_t(b)];
        a[0].Add(r.kvValue, double(in));
        a[1].Add(r.uaValue, double(in));
        a[2].Add(r.temperatureValue, double(in));
        counts[size_t(b)] += in;
    };
    std::vector<StoredRun> runs;
    for (const SqlRow& block : blocks) {
        runs.clear();
        if (!DecodeBlock(block[0].toByteArray(), &runs, error, Decode::NumbersOnly)) {
            *error = QStringLiteral("%1: %2").arg(generator, *error);
            return std::nullopt;
        }
        for (const StoredRun& r : runs) {
            const qint64 first = std::max(std::min(r.firstMs, r.lastMs), fromMs);
            const qint64 last = std::min(std::max(r.firstMs, r.lastMs), toMs - 1);
            if (last < first)
                continue;
            if (r.count == 1) {
                add((first - fromMs) / width, r, 1);
                continue;
            }
            // A run's readings are taken as evenly spaced from its first to its last.
            const qint64 runFirst = r.firstMs, runLast = r.lastMs;
            const qint64 count = r.count;
            const double step = double(runLast - runFirst) / double(count - 1);
            const auto index = [&](qint64 ms, bool up) {
                if (step <= 0)
                    return qint64(0);
                const double k = double(ms - runFirst) / step;
                return std::clamp<qint64>(qint64(up ? std::ceil(k) : std::floor(k)), 0, count - 1);
            };
            for (qint64 b = (first - fromMs) / width; b <= (last - fromMs) / width; ++b) {
                const qint64 bucketFirst = std::max(first, fromMs + b * width);
                const qint64 bucketLast = std::min(last, fromMs + (b + 1) * width - 1);
                const qint64 in =
                    step <= 0 ? count : index(bucketLast, false) - index(bucketFirst, true) + 1;
                if (in > 0)
                    add(b, r, in);
            }
        }
    }
    std::vector<ReadingPoint> points;
    for (qint64 b = 0; b < bucketCount; ++b) {
        if (counts[size_t(b)] == 0)
            continue;
        const std::array<Accumulated, 3>& a = buckets[size_t(b)];
        ReadingPoint p;
        p.start = QDateTime::fromMSecsSinceEpoch(fromMs + b * width, QTimeZone::utc());
        p.readings = counts[size_t(b)];
        p.kv = a[0].Range();
        p.ua = a[1].Range();
        p.temperature = a[2].Range();
        points.push_back(p);
    }
    return points;
}

std::optional<std::vector<ReadingPoint>> CArchive::Rollups(const QString& generator,
                                                           const QDateTime& from,
                                                           const QDateTime& to, QString* error)
{
    std::vector<SqlRow> rows;
    {
        std::lock_guard<std::mutex> lock(m_readMutex);
        if (!m_readerDb->Query(
                QStringLiteral("SELECT minute_ms, readings, kv_n, kv_min, kv_sum, kv_max, ua_n, "
                               "ua_min, ua_sum, ua_max, t_n, t_min, t_sum, t_max FROM rollups "
                               "WHERE generator = ? AND minute_ms >= ? AND minute_ms < ? ORDER "
                               "BY minute_ms"),
                {generator, from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch()}, &rows, error))
            return std::nullopt;
    }
    std::vector<ReadingPoint> points;
    points.reserve(rows.size());
    for (const SqlRow& r : rows) {
        ReadingPoint p;
        p.start = QDateTime::fromMSecsSinceEpoch(r[0].toLongLong(), QTimeZone::utc());
        p.readings = r[1].toLongLong();
        p.kv = RollupRange(r[2], r[3], r[4], r[5]);
        p.ua = RollupRange(r[6], r[7], r[8], r[9]);
        p.temperature = RollupRange(r[10], r[11], r[12], r[13]);
        points.push_back(p);
    }
    return points;
}

std::optional<BeamTime> CArchive::BeamTimeIn(Period period, const QDateTime& from,
                                             const QDateTime& to, const QTimeZone& zone,
                                             QString* error)
{
    if (!zone.isValid()) {
        *error = QStringLiteral("not a time zone this computer knows");
        return std::nullopt;
    }
    std::optional<BeamTime> kept;
    if (!BeamTimeFromDays(period, from, to, zone, &kept, error))
        return std::nullopt;
    if (kept)
        return kept;
    // The few that started before from are counted one by one; the year's
    // others are summed by the database, per constant offset of the zone.
    const std::optional<std::vector<lab::ExposureInterval>> before =
        Overlapping(from, to, QString(), true, error);
    if (!before)
        return std::nullopt;
    std::vector<SqlRow> heard;
    {
        std::lock_guard<std::mutex> lock(m_readMutex);
        if (!m_readerDb->Query(QStringLiteral("SELECT generator, last_heard_ms FROM generators"),
                               {}, &heard, error))
            return std::nullopt;
    }
    QHash<QString, QDateTime> lastHeard;
    for (const SqlRow& r : heard)
        lastHeard.insert(r[0].toString(),
                         QDateTime::fromMSecsSinceEpoch(r[1].toLongLong(), QTimeZone::utc()));
    std::vector<BeamSpan> spans;
    for (const lab::ExposureInterval& i : *before) {
        QDateTime end;
        switch (i.endState) {
        case lab::EndState::Closed:
            end = i.latestEnd;
            break;
        case lab::EndState::Uncertain:
            // Counted to its earliest end: the beam time is what is known to
            // have happened, never more; the exposures' list shows how much
            // more it can have been.
            end = i.earliestEnd;
            break;
        case lab::EndState::Open:
            // Still on: counted up to the last word from that console.
            end = std::max(i.start, lastHeard.value(i.generator));
            break;
        }
        spans.push_back({i.generator, i.start, end});
    }

    const qint64 fromMs = from.toMSecsSinceEpoch(), toMs = to.toMSecsSinceEpoch();
    std::vector<qint64> edges{fromMs};
    for (const QTimeZone::OffsetData& t : zone.transitions(from, to)) {
        const qint64 at = t.atUtc.toMSecsSinceEpoch();
        if (at > edges.back() && at < toMs)
            edges.push_back(at);
    }
    edges.push_back(toMs);
    // The same rule as above, in SQL; an end that is NULL counts nothing, as an
    // invalid end does above. Days are counted from far enough back that the
    // division never meets a negative number.
    constexpr qint64 kDayMs = 86400000, kDaysBack = 1000000;
    const QString local =
        QStringLiteral("(SELECT generator, s, e, (s + ?) / 86400000 AS d, (e - 1 + ?) / 86400000 "
                       "AS d2 FROM (SELECT i.generator, i.start_ms AS s, CASE i.end_state WHEN "
                       "'closed' THEN i.latest_end_ms WHEN 'uncertain' THEN i.earliest_end_ms "
                       "ELSE (SELECT g.last_heard_ms FROM generators g WHERE g.generator = "
                       "i.generator) END AS e FROM interval_now i WHERE i.start_ms >= ? AND "
                       "i.start_ms < ?) a WHERE e > s) b");
    std::vector<BeamDay> days;
    const QDate epoch(1970, 1, 1);
    for (size_t k = 0; k + 1 < edges.size(); ++k) {
        const qint64 segmentFrom = edges[k], segmentTo = edges[k + 1];
        const qint64 shift = qint64(zone.offsetFromUtc(
                                 QDateTime::fromMSecsSinceEpoch(segmentFrom, QTimeZone::utc()))) *
                                 1000 +
                             kDaysBack * kDayMs;
        const SqlRow params{shift, shift, segmentFrom, segmentTo, segmentTo};
        std::vector<SqlRow> within, across;
        {
            std::lock_guard<std::mutex> lock(m_readMutex);
            if (!m_readerDb->Query(QStringLiteral("SELECT generator, d, SUM(e - s) FROM %1 WHERE "
                                                  "e <= ? AND d = d2 GROUP BY generator, d")
                                       .arg(local),
                                   params, &within, error) ||
                !m_readerDb->Query(
                    QStringLiteral("SELECT generator, s, e FROM %1 WHERE e > ? OR d <> d2")
                        .arg(local),
                    params, &across, error))
                return std::nullopt;
        }
        for (const SqlRow& r : within)
            days.push_back(
                {r[0].toString(), epoch.addDays(r[1].toLongLong() - kDaysBack), r[2].toLongLong()});
        for (const SqlRow& r : across)
            spans.push_back({r[0].toString(),
                             QDateTime::fromMSecsSinceEpoch(r[1].toLongLong(), QTimeZone::utc()),
                             QDateTime::fromMSecsSinceEpoch(r[2].toLongLong(), QTimeZone::utc())});
    }
    return SplitBeamTime(spans, period, from, to, zone, days);
}

bool CArchive::BeamTimeFromDays(Period period, const QDateTime& from, const QDateTime& to,
                                const QTimeZone& zone, std::optional<BeamTime>* answer,
                                QString* error)
{
    CLocalMidnights midnights(zone);
    const QDate firstDay = from.toTimeZone(zone).date(), endDay = to.toTimeZone(zone).date();
    if (midnights.Of(firstDay) != from || midnights.Of(endDay) != to || endDay < firstDay)
        return true;
    const QString name = QString::fromUtf8(zone.id());
    std::vector<SqlRow> held, rows;
    const QDate day0(1970, 1, 1);
    std::lock_guard<std::mutex> lock(m_readMutex);
    if (!m_readerDb->Query(QStringLiteral("SELECT COUNT(*) FROM beam_zones WHERE zone = ?"), {name},
                           &held, error))
        return false;
    if (held.empty() || held[0][0].toLongLong() == 0)
        return true;
    // One statement, so that both halves are of the same moment: an interval
    // that closes in between is counted once, in the sums or as open.
    if (!m_readerDb->Query(
            QStringLiteral("SELECT generator, local_day, beam_ms, NULL, NULL FROM beam_days WHERE "
                           "zone = ? AND local_day >= ? AND local_day < ? UNION ALL SELECT "
                           "i.generator, NULL, NULL, i.start_ms, (SELECT g.last_heard_ms FROM "
                           "generators g WHERE g.generator = i.generator) FROM interval_now i "
                           "WHERE i.end_state = 'open' AND i.start_ms < ?"),
            {name, day0.daysTo(firstDay), day0.daysTo(endDay), to.toMSecsSinceEpoch()}, &rows,
            error))
        return false;
    std::vector<BeamDay> days;
    days.reserve(rows.size());
    std::vector<BeamSpan> open;
    for (const SqlRow& r : rows) {
        if (r[1].isNull()) {
            // Still on: counted up to the last word from that console, as below.
            const qint64 start = r[3].toLongLong();
            const qint64 end = r[4].isNull() ? start : std::max(start, r[4].toLongLong());
            open.push_back({r[0].toString(),
                            QDateTime::fromMSecsSinceEpoch(start, QTimeZone::utc()),
                            QDateTime::fromMSecsSinceEpoch(end, QTimeZone::utc())});
            continue;
        }
        days.push_back({r[0].toString(), day0.addDays(r[1].toLongLong()), r[2].toLongLong()});
    }
    *answer = SplitBeamTime(open, period, from, to, zone, days);
    return true;
}

std::optional<VerifyReport> CArchive::Verify(QString* error)
{
    VerifyReport report;
    std::lock_guard<std::mutex> lock(m_readMutex);
    for (const ChainTable* chain : {&EventsChain(), &IntervalsChain()}) {
        if (!VerifyChain(*m_readerDb, *chain, &report.problems, &report.rowsChecked, error))
            return std::nullopt;
    }
    // The questions read each interval's latest state from interval_now, kept
    // beside the chain: an edit there would change the answers unseen by the
    // chain, so each of its rows must be, column for column, the latest
    // chained change of its interval, and every chained interval must have one.
    QString differs;
    for (const char* c : {"generator", "start_ms", "end_state", "earliest_end_ms", "latest_end_ms",
                          "end_reason", "host", "user_name", "set_kv", "set_ua", "kv_n", "kv_sum",
                          "kv_max", "ua_n", "ua_sum", "ua_max"})
        differs += QStringLiteral(" OR i.%1 IS DISTINCT FROM n.%1").arg(QLatin1String(c));
    std::vector<SqlRow> rows;
    if (!m_readerDb->Query(
            QStringLiteral("SELECT n.generator, n.start_ms, 'edited' FROM interval_now n LEFT "
                           "JOIN intervals i ON i.id = n.last_id WHERE i.id IS NULL%1 OR "
                           "n.last_id <> (SELECT MAX(j.id) FROM intervals j WHERE j.generator = "
                           "n.generator AND j.start_ms = n.start_ms) UNION ALL SELECT "
                           "i.generator, i.start_ms, 'missing' FROM intervals i WHERE NOT EXISTS "
                           "(SELECT 1 FROM interval_now n WHERE n.generator = i.generator AND "
                           "n.start_ms = i.start_ms) GROUP BY i.generator, i.start_ms ORDER BY 2, "
                           "1")
                .arg(differs),
            {}, &rows, error))
        return std::nullopt;
    for (const SqlRow& r : rows) {
        const QString which =
            QStringLiteral("the latest state of %1's exposure started %2")
                .arg(r[0].toString(), QDateTime::fromMSecsSinceEpoch(r[1].toLongLong(), Qt::UTC)
                                          .toString(Qt::ISODateWithMs));
        report.problems << (r[2].toString() == QLatin1String("edited")
                                ? which + QStringLiteral(": edited (it is not its chain's latest "
                                                         "change)")
                                : which + QStringLiteral(": deleted"));
    }
    return report;
}

std::optional<std::vector<Gap>> CArchive::Gaps(const QString& generator, QString* error)
{
    QString sql = QStringLiteral(
        "SELECT generator, what, first_seq, last_seq, count, from_ms, to_ms, reason FROM gaps");
    SqlRow params;
    if (!generator.isEmpty()) {
        sql += QStringLiteral(" WHERE generator = ?");
        params << generator;
    }
    sql += QStringLiteral(" ORDER BY to_ms, id");
    std::vector<SqlRow> rows;
    {
        std::lock_guard<std::mutex> lock(m_readMutex);
        if (!m_readerDb->Query(sql, params, &rows, error))
            return std::nullopt;
    }
    const auto opt = [](const QVariant& v) {
        return v.isNull() ? std::nullopt : std::optional<qint64>(v.toLongLong());
    };
    const auto time = [](const QVariant& v) {
        return v.isNull() ? QDateTime()
                          : QDateTime::fromMSecsSinceEpoch(v.toLongLong(), QTimeZone::utc());
    };
    std::vector<Gap> gaps;
    for (const SqlRow& r : rows)
        gaps.push_back({r[0].toString(), r[1].toString(), opt(r[2]), opt(r[3]), opt(r[4]),
                        time(r[5]), time(r[6]), r[7].toString()});
    return gaps;
}

std::optional<qint64> CArchive::ServerDatabaseBytes(QString* error)
{
    if (!CPostgresDatabase::IsUri(m_name))
        return std::nullopt;
    std::vector<SqlRow> rows;
    std::lock_guard<std::mutex> lock(m_readMutex);
    if (!m_readerDb->Query(QStringLiteral("SELECT pg_database_size(current_database())"), {}, &rows,
                           error) ||
        rows.empty())
        return std::nullopt;
    return rows[0][0].toLongLong();
}

std::optional<std::vector<TableSize>> CArchive::TableSizes(const QDateTime& since, QString* error)
{
    // Each table with the time its rows are about; readings are counted as
    // readings, not as the blocks they are packed in.
    struct Table
    {
        const char* label;
        const char* table;
        const char* time;
        const char* rows;
    };
    static const Table kTables[] = {
        {"generators", "generators", "last_heard_ms", "1"},
        {"events", "events", "time_ms", "1"},
        {"readings", "reading_blocks", "last_ms", "count"},
        {"rollups", "rollups", "minute_ms", "1"},
        {"intervals", "intervals", "start_ms", "1"},
        {"gaps", "gaps", "to_ms", "1"},
    };
    std::vector<TableSize> sizes;
    std::lock_guard<std::mutex> lock(m_readMutex);
    for (const Table& t : kTables) {
        std::vector<SqlRow> rows;
        if (!m_readerDb->Query(
                QStringLiteral("SELECT COALESCE(SUM(%3), 0), COALESCE(SUM(CASE "
                               "WHEN %2 >= ? THEN %3 ELSE 0 END), 0), MIN(%2) "
                               "FROM %1")
                    .arg(QLatin1String(t.table), QLatin1String(t.time), QLatin1String(t.rows)),
                {since.toMSecsSinceEpoch()}, &rows, error))
            return std::nullopt;
        TableSize size;
        size.table = QLatin1String(t.label);
        size.rows = rows[0][0].toLongLong();
        size.rowsSince = rows[0][1].toLongLong();
        if (!rows[0][2].isNull())
            size.oldest = QDateTime::fromMSecsSinceEpoch(rows[0][2].toLongLong(), QTimeZone::utc());
        sizes.push_back(size);
    }
    return sizes;
}

bool CArchive::Import(const QString& generator, const RecordSource& next, ImportCounts* counts,
                      QString* error)
{
    if (!m_store) {
        *error = QStringLiteral("%1 is open for reading only").arg(m_name);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_storeMutex);
    return m_store->ImportRecord(generator, next, counts, error);
}

std::optional<qint64> CArchive::DeleteReadingsBefore(const QDateTime& cutoff, int batchRows,
                                                     QString* error)
{
    if (!m_store) {
        *error = QStringLiteral("%1 is open for reading only").arg(m_name);
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(m_storeMutex);
    return m_store->DeleteReadingsBefore(cutoff.toMSecsSinceEpoch(), batchRows, error);
}

} // namespace ondrel::archive
