// The simulator's control language, as typed on ondrel-sim's standard input or
// given with --do: one command a line, "help" lists them.
#pragma once

#include <cstdint>
#include <string>

namespace ondrel::sim {

class CGeneratorModel;

struct SimCommand
{
    enum Kind
    {
        Empty,
        Help,
        Status,
        Normal,
        Fault,
        Clear,
        Silent,
        Short,
        Long,
        Garble,
        Stray,
        Next,
        Delay,
        Drop,
        Nul,
        Firmware,
        Noise,
        Reopen,
        Unlink,
        Mute
    };
    Kind kind = Empty;
    long number = 0;
    bool on = false;
    std::string text; // escapes resolved
};

extern const char kCommandHelp[];

// False with *error set (one line, no "error: " prefix) for a line that is not a command.
bool ParseCommand(const std::string& line, SimCommand* out, std::string* error);

// Runs a command that acts on the generator alone, that is all but Reopen and
// Unlink, which belong to the line; returns its answer.
std::string ApplyCommand(const SimCommand& command, CGeneratorModel& model, std::int64_t nowNs);

} // namespace ondrel::sim
