// One round of the live fleet as the viewers get it. What every viewer gets is
// written once: the states, words and order of the generators that changed, the
// summary and the alarms. The read-outs, which change with every reading, go
// only to the viewers whose pages show that generator's tile: a wall screen
// shows some sixty of a thousand, and sending it the rest five times a second
// would cost it megabytes for nothing it can see. A tile scrolled into view gets
// its read-outs in the viewer's next round; until then it shows the ones it has
// with their true age.
#pragma once

#include <QByteArray>
#include <vector>

namespace ondrel::web {

struct LiveRound
{
    qint64 seq = 0;
    // The JSON object's members for every viewer, without the closing brace.
    QByteArray common;
    // Per generator, by its number: its read-outs as a "live" entry, and the
    // sequence number of the round that last changed them. A generator's first
    // round gives its whole object in `common`.
    std::vector<QByteArray> live;
    std::vector<qint64> liveSeq;

    // The message for a viewer whose page shows `shown` (generator numbers, any
    // order, out-of-range ones ignored), given what it was sent before (`sent`,
    // per generator, updated).
    QByteArray For(const std::vector<int>& shown, std::vector<qint64>* sent) const;
};

} // namespace ondrel::web
