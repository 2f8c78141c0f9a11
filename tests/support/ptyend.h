// One end of a pseudo-terminal, read and written with plain system calls and
// deadlines, never an event loop, so a test sees exactly the bytes a serial
// line carries while the code under test blocks in its own wait.
//
// Either end can be had: a new pair, of which this is the generator's side (the
// master) and SlavePath() is the device to give the console; or the console's
// side of an existing line, opened by path in raw mode.
#pragma once

#include <QByteArray>
#include <QString>
#include <string>
#include <termios.h>

namespace ondrel {

class CPtyEnd
{
public:
    static constexpr int kGenerousMs = 10000;

    CPtyEnd(); // a new pair
    explicit CPtyEnd(const std::string& device);
    ~CPtyEnd();
    CPtyEnd(const CPtyEnd&) = delete;
    CPtyEnd& operator=(const CPtyEnd&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    QString SlavePath() const { return m_slavePath; } // a pair's device; empty otherwise

    // Hangs up this end.
    void Close();
    // A pair's own slave descriptor would keep the line up after the console's
    // side hangs up; drop it once the device under test has the line open.
    void DropOwnSlave();

    bool Send(const QByteArray& bytes, int deadlineMs = kGenerousMs);
    // Reads until n bytes have arrived or the deadline passes; returns what came.
    QByteArray Read(qsizetype n, int deadlineMs = kGenerousMs);
    // Whatever is waiting now, without waiting for more.
    QByteArray Drain();
    QByteArray Exchange(const QByteArray& frame, qsizetype replyLength);
    // True once the other end has gone away (the cable was pulled).
    bool WaitHangup(int deadlineMs = kGenerousMs);
    // The line settings as the other end left them.
    termios Termios() const;

private:
    int m_fd = -1;
    int m_slave = -1;
    QString m_slavePath;
};

} // namespace ondrel
