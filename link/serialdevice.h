// The seam between CMSComm and a real line. Production code uses the
// QSerialPort-backed device; tests substitute an in-memory one so the bounded
// wait can run on a virtual clock.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <chrono>

namespace ondrel {

enum class Parity
{
    None,
    Even,
    Odd,
    Mark,
    Space
};
enum class StopBits
{
    One,
    OneAndHalf,
    Two
};

struct LineSettings
{
    qint32 baud = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    bool operator==(const LineSettings& o) const
    {
        return baud == o.baud && parity == o.parity && dataBits == o.dataBits &&
               stopBits == o.stopBits;
    }
};

// Parses "baud,parity,data,stop" (e.g. "9600,N,8,1"). Returns false and sets
// *error on anything malformed: a wrong line setting must never be silently
// replaced by a default, or the generator would read garbage.
bool ParseSettings(const QString& text, LineSettings* out, QString* error);

// How a sleeping wait learns that input has come, without reading any of it.
struct InputWake
{
    int fd = -1;      // descriptor to poll(), or -1 for none
    short events = 0; // what to poll it for; with 0 it still wakes on a hang-up
    // False: nothing will wake the sleep, so the wait looks again every millisecond.
    bool armed = false;
    // What is missing cannot all be on the line sooner: no use polling before.
    std::chrono::nanoseconds quiet{0};
};

// Errors: a failing call sets *error (never left empty on failure, never set on
// success) and returns false / -1 / an empty array. Callers pass an empty string
// and test it after Read, where an empty result alone is no failure.
class CSerialDevice
{
public:
    virtual ~CSerialDevice() = default;

    // On failure returns false and sets *error to the system's reason.
    virtual bool Open(const QString& path, const LineSettings& settings, QString* error) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Changes the line settings of an open device.
    virtual bool Configure(const LineSettings& settings, QString* error) = 0;
    // Returns only once every byte has been handed to the line (not merely buffered).
    virtual bool Write(const QByteArray& bytes, QString* error) = 0;
    // Every received byte not yet taken by Read, wherever it is buffered. -1 on error.
    virtual qint64 BytesAvailable(QString* error) = 0;
    // Takes up to maxBytes received bytes, oldest first. Never blocks.
    virtual QByteArray Read(qint64 maxBytes, QString* error) = 0;
    // Arms a wake-up for when at least count received bytes wait in all, or the
    // line fails (count at or below what waits already: on a failure only).
    // Changes nothing a later Read sees; DisarmWake puts the line back as it was.
    virtual InputWake ArmWake(qint64 count) = 0;
    virtual void DisarmWake() = 0;
};

} // namespace ondrel
