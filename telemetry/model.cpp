#include "model.h"

#include <QTimeZone>

#include <cstdio>
#include <ctime>

namespace ondrel {

Reading Reading::FromForm(const QDateTime& time, const QString& kilovolts, const QString& microamps,
                          const QString& temperature, const QString& faults,
                          const QByteArray& faultReply)
{
    Reading r;
    r.time = time;
    r.kilovolts = kilovolts;
    r.microamps = microamps;
    r.temperature = temperature;
    r.faults = faults;
    r.faultReply = faultReply;
    r.fault = IsFaultVerdict(faults);
    r.kilovoltsValue = NumberFromText(kilovolts);
    r.microampsValue = NumberFromText(microamps);
    r.temperatureValue = NumberFromText(temperature);
    return r;
}

QString EventKindName(EventKind kind)
{
    switch (kind) {
    case EventKind::Start:
        return QStringLiteral("start");
    case EventKind::PortError:
        return QStringLiteral("port-error");
    case EventKind::Version:
        return QStringLiteral("version");
    case EventKind::XrayOn:
        return QStringLiteral("xray-on");
    case EventKind::XrayOff:
        return QStringLiteral("xray-off");
    case EventKind::ClearFaults:
        return QStringLiteral("clear-faults");
    case EventKind::Timeout:
        return QStringLiteral("timeout");
    case EventKind::ReadingsStopped:
        return QStringLiteral("readings-stopped");
    case EventKind::Stop:
        return QStringLiteral("stop");
    case EventKind::RecordContinued:
        return QStringLiteral("record-continued");
    case EventKind::XrayOffUnanswered:
        return QStringLiteral("xray-off-unanswered");
    }
    return QStringLiteral("unknown");
}

std::optional<EventKind> EventKindFromName(const QString& name)
{
    for (const EventKind kind : {EventKind::Start, EventKind::PortError, EventKind::Version,
                                 EventKind::XrayOn, EventKind::XrayOff, EventKind::ClearFaults,
                                 EventKind::Timeout, EventKind::ReadingsStopped, EventKind::Stop,
                                 EventKind::RecordContinued, EventKind::XrayOffUnanswered}) {
        if (EventKindName(kind) == name)
            return kind;
    }
    return std::nullopt;
}

bool IsFaultVerdict(const QString& faults)
{
    return faults == QLatin1String("Error.Please Clear");
}

bool CXrayRule::OnEvent(EventKind kind)
{
    const bool before = m_on;
    if (kind == EventKind::XrayOn || kind == EventKind::XrayOffUnanswered)
        m_on = true;
    else if (kind == EventKind::XrayOff)
        m_on = false;
    return m_on != before;
}

namespace {
// Up to 15 digits an integer is exact in a double, and so is 10^k up to k = 22.
constexpr int kExactDigits = 15;
constexpr double kPowersOfTen[kExactDigits + 1] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
} // namespace

std::optional<double> NumberFromText(const QString& text)
{
    // QString::toDouble alone would take signs, exponents, spaces and "nan".
    int digits = 0;
    int points = 0;
    int decimals = 0;
    qint64 whole = 0; // the digits as one integer, point left out
    for (const QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            ++digits;
            decimals += points;
            if (digits <= kExactDigits)
                whole = whole * 10 + (c.unicode() - '0');
        } else if (c == QLatin1Char('.')) {
            ++points;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || points > 1)
        return std::nullopt;
    // Both operands are exact doubles here, and one division rounds correctly,
    // so this is the value toDouble would give, at a tiny part of its cost: it
    // runs for three read-outs at every poll.
    if (digits <= kExactDigits)
        return double(whole) / kPowersOfTen[decimals];
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

QString IsoTime(const QDateTime& time)
{
    // By hand: QDateTime::toString parses its format on every call, and this
    // runs for every reading on the polling thread.
    if (!time.isValid())
        return QString();
    const qint64 ms = time.toMSecsSinceEpoch();
    const qint64 seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const int milliseconds = int(ms - seconds * 1000);
    const time_t t = time_t(seconds);
    tm utc = {};
    if (!gmtime_r(&t, &utc))
        return QString();
    char text[40];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                                utc.tm_min, utc.tm_sec, milliseconds);
    return QString::fromLatin1(text, n);
}

QDateTime TelemetryNow()
{
    return QDateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch(), QTimeZone::utc());
}

void RegisterTelemetryMetaTypes()
{
    qRegisterMetaType<Reading>();
    qRegisterMetaType<ConsoleEvent>();
}

} // namespace ondrel
