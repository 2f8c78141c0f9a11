#include "fleetmodel.h"

#include "stderrwriter.h"

#include <QLocale>
#include <QTimeZone>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace ondrel::fleet {

namespace {

constexpr qint64 kSkewShownMs = 2000;
constexpr qint64 kAgeShownMs = 1000;

QString Plural(qint64 n, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

void ToStderr(const QString& text)
{
    WriteStderr(text + QLatin1Char('\n'));
}

} // namespace

QString StateText(State state)
{
    switch (state) {
    case State::ContactLostXrayOn:
        return QStringLiteral("Contact lost, X-rays may be on");
    case State::Fault:
        return QStringLiteral("Fault");
    case State::NotResponding:
        return QStringLiteral("Not responding");
    case State::Offline:
        return QStringLiteral("Offline");
    case State::Stale:
        return QStringLiteral("Stale");
    case State::XraysOn:
        return QStringLiteral("X-rays on");
    case State::Ready:
        return QStringLiteral("Ready");
    case State::Unknown:
        break;
    }
    return QStringLiteral("Unknown");
}

QString ClockText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString(QStringLiteral("HH:mm:ss"));
}

CFleetModel::CFleetModel(QString root, Clock clock, QObject* parent, Complaint complain)
    : QAbstractListModel(parent), m_root(std::move(root)), m_clock(std::move(clock)),
      m_complain(complain ? std::move(complain) : Complaint(&ToStderr)),
      m_alarms(std::make_unique<CAlarmModel>())
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kNotifyPeriodMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &CFleetModel::Flush);
}

CFleetModel::~CFleetModel() = default;

int CFleetModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QHash<int, QByteArray> CFleetModel::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert(NameRole, "name");
    names.insert(StateRole, "state");
    names.insert(StateTextRole, "stateText");
    return names;
}

QVariant CFleetModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= int(m_rows.size()))
        return QVariant();
    const Generator& g = *m_rows[size_t(index.row())];
    const qint64 now = m_clock();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return AccessibleName(g);
    case Qt::AccessibleDescriptionRole:
    case Qt::ToolTipRole:
        return Description(g);
    case NameRole:
        return g.name;
    case StateRole:
        return int(g.state);
    case StateTextRole:
        return StateText(g.state);
    case AttentionRole:
        // Unknown sorts with the states that need a look, after those known bad.
        return g.state == State::Unknown ? int(State::XraysOn) - 1 : int(g.state);
    case ReadoutsRole: {
        QStringList lines;
        if (!g.reading)
            return lines;
        const QString age = Age(g.readingMs, now);
        const QString suffix = age.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(age);
        lines << QStringLiteral("%1 kV").arg(g.reading->kilovolts) + suffix
              << QStringLiteral("%1 µA").arg(g.reading->microamps) + suffix
              << QStringLiteral("%1 °C").arg(g.reading->temperature) + suffix;
        return lines;
    }
    case ReadoutTextsRole:
        if (!g.reading)
            return QStringList();
        return QStringList{QStringLiteral("%1 kV").arg(g.reading->kilovolts),
                           QStringLiteral("%1 µA").arg(g.reading->microamps),
                           QStringLiteral("%1 °C").arg(g.reading->temperature)};
    case ReadingAgeRole:
        return g.reading ? Age(g.readingMs, now) : QString();
    case GreyedRole:
        return g.state == State::Unknown || g.state == State::Stale || g.state == State::Offline ||
               g.state == State::NotResponding || g.state == State::ContactLostXrayOn;
    case VersionRole:
        return g.version.isEmpty() ? QString() : QStringLiteral("firmware %1").arg(g.version);
    case BeamTimeRole:
        if (!g.counters.beamOnSeconds)
            return QString();
        return QStringLiteral("X-ray time %1 s").arg(*g.counters.beamOnSeconds, 0, 'f', 1);
    case LastHeardRole:
        if (g.lastHeardMs == 0)
            return QStringLiteral("not heard from since this window opened");
        return QStringLiteral("last heard %1").arg(ClockText(g.lastHeardMs));
    case EventsRole: {
        QStringList lines;
        for (const EventLine& e : g.lastEvents)
            lines << QStringLiteral("%1 %2").arg(ClockText(e.time.toMSecsSinceEpoch()),
                                                 EventKindName(e.kind));
        return lines;
    }
    case NotesRole: {
        QStringList notes;
        if (!m_contact)
            notes << LostText();
        else if (!g.fresh || !g.status)
            notes << QStringLiteral("waiting for its status");
        else if (g.state == State::Unknown)
            notes << QStringLiteral("waiting for its first reading");
        if (g.skewMs && std::llabs(*g.skewMs) > kSkewShownMs)
            notes << QStringLiteral("clock off by %1 s").arg((std::llabs(*g.skewMs) + 500) / 1000);
        if (g.eventsMissed > 0)
            notes << Plural(g.eventsMissed, "event missed", "events missed");
        if (g.unreadable > 0)
            notes << Plural(g.unreadable, "unreadable message", "unreadable messages");
        return notes;
    }
    default:
        return QVariant();
    }
}

QString CFleetModel::AccessibleName(const Generator& g) const
{
    return QStringLiteral("%1: %2").arg(g.name, StateText(g.state));
}

QString CFleetModel::Description(const Generator& g) const
{
    const QModelIndex i = index(RowOf(g.name));
    QStringList parts;
    const QStringList readouts = data(i, ReadoutsRole).toStringList();
    parts << (readouts.isEmpty() ? QStringLiteral("no reading yet")
                                 : readouts.join(QStringLiteral(", ")));
    for (const int role : {int(VersionRole), int(BeamTimeRole), int(LastHeardRole)}) {
        const QString text = data(i, role).toString();
        if (!text.isEmpty())
            parts << text;
    }
    parts << data(i, NotesRole).toStringList();
    if (g.readingsMissed > 0)
        parts << Plural(g.readingsMissed, "reading missed", "readings missed");
    const QStringList events = data(i, EventsRole).toStringList();
    if (!events.isEmpty())
        parts << QStringLiteral("events: %1").arg(events.join(QStringLiteral(", ")));
    return parts.join(QStringLiteral("; "));
}

QString CFleetModel::Age(qint64 sinceMs, qint64 now) const
{
    const qint64 age = now - sinceMs;
    if (age <= kAgeShownMs)
        return QString();
    const qint64 s = age / 1000;
    if (s < 120)
        return QStringLiteral("%1 s old").arg(s);
    if (s < 7200)
        return QStringLiteral("%1 min old").arg(s / 60);
    if (s < 2 * 86400)
        return QStringLiteral("%1 h old").arg(s / 3600);
    return QStringLiteral("%1 days old").arg(s / 86400);
}

QString CFleetModel::LostText() const
{
    return QStringLiteral("no contact with the broker since %1").arg(ClockText(m_lostMs));
}

const Generator* CFleetModel::Find(const QString& name) const
{
    const int row = RowOf(name);
    return row < 0 ? nullptr : m_rows[size_t(row)].get();
}

const Generator* CFleetModel::FindPrefix(const QString& prefix) const
{
    const int row = m_rowOfPrefix.value(prefix, -1);
    return row < 0 ? nullptr : m_rows[size_t(row)].get();
}

int CFleetModel::RowOf(const QString& name) const
{
    return m_rowOfName.value(name, -1);
}

Generator* CFleetModel::Entry(const QString& prefix, const QString& name, int* row)
{
    *row = m_rowOfPrefix.value(prefix, -1);
    if (*row >= 0)
        return m_rows[size_t(*row)].get();
    // A prefix that has sent nothing readable yet still gets its tile ("Unknown",
    // with what it sent counted): one that cannot be read is one to look at. A
    // flood of junk topics is held to the same bound as the generators.
    if (int(m_rows.size()) >= kGeneratorLimit) {
        m_limitReached = true;
        return nullptr;
    }
    *row = int(m_rows.size());
    auto g = std::make_unique<Generator>();
    g->prefix = prefix;
    g->name = name;
    beginInsertRows(QModelIndex(), *row, *row);
    m_rows.push_back(std::move(g));
    m_rowOfPrefix.insert(prefix, *row);
    m_rowOfName.insert(name, *row);
    endInsertRows();
    return m_rows.back().get();
}

void CFleetModel::OnMessages(const QList<FleetMessage>& messages)
{
    const qint64 now = m_clock();
    int first = -1;
    int last = -1;
    for (const FleetMessage& m : messages) {
        const std::optional<lab::TopicParts> topic = lab::DecodeTopic(m_root, m.topic);
        if (!topic)
            continue;
        int row = -1;
        Generator* g = Entry(topic->prefix, topic->name, &row);
        if (!g)
            continue;
        Apply(*g, lab::DecodePayload(topic->subtopic, m.payload, m.tooLarge), m);
        Rejudge(*g, now);
        first = first < 0 ? row : std::min(first, row);
        last = std::max(last, row);
    }
    if (first >= 0)
        EmitRows(first, last);
}

void CFleetModel::Apply(Generator& g, const lab::Payload& p, const FleetMessage& m)
{
    switch (lab::ApplyPayload(g, p, m.retained, m.receivedMs)) {
    case lab::Applied::Unreadable:
        Unreadable(g, p.subtopic, p.unreadable);
        return;
    case lab::Applied::Repeat:
        return;
    case lab::Applied::Taken:
        break;
    }
    if (p.subtopic == Subtopic::Reading)
        emit readingReceived(g.name, *g.reading);
    else if (p.subtopic == Subtopic::Event)
        emit eventReceived(g.name, *p.event);
}

void CFleetModel::Unreadable(Generator& g, Subtopic subtopic, const QString& why)
{
    // Said once for each kind of fault, whichever generator sent it first: a
    // broken console repeats itself five times a second.
    const QString kind = QLatin1String(SubtopicName(subtopic)) + QLatin1Char(':') +
                         why.section(QStringLiteral(" ("), 0, 0);
    if (m_complained.size() < 1000 && !m_complained.contains(kind)) {
        m_complained.insert(kind);
        m_complain(QStringLiteral("ondrel-fleet: %1/%2: unreadable: %3 (further ones are "
                                  "only counted)")
                       .arg(g.name.left(200), QLatin1String(SubtopicName(subtopic)), why));
    }
}

void CFleetModel::Rejudge(Generator& g, qint64 now)
{
    g.state = lab::JudgeState(g, m_contact, now);
    m_alarms->Follow(g, now);
}

void CFleetModel::EmitRows(int first, int last)
{
    if (first <= last) {
        m_dirtyFirst = m_dirtyFirst < 0 ? first : std::min(m_dirtyFirst, first);
        m_dirtyLast = std::max(m_dirtyLast, last);
    }
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void CFleetModel::Flush()
{
    m_flushTimer.stop();
    if (m_dirtyFirst >= 0)
        emit dataChanged(index(m_dirtyFirst), index(m_dirtyLast));
    m_dirtyFirst = m_dirtyLast = -1;
    const QString summary = Summary();
    if (summary != m_lastSummary) {
        m_lastSummary = summary;
        emit summaryChanged();
    }
}

void CFleetModel::Refresh()
{
    const qint64 now = m_clock();
    for (auto& g : m_rows)
        Rejudge(*g, now);
    EmitRows(0, int(m_rows.size()) - 1);
    Flush();
}

void CFleetModel::OnBrokerConnected()
{
    m_contact = true;
    m_everConnected = true;
    // Every tile waits for its retained status again before it says anything.
    Refresh();
}

void CFleetModel::OnBrokerLost()
{
    if (!m_contact && m_everConnected)
        return;
    if (m_contact)
        m_lostMs = m_clock();
    m_contact = false;
    for (auto& g : m_rows)
        g->fresh = false;
    Refresh();
}

bool CFleetModel::Acknowledge(const QString& prefix, qint64 raise)
{
    const bool done = m_alarms->Acknowledge(prefix, raise);
    Flush();
    return done;
}

void CFleetModel::AcknowledgeAll()
{
    m_alarms->AcknowledgeAll();
    Flush();
}

QString CFleetModel::Summary() const
{
    int counts[int(State::Unknown) + 1] = {};
    for (const auto& g : m_rows)
        ++counts[int(g->state)];
    QStringList parts;
    auto add = [&](State s, const char* one, const char* many) {
        if (counts[int(s)] > 0)
            parts << Plural(counts[int(s)], one, many);
    };
    add(State::ContactLostXrayOn, "contact lost with X-rays on", "contact lost with X-rays on");
    add(State::XraysOn, "X-rays on", "X-rays on");
    add(State::Fault, "fault", "faults");
    add(State::NotResponding, "not responding", "not responding");
    add(State::Offline, "offline", "offline");
    add(State::Stale, "stale", "stale");
    add(State::Unknown, "unknown", "unknown");
    QString text = Plural(qint64(m_rows.size()), "generator", "generators");
    if (!parts.isEmpty())
        text += QStringLiteral(": ") + parts.join(QStringLiteral(", "));
    const int open = m_alarms->Unacknowledged();
    if (open > 0)
        text +=
            QStringLiteral("; ") + Plural(open, "alarm unacknowledged", "alarms unacknowledged");
    if (!m_contact && m_everConnected)
        text += QStringLiteral("; ") + LostText();
    if (m_limitReached)
        text += QStringLiteral("; only the first %1 generators are shown")
                    .arg(QLocale(QLocale::English).toString(kGeneratorLimit));
    return text;
}

// ---------------------------------------------------------------------------

CAlarmModel::CAlarmModel() = default;

int CAlarmModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(List().size());
}

QVariant CAlarmModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= int(List().size()))
        return QVariant();
    const Alarm& a = List()[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return QStringLiteral("%1  %2: %3%4")
            .arg(ClockText(a.raisedMs), a.name, StateText(a.condition),
                 a.acknowledged ? QStringLiteral(" (acknowledged)") : QString());
    case Qt::AccessibleTextRole:
        return QStringLiteral("%1: %2").arg(a.name, StateText(a.condition));

    case Qt::AccessibleDescriptionRole:
    case Qt::ToolTipRole:
        return QStringLiteral("raised %1; %2; %3")
            .arg(ClockText(a.raisedMs),
                 a.acknowledged ? QStringLiteral("acknowledged") : QStringLiteral("unacknowledged"),
                 a.active ? QStringLiteral("still so") : QStringLiteral("condition ended"));
    case NameRole:
        return a.name;
    case AcknowledgedRole:
        return a.acknowledged;
    case ActiveRole:
        return a.active;
    case TimeRole:
        return ClockText(a.raisedMs);
    case PrefixRole:
        return a.prefix;
    case RaiseRole:
        return a.raise;
    default:
        return QVariant();
    }
}

bool CAlarmModel::Acknowledge(const QString& prefix, qint64 raise)
{
    return m_latch.Acknowledge(prefix, raise);
}

void CAlarmModel::BeforeInsert(int row)
{
    beginInsertRows(QModelIndex(), row, row);
}

void CAlarmModel::AfterInsert()
{
    endInsertRows();
}

void CAlarmModel::BeforeRemove(int row)
{
    beginRemoveRows(QModelIndex(), row, row);
}

void CAlarmModel::AfterRemove()
{
    endRemoveRows();
}

void CAlarmModel::Changed()
{
    emit dataChanged(index(0), index(rowCount() - 1));
}

void CAlarmModel::BeforeReorder()
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
}

void CAlarmModel::AfterReorder(const std::vector<int>& rowNow)
{
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& i : before)
        after << index(rowNow[size_t(i.row())]);
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

} // namespace ondrel::fleet
