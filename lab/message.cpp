#include "message.h"

#include <QStringDecoder>

namespace ondrel::lab {

namespace {

std::optional<QString> Utf8(const QByteArray& bytes)
{
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decode(bytes);
    if (decode.hasError())
        return std::nullopt;
    return text;
}

// Whether a payload was read is what the reader returned, whatever it left in
// *why: an unreadable one must never pass for read for want of a reason.
void Settle(bool read, QString* why)
{
    if (read)
        why->clear();
    else if (why->isEmpty())
        *why = QStringLiteral("a payload that cannot be read");
}

} // namespace

std::optional<TopicParts> DecodeTopic(const QString& root, const QString& topic)
{
    const QString head = root + QLatin1Char('/');
    if (!topic.startsWith(head))
        return std::nullopt;
    const int slash = topic.lastIndexOf(QLatin1Char('/'));
    if (slash <= head.size())
        return std::nullopt;
    const std::optional<Subtopic> subtopic = SubtopicFromName(QStringView(topic).mid(slash + 1));
    if (!subtopic)
        return std::nullopt;
    const QString prefix = topic.left(slash);
    return TopicParts{prefix, prefix.mid(head.size()), *subtopic};
}

Payload DecodePayload(Subtopic subtopic, const QByteArray& payload, bool tooLarge)
{
    Payload p;
    p.subtopic = subtopic;
    if (tooLarge || payload.size() > kPayloadLimit) {
        p.tooLarge = true;
        p.unreadable = QStringLiteral("a payload larger than 1 MiB");
        return p;
    }
    switch (subtopic) {
    case Subtopic::Status:
        p.status = StatusFromPayload(payload);
        if (!p.status)
            p.unreadable = QStringLiteral("a status that is not online, not responding or offline");
        break;
    case Subtopic::Version:
        if (std::optional<QString> text = Utf8(payload))
            p.version = std::move(*text);
        else
            p.unreadable = QStringLiteral("a version that is not UTF-8 text");
        break;
    case Subtopic::Info:
        p.info = InfoFromJson(payload, &p.unreadable);
        Settle(p.info.has_value(), &p.unreadable);
        break;
    case Subtopic::Reading:
        p.reading = ReadingFromJson(payload, &p.unreadable, &p.counters);
        Settle(p.reading.has_value(), &p.unreadable);
        break;
    case Subtopic::Event:
        p.event = EventFromJson(payload, &p.unreadable, &p.seq);
        Settle(p.event.has_value(), &p.unreadable);
        break;
    }
    return p;
}

} // namespace ondrel::lab
