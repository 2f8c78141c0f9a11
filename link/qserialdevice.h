// CQSerialDevice: the real line, over QSerialPort.
//
// QSerialPort only moves data between its own buffers and the descriptor when
// the event loop runs, and the console's wait deliberately runs no event loop.
// So this device works around QSerialPort where it must: a write is flushed
// until nothing is pending, the receive count adds what the kernel still holds
// (FIONREAD) to what QSerialPort has buffered, and a read takes QSerialPort's
// buffer first and then the rest straight from the descriptor.
#pragma once

#include "replywake.h"
#include "serialdevice.h"

#include <QSerialPort>

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
    // Through the tty's VMIN: see CReplyWake.
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
    CReplyWake m_wake;
};

} // namespace ondrel
