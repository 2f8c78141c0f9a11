// CMSComm: the communications control as the console drives it. Each property
// mirrors one the console puts or gets; a failing call throws CCommError, the
// counterpart of the control's dispatch exception, and the console's handlers
// turn that into a message instead of letting it reach the event loop.
#pragma once

#include "serialdevice.h"

#include <QString>
#include <QVariant>
#include <memory>
#include <optional>
#include <stdexcept>

namespace ondrel {

class CCommError : public std::runtime_error
{
public:
    explicit CCommError(const QString& message);
    QString Message() const { return QString::fromUtf8(what()); }
};

// The bytes an Output or Input value carries: a string as Latin-1 text, one byte
// per 16-bit unit, or a byte array as it is. Any other type carries none.
std::optional<QByteArray> VariantBytes(const QVariant& data);

class CMSComm
{
public:
    // With no device the real serial port is used. `portOverride` is the device
    // that port 1 stands for; empty: /dev/ttyS0.
    explicit CMSComm(std::unique_ptr<CSerialDevice> device = nullptr,
                     const QString& portOverride = QString());
    ~CMSComm();
    CMSComm(const CMSComm&) = delete;
    CMSComm& operator=(const CMSComm&) = delete;

    void SetDevice(std::unique_ptr<CSerialDevice> device);
    CSerialDevice& Device() { return *m_device; }

    // Port n is /dev/ttyS(n-1) unless an override is set, which then stands for port 1.
    void SetPortOverride(const QString& devicePath) { m_portOverride = devicePath; }
    QString PortOverride() const { return m_portOverride; }
    QString DevicePathFor(short port) const;

    void SetCommPort(short port); // throws while the port is open, or for port < 1
    short GetCommPort() const { return m_commPort; }
    void SetSettings(const QString& settings); // throws on a malformed string
    QString GetSettings() const { return m_settingsText; }
    void SetInputLen(short length); // throws if negative
    short GetInputLen() const { return m_inputLen; }
    void SetInputMode(long mode); // 0 = text, 1 = binary; other values throw
    long GetInputMode() const { return m_inputMode; }
    void SetPortOpen(bool open); // throws with the device path and the system's reason
    bool GetPortOpen() const;
    void SetOutput(const QVariant& data); // throws when closed or the write fails
    short GetInBufferCount();             // throws when closed
    QVariant GetInput();                  // throws when closed

    // The path the port property maps to right now.
    QString DevicePath() const { return DevicePathFor(m_commPort); }

private:
    std::unique_ptr<CSerialDevice> m_device;
    QString m_portOverride;
    short m_commPort = 1;
    QString m_settingsText = QStringLiteral("9600,N,8,1");
    LineSettings m_settings;
    short m_inputLen = 0;
    long m_inputMode = 0;
};

} // namespace ondrel
