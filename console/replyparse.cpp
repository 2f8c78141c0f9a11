#include "replyparse.h"

#include "frames.h"

namespace ondrel {

const char* const kNoErrorText = "No Error";
const char* const kFaultErrorText = "Error.Please Clear";

bool IsNoFaultReply(const QByteArray& reply)
{
    // A whole-string comparison: a reply that only starts like the no-fault one
    // (a longer count slipped through, say) is still a fault.
    return reply == QByteArray(frames::kNoFaultReply);
}

QString FaultVerdictText(const QByteArray& reply)
{
    return QString::fromLatin1(IsNoFaultReply(reply) ? kNoErrorText : kFaultErrorText);
}

std::optional<MonitorFields> MonitorFieldsFrom(const QByteArray& reply)
{
    if (reply.size() < kMonitorMinLength)
        return std::nullopt;
    MonitorFields fields;
    // Latin-1 keeps every byte as one character, so each field has its fixed width
    // whatever the generator sent.
    fields.kilovolts = QString::fromLatin1(reply.mid(1, 3) + '.' + reply.mid(4, 1));
    fields.microamps = QString::fromLatin1(reply.mid(6, 4));
    fields.temperature = QString::fromLatin1(reply.mid(11, 3) + '.' + reply.mid(14, 1));
    return fields;
}

} // namespace ondrel
