// A simulated X-ray generator on a pseudo-terminal. It runs on a thread of its
// own, so the console, tests and benchmarks can embed it; ondrel-sim wraps it as
// a program.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ondrel::sim {

struct Options
{
    std::string firmware = "2000"; // the four characters of the FREV reply
    bool baudPace = false;         // pace replies at 9600 8N1 (about 1.04 ms a character)
    int turnaroundMs = 2;          // think time between a frame and its reply
    std::string linkPath;          // if set, a symlink to the slave device is made here
    unsigned seed = 1;             // noise of the readings
    // Control commands (the same syntax as ondrel-sim's standard input) run at start.
    std::vector<std::string> startCommands;
};

class CGeneratorSim
{
public:
    explicit CGeneratorSim(Options options = {});
    ~CGeneratorSim(); // stops the thread, closes the pty, removes the link
    CGeneratorSim(const CGeneratorSim&) = delete;
    CGeneratorSim& operator=(const CGeneratorSim&) = delete;

    // Opens the pty and starts serving. False with *error set when the pty cannot be made.
    bool Start(std::string* error);
    void Stop();

    // The slave's device path (e.g. /dev/pts/5), valid after Start.
    std::string SlavePath() const;

    // Runs one control command (fault injection etc.; "help" lists them) and
    // returns its answer. Safe from any thread.
    std::string Command(const std::string& line);

    // Where the traffic log goes: one line per received frame or sent reply,
    // timestamped, STX and CR shown as <STX> and <CR>. Default: standard error.
    void SetLogSink(std::function<void(const std::string&)> sink);

    // Every frame received so far (raw bytes, STX and CR included), oldest first.
    std::vector<std::string> ReceivedFrames() const;
    void ClearReceivedFrames();
    // Counts of replies sent and of frames that got no reply.
    long RepliesSent() const;
    long FramesUnanswered() const;

    // Called with the new slave path whenever "reopen" has made a new pty pair
    // (from the simulator's thread, or from the caller's when not yet started).
    void SetPathSink(std::function<void(const std::string&)> sink);

    // Checks a control command's syntax without running it; false with *error set.
    static bool ValidateCommand(const std::string& line, std::string* error);

    // The control commands as "help" lists them.
    static const char* CommandHelp();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace ondrel::sim
