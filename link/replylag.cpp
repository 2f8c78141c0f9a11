#include "replylag.h"

#include <algorithm>

namespace ondrel {

bool CReplyLag::NextIsMeasured()
{
    ++m_replies;
    return m_count < kFirst || m_replies % kMeasureEvery == 0;
}

std::optional<std::chrono::nanoseconds> CReplyLag::Estimate() const
{
    if (m_count < kFirst)
        return std::nullopt;
    return *std::min_element(m_samples.begin(), m_samples.begin() + m_count);
}

void CReplyLag::Add(std::chrono::nanoseconds lag)
{
    m_samples[size_t(m_next)] = lag;
    m_next = (m_next + 1) % kSamples;
    m_count = std::min(m_count + 1, kSamples);
}

void CReplyLag::Forget()
{
    m_count = 0;
    m_next = 0;
}

} // namespace ondrel
