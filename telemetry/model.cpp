#include "model.h"

#include <QTimeZone>

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
    }
    return QStringLiteral("unknown");
}

std::optional<double> NumberFromText(const QString& text)
{
    // QString::toDouble alone would take signs, exponents, spaces and "nan".
    int digits = 0;
    int points = 0;
    for (const QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            ++digits;
        else if (c == QLatin1Char('.'))
            ++points;
        else
            return std::nullopt;
    }
    if (digits == 0 || points > 1)
        return std::nullopt;
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

QString IsoTime(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
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
