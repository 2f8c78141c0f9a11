// CQSerialDevice: the real line, over QSerialPort.
//
// QSerialPort only moves data between its own buffers and the descriptor when
// the event loop runs, and the console's wait deliberately runs no event loop.
// So this device works around QSerialPort where it must: a write is flushed
// until nothing is pending, the receive count adds what the kernel still holds
// (FIONREAD) to what QSerialPort has buffered, and a read takes QSerialPort's
// buffer first and then the rest straight from the descriptor.
#pragma once

#include "replylag.h"
#include "serialdevice.h"

#include <QSerialPort>
#include <chrono>
#include <termios.h>

namespace ondrel {

class CQSerialDevice : public CSerialDevice
{
public:
    CQSerialDevice();
    ~CQSerialDevice() override;

    // path is a device node (/dev/ttyS0, /dev/ttyUSB0, a pty slave) or a symlink to one.
    bool Open(const QString& path, const LineSettings& settings, QString* error) override;
    void Close() override;
    bool IsOpen() const override;
    bool Configure(const LineSettings& settings, QString* error) override;
    bool Write(const QByteArray& bytes, QString* error) override;
    qint64 BytesAvailable(QString* error) override;
    QByteArray Read(qint64 maxBytes, QString* error) override;
    // In non-canonical mode with VTIME 0 the tty reports its descriptor readable
    // only once VMIN characters are queued, so the wait is woken once for the rest
    // of a reply rather than once a character. VMIN is set for the wait only;
    // QSerialPort's own reading never sees it.
    InputWake ArmWake(qint64 count) override;
    void DisarmWake() override;

    // The underlying port, for diagnostics and tests.
    QSerialPort& Port() { return m_port; }

private:
    class CallGuard;
    // Drops what the kernel holds for the line (open and close start clean).
    void DiscardInput();
    // Gives up a line that hung up: closes the descriptor, keeps the reason.
    bool Lose(const QString& reason, QString* error = nullptr);
    bool Usable(QString* error);
    bool Apply(const LineSettings& settings, QString* error);
    bool VerifyFraming(const LineSettings& settings, QString* error);
    // Bytes waiting in the kernel's receive queue; -1 with *error on failure.
    qint64 KernelQueued(QString* error);

    QSerialPort m_port;
    QString m_lost; // why the line was given up; empty while it is fine
    int m_inCall = 0;
    bool m_wakeArmed = false;
    bool m_wakeChanged = false; // VMIN and VTIME are the wait's, not the line's
    termios m_beforeWake{};     // the line's settings before ArmWake
    cc_t m_wakeVmin = 0;
    std::chrono::nanoseconds m_charTime{0}; // one character on the wire at the line's settings

    // With the generator's reply lag known, a wait sleeps straight through to
    // its reply's last character instead of being woken once more for the first.
    using Clock = std::chrono::steady_clock;
    enum class Arm
    {
        None,      // not armed since the last frame, or the wait has ended
        FirstChar, // woken by the reply's first character: measures the lag
        Predicted  // asleep until just before the reply's last character is due
    };
    CReplyLag m_lag;
    Clock::time_point m_lastWrite{};
    bool m_replyDue = false;     // a frame went out and the wait for its reply has not ended
    bool m_measureReply = false; // that reply is to be measured, not predicted
    Arm m_arm = Arm::None;
    Clock::time_point m_quietEnd{};
};

} // namespace ondrel
