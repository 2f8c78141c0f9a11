#include "liveround.h"

namespace ondrel::web {

QByteArray LiveRound::For(const std::vector<int>& shown, std::vector<qint64>* sent) const
{
    // Generators this viewer has not heard of are new in this round, and
    // `common` carries them whole.
    const size_t known = sent->size();
    sent->resize(liveSeq.size());
    for (size_t r = known; r < liveSeq.size(); ++r)
        (*sent)[r] = liveSeq[r];

    QByteArray message = common;
    bool any = false;
    for (const int r : shown) {
        if (r < 0 || size_t(r) >= liveSeq.size() || (*sent)[size_t(r)] == liveSeq[size_t(r)])
            continue;
        message += any ? "," : ",\"live\":[";
        message += live[size_t(r)];
        any = true;
        (*sent)[size_t(r)] = liveSeq[size_t(r)];
    }
    if (any)
        message += ']';
    message += '}';
    return message;
}

} // namespace ondrel::web
