#include "topics.h"

#include <QLatin1String>

namespace ondrel {

const char* SubtopicName(Subtopic subtopic)
{
    switch (subtopic) {
    case Subtopic::Status:
        return "status";
    case Subtopic::Reading:
        return "reading";
    case Subtopic::Event:
        return "event";
    case Subtopic::Info:
        return "info";
    case Subtopic::Version:
        break;
    }
    return "version";
}

std::optional<Subtopic> SubtopicFromName(QStringView name)
{
    for (const Subtopic s : kSubtopics)
        if (name == QLatin1String(SubtopicName(s)))
            return s;
    return std::nullopt;
}

} // namespace ondrel
