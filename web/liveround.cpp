#include "liveround.h"

namespace ondrel::web {

LiveRound::Sent LiveRound::AllSent() const
{
    Sent sent(tiles.size());
    for (size_t r = 0; r < tiles.size(); ++r)
        sent[r] = tiles[r]->seq;
    return sent;
}

QByteArray LiveRound::For(const std::vector<int>& shown, Sent* sent) const
{
    // Generators this viewer has not heard of are new in this round, and
    // `common` carries them whole.
    for (size_t r = sent->size(); r < tiles.size(); ++r)
        sent->push_back(tiles[r]->seq);

    QByteArray message = common;
    bool any = false;
    for (const int r : shown) {
        if (r < 0 || size_t(r) >= tiles.size())
            continue;
        const Tile& tile = *tiles[size_t(r)];
        auto& had = (*sent)[size_t(r)];
        bool begun = false;
        for (int k = 0; k < kMembers; ++k) {
            if (had[size_t(k)] == tile.seq[size_t(k)])
                continue;
            if (!begun) {
                message += any ? ",{\"n\":" : ",\"live\":[{\"n\":";
                message += QByteArray::number(r);
                begun = any = true;
            }
            message += ',';
            message += tile.json[size_t(k)];
            had[size_t(k)] = tile.seq[size_t(k)];
        }
        if (begun)
            message += '}';
    }
    if (any)
        message += ']';
    message += '}';
    return message;
}

} // namespace ondrel::web
