#include "fleetmodel.h"

#include "stderrwriter.h"

#include <algorithm>

namespace ondrel::fleet {

namespace {

void ToStderr(const QString& text)
{
    WriteStderr(text + QLatin1Char('\n'));
}

} // namespace

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
        return lab::AttentionRank(g.state);
    case ReadoutsRole:
        return lab::ReadoutTexts(g, now, true);
    case ReadoutTextsRole:
        return lab::ReadoutTexts(g, now, false);
    case ReadingAgeRole:
        return g.reading ? lab::AgeText(g.readingMs, now) : QString();
    case GreyedRole:
        return lab::IsGreyed(g.state);
    case VersionRole:
        return lab::VersionText(g);
    case BeamTimeRole:
        return lab::BeamTimeText(g);
    case LastHeardRole:
        if (g.lastHeardMs == 0)
            return QStringLiteral("not heard from since this window opened");
        return lab::LastHeardText(g);
    case EventsRole:
        return lab::EventTexts(g);
    case NotesRole:
        return lab::NoteTexts(g, m_contact, m_lostMs);
    default:
        return QVariant();
    }
}

QString CFleetModel::AccessibleName(const Generator& g) const
{
    return lab::GeneratorText(g);
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
        parts << lab::Plural(g.readingsMissed, "reading missed", "readings missed");
    const QStringList events = data(i, EventsRole).toStringList();
    if (!events.isEmpty())
        parts << QStringLiteral("events: %1").arg(events.join(QStringLiteral(", ")));
    return parts.join(QStringLiteral("; "));
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
    lab::FleetCounts counts;
    counts.generators = qint64(m_rows.size());
    for (const auto& g : m_rows)
        ++counts.ofState[int(g->state)];
    counts.unacknowledged = m_alarms->Unacknowledged();
    if (!m_contact && m_everConnected)
        counts.lostMs = m_lostMs;
    if (m_limitReached)
        counts.shownLimit = kGeneratorLimit;
    return lab::SummaryText(counts);
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
        return lab::AlarmLine(a);
    case Qt::AccessibleTextRole:
        return lab::AlarmText(a);
    case Qt::AccessibleDescriptionRole:
    case Qt::ToolTipRole:
        return lab::AlarmDescription(a);
    case NameRole:
        return a.name;
    case AcknowledgedRole:
        return a.acknowledged;
    case ActiveRole:
        return a.active;
    case TimeRole:
        return lab::ClockText(a.raisedMs);
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
