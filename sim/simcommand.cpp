#include "simcommand.h"

#include "generatormodel.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace ondrel::sim {

namespace {

bool ParseNumber(const std::string& text, long maxValue, long* out)
{
    if (text.empty() || text.size() > 9)
        return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > maxValue)
        return false;
    *out = value;
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Unescape(const std::string& in, std::string* out, std::string* error)
{
    out->clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            *out += in[i];
            continue;
        }
        if (i + 1 >= in.size()) {
            *error = "a lone backslash at the end of the text";
            return false;
        }
        char e = in[++i];
        if (e == 'r') {
            *out += '\r';
        } else if (e == 'n') {
            *out += '\n';
        } else if (e == '\\') {
            *out += '\\';
        } else if (e == 'x') {
            int hi = i + 1 < in.size() ? HexValue(in[i + 1]) : -1;
            int lo = i + 2 < in.size() ? HexValue(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                *error = "\\x needs two hex digits";
                return false;
            }
            *out += char(hi * 16 + lo);
            i += 2;
        } else {
            *error = std::string("unknown escape \\") + e + " (use \\xHH \\r \\n \\\\)";
            return false;
        }
    }
    return true;
}

} // namespace

const char kCommandHelp[] =
    "commands:\n"
    "  help            list the commands\n"
    "  status          set points, readings, flags and injections on one line\n"
    "  normal          cancel every injection (faults stay)\n"
    "  fault N         raise fault flag N (1-9); output off, X-rays disabled\n"
    "  clear           clear the fault flags (as CLR does)\n"
    "  silent on|off   answer nothing\n"
    "  short K         drop the last K characters of every reply (0 = off)\n"
    "  long K          append K characters '9' to every reply (0 = off)\n"
    "  garble K        replace K characters of every reply, from position 1, "
    "with '?' (0 = off)\n"
    "  stray TEXT      send TEXT once, just before the next reply\n"
    "  next TEXT       the next reply is exactly TEXT (several queue up)\n"
    "                  TEXT escapes: \\xHH \\r \\n \\\\\n"
    "  delay MS        delay every reply by MS ms (0 = off)\n"
    "  drop N          answer nothing to the next N frames (they still act)\n"
    "  mute TEXT       answer nothing to frames beginning with TEXT, e.g. ENBL0\n"
    "                  (they still act); mute - answers them again\n"
    "  nul on|off      a NUL byte at position 2 of every MON reply\n"
    "  firmware XXXX   the FREV revision from now on\n"
    "  noise on|off    reading noise\n"
    "  reopen [MS]     pull the cable: close the line, wait MS ms (500), "
    "open a new pty\n"
    "  unlink          remove the --link symlink, the line stays open";

bool ParseCommand(const std::string& rawLine, SimCommand* out, std::string* error)
{
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) {
        out->kind = SimCommand::Empty;
        return true;
    }
    std::size_t end = line.find_first_of(" \t", start);
    std::string word = line.substr(start, end == std::string::npos ? end : end - start);
    // The rest of the line verbatim (TEXT arguments keep inner spaces).
    std::string rest;
    if (end != std::string::npos)
        rest = line.substr(end + 1);
    std::vector<std::string> args;
    {
        std::size_t p = 0;
        while ((p = rest.find_first_not_of(" \t", p)) != std::string::npos) {
            std::size_t q = rest.find_first_of(" \t", p);
            args.push_back(rest.substr(p, q == std::string::npos ? q : q - p));
            p = q;
        }
    }

    struct Entry
    {
        const char* name;
        SimCommand::Kind kind;
        char arg; // '-' none, 'n' number, 'b' on|off, 't' text, 'f' firmware, 'o' optional number
        long maxValue;
    };
    static const Entry table[] = {
        {"help", SimCommand::Help, '-', 0},          {"status", SimCommand::Status, '-', 0},
        {"normal", SimCommand::Normal, '-', 0},      {"fault", SimCommand::Fault, 'n', 9},
        {"clear", SimCommand::Clear, '-', 0},        {"silent", SimCommand::Silent, 'b', 0},
        {"short", SimCommand::Short, 'n', 1000},     {"long", SimCommand::Long, 'n', 1000},
        {"garble", SimCommand::Garble, 'n', 1000},   {"stray", SimCommand::Stray, 't', 0},
        {"next", SimCommand::Next, 't', 0},          {"delay", SimCommand::Delay, 'n', 600000},
        {"drop", SimCommand::Drop, 'n', 1000000},    {"nul", SimCommand::Nul, 'b', 0},
        {"firmware", SimCommand::Firmware, 'f', 0},  {"noise", SimCommand::Noise, 'b', 0},
        {"reopen", SimCommand::Reopen, 'o', 600000}, {"unlink", SimCommand::Unlink, '-', 0},
        {"mute", SimCommand::Mute, 't', 0},
    };
    const Entry* entry = nullptr;
    for (const Entry& e : table)
        if (word == e.name)
            entry = &e;
    if (!entry) {
        *error = "unknown command '" + word + "' (try help)";
        return false;
    }
    out->kind = entry->kind;
    const std::string usage = std::string(entry->name);
    switch (entry->arg) {
    case '-':
        if (!args.empty()) {
            *error = usage + " takes no argument";
            return false;
        }
        return true;
    case 'n':
    case 'o':
        if (args.empty() && entry->arg == 'o') {
            out->number = 500;
            return true;
        }
        if (args.size() != 1 || !ParseNumber(args[0], entry->maxValue, &out->number)) {
            *error = usage + " needs one number from " +
                     (entry->kind == SimCommand::Fault ? "1" : "0") + " to " +
                     std::to_string(entry->maxValue);
            return false;
        }
        if (entry->kind == SimCommand::Fault && out->number < 1) {
            *error = "fault needs a flag number from 1 to 9";
            return false;
        }
        return true;
    case 'b':
        if (args.size() != 1 || (args[0] != "on" && args[0] != "off")) {
            *error = usage + " needs on or off";
            return false;
        }
        out->on = args[0] == "on";
        return true;
    case 'f':
        if (args.size() != 1 || !CGeneratorModel::ValidFirmware(args[0])) {
            *error = "firmware needs exactly four printable characters, e.g. 2000";
            return false;
        }
        out->text = args[0];
        return true;
    case 't': {
        if (rest.empty()) {
            *error = usage + " needs a TEXT";
            return false;
        }
        std::string why;
        if (!Unescape(rest, &out->text, &why)) {
            *error = usage + ": " + why;
            return false;
        }
        return true;
    }
    }
    return true;
}

namespace {

std::string StatusLine(CGeneratorModel& model, std::int64_t now)
{
    const Readings r = model.ReadingsAt(now);
    const Injections& in = model.Inject();
    auto tenths = [](double v) {
        long x = std::lround(v);
        char b[32];
        std::snprintf(b, sizeof b, "%ld.%ld", x / 10, x % 10);
        return std::string(b);
    };
    auto digits4 = [](long v) {
        char b[16];
        std::snprintf(b, sizeof b, "%04ld", v);
        return std::string(b);
    };
    std::string s = "set VP" + digits4(model.VoltageSet()) + " CP" + digits4(model.CurrentSet()) +
                    " ENBL" + (model.Enabled() ? "1" : "0") + " | kV " + tenths(r.kv) + " uA " +
                    std::to_string(std::lround(r.ua)) + " temp " + tenths(r.temp) + " | FLT " +
                    model.FaultText() + " | firmware " + model.Firmware() + " noise " +
                    (model.Noise() ? "on" : "off") + " | injections:";
    std::string inj;
    if (in.silent)
        inj += " silent";
    if (in.shortK)
        inj += " short " + std::to_string(in.shortK);
    if (in.longK)
        inj += " long " + std::to_string(in.longK);
    if (in.garbleK)
        inj += " garble " + std::to_string(in.garbleK);
    if (in.strayPending)
        inj += " stray " + Visible(in.stray);
    if (!in.nextReplies.empty())
        inj += " next x" + std::to_string(in.nextReplies.size());
    if (in.delayMs)
        inj += " delay " + std::to_string(in.delayMs);
    if (in.dropN)
        inj += " drop " + std::to_string(in.dropN);
    if (in.nul)
        inj += " nul";
    if (!in.mute.empty())
        inj += " mute " + Visible(in.mute);
    return s + (inj.empty() ? " none" : inj);
}

} // namespace

std::string ApplyCommand(const SimCommand& p, CGeneratorModel& model, std::int64_t now)
{
    auto onOff = [](bool b) { return std::string(b ? "on" : "off"); };
    Injections& in = model.Inject();
    switch (p.kind) {
    case SimCommand::Empty:
        return "";
    case SimCommand::Help:
        return kCommandHelp;
    case SimCommand::Status:
        return StatusLine(model, now);
    case SimCommand::Normal:
        in = Injections();
        return "ok no injections (faults stay)";
    case SimCommand::Fault:
        model.RaiseFault(int(p.number), now);
        return "ok fault " + std::to_string(p.number) + " raised, output off";
    case SimCommand::Clear:
        model.ClearFaults(now);
        return "ok faults cleared";
    case SimCommand::Silent:
        in.silent = p.on;
        return "ok silent " + onOff(in.silent);
    case SimCommand::Short:
        in.shortK = p.number;
        return "ok short " + std::to_string(in.shortK);
    case SimCommand::Long:
        in.longK = p.number;
        return "ok long " + std::to_string(in.longK);
    case SimCommand::Garble:
        in.garbleK = p.number;
        return "ok garble " + std::to_string(in.garbleK);
    case SimCommand::Stray:
        in.stray = p.text;
        in.strayPending = true;
        return "ok stray " + Visible(in.stray) + " before the next reply";
    case SimCommand::Next:
        in.nextReplies.push_back(p.text);
        return "ok next reply " + Visible(p.text) + " (" + std::to_string(in.nextReplies.size()) +
               " queued)";
    case SimCommand::Delay:
        in.delayMs = p.number;
        return "ok delay " + std::to_string(in.delayMs) + " ms";
    case SimCommand::Drop:
        in.dropN = p.number;
        return "ok dropping the next " + std::to_string(in.dropN) + " frame(s)";
    case SimCommand::Mute:
        in.mute = p.text == "-" ? std::string() : p.text;
        return in.mute.empty() ? "ok mute off" : "ok mute " + Visible(in.mute);
    case SimCommand::Nul:
        in.nul = p.on;
        return "ok nul " + onOff(in.nul);
    case SimCommand::Firmware:
        model.SetFirmware(p.text);
        return "ok firmware " + model.Firmware();
    case SimCommand::Noise:
        model.SetNoise(p.on);
        return "ok noise " + onOff(model.Noise());
    case SimCommand::Reopen:
    case SimCommand::Unlink:
        break;
    }
    return "error: internal: the line's commands are not the generator's";
}

} // namespace ondrel::sim
