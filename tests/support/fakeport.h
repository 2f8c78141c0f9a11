// CFakePort: an in-memory serial device on virtual time, for driving CMSComm and
// WaitForReply (and the console above them) without a line.
//
// Time: the port reads "now" from a CVirtualClock (or stays at 0 without one).
// Received bytes are scheduled to arrive at virtual times; a byte counts as
// received once clock.Now() >= its arrival time. Nothing has to be pumped: the
// wait's sleeps move the clock and the count follows. Armed by a wait, the port
// tells the clock when the armed count will be reached, as a tty with VMIN set
// wakes its poller once and not once a character.
//
// Scripting a generator: install a responder. Write() records the frame and then
// calls the responder with it, which usually schedules a reply:
//
//   port->SetResponder([port](const QByteArray& frame) {
//       if (frame == "\x02" "FREV\r")
//           port->ArriveIn("\x02" "2000\r", 3); // 3 virtual ms later
//   });
//   // or, for a fixed table (unknown frames get no reply):
//   port->AnswerFrames({{"\x02" "FREV\r", "\x02" "2000\r"}}, 3);
//
// Failures: each operation can be made to fail with a given text until the
// error is cleared (set an empty text). A failing Open leaves the port closed;
// failing Write records nothing and calls no responder; a failing
// BytesAvailable returns -1; a failing Read takes nothing.
//
// Bookkeeping for assertions: Written() frames, open/close/configure calls with
// their arguments, and how many times BytesAvailable and Read were called.
#pragma once

#include "serialdevice.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <utility>
#include <vector>

namespace ondrel {

class CVirtualClock;

class CFakePort : public CSerialDevice
{
public:
    using Responder = std::function<void(const QByteArray& frame)>;

    // clock may be nullptr: then "now" is always 0 and only ArriveNow / Arrive(.., 0)
    // bytes are ever received. The clock must outlive the port.
    explicit CFakePort(CVirtualClock* clock = nullptr);
    ~CFakePort() override;

    // --- Scripting arrivals -------------------------------------------------
    // bytes arrive together at virtual time atMs (absolute).
    void Arrive(const QByteArray& bytes, qint64 atMs);
    // bytes arrive now.
    void ArriveNow(const QByteArray& bytes) { Arrive(bytes, Now()); }
    // bytes arrive delayMs after now.
    void ArriveIn(const QByteArray& bytes, qint64 delayMs) { Arrive(bytes, Now() + delayMs); }
    // bytes arrive one at a time: the first at firstAtMs, each next msPerByte later
    // (as on a real line; 9600 8N1 is about 1.04 ms a character).
    void ArriveSpread(const QByteArray& bytes, qint64 firstAtMs, qint64 msPerByte);
    // Drops every byte still scheduled for the future (arrived bytes stay).
    void CancelScheduled();
    // Drops everything, arrived or scheduled.
    void ClearInput();

    // Called after every successful Write with the frame written; nullptr for none.
    void SetResponder(Responder responder) { m_responder = std::move(responder); }
    // A responder answering each frame found in the table with its reply, delayMs
    // after the write; frames not in the table get no answer.
    void AnswerFrames(std::vector<std::pair<QByteArray, QByteArray>> table, qint64 delayMs = 3);

    // --- Failures (sticky until set back to an empty text) ------------------
    void SetOpenError(const QString& error) { m_openError = error; }
    void SetConfigureError(const QString& error) { m_configureError = error; }
    void SetWriteError(const QString& error) { m_writeError = error; }
    void SetCountError(const QString& error) { m_countError = error; }
    void SetReadError(const QString& error) { m_readError = error; }
    // Count, read and write all fail with text (a device that went away).
    void HangUp(const QString& text = QStringLiteral("Input/output error"));

    // --- Inspection ----------------------------------------------------------
    qint64 Now() const;
    // Arrived and not yet read (what BytesAvailable would return, without counting a call).
    QByteArray Pending() const;
    // Bytes scheduled for later than now.
    int ScheduledCount() const;
    const QList<QByteArray>& Written() const { return m_written; }
    void ClearWritten() { m_written.clear(); }

    int OpenCalls() const { return m_openCalls; }
    int CloseCalls() const { return m_closeCalls; }
    QString LastOpenPath() const { return m_lastOpenPath; }
    // Settings given to the last Open, and to every Configure in order.
    LineSettings OpenSettings() const { return m_openSettings; }
    const QList<LineSettings>& Configured() const { return m_configured; }
    // The settings in force right now (Open's, then each successful Configure's).
    LineSettings CurrentSettings() const { return m_current; }

    // false: ArmWake offers no wake-up, as a device without one, and the wait steps.
    void SetWakeSupported(bool supported) { m_wakeSupported = supported; }
    // Whether a wait has the port armed right now, and how many ArmWake calls came.
    bool WakeArmed() const { return m_wakeArmed; }
    int ArmCalls() const { return m_armCalls; }

    int CountCalls() const { return m_countCalls; } // BytesAvailable calls
    int ReadCalls() const { return m_readCalls; }
    void ResetCallCounts();

    // --- CSerialDevice -------------------------------------------------------
    bool Open(const QString& path, const LineSettings& settings, QString* error) override;
    void Close() override;
    bool IsOpen() const override { return m_open; }
    bool Configure(const LineSettings& settings, QString* error) override;
    bool Write(const QByteArray& bytes, QString* error) override;
    qint64 BytesAvailable(QString* error) override;
    QByteArray Read(qint64 maxBytes, QString* error) override;
    InputWake ArmWake(qint64 count) override;
    void DisarmWake() override;

private:
    struct Arrival
    {
        qint64 atMs;
        char byte;
    };
    int ArrivedCount() const;

    CVirtualClock* m_clock;
    std::vector<Arrival> m_input; // kept in arrival order (stable for equal times)
    Responder m_responder;
    QString m_openError, m_configureError, m_writeError, m_countError, m_readError;
    QList<QByteArray> m_written;
    bool m_open = false;
    int m_openCalls = 0;
    int m_closeCalls = 0;
    QString m_lastOpenPath;
    LineSettings m_openSettings;
    LineSettings m_current;
    QList<LineSettings> m_configured;
    int m_countCalls = 0;
    int m_readCalls = 0;
    bool m_wakeSupported = true;
    bool m_wakeArmed = false;
    qint64 m_wakeCount = 0;
    int m_armCalls = 0;
};

} // namespace ondrel
