#include "payloadharness.h"

#include "fleetmodel.h"
#include "payloads.h"

namespace ondrel::fuzz {

namespace {

const char* const kSubtopics[] = {"status", "reading", "event", "info", "version", "other"};

// What a reading that was read back must survive: written again and read again
// it is the same, texts and counters alike.
QString CheckReading(const QByteArray& payload)
{
    QString error;
    ReadCounters counters;
    const std::optional<Reading> r = ReadingFromJson(payload, &error, &counters);
    if (!r) {
        if (error.isEmpty())
            return QStringLiteral("a reading refused without a reason");
        return QString();
    }
    ReadingCounters again;
    again.seq = counters.seq.value_or(0);
    again.xrayOn = counters.xrayOn.value_or(false);
    again.beamOnSeconds = counters.beamOnSeconds.value_or(0.0);
    ReadCounters back;
    const std::optional<Reading> r2 = ReadingFromJson(ReadingJson(*r, again), &error, &back);
    if (!r2)
        return QStringLiteral("a reading written back is unreadable: %1").arg(error);
    if (r2->kilovolts != r->kilovolts || r2->microamps != r->microamps ||
        r2->temperature != r->temperature || r2->faults != r->faults ||
        r2->time.toMSecsSinceEpoch() != r->time.toMSecsSinceEpoch())
        return QStringLiteral("a reading written back reads differently");
    if (back.seq.value_or(-1) != again.seq || back.xrayOn.value_or(!again.xrayOn) != again.xrayOn)
        return QStringLiteral("a reading's counters written back read differently");
    return QString();
}

QString CheckEvent(const QByteArray& payload)
{
    QString error;
    std::optional<qint64> seq;
    const std::optional<ConsoleEvent> e = EventFromJson(payload, &error, &seq);
    if (!e)
        return error.isEmpty() ? QStringLiteral("an event refused without a reason") : QString();
    std::optional<qint64> seq2;
    const std::optional<ConsoleEvent> e2 =
        EventFromJson(EventJson(*e, seq.value_or(0)), &error, &seq2);
    if (!e2 || e2->kind != e->kind || e2->detail != e->detail ||
        (seq.value_or(0) > 0 && seq2 != seq))
        return QStringLiteral("an event written back reads differently");
    return QString();
}

} // namespace

QString RunPayloadInput(const std::uint8_t* data, std::size_t size)
{
    qint64 now = 1796710967000;
    fleet::CFleetModel model(
        QStringLiteral("lab"), [&now] { return now; }, nullptr, [](const QString&) {});
    model.OnBrokerConnected();
    std::size_t i = 0;
    while (i + 2 <= size) {
        const std::uint8_t selector = data[i];
        const std::size_t length = std::min<std::size_t>(data[i + 1], size - i - 2);
        const QByteArray payload(reinterpret_cast<const char*>(data + i + 2), int(length));
        i += 2 + length;
        const char* subtopic = kSubtopics[(selector & 0x7) % 6];
        const bool retained = selector & 0x8;
        const QString gen = (selector & 0x10) ? QStringLiteral("b/gen2") : QStringLiteral("gen1");
        if (selector & 0x20)
            now += 700;
        if (selector & 0x40)
            model.Refresh();
        if (selector == 0xff) {
            model.OnBrokerLost();
            model.OnBrokerConnected();
        }
        QString broken;
        if (!qstrcmp(subtopic, "reading"))
            broken = CheckReading(payload);
        else if (!qstrcmp(subtopic, "event"))
            broken = CheckEvent(payload);
        if (!broken.isEmpty())
            return broken;
        model.OnMessage({QStringLiteral("lab/%1/%2").arg(gen, QLatin1String(subtopic)), payload,
                         retained, false, now});
    }
    if (model.rowCount() > 2)
        return QStringLiteral("more tiles than generators");
    // Every tile says its name and a state word, whatever came.
    for (int row = 0; row < model.rowCount(); ++row) {
        const QString name = model.data(model.index(row), Qt::AccessibleTextRole).toString();
        const fleet::Generator& g = model.At(row);
        if (name != g.name + QStringLiteral(": ") + fleet::StateText(g.state))
            return QStringLiteral("a tile named \"%1\"").arg(name);
        model.data(model.index(row), Qt::AccessibleDescriptionRole);
    }
    model.Summary();
    model.AcknowledgeAll();
    return QString();
}

} // namespace ondrel::fuzz
