#include "texts.h"

#include <array>
#include <limits>

#include <QDateTime>
#include <QLocale>
#include <cstdlib>

namespace ondrel::lab {

namespace {

constexpr qint64 kSkewShownMs = 2000;
constexpr qint64 kAgeShownMs = 1000;

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
    // A fleet's tiles say the same few seconds over and over (a thousand
    // generators heard within one), and a local time costs a time-zone lookup.
    struct Said
    {
        qint64 second = std::numeric_limits<qint64>::min();
        QString text;
    };
    thread_local std::array<Said, 8> said;
    thread_local size_t next = 0;
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    for (const Said& s : said)
        if (s.second == second)
            return s.text;
    Said& s = said[next++ % said.size()];
    s.second = second;
    s.text = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString(QStringLiteral("HH:mm:ss"));
    return s.text;
}

QString Plural(qint64 n, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString AgeText(qint64 sinceMs, qint64 now)
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

QString GeneratorText(const Generator& g)
{
    return QStringLiteral("%1: %2").arg(g.name, StateText(g.state));
}

QStringList ReadoutTexts(const Generator& g, qint64 now, bool withAge)
{
    if (!g.reading)
        return QStringList();
    const QString age = withAge ? AgeText(g.readingMs, now) : QString();
    const QString suffix = age.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(age);
    return QStringList{QStringLiteral("%1 kV").arg(g.reading->kilovolts) + suffix,
                       QStringLiteral("%1 µA").arg(g.reading->microamps) + suffix,
                       QStringLiteral("%1 °C").arg(g.reading->temperature) + suffix};
}

QString VersionText(const Generator& g)
{
    return g.version.isEmpty() ? QString() : QStringLiteral("firmware %1").arg(g.version);
}

QString BeamTimeText(const Generator& g)
{
    if (!g.counters.beamOnSeconds)
        return QString();
    return QStringLiteral("X-ray time %1 s").arg(*g.counters.beamOnSeconds, 0, 'f', 1);
}

QString LastHeardText(const Generator& g)
{
    if (g.lastHeardMs == 0)
        return QString();
    return QStringLiteral("last heard %1").arg(ClockText(g.lastHeardMs));
}

QStringList EventTexts(const Generator& g)
{
    QStringList lines;
    for (const EventLine& e : g.lastEvents)
        lines << QStringLiteral("%1 %2").arg(ClockText(e.time.toMSecsSinceEpoch()),
                                             EventKindName(e.kind));
    return lines;
}

QString LostText(qint64 lostMs)
{
    return QStringLiteral("no contact with the broker since %1").arg(ClockText(lostMs));
}

QStringList NoteTexts(const Generator& g, bool contact, qint64 lostMs)
{
    QStringList notes;
    if (!contact)
        notes << LostText(lostMs);
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

QString SummaryText(const FleetCounts& counts)
{
    QStringList parts;
    auto add = [&](State s, const char* one, const char* many) {
        if (counts.ofState[int(s)] > 0)
            parts << Plural(counts.ofState[int(s)], one, many);
    };
    add(State::ContactLostXrayOn, "contact lost with X-rays on", "contact lost with X-rays on");
    add(State::XraysOn, "X-rays on", "X-rays on");
    add(State::Fault, "fault", "faults");
    add(State::NotResponding, "not responding", "not responding");
    add(State::Offline, "offline", "offline");
    add(State::Stale, "stale", "stale");
    add(State::Unknown, "unknown", "unknown");
    QString text = Plural(counts.generators, "generator", "generators");
    if (!parts.isEmpty())
        text += QStringLiteral(": ") + parts.join(QStringLiteral(", "));
    if (counts.unacknowledged > 0)
        text += QStringLiteral("; ") +
                Plural(counts.unacknowledged, "alarm unacknowledged", "alarms unacknowledged");
    if (counts.lostMs)
        text += QStringLiteral("; ") + LostText(*counts.lostMs);
    if (counts.shownLimit)
        text += QStringLiteral("; only the first %1 generators are shown")
                    .arg(QLocale(QLocale::English).toString(*counts.shownLimit));
    return text;
}

QString AlarmText(const Alarm& a)
{
    return QStringLiteral("%1: %2").arg(a.name, StateText(a.condition));
}

QString AlarmLine(const Alarm& a)
{
    return QStringLiteral("%1  %2%3")
        .arg(ClockText(a.raisedMs), AlarmText(a),
             a.acknowledged ? QStringLiteral(" (acknowledged)") : QString());
}

QString AlarmDescription(const Alarm& a)
{
    return QStringLiteral("raised %1; %2; %3")
        .arg(ClockText(a.raisedMs),
             a.acknowledged ? QStringLiteral("acknowledged") : QStringLiteral("unacknowledged"),
             a.active ? QStringLiteral("still so") : QStringLiteral("condition ended"));
}

} // namespace ondrel::lab
