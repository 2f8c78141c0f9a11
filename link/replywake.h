// CReplyWake: how a sleeping wait on a tty is woken for a reply, without
// QSerialPort, which moves data only while an event loop runs.
//
// In non-canonical mode with VTIME 0 the tty reports its descriptor readable
// only once VMIN characters are queued, so the wait is woken once for the rest
// of a reply rather than once a character. VMIN is set for the wait only and put
// back when it ends, so the line's own reading never sees it. With the
// generator's reply lag known, a wait sleeps straight through to its reply's
// last character instead of being woken once more for the first.
#pragma once

#include "replylag.h"
#include "serialdevice.h"

#include <chrono>
#include <termios.h>

namespace ondrel {

class CReplyWake
{
public:
    // VMIN is one byte wide.
    static constexpr qint64 kMaxVmin = 255;

    // The line's character format, at open and at each change: a character
    // takes another time on the wire, and a lag learned at another format says
    // nothing of this one.
    void LineSet(const LineSettings& settings);
    // A frame has just gone out: the next wait is for its reply.
    void FrameSent();
    // Arms fd to wake the wait once `target` (> 0) characters are queued in the
    // tty itself, `queued` (>= 0) of them there now. Unarmed when VMIN cannot
    // say it (a reply longer than it holds, already that far) or the tty refuses.
    InputWake Arm(int fd, qint64 target, qint64 queued);
    // The wait has ended: fd gets its VMIN and VTIME back (-1: the line is gone,
    // there is nothing to put back).
    void Disarm(int fd);

private:
    using Clock = std::chrono::steady_clock;
    enum class Phase
    {
        None,      // not armed since the last frame, or the wait has ended
        FirstChar, // woken by the reply's first character: measures the lag
        Predicted  // asleep until just before the reply's last character is due
    };

    std::chrono::nanoseconds m_charTime{0}; // one character on the wire at the line's settings
    bool m_armed = false;
    bool m_changed = false; // VMIN and VTIME are the wait's, not the line's
    termios m_before{};     // the line's settings before Arm
    cc_t m_vmin = 0;

    CReplyLag m_lag;
    Clock::time_point m_lastWrite{};
    bool m_replyDue = false;     // a frame went out and the wait for its reply has not ended
    bool m_measureReply = false; // that reply is to be measured, not predicted
    Phase m_phase = Phase::None;
    Clock::time_point m_quietEnd{};
};

} // namespace ondrel
