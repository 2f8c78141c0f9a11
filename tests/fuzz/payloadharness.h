// One fuzz input through what the fleet does with a broker's messages: the
// payload readers and the fleet model. An input is a sequence of messages, each
// a selector byte (which subtopic, retained or not, which of two generators),
// a length byte and that many payload bytes. Invariants that break come back as
// a text; a crash or a sanitizer report is the fuzzer's to catch.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>

namespace ondrel::fuzz {

QString RunPayloadInput(const std::uint8_t* data, std::size_t size);

} // namespace ondrel::fuzz
