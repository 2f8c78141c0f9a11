// One round of the live fleet as the viewers get it. What every viewer gets is
// written once: the states, words and order of the generators that changed, the
// summary and the alarms. The rest of a tile (read-outs, notes, events), which
// changes with every reading, goes only to the viewers whose pages show that
// tile: a wall screen shows a few dozen of a thousand, and sending it the rest
// five times a second would cost it megabytes for nothing it can see. A tile
// scrolled into view gets what it missed in the viewer's next round; until then
// it shows what it has, with its true age.
#pragma once

#include <QByteArray>
#include <array>
#include <memory>
#include <vector>

namespace ondrel::web {

struct LiveRound
{
    static constexpr int kMembers = 8;
    // A generator's members that go only where its tile is shown, each as
    // `"name":value`, the number of the round that last changed it, and the
    // latest of those.
    struct Tile
    {
        std::array<QByteArray, kMembers> json;
        std::array<qint64, kMembers> seq{};
        qint64 changed = 0;
    };
    // Per generator, the round as of which a viewer has its tile's members.
    using Sent = std::vector<qint64>;

    qint64 seq = 0;
    // The JSON object's members for every viewer, without the closing brace.
    // A generator's first round gives it whole here.
    QByteArray common;
    std::vector<std::shared_ptr<const Tile>> tiles; // by generator number

    // The message for a viewer whose page shows `shown` (generator numbers, any
    // order, out-of-range ones ignored), given what it was sent before (`sent`,
    // updated).
    QByteArray For(const std::vector<int>& shown, Sent* sent) const;
    // What a viewer has once it has this round's snapshot.
    Sent AllSent() const { return Sent(tiles.size(), seq); }
};

} // namespace ondrel::web
