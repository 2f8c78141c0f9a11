#include "store.h"

#include "chain.h"
#include "message.h"
#include "payloads.h"
#include "schema.h"
#include "stderrwriter.h"
#include "topics.h"

#include <QSet>
#include <QTimeZone>
#include <algorithm>
#include <limits>

namespace ondrel::archive {

namespace {

const QString kReading = QLatin1String(SubtopicName(Subtopic::Reading));
const QString kEvent = QLatin1String(SubtopicName(Subtopic::Event));

QVariant Opt(const std::optional<qint64>& v)
{
    return v ? QVariant(*v) : QVariant();
}

QVariant Opt(const std::optional<double>& v)
{
    return v ? QVariant(*v) : QVariant();
}

QVariant Ms(const QDateTime& time)
{
    return time.isValid() ? QVariant(time.toMSecsSinceEpoch()) : QVariant();
}

std::optional<qint64> OptInt(const QVariant& v)
{
    return v.isNull() ? std::nullopt : std::optional<qint64>(v.toLongLong());
}

std::optional<double> OptDouble(const QVariant& v)
{
    return v.isNull() ? std::nullopt : std::optional<double>(v.toDouble());
}

QDateTime Time(const QVariant& v)
{
    return v.isNull() ? QDateTime()
                      : QDateTime::fromMSecsSinceEpoch(v.toLongLong(), QTimeZone::utc());
}

lab::Measure MeasureFrom(const QVariant& n, const QVariant& sum, const QVariant& max)
{
    lab::Measure m;
    m.count = n.toLongLong();
    m.sum = sum.toDouble();
    m.max = max.toDouble();
    return m;
}

QVariant MeasureMax(const lab::Measure& m)
{
    return m.count > 0 ? QVariant(m.max) : QVariant();
}

void AddTo(lab::Measure& measure, std::optional<double>& min, const std::optional<double>& value)
{
    if (!value)
        return;
    measure.Add(*value);
    min = min ? std::min(*min, *value) : *value;
}

// False when the set held it already.
bool Insert(QSet<QString>& set, const QString& key)
{
    const qsizetype before = set.size();
    set.insert(key);
    return set.size() != before;
}

// A garbled reply can bring NUL, which PostgreSQL's text cannot hold: both back
// ends store (and the chains hash) the same replacement for it.
void WithoutNul(SqlRow& row)
{
    for (QVariant& v : row) {
        if (v.typeId() == QMetaType::QString && v.toString().contains(QChar(0)))
            v = v.toString().replace(QChar(0), QChar(QChar::ReplacementCharacter));
    }
}

const QDate kFirstDay(1970, 1, 1); // beam_days' local_day counts from it

const QString kAddBeamDay = QStringLiteral(
    "INSERT INTO beam_days (zone, generator, local_day, beam_ms) VALUES (?, ?, ?, ?) ON "
    "CONFLICT (zone, generator, local_day) DO UPDATE SET beam_ms = beam_days.beam_ms + "
    "excluded.beam_ms");

// Where an interval's beam time ends in beam_days: the same rule as the
// questions' (a closed one at its end, an uncertain one at its earliest end),
// but at its start, counting nothing, for an open one, which is counted when asked.
qint64 KeptEnd(const QString& state, const QVariant& earliestEnd, const QVariant& latestEnd,
               qint64 startMs)
{
    QVariant end;
    if (state == lab::EndStateName(lab::EndState::Closed))
        end = latestEnd;
    else if (state == lab::EndStateName(lab::EndState::Uncertain))
        end = earliestEnd;
    return end.isNull() ? startMs : std::max(startMs, end.toLongLong());
}

using BeamDays = std::map<std::pair<QString, qint64>, qint64>; // generator, local_day: ms

void AddBeamDays(BeamDays& days, const QString& generator, qint64 fromMs, qint64 toMs, qint64 sign,
                 CLocalMidnights& midnights)
{
    for (const auto& [day, ms] : PeriodPieces(
             QDateTime::fromMSecsSinceEpoch(fromMs, QTimeZone::utc()),
             QDateTime::fromMSecsSinceEpoch(toMs, QTimeZone::utc()), Period::Day, midnights))
        days[{generator, kFirstDay.daysTo(day)}] += sign * ms;
}

QString ZoneName(const QTimeZone& zone)
{
    return QString::fromUtf8(zone.id());
}

StoredRun Stored(const Reading& reading, const ReadCounters& counters)
{
    StoredRun r;
    r.firstMs = r.lastMs = reading.time.toMSecsSinceEpoch();
    r.firstSeq = r.lastSeq = counters.seq;
    r.kv = reading.kilovolts;
    r.ua = reading.microamps;
    r.temperature = reading.temperature;
    r.faults = reading.faults;
    r.xrayOn = counters.xrayOn;
    r.fault = reading.fault;
    r.firstBeamOnS = r.lastBeamOnS = counters.beamOnSeconds;
    return r;
}

qint64 MinuteOf(qint64 ms)
{
    return ms - ((ms % 60000) + 60000) % 60000;
}

} // namespace

const char* const kIntervalColumns =
    "generator, start_ms, end_state, earliest_end_ms, latest_end_ms, end_reason, host, "
    "user_name, set_kv, set_ua, kv_n, kv_sum, kv_max, ua_n, ua_sum, ua_max";

lab::ExposureInterval IntervalFromRow(const SqlRow& r)
{
    lab::ExposureInterval i;
    i.generator = r[0].toString();
    i.start = Time(r[1]);
    i.endState = lab::EndStateFromName(r[2].toString()).value_or(lab::EndState::Open);
    i.earliestEnd = Time(r[3]);
    i.latestEnd = Time(r[4]);
    i.endReason = r[5].toString();
    i.host = r[6].toString();
    i.user = r[7].toString();
    i.setKilovolts = OptDouble(r[8]);
    i.setMicroamps = OptDouble(r[9]);
    i.kilovolts = MeasureFrom(r[10], r[11], r[12]);
    i.microamps = MeasureFrom(r[13], r[14], r[15]);
    return i;
}

void CStore::Forget()
{
    m_tracker = lab::CExposureTracker();
    m_generators.clear();
    m_minutes.clear();
    m_events = Chain();
    m_intervals = Chain();
    m_nextReadingId = m_nextGapId = 1;
}

bool CStore::Exec(const QString& sql, SqlRow params, QString* error)
{
    WithoutNul(params);
    return m_db.Exec(sql, params, error);
}

bool CStore::Load(QString* error)
{
    Forget();
    m_loaded = false;
    std::vector<SqlRow> rows;
    if (!m_db.Query(QStringLiteral("SELECT chain, last_id, last_hash FROM chain_heads"), {}, &rows,
                    error))
        return false;
    for (const SqlRow& r : rows) {
        Chain& chain = r[0].toString() == QLatin1String("events") ? m_events : m_intervals;
        chain.lastId = r[1].toLongLong();
        chain.lastHash = r[2].toString().toLatin1();
    }
    for (const auto& [table, next] :
         {std::pair{"reading_blocks", &m_nextReadingId}, std::pair{"gaps", &m_nextGapId}}) {
        rows.clear();
        if (!m_db.Query(QStringLiteral("SELECT MAX(id) FROM %1").arg(QLatin1String(table)), {},
                        &rows, error))
            return false;
        *next = rows.empty() ? 1 : rows[0][0].toLongLong() + 1;
    }
    rows.clear();
    if (!m_db.Query(QStringLiteral("SELECT generator, started_ms, host, user_name, last_event_seq, "
                                   "last_reading_seq, last_heard_ms FROM generators"),
                    {}, &rows, error))
        return false;
    for (const SqlRow& r : rows) {
        Generator& g = m_generators[r[0].toString()];
        g.startedMs = OptInt(r[1]);
        g.host = r[2].toString();
        g.user = r[3].toString();
        g.lastEventSeq = OptInt(r[4]);
        g.lastReadingSeq = OptInt(r[5]);
        g.lastHeardMs = r[6].toLongLong();
        if (g.startedMs) {
            ConsoleInfo info;
            info.started = Time(r[1]);
            info.host = g.host;
            info.user = g.user;
            m_tracker.OnInfo(r[0].toString(), info);
        }
    }
    rows.clear();
    // Each generator's last reading time; its last block is not taken up again:
    // readings after a restart start a block of their own.
    for (auto it = m_generators.begin(); it != m_generators.end(); ++it) {
        rows.clear();
        if (!m_db.Query(QStringLiteral("SELECT MAX(last_ms) FROM reading_blocks WHERE generator = "
                                       "? AND first_ms >= (SELECT MAX(first_ms) FROM "
                                       "reading_blocks WHERE generator = ?)"),
                        {it.key(), it.key()}, &rows, error))
            return false;
        if (!rows.empty() && !rows[0][0].isNull())
            it->lastReadingMs = rows[0][0].toLongLong();
    }
    rows.clear();
    if (!m_db.Query(QStringLiteral("SELECT %1 FROM interval_now i WHERE i.end_state = 'open' OR "
                                   "(i.end_state = 'uncertain' AND i.latest_end_ms IS NULL)")
                        .arg(QLatin1String(kIntervalColumns)),
                    {}, &rows, error))
        return false;
    for (const SqlRow& r : rows)
        m_tracker.Adopt(IntervalFromRow(r));
    if (!LoadBeamZones(error))
        return false;
    m_loaded = true;
    return true;
}

void CStore::Say(const QString& text)
{
    if (m_complain)
        m_complain(text);
    else
        WriteStderr(QStringLiteral("ondrel-lab: %1\n").arg(text));
}

bool CStore::LoadBeamZones(QString* error)
{
    m_beamZones.clear();
    std::vector<SqlRow> rows;
    if (!m_db.Query(QStringLiteral("SELECT zone FROM beam_zones ORDER BY zone"), {}, &rows, error))
        return false;
    for (const SqlRow& r : rows) {
        QTimeZone zone(r[0].toString().toUtf8());
        if (zone.isValid())
            m_beamZones.push_back(std::make_unique<CLocalMidnights>(std::move(zone)));
    }
    return true;
}

bool CStore::InTransaction(const std::function<bool()>& work, QString* error)
{
    if (!m_db.Exec(QStringLiteral("BEGIN"), {}, error))
        return false;
    if (work() && m_db.Exec(QStringLiteral("COMMIT"), {}, error))
        return true;
    QString ignored;
    m_db.Exec(QStringLiteral("ROLLBACK"), {}, &ignored);
    return false;
}

bool CStore::KeepBeamZones(const QList<QTimeZone>& zones, QString* error)
{
    std::vector<SqlRow> rows;
    if (!m_db.Query(QStringLiteral("SELECT zone FROM beam_zones"), {}, &rows, error))
        return false;
    QSet<QString> held;
    for (const SqlRow& r : rows) {
        const QString name = r[0].toString();
        if (QTimeZone(name.toUtf8()).isValid()) {
            held.insert(name);
            continue;
        }
        if (!InTransaction(
                [&] {
                    return Exec(QStringLiteral("DELETE FROM beam_days WHERE zone = ?"), {name},
                                error) &&
                           Exec(QStringLiteral("DELETE FROM beam_zones WHERE zone = ?"), {name},
                                error);
                },
                error))
            return false;
        Say(QStringLiteral("%1: the beam time per day in %2 is no longer kept: this computer does "
                           "not know that time zone; beam-time in it sums every exposure")
                .arg(m_db.Name(), name.left(80)));
    }
    for (const QTimeZone& zone : zones) {
        if (!zone.isValid() || held.contains(ZoneName(zone)))
            continue;
        if (!InTransaction(
                [&] {
                    // What a fill cut short left behind.
                    return Exec(QStringLiteral("DELETE FROM beam_days WHERE zone = ?"),
                                {ZoneName(zone)}, error);
                },
                error) ||
            !FillBeamZone(zone, error) ||
            !InTransaction(
                [&] {
                    return Exec(QStringLiteral("INSERT INTO beam_zones (zone) VALUES (?)"),
                                {ZoneName(zone)}, error);
                },
                error))
            return false;
        held.insert(ZoneName(zone));
    }
    return LoadBeamZones(error);
}

// A batch of intervals a transaction, so that a year of them needs no more
// memory, and no bigger a write-ahead log, than a day's.
bool CStore::FillBeamZone(const QTimeZone& zone, QString* error)
{
    constexpr qint64 kBatch = 5000;
    CLocalMidnights midnights(zone);
    SqlRow after{QStringLiteral(""), std::numeric_limits<qint64>::min()};
    for (qint64 batches = 0;; ++batches) {
        if (batches == 1)
            Say(QStringLiteral("%1: summing the beam time per day in %2 from the stored "
                               "exposures, once; until it is done, beam-time sums every exposure")
                    .arg(m_db.Name(), ZoneName(zone)));
        std::vector<SqlRow> rows;
        if (!m_db.Query(QStringLiteral("SELECT generator, start_ms, end_state, earliest_end_ms, "
                                       "latest_end_ms FROM interval_now WHERE (generator, "
                                       "start_ms) > (?, ?) ORDER BY generator, start_ms LIMIT ?"),
                        after + SqlRow{kBatch}, &rows, error))
            return false;
        BeamDays days;
        for (const SqlRow& r : rows) {
            const qint64 start = r[1].toLongLong();
            AddBeamDays(days, r[0].toString(), start, KeptEnd(r[2].toString(), r[3], r[4], start),
                        1, midnights);
        }
        const bool added = InTransaction(
            [&] {
                for (const auto& [key, ms] : days) {
                    if (ms != 0 &&
                        !Exec(kAddBeamDay, {ZoneName(zone), key.first, key.second, ms}, error))
                        return false;
                }
                return true;
            },
            error);
        if (!added)
            return false;
        if (qint64(rows.size()) < kBatch)
            return true;
        after = SqlRow{rows.back()[0], rows.back()[1]};
    }
}

// The interval's old contribution to each kept zone's days taken away and its
// new one added, before interval_now is overwritten with the new.
bool CStore::KeepBeamDays(const lab::ExposureInterval& i, QString* error)
{
    if (m_beamZones.empty())
        return true;
    const qint64 start = i.start.toMSecsSinceEpoch();
    SqlRow key{i.generator, start};
    WithoutNul(key);
    std::vector<SqlRow> rows;
    if (!m_db.Query(QStringLiteral("SELECT end_state, earliest_end_ms, latest_end_ms FROM "
                                   "interval_now WHERE generator = ? AND start_ms = ?"),
                    key, &rows, error))
        return false;
    const qint64 before =
        rows.empty() ? start : KeptEnd(rows[0][0].toString(), rows[0][1], rows[0][2], start);
    const qint64 now =
        KeptEnd(lab::EndStateName(i.endState), Ms(i.earliestEnd), Ms(i.latestEnd), start);
    if (before == now)
        return true;
    for (const std::unique_ptr<CLocalMidnights>& zone : m_beamZones) {
        BeamDays days;
        AddBeamDays(days, key[0].toString(), start, before, -1, *zone);
        AddBeamDays(days, key[0].toString(), start, now, 1, *zone);
        for (const auto& [day, dayMs] : days) {
            if (dayMs != 0 &&
                !Exec(kAddBeamDay, {ZoneName(zone->Zone()), day.first, day.second, dayMs}, error))
                return false;
        }
    }
    return true;
}

bool CStore::ApplyBatch(const std::vector<ArchiveMessage>& messages, const Drops& drops,
                        QString* error)
{
    if (!m_loaded && !Load(error))
        return false;
    if (!m_db.Exec(QStringLiteral("BEGIN"), {}, error))
        return false;
    bool ok = true;
    for (const ArchiveMessage& m : messages) {
        if (!(ok = Apply(m, error)))
            break;
    }
    for (auto it = drops.begin(); ok && it != drops.end(); ++it)
        ok = Dropped(it->first, it->second, error);
    ok = ok && FlushBatchState(error) && m_db.Exec(QStringLiteral("COMMIT"), {}, error);
    m_minutes.clear();
    if (ok)
        return true;
    QString ignored;
    m_db.Exec(QStringLiteral("ROLLBACK"), {}, &ignored);
    if (!Load(&ignored))
        *error += QStringLiteral("; and its state cannot be read again: %1").arg(ignored);
    return false;
}

bool CStore::Apply(const ArchiveMessage& m, QString* error)
{
    Generator& g = m_generators[m.generator];
    if (!m.retained && m.received.isValid()) {
        g.lastHeardMs = std::max(g.lastHeardMs, m.received.toMSecsSinceEpoch());
        g.dirty = true;
    }
    const std::optional<Subtopic> subtopic = SubtopicFromName(m.subtopic);
    if (!subtopic)
        return Unreadable(g, m, QStringLiteral("a topic the archive does not know"), error);
    if (*subtopic == Subtopic::Version)
        return true; // the fleet shows it; the archive has no use for it
    const lab::Payload p = lab::DecodePayload(*subtopic, m.payload, m.tooLarge);
    if (!p.Readable())
        return Unreadable(g, m, p.unreadable, error);
    switch (*subtopic) {
    case Subtopic::Info:
        return ApplyInfo(g, m, *p.info, error);
    case Subtopic::Event:
        return ApplyEvent(g, m, *p.event, p.seq, error);
    case Subtopic::Reading:
        return ApplyReading(g, m, *p.reading, p.counters, error);
    case Subtopic::Status:
        return StoreChanges(m_tracker.OnStatus(m.generator, *p.status, m.received), error);
    case Subtopic::Version:
        break;
    }
    return true;
}

bool CStore::ApplyInfo(Generator& g, const ArchiveMessage& m, const ConsoleInfo& info,
                       QString* error)
{
    const qint64 started = info.started.toMSecsSinceEpoch();
    if (g.startedMs && *g.startedMs != started) {
        // The console started again: its counters begin anew.
        g.lastEventSeq.reset();
        g.lastReadingSeq.reset();
    }
    g.startedMs = started;
    g.host = info.host;
    g.user = info.user;
    g.dirty = true;
    g.unreadableGap.remove(m.subtopic);
    return StoreChanges(m_tracker.OnInfo(m.generator, info), error);
}

bool CStore::ApplyEvent(Generator& g, const ArchiveMessage& m, const ConsoleEvent& event,
                        const std::optional<qint64>& seq, QString* error)
{
    g.unreadableGap.remove(m.subtopic);
    const qint64 time = event.time.toMSecsSinceEpoch();
    if (seq) {
        const Sequenced next =
            Sequence(g, m.generator, kEvent, *seq, time, g.lastEventSeq, g.lastEventMs, error);
        if (next != Sequenced::Take)
            return next == Sequenced::Repeat;
    }
    g.lastEventMs = time;
    g.dirty = true;
    if (!AppendChained("events", m_events,
                       {m.generator, Opt(g.startedMs), Opt(seq), time, EventKindName(event.kind),
                        event.detail},
                       error))
        return false;
    return StoreChanges(m_tracker.OnEvent(m.generator, event, seq), error);
}

bool CStore::ApplyReading(Generator& g, const ArchiveMessage& m, const Reading& reading,
                          const ReadCounters& counters, QString* error)
{
    g.unreadableGap.remove(m.subtopic);
    const qint64 time = reading.time.toMSecsSinceEpoch();
    const std::optional<qint64> seq = counters.seq;
    if (seq) {
        const Sequenced next = Sequence(g, m.generator, kReading, *seq, time, g.lastReadingSeq,
                                        g.lastReadingMs, error);
        if (next != Sequenced::Take)
            return next == Sequenced::Repeat;
    }
    g.lastReadingMs = time;
    g.dirty = true;

    if (!BlockFor(m.generator, g.block, g.startedMs, seq, error))
        return false;
    g.block->data.Append(Stored(reading, counters));
    g.block->dirty = true;

    AddToMinute(m.generator, reading);
    return StoreChanges(m_tracker.OnReading(m.generator, reading, counters), error);
}

void CStore::AddToMinute(const QString& generator, const Reading& reading)
{
    Minute& minute = m_minutes[{generator, MinuteOf(reading.time.toMSecsSinceEpoch())}];
    ++minute.readings;
    AddTo(minute.kv, minute.kvMin, reading.kilovoltsValue);
    AddTo(minute.ua, minute.uaMin, reading.microampsValue);
    AddTo(minute.t, minute.tMin, reading.temperatureValue);
}

bool CStore::BlockFor(const QString& generator, std::optional<Block>& block,
                      const std::optional<qint64>& startedMs, const std::optional<qint64>& seq,
                      QString* error)
{
    if (block && block->startedMs == startedMs && ContinuesBlock(block->data, seq))
        return true;
    if (block && block->dirty && !WriteBlock(generator, *block, error))
        return false;
    block = Block();
    block->id = m_nextReadingId++;
    block->startedMs = startedMs;
    return true;
}

bool CStore::WriteBlock(const QString& generator, Block& block, QString* error)
{
    const CBlockEncoder& d = block.data;
    const SqlRow values{Opt(d.FirstSeq()), Opt(d.LastSeq()), d.Readings(),
                        d.MinMs(),         d.MaxMs(),        d.Bytes()};
    if (block.stored
            ? !m_db.Exec(QStringLiteral("UPDATE reading_blocks SET first_seq = ?, "
                                        "last_seq = ?, count = ?, first_ms = ?, "
                                        "last_ms = ?, data = ? WHERE id = ?"),
                         values + SqlRow{block.id}, error)
            : !m_db.Exec(QStringLiteral("INSERT INTO reading_blocks (first_seq, "
                                        "last_seq, count, first_ms, last_ms, data, id, "
                                        "generator, started_ms) VALUES (?, ?, ?, ?, ?, "
                                        "?, ?, ?, ?)"),
                         values + SqlRow{block.id, generator, Opt(block.startedMs)}, error))
        return false;
    block.stored = true;
    block.dirty = false;
    return true;
}

bool CStore::Unreadable(Generator& g, const ArchiveMessage& m, const QString& why, QString* error)
{
    const qint64 at = m.received.isValid() ? m.received.toMSecsSinceEpoch() : 0;
    // A broken console repeats itself five times a second: one row counts them.
    if (const auto it = g.unreadableGap.constFind(m.subtopic);
        it != g.unreadableGap.cend() && g.unreadableWhy.value(m.subtopic) == why)
        return Exec(QStringLiteral("UPDATE gaps SET count = count + 1, to_ms = ? WHERE id = ?"),
                    {at, *it}, error);
    const qint64 id = m_nextGapId++;
    g.unreadableGap.insert(m.subtopic, id);
    g.unreadableWhy.insert(m.subtopic, why);
    // Said once for each kind, whichever console sent it first: a broken one
    // repeats itself five times a second.
    const QString kind = m.subtopic + QLatin1Char(':') + why.section(QStringLiteral(" ("), 0, 0);
    if (m_complained.size() < 1000 && !m_complained.contains(kind)) {
        m_complained.insert(kind);
        const QString text = QStringLiteral("%1/%2: unreadable: %3 (further ones are only "
                                            "counted, in the gaps)")
                                 .arg(m.generator.left(200), m.subtopic, why.left(200));
        Say(text);
    }
    return Exec(
        QStringLiteral("INSERT INTO gaps (id, generator, what, first_seq, last_seq, "
                       "count, from_ms, to_ms, reason) VALUES (?, ?, ?, NULL, NULL, "
                       "1, ?, ?, ?)"),
        {id, m.generator, m.subtopic, at, at, QStringLiteral("unreadable: %1").arg(why.left(200))},
        error);
}

bool CStore::SequenceGap(Generator& g, const QString& generator, const QString& what, qint64 first,
                         qint64 last, qint64 fromMs, qint64 toMs, QString* error)
{
    // Where the archive itself dropped them, the row it wrote then gets the numbers.
    if (const auto it = g.dropGap.constFind(what); it != g.dropGap.cend())
        return Exec(QStringLiteral("UPDATE gaps SET first_seq = ?, last_seq = ? WHERE id = ?"),
                    {first, last, *it}, error);
    return Exec(QStringLiteral("INSERT INTO gaps (id, generator, what, first_seq, last_seq, "
                               "count, from_ms, to_ms, reason) VALUES (?, ?, ?, ?, ?, ?, ?, "
                               "?, ?)"),
                {m_nextGapId++, generator, what, first, last, last - first + 1,
                 fromMs > 0 ? QVariant(fromMs) : QVariant(), toMs,
                 QStringLiteral("not delivered or lost when the archive stopped uncleanly")},
                error);
}

CStore::Sequenced CStore::Sequence(Generator& g, const QString& generator, const QString& what,
                                   qint64 seq, qint64 timeMs, std::optional<qint64>& lastSeq,
                                   qint64 lastMs, QString* error)
{
    // QoS 1 may deliver an event twice, and the retained reading comes again on
    // every subscription; a later 1 is a console that started again.
    if (lastSeq && seq <= *lastSeq && !(seq == 1 && timeMs > lastMs))
        return Sequenced::Repeat;
    if (lastSeq && seq > *lastSeq + 1 &&
        !SequenceGap(g, generator, what, *lastSeq + 1, seq - 1, lastMs, timeMs, error))
        return Sequenced::Failed;
    if (!lastSeq && seq > 1 && !FirstHeardGap(g, generator, what, seq, timeMs, error))
        return Sequenced::Failed;
    g.dropGap.remove(what);
    lastSeq = seq;
    return Sequenced::Take;
}

bool CStore::FirstHeardGap(Generator& g, const QString& generator, const QString& what, qint64 seq,
                           qint64 timeMs, QString* error)
{
    // A console that was running before the archive heard of it (or of this run
    // of it) sent what came before unseen: missing all the same, and said so.
    if (g.dropGap.contains(what))
        return SequenceGap(g, generator, what, 1, seq - 1, 0, timeMs, error);
    return Exec(QStringLiteral("INSERT INTO gaps (id, generator, what, first_seq, last_seq, "
                               "count, from_ms, to_ms, reason) VALUES (?, ?, ?, ?, ?, ?, ?, "
                               "?, ?)"),
                {m_nextGapId++, generator, what, qint64(1), seq - 1, seq - 1,
                 g.startedMs ? QVariant(*g.startedMs) : QVariant(), timeMs,
                 QStringLiteral("before the first the archive stored of this run of the "
                                "console: sent before it listened or lost when it stopped "
                                "uncleanly")},
                error);
}

bool CStore::Dropped(const DropKey& key, const DroppedMessages& drop, QString* error)
{
    const qint64 id = m_nextGapId++;
    m_generators[key.first].dropGap.insert(key.second, id);
    return Exec(QStringLiteral("INSERT INTO gaps (id, generator, what, first_seq, last_seq, "
                               "count, from_ms, to_ms, reason) VALUES (?, ?, ?, NULL, NULL, "
                               "?, ?, ?, ?)"),
                {id, key.first, key.second, drop.count, Ms(drop.first), Ms(drop.last),
                 QStringLiteral("the archive's queue was full")},
                error);
}

bool CStore::StoreChanges(const lab::CExposureTracker::Changes& changes, QString* error)
{
    for (const lab::IntervalChange& c : changes) {
        const lab::ExposureInterval& i = c.interval;
        const SqlRow state{lab::EndStateName(i.endState),
                           Ms(i.earliestEnd),
                           Ms(i.latestEnd),
                           i.endReason,
                           i.host,
                           i.user,
                           Opt(i.setKilovolts),
                           Opt(i.setMicroamps),
                           i.kilovolts.count,
                           i.kilovolts.sum,
                           MeasureMax(i.kilovolts),
                           i.microamps.count,
                           i.microamps.sum,
                           MeasureMax(i.microamps)};
        if (!AppendChained(
                "intervals", m_intervals,
                SqlRow{i.generator, i.start.toMSecsSinceEpoch(), lab::ChangeKindName(c.kind)} +
                    state,
                error))
            return false;
        if (!KeepBeamDays(i, error))
            return false;
        if (!Exec(QStringLiteral(
                      "INSERT INTO interval_now (generator, start_ms, end_state, earliest_end_ms, "
                      "latest_end_ms, end_reason, host, user_name, set_kv, set_ua, kv_n, kv_sum, "
                      "kv_max, ua_n, ua_sum, ua_max, last_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, "
                      "?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (generator, start_ms) DO UPDATE SET "
                      "end_state = excluded.end_state, earliest_end_ms = "
                      "excluded.earliest_end_ms, latest_end_ms = excluded.latest_end_ms, "
                      "end_reason = excluded.end_reason, host = excluded.host, user_name = "
                      "excluded.user_name, set_kv = excluded.set_kv, set_ua = excluded.set_ua, "
                      "kv_n = excluded.kv_n, kv_sum = excluded.kv_sum, kv_max = "
                      "excluded.kv_max, ua_n = excluded.ua_n, ua_sum = excluded.ua_sum, ua_max "
                      "= excluded.ua_max, last_id = excluded.last_id"),
                  SqlRow{i.generator, i.start.toMSecsSinceEpoch()} + state +
                      SqlRow{m_intervals.lastId},
                  error))
            return false;
    }
    return true;
}

bool CStore::AppendChained(const char* table, Chain& chain, SqlRow columns, QString* error)
{
    const ChainTable& layout =
        QLatin1String(table) == QLatin1String("events") ? EventsChain() : IntervalsChain();
    const qint64 id = chain.lastId + 1;
    columns.prepend(id);
    WithoutNul(columns);
    const QByteArray hash = ChainHash(chain.lastHash, columns);
    const QString names = layout.columns.join(QStringLiteral(", "));
    QString marks = QStringLiteral("?");
    for (int i = 1; i < columns.size() + 2; ++i)
        marks += QStringLiteral(", ?");
    columns << QString::fromLatin1(chain.lastHash) << QString::fromLatin1(hash);
    if (!Exec(QStringLiteral("INSERT INTO %1 (%2, prev_hash, hash) VALUES (%3)")
                  .arg(QLatin1String(table), names, marks),
              columns, error))
        return false;
    chain.lastId = id;
    chain.lastHash = hash;
    return true;
}

bool CStore::ExecRows(const QString& head, const QString& tail, const std::vector<SqlRow>& rows,
                      QString* error)
{
    // One statement for many rows: a round trip to a database server per
    // batch, not per generator. Bounded so that no statement holds more
    // parameters than either back end takes.
    constexpr size_t kRowsPerStatement = 500;
    for (size_t from = 0; from < rows.size(); from += kRowsPerStatement) {
        const size_t to = std::min(rows.size(), from + kRowsPerStatement);
        const QString one =
            QLatin1Char('(') +
            QStringList(rows[from].size(), QStringLiteral("?")).join(QStringLiteral(", ")) +
            QLatin1Char(')');
        QString sql = head + QStringLiteral(" VALUES ");
        SqlRow params;
        for (size_t i = from; i < to; ++i) {
            sql += i == from ? one : QStringLiteral(", ") + one;
            params += rows[i];
        }
        if (!Exec(sql + QLatin1Char(' ') + tail, std::move(params), error))
            return false;
    }
    return true;
}

bool CStore::FlushBatchState(QString* error)
{
    std::vector<SqlRow> rows;
    for (const auto& [key, m] : m_minutes)
        rows.push_back({key.first, key.second, m.readings, m.kv.count, Opt(m.kvMin), m.kv.sum,
                        MeasureMax(m.kv), m.ua.count, Opt(m.uaMin), m.ua.sum, MeasureMax(m.ua),
                        m.t.count, Opt(m.tMin), m.t.sum, MeasureMax(m.t)});
    if (!ExecRows(
            QStringLiteral("INSERT INTO rollups (generator, minute_ms, readings, kv_n, kv_min, "
                           "kv_sum, kv_max, ua_n, ua_min, ua_sum, ua_max, t_n, t_min, t_sum, "
                           "t_max)"),
            QStringLiteral(
                "ON CONFLICT (generator, minute_ms) DO "
                "UPDATE SET readings = rollups.readings + excluded.readings, "
                "kv_n = rollups.kv_n + excluded.kv_n, kv_sum = rollups.kv_sum + "
                "excluded.kv_sum, "
                "kv_min = CASE WHEN rollups.kv_min IS NULL OR excluded.kv_min < rollups.kv_min "
                "THEN excluded.kv_min ELSE rollups.kv_min END, "
                "kv_max = CASE WHEN rollups.kv_max IS NULL OR excluded.kv_max > rollups.kv_max "
                "THEN excluded.kv_max ELSE rollups.kv_max END, "
                "ua_n = rollups.ua_n + excluded.ua_n, ua_sum = rollups.ua_sum + "
                "excluded.ua_sum, "
                "ua_min = CASE WHEN rollups.ua_min IS NULL OR excluded.ua_min < rollups.ua_min "
                "THEN excluded.ua_min ELSE rollups.ua_min END, "
                "ua_max = CASE WHEN rollups.ua_max IS NULL OR excluded.ua_max > rollups.ua_max "
                "THEN excluded.ua_max ELSE rollups.ua_max END, "
                "t_n = rollups.t_n + excluded.t_n, t_sum = rollups.t_sum + excluded.t_sum, "
                "t_min = CASE WHEN rollups.t_min IS NULL OR excluded.t_min < rollups.t_min "
                "THEN excluded.t_min ELSE rollups.t_min END, "
                "t_max = CASE WHEN rollups.t_max IS NULL OR excluded.t_max > rollups.t_max "
                "THEN excluded.t_max ELSE rollups.t_max END"),
            rows, error))
        return false;

    rows.clear();
    std::vector<SqlRow> generators;
    std::vector<Block*> written;
    for (auto it = m_generators.begin(); it != m_generators.end(); ++it) {
        Generator& g = it.value();
        if (g.block && g.block->dirty) {
            const CBlockEncoder& d = g.block->data;
            rows.push_back({g.block->id, it.key(), Opt(g.block->startedMs), Opt(d.FirstSeq()),
                            Opt(d.LastSeq()), d.Readings(), d.MinMs(), d.MaxMs(), d.Bytes()});
            written.push_back(&*g.block);
        }
        if (g.dirty)
            generators.push_back({it.key(), g.host, g.user, Opt(g.startedMs), Opt(g.lastEventSeq),
                                  Opt(g.lastReadingSeq), g.lastHeardMs});
    }
    if (!ExecRows(QStringLiteral("INSERT INTO reading_blocks (id, generator, started_ms, "
                                 "first_seq, last_seq, count, first_ms, last_ms, data)"),
                  QStringLiteral("ON CONFLICT (id) DO UPDATE SET first_seq = excluded.first_seq, "
                                 "last_seq = excluded.last_seq, count = excluded.count, first_ms "
                                 "= excluded.first_ms, last_ms = excluded.last_ms, data = "
                                 "excluded.data"),
                  rows, error) ||
        !ExecRows(QStringLiteral("INSERT INTO generators (generator, host, user_name, "
                                 "started_ms, last_event_seq, last_reading_seq, last_heard_ms)"),
                  QStringLiteral("ON CONFLICT (generator) DO "
                                 "UPDATE SET host = excluded.host, user_name = "
                                 "excluded.user_name, started_ms = excluded.started_ms, "
                                 "last_event_seq = excluded.last_event_seq, last_reading_seq "
                                 "= excluded.last_reading_seq, last_heard_ms = "
                                 "excluded.last_heard_ms"),
                  generators, error))
        return false;
    for (Block* b : written) {
        b->stored = true;
        b->dirty = false;
    }
    for (Generator& g : m_generators)
        g.dirty = false;
    for (const auto& [name, chain] :
         {std::pair{"events", &m_events}, std::pair{"intervals", &m_intervals}}) {
        if (chain->lastId == 0)
            continue;
        if (!Exec(QStringLiteral("INSERT INTO chain_heads (chain, last_id, last_hash) VALUES "
                                 "(?, ?, ?) ON CONFLICT (chain) DO UPDATE SET last_id = "
                                 "excluded.last_id, last_hash = excluded.last_hash"),
                  {QString::fromLatin1(name), chain->lastId, QString::fromLatin1(chain->lastHash)},
                  error))
            return false;
    }
    return true;
}

bool CStore::ImportRecord(const QString& generator, const RecordSource& next, ImportCounts* counts,
                          QString* error)
{
    // Rows are read and compared a chunk at a time, so that a record of months
    // needs no more memory than one of minutes.
    constexpr size_t kChunkRows = 5000;
    *counts = ImportCounts();
    if (!m_db.Exec(QStringLiteral("BEGIN"), {}, error))
        return false;
    std::optional<Block> block;
    // The record's own exposures, by the same rule as the broker's messages
    // make them: every row of it, whether the archive held it or not.
    lab::CExposureTracker tracker;
    {
        ConsoleInfo info;
        const auto known = m_generators.constFind(generator);
        if (known != m_generators.constEnd()) {
            info.host = known->host;
            info.user = known->user;
        }
        tracker.OnInfo(generator, info);
    }
    std::map<qint64, lab::ExposureInterval> exposures; // by start
    const auto keep = [&exposures](const lab::CExposureTracker::Changes& changes) {
        for (const lab::IntervalChange& c : changes)
            exposures[c.interval.start.toMSecsSinceEpoch()] = c.interval;
    };
    bool ok = true;
    for (bool more = true; ok && more;) {
        std::vector<RecordRow> chunk;
        while (more && chunk.size() < kChunkRows) {
            RecordRow row;
            switch (next(&row, error)) {
            case CRecordReader::Result::Row:
                chunk.push_back(std::move(row));
                break;
            case CRecordReader::Result::End:
                more = false;
                break;
            case CRecordReader::Result::Bad:
                ok = more = false;
                break;
            }
        }
        for (const RecordRow& r : chunk) {
            if (r.event)
                keep(tracker.OnEvent(generator, *r.event, std::nullopt));
            else if (r.reading)
                keep(tracker.OnReading(generator, *r.reading, ReadCounters()));
        }
        ok = ok && ImportChunk(generator, chunk, &block, counts, error) && FlushBatchState(error);
        m_minutes.clear();
    }
    ok = ok && ImportExposures(generator, exposures, counts, error) && FlushBatchState(error) &&
         m_db.Exec(QStringLiteral("COMMIT"), {}, error);
    if (ok) {
        // The exposures the import closed may be ones the writer still holds
        // open: it takes up the archive's state afresh.
        QString ignored;
        Load(&ignored);
        return true;
    }
    *counts = ImportCounts();
    QString ignored;
    m_db.Exec(QStringLiteral("ROLLBACK"), {}, &ignored);
    if (!Load(&ignored))
        *error += QStringLiteral("; and the archive's state cannot be read again: %1").arg(ignored);
    return false;
}

bool CStore::ImportExposures(const QString& generator,
                             const std::map<qint64, lab::ExposureInterval>& exposures,
                             ImportCounts* counts, QString* error)
{
    for (auto [startMs, final] : exposures) {
        if (final.endState == lab::EndState::Open) {
            // The record ends with X-rays on: when they went off, it does not say.
            final.endState = lab::EndState::Uncertain;
            final.endReason = QStringLiteral("record ended");
            final.latestEnd = QDateTime();
        }
        std::vector<SqlRow> held;
        if (!m_db.Query(QStringLiteral("SELECT end_state, host, user_name FROM interval_now WHERE "
                                       "generator = ? AND start_ms = ?"),
                        {generator, startMs}, &held, error))
            return false;
        lab::CExposureTracker::Changes changes;
        if (held.empty()) {
            lab::ExposureInterval opened = final;
            opened.endState = lab::EndState::Open;
            opened.earliestEnd = opened.start;
            opened.latestEnd = QDateTime();
            opened.endReason.clear();
            opened.kilovolts = opened.microamps = lab::Measure();
            changes.push_back({lab::IntervalChange::Kind::Opened, opened});
            changes.push_back({final.endState == lab::EndState::Closed
                                   ? lab::IntervalChange::Kind::Closed
                                   : lab::IntervalChange::Kind::BecameUncertain,
                               final});
        } else if (held[0][0].toString() != QLatin1String("closed") &&
                   final.endState == lab::EndState::Closed) {
            // What the archive could only bound, the record knows.
            if (final.host.isEmpty())
                final.host = held[0][1].toString();
            if (final.user.isEmpty())
                final.user = held[0][2].toString();
            changes.push_back({lab::IntervalChange::Kind::Closed, final});
        } else {
            continue;
        }
        if (!StoreChanges(changes, error))
            return false;
        ++counts->exposures;
    }
    return true;
}

bool CStore::ImportChunk(const QString& generator, const std::vector<RecordRow>& rows,
                         std::optional<Block>* block, ImportCounts* counts, QString* error)
{
    if (rows.empty())
        return true;
    qint64 lo = std::numeric_limits<qint64>::max();
    qint64 hi = std::numeric_limits<qint64>::min();
    for (const RecordRow& r : rows) {
        const qint64 t = (r.reading ? r.reading->time : r.event->time).toMSecsSinceEpoch();
        lo = std::min(lo, t);
        hi = std::max(hi, t);
    }
    const auto key = [](qint64 t, const QString& kind, const QString& detail) {
        return QStringLiteral("%1\n%2\n%3").arg(t).arg(kind, detail);
    };
    std::vector<SqlRow> found;
    if (!m_db.Query(QStringLiteral("SELECT time_ms, kind, detail FROM events WHERE generator = ? "
                                   "AND time_ms >= ? AND time_ms <= ?"),
                    {generator, lo, hi}, &found, error))
        return false;
    QSet<QString> events;
    for (const SqlRow& r : found)
        events.insert(key(r[0].toLongLong(), r[1].toString(), r[2].toString()));
    found.clear();
    // The blocks that start within the chunk's time, and the one before that may reach into it.
    if (!m_db.Query(QStringLiteral("SELECT first_ms, last_ms FROM reading_blocks WHERE generator "
                                   "= ? AND first_ms >= ? AND first_ms <= ?"),
                    {generator, lo, hi}, &found, error) ||
        !m_db.Query(QStringLiteral("SELECT first_ms, last_ms FROM reading_blocks WHERE generator "
                                   "= ? AND first_ms < ? ORDER BY first_ms DESC LIMIT 1"),
                    {generator, lo}, &found, error))
        return false;
    std::vector<std::pair<qint64, qint64>> spans;
    for (const SqlRow& r : found)
        spans.emplace_back(r[0].toLongLong(), r[1].toLongLong());
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i) // each end becomes the furthest reach so far
        spans[i].second = std::max(spans[i].second, spans[i - 1].second);
    const auto held = [&](qint64 t) {
        auto it = std::upper_bound(spans.begin(), spans.end(),
                                   std::pair{t, std::numeric_limits<qint64>::max()});
        return it != spans.begin() && std::prev(it)->second >= t;
    };

    for (const RecordRow& r : rows) {
        if (r.event) {
            const ConsoleEvent& e = *r.event;
            if (e.kind == EventKind::RecordContinued) {
                ++counts->recordOnly;
                continue;
            }
            const qint64 t = e.time.toMSecsSinceEpoch();
            const QString name = EventKindName(e.kind);
            if (!Insert(events, key(t, name, e.detail))) {
                ++counts->eventsHad;
                continue;
            }
            if (!AppendChained("events", m_events,
                               {generator, QVariant(), QVariant(), t, name, e.detail}, error))
                return false;
            ++counts->events;
            continue;
        }
        const Reading& reading = *r.reading;
        const qint64 t = reading.time.toMSecsSinceEpoch();
        if (held(t)) {
            ++counts->readingsHad;
            // A block's span must not cover a reading it lacks.
            if (*block && (*block)->dirty && !WriteBlock(generator, **block, error))
                return false;
            block->reset();
            continue;
        }
        if (!BlockFor(generator, *block, std::nullopt, std::nullopt, error))
            return false;
        // Without the console's counters: no sequence numbers, no X-ray flag, no beam time.
        (*block)->data.Append(Stored(reading, ReadCounters()));
        (*block)->dirty = true;
        AddToMinute(generator, reading);
        ++counts->readings;
    }
    return !*block || !(*block)->dirty || WriteBlock(generator, **block, error);
}

std::optional<qint64> CStore::DeleteReadingsBefore(qint64 cutoffMs, int limit, QString* error)
{
    // The blocks the writer holds are kept whatever their age: it would go on
    // writing readings into a row no longer there.
    QString keep;
    SqlRow kept;
    for (const Generator& g : std::as_const(m_generators)) {
        if (!g.block)
            continue;
        keep += kept.isEmpty() ? QStringLiteral(" AND id NOT IN (?") : QStringLiteral(", ?");
        kept << g.block->id;
    }
    if (!kept.isEmpty())
        keep += QLatin1Char(')');
    std::vector<SqlRow> ids;
    if (!m_db.Query(
            QStringLiteral("SELECT id FROM reading_blocks WHERE last_ms < ?%1 ORDER BY id LIMIT ?")
                .arg(keep),
            SqlRow{cutoffMs} + kept + SqlRow{limit}, &ids, error))
        return std::nullopt;
    if (ids.empty())
        return 0;
    // Exactly the rows just found: the same condition between the first and last of them.
    if (!m_db.Exec(
            QStringLiteral("DELETE FROM reading_blocks WHERE id >= ? AND id <= ? AND last_ms < ?%1")
                .arg(keep),
            SqlRow{ids.front()[0], ids.back()[0], cutoffMs} + kept, error))
        return std::nullopt;
    return qint64(ids.size());
}

} // namespace ondrel::archive
