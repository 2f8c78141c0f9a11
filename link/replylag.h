// What a line has shown of its generator's reply lag: the time from the end of a
// frame to the first character of the reply.
#pragma once

#include <array>
#include <chrono>
#include <optional>

namespace ondrel {

// A wait that knows when a reply will start can sleep through it to just before
// its last character, rather than be woken for the first one too. The estimate is
// the shortest of the last few lags measured, so that a reply coming sooner than
// that stays rare; replies go on being measured now and then, so the estimate
// follows a generator whose timing drifts.
class CReplyLag
{
public:
    static constexpr int kSamples = 8; // measurements the estimate is taken over
    static constexpr int kFirst = 3;   // measured before the first estimate
    static constexpr int kMeasureEvery = 16;

    // Called once for each frame sent: true when its reply is to be measured,
    // i.e. the wait is to be woken by the reply's first character.
    bool NextIsMeasured();
    // The shortest lag of the recent measurements, once there are enough.
    std::optional<std::chrono::nanoseconds> Estimate() const;
    void Add(std::chrono::nanoseconds lag);
    // A reply came sooner than the estimate said: measure afresh.
    void Forget();

private:
    std::array<std::chrono::nanoseconds, kSamples> m_samples{};
    int m_count = 0;
    int m_next = 0;
    unsigned m_replies = 0;
};

} // namespace ondrel
