// What a console publishes under its topic prefix, and how often: the names
// that the publisher, the fleet and the lab's archive must spell alike.
#pragma once

#include <QStringView>
#include <optional>

namespace ondrel {

// <prefix>/status, <prefix>/reading, ...
enum class Subtopic
{
    Status,
    Reading,
    Event,
    Info,
    Version
};

inline constexpr Subtopic kSubtopics[] = {Subtopic::Status, Subtopic::Reading, Subtopic::Event,
                                          Subtopic::Info, Subtopic::Version};

const char* SubtopicName(Subtopic subtopic);
// Nothing for a name that is not one of the five (a newer console's, or another
// program's): compared exactly.
std::optional<Subtopic> SubtopicFromName(QStringView name);

// The console's poll period, said in its info; a watcher that has no info yet
// assumes it.
constexpr int kDefaultPeriodMs = 200;

} // namespace ondrel
