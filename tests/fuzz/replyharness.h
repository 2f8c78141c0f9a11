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
//       bit 3 InputLen 0 (take everything) instead of n;
//     with bit 2: hang-up delay after the write (2 bytes, 1 + mod 4200);
//     chunk count (1 byte, mod 9); per chunk: arrival delay after the write
//       (2 bytes, mod 4200), length (1 byte, mod 33), then that many bytes.
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

ReplyRun RunReplyInput(const std::uint8_t* data, std::size_t size);

} // namespace ondrel::fuzz
