#include "liveround.h"

namespace ondrel::web {

QByteArray LiveRound::For(const std::vector<int>& shown, Sent* sent) const
{
    // Generators this viewer has not heard of are new in this round, and
    // `common` carries them whole.
    sent->resize(tiles.size(), seq);

    QByteArray message = common;
    bool any = false;
    for (const int r : shown) {
        if (r < 0 || size_t(r) >= tiles.size())
            continue;
        const Tile& tile = *tiles[size_t(r)];
        qint64& had = (*sent)[size_t(r)];
        if (tile.changed <= had)
            continue;
        message += any ? ",{\"n\":" : ",\"live\":[{\"n\":";
        message += QByteArray::number(r);
        for (int k = 0; k < kMembers; ++k) {
            if (tile.seq[size_t(k)] > had) {
                message += ',';
                message += tile.json[size_t(k)];
            }
        }
        message += '}';
        had = seq;
        any = true;
    }
    if (any)
        message += ']';
    message += '}';
    return message;
}

} // namespace ondrel::web
