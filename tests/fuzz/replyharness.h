// One run of the reply path on arbitrary bytes, shared by the libFuzzer target
// and the corpus replay of the regular suite.
//
// The bytes are read front to back as a small script (missing bytes read as 0):
//
//   settings length L (1 byte, mod 41), settings flags (1 byte: bit 0 = UTF-8,
//   else Latin-1), L bytes of settings text, exchange count - 1 (1 byte, mod 3);
//   then per exchange:
//     command (1 byte, mod 12): 0..9 a frame of the command table, 10 and 11 an
//       arbitrary reply length n taken from the next byte (mod 41);
//     flags (1 byte): bit 0 read even after a failed wait (as the operator
//       commands do), bit 1 binary input mode, bit 2 the device hangs up,
//       bit 3 InputLen 0 (take everything) instead of n, bit 4 no reply,
//       bit 5 stray bytes besides the reply;
//     with bit 2: the hang-up's delay after the write (a delay byte, plus 1 ms);
//     unless bit 4, the reply: n bytes, pieces - 1 (1 byte, mod 8), then per
//       piece its delay after the previous one (the first: after the write) and,
//       but for the last piece, its length (1 byte, mod what is left + 1);
//     with bit 5: strays - 1 (1 byte, mod 8), per stray its delay after the write,
//       its length (1 byte, mod 33) and its bytes.
// A delay byte below 224 is that many ms; 224..255 are 3685..3716 ms.
//
// Every step is checked against an independent model of the port's timeline.
#pragma once

#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>

namespace ondrel::fuzz {

struct ReplyRun
{
    QString violation; // the first broken invariant; empty when all held
    QStringList trace; // one line per step, for the replay's expectations
};

// trace = false leaves ReplyRun::trace empty, for speed; the checks are the same.
ReplyRun RunReplyInput(const std::uint8_t* data, std::size_t size, bool trace = true);

} // namespace ondrel::fuzz
