#include "livefleet.h"

#include "texts.h"

#include <QJsonDocument>

namespace ondrel::web {

CLiveFleet::CLiveFleet(QString root, Clock clock, QObject* parent)
    : QObject(parent), m_root(std::move(root)), m_clock(std::move(clock))
{}

CLiveFleet::~CLiveFleet() = default;

CLiveFleet::Row* CLiveFleet::Entry(const QString& prefix, const QString& name)
{
    const int row = m_rowOfPrefix.value(prefix, -1);
    if (row >= 0)
        return m_rows[size_t(row)].get();
    // As in the fleet window: a prefix that sent only junk still gets its tile,
    // and a flood of junk topics is held to the same bound as the generators.
    if (int(m_rows.size()) >= kGeneratorLimit) {
        m_limitReached = true;
        return nullptr;
    }
    auto r = std::make_unique<Row>();
    r->g.prefix = prefix;
    r->g.name = name;
    m_rowOfPrefix.insert(prefix, int(m_rows.size()));
    m_rows.push_back(std::move(r));
    return m_rows.back().get();
}

void CLiveFleet::MarkAll()
{
    for (auto& r : m_rows)
        r->dirty = true;
}

void CLiveFleet::Rejudge(lab::Generator& g, qint64 now)
{
    g.state = lab::JudgeState(g, m_contact, now);
    m_latch.Follow(g, now);
}

void CLiveFleet::OnMessages(const QList<lab::BrokerMessage>& messages)
{
    const qint64 now = m_clock();
    for (const lab::BrokerMessage& m : messages) {
        const std::optional<lab::TopicParts> topic = lab::DecodeTopic(m_root, m.topic);
        if (!topic)
            continue;
        Row* r = Entry(topic->prefix, topic->name);
        if (!r)
            continue;
        // Unreadable ones are counted on the generator, and its notes say so.
        lab::ApplyPayload(r->g, lab::DecodePayload(topic->subtopic, m.payload, m.tooLarge),
                          m.retained, m.receivedMs);
        r->dirty = true;
        Rejudge(r->g, now);
    }
}

void CLiveFleet::OnBrokerConnected()
{
    m_contact = true;
    m_everConnected = true;
    MarkAll();
    const qint64 now = m_clock();
    for (auto& r : m_rows)
        Rejudge(r->g, now);
}

void CLiveFleet::OnBrokerLost()
{
    if (!m_contact && m_everConnected)
        return;
    if (m_contact)
        m_lostMs = m_clock();
    m_contact = false;
    MarkAll();
    const qint64 now = m_clock();
    for (auto& r : m_rows) {
        r->g.fresh = false;
        Rejudge(r->g, now);
    }
}

namespace {

// The members that change with every reading, or nearly: sent only where the
// tile is shown, and there under a one-letter name, since a wall screen gets a
// few hundred of them a second. The rest decide a tile's word, look and place.
struct LiveKey
{
    QLatin1String name;
    const char* wire;
};
const LiveKey kLiveKeys[LiveRound::kMembers] = {
    {QLatin1String("readouts"), "r"},  {QLatin1String("readingMs"), "t"},
    {QLatin1String("notes"), "o"},     {QLatin1String("events"), "e"},
    {QLatin1String("version"), "v"},   {QLatin1String("beamTime"), "b"},
    {QLatin1String("lastHeard"), "h"}, {QLatin1String("missed"), "m"}};

bool IsLive(const QString& key)
{
    for (const LiveKey& k : kLiveKeys)
        if (key == k.name)
            return true;
    return false;
}

// `"wire":value`, a member of a round's "live" entry.
QByteArray Member(const char* wire, const QJsonValue& value)
{
    QByteArray json = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    json = json.mid(1, json.size() - 2); // the value alone
    return '"' + QByteArray(wire) + "\":" + json;
}

} // namespace

QJsonObject CLiveFleet::GeneratorJson(const lab::Generator& g, int n) const
{
    QJsonObject o;
    o[QStringLiteral("n")] = n;
    o[QStringLiteral("id")] = g.prefix;
    o[QStringLiteral("name")] = g.name;
    o[QStringLiteral("state")] = int(g.state);
    o[QStringLiteral("word")] = lab::StateText(g.state);
    o[QStringLiteral("label")] = lab::GeneratorText(g);
    o[QStringLiteral("shape")] = QLatin1String(lab::ShapeName(g.state));
    o[QStringLiteral("rank")] = lab::AttentionRank(g.state);
    o[QStringLiteral("greyed")] = lab::IsGreyed(g.state);
    // Without ages: the page adds them from readingMs and the server's clock,
    // so that a tab hidden for an hour is right the moment it is shown.
    o[QStringLiteral("readouts")] = QJsonArray::fromStringList(lab::ReadoutTexts(g, 0, false));
    o[QStringLiteral("readingMs")] = g.reading ? QJsonValue(double(g.readingMs)) : QJsonValue();
    o[QStringLiteral("notes")] = QJsonArray::fromStringList(lab::NoteTexts(g, m_contact, m_lostMs));
    o[QStringLiteral("events")] = QJsonArray::fromStringList(lab::EventTexts(g));
    // Each on its own: beam time changes with every reading, the firmware seldom.
    o[QStringLiteral("version")] = lab::VersionText(g);
    o[QStringLiteral("beamTime")] = lab::BeamTimeText(g);
    o[QStringLiteral("lastHeard")] = lab::LastHeardText(g);
    o[QStringLiteral("missed")] =
        g.readingsMissed > 0 ? lab::Plural(g.readingsMissed, "reading missed", "readings missed")
                             : QString();
    return o;
}

QString CLiveFleet::Summary() const
{
    lab::FleetCounts counts;
    counts.generators = qint64(m_rows.size());
    for (const auto& r : m_rows)
        ++counts.ofState[int(r->g.state)];
    counts.unacknowledged = m_latch.Unacknowledged();
    if (!m_contact && m_everConnected)
        counts.lostMs = m_lostMs;
    if (m_limitReached)
        counts.shownLimit = kGeneratorLimit;
    return lab::SummaryText(counts);
}

QJsonArray CLiveFleet::AlarmsJson() const
{
    QJsonArray alarms;
    for (const lab::Alarm& a : m_latch.List()) {
        if (!a.active)
            continue;
        alarms.append(QJsonObject{{QStringLiteral("id"), a.prefix},
                                  {QStringLiteral("text"), lab::AlarmLine(a)},
                                  {QStringLiteral("state"), int(a.condition)}});
    }
    return alarms;
}

QJsonObject CLiveFleet::Common(const char* type, qint64 now) const
{
    return QJsonObject{{QStringLiteral("type"), QLatin1String(type)},
                       {QStringLiteral("seq"), double(m_seq)},
                       {QStringLiteral("serverMs"), double(now)}};
}

QByteArray CLiveFleet::Snapshot() const
{
    // Exactly what the deltas up to this one's number said, whatever came in
    // since: the next delta is applied to it.
    QJsonObject o = Common("snapshot", m_clock());
    QJsonArray generators;
    for (const auto& r : m_rows) {
        if (!r->sent.isEmpty())
            generators.append(r->sent);
    }
    o[QStringLiteral("generators")] = generators;
    o[QStringLiteral("summary")] = m_sentSummary;
    o[QStringLiteral("alarms")] = m_sentAlarms;
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::shared_ptr<const LiveRound> CLiveFleet::Delta(bool heartbeat)
{
    const qint64 now = m_clock();
    QJsonArray changed;
    std::vector<std::pair<int, QJsonObject>> liveChanged; // the members changed
    for (size_t i = 0; i < m_rows.size(); ++i) {
        Row& r = *m_rows[i];
        // Between messages only time changes a generator, and only its state.
        const lab::State was = r.g.state;
        Rejudge(r.g, now);
        if (!r.dirty && r.g.state == was)
            continue;
        r.dirty = false;
        QJsonObject o = GeneratorJson(r.g, int(i));
        if (r.sent.isEmpty()) {
            changed.append(o);
            liveChanged.emplace_back(int(i), o);
            r.sent = std::move(o);
            continue;
        }
        QJsonObject members, live;
        // Both made by GeneratorJson, so the same members in the same order:
        // walked side by side rather than looked up.
        for (auto it = o.constBegin(), before = r.sent.constBegin(); it != o.constEnd();
             ++it, ++before) {
            if (before.value() == it.value())
                continue;
            (IsLive(it.key()) ? live : members).insert(it.key(), it.value());
        }
        if (!members.isEmpty()) {
            members[QStringLiteral("n")] = int(i);
            changed.append(members);
        }
        if (!live.isEmpty())
            liveChanged.emplace_back(int(i), std::move(live));
        r.sent = std::move(o);
    }
    const QString summary = Summary();
    QJsonArray alarms = AlarmsJson();
    const bool summaryChanged = summary != m_sentSummary || m_seq == 0;
    const bool alarmsChanged = alarms != m_sentAlarms || m_seq == 0;
    if (changed.isEmpty() && liveChanged.empty() && !summaryChanged && !alarmsChanged && !heartbeat)
        return nullptr;
    ++m_seq;
    QJsonObject o = Common("delta", now);
    if (!changed.isEmpty())
        o[QStringLiteral("generators")] = changed;
    if (summaryChanged) {
        o[QStringLiteral("summary")] = summary;
        m_sentSummary = summary;
    }
    if (alarmsChanged) {
        o[QStringLiteral("alarms")] = alarms;
        m_sentAlarms = std::move(alarms);
    }
    for (const auto& [i, members] : liveChanged) {
        // A new copy: rounds still queued for slow viewers keep the old one.
        auto tile = std::make_shared<LiveRound::Tile>(*m_rows[size_t(i)]->live);
        for (int k = 0; k < LiveRound::kMembers; ++k) {
            const auto it = members.constFind(kLiveKeys[k].name);
            if (it == members.constEnd())
                continue;
            tile->json[size_t(k)] = Member(kLiveKeys[k].wire, it.value());
            tile->seq[size_t(k)] = m_seq;
            tile->changed = m_seq;
        }
        m_rows[size_t(i)]->live = std::move(tile);
    }
    auto round = std::make_shared<LiveRound>();
    round->seq = m_seq;
    round->common = QJsonDocument(o).toJson(QJsonDocument::Compact);
    round->common.chop(1); // the closing brace: each viewer's tiles come before it
    round->tiles.reserve(m_rows.size());
    for (const auto& r : m_rows)
        round->tiles.push_back(r->live);
    return round;
}

} // namespace ondrel::web
