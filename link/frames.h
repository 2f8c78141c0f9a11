// Every frame the console sends, STX and CR included, with the exact length of
// the reply it waits for. Frames are constants: nothing is ever built from a number.
#pragma once

namespace ondrel::frames {

struct Command
{
    const char* frame; // STX, mnemonic and digits, CR
    int replyLength;
};

// "\x02" stands apart from the mnemonic: "\x02F..." would read as the hex escape 0x2F.
// clang-format off
inline constexpr Command kReadVersion{"\x02" "FREV\r", 6};
inline constexpr Command kReadFaults{"\x02" "FLT\r", 19};
inline constexpr Command kReadMonitor{"\x02" "MON\r", 21};
inline constexpr Command kVoltage805{"\x02" "VP0805\r", 8};
inline constexpr Command kVoltageZero{"\x02" "VP0000\r", 8};
inline constexpr Command kCurrent1100{"\x02" "CP1100\r", 8};
inline constexpr Command kCurrentZero{"\x02" "CP0000\r", 8};
inline constexpr Command kEnable{"\x02" "ENBL1\r", 7};
inline constexpr Command kDisable{"\x02" "ENBL0\r", 7};
inline constexpr Command kClearFaults{"\x02" "CLR\r", 5};

inline constexpr char kVersion2000Reply[] = "\x02" "2000\r";
inline constexpr char kNoFaultReply[] = "\x02" "0 0 0 0 0 0 0 0 0\r";
// clang-format on

} // namespace ondrel::frames
