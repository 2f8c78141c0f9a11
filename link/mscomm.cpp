#include "mscomm.h"

#include "qserialdevice.h"

#include <algorithm>
#include <limits>

namespace ondrel {

namespace {

// The control's counts are 16-bit.
constexpr qint64 kMaxCount = 32767;

} // namespace

std::optional<QByteArray> VariantBytes(const QVariant& data)
{
    switch (data.typeId()) {
    case QMetaType::QString:
        return data.toString().toLatin1();
    case QMetaType::QByteArray:
        return data.toByteArray();
    default:
        return std::nullopt;
    }
}

CCommError::CCommError(const QString& message) : std::runtime_error(message.toUtf8().toStdString())
{}

CMSComm::CMSComm(std::unique_ptr<CSerialDevice> device, const QString& portOverride)
    : m_device(device ? std::move(device) : std::make_unique<CQSerialDevice>()),
      m_portOverride(portOverride)
{
    QString error;
    ParseSettings(m_settingsText, &m_settings, &error);
}

CMSComm::~CMSComm()
{
    if (m_device && m_device->IsOpen())
        m_device->Close();
}

void CMSComm::SetDevice(std::unique_ptr<CSerialDevice> device)
{
    if (m_device && m_device->IsOpen())
        m_device->Close();
    m_device = device ? std::move(device) : std::make_unique<CQSerialDevice>();
}

QString CMSComm::DevicePathFor(short port) const
{
    if (port == 1 && !m_portOverride.isEmpty())
        return m_portOverride;
    return QStringLiteral("/dev/ttyS%1").arg(int(port) - 1);
}

void CMSComm::SetCommPort(short port)
{
    if (GetPortOpen())
        throw CCommError(
            QStringLiteral("Cannot change the port number while %1 is open").arg(DevicePath()));
    if (port < 1)
        throw CCommError(
            QStringLiteral("Invalid port number %1: ports are numbered from 1").arg(int(port)));
    m_commPort = port;
}

void CMSComm::SetSettings(const QString& settings)
{
    LineSettings parsed;
    QString error;
    if (!ParseSettings(settings, &parsed, &error))
        throw CCommError(error);
    // An open port takes the new settings at once, as the control's does.
    if (GetPortOpen() && !m_device->Configure(parsed, &error)) {
        // Put the line back the way it was; a half-applied format helps nobody.
        QString ignored;
        m_device->Configure(m_settings, &ignored);
        throw CCommError(QStringLiteral("Cannot apply settings \"%1\" to %2: %3")
                             .arg(settings, DevicePath(), error));
    }
    m_settingsText = settings;
    m_settings = parsed;
}

void CMSComm::SetInputLen(short length)
{
    if (length < 0)
        throw CCommError(QStringLiteral("Invalid InputLen %1: it must be 0 (everything) or more")
                             .arg(int(length)));
    m_inputLen = length;
}

void CMSComm::SetInputMode(long mode)
{
    if (mode != 0 && mode != 1)
        throw CCommError(
            QStringLiteral("Invalid InputMode %1: it must be 0 (text) or 1 (binary)").arg(mode));
    m_inputMode = mode;
}

void CMSComm::SetPortOpen(bool open)
{
    if (open == GetPortOpen()) {
        if (open)
            throw CCommError(QStringLiteral("Port already open: %1").arg(DevicePath()));
        return;
    }
    if (!open) {
        m_device->Close();
        return;
    }
    const QString path = DevicePath();
    QString error;
    if (!m_device->Open(path, m_settings, &error))
        throw CCommError(QStringLiteral("Cannot open %1: %2").arg(path, error));
}

bool CMSComm::GetPortOpen() const
{
    return m_device && m_device->IsOpen();
}

void CMSComm::SetOutput(const QVariant& data)
{
    const std::optional<QByteArray> bytes = VariantBytes(data);
    if (!bytes)
        throw CCommError(
            QStringLiteral("Output takes a string or a byte array, not %1")
                .arg(QString::fromLatin1(data.typeName() ? data.typeName() : "an empty value")));
    if (!GetPortOpen())
        throw CCommError(QStringLiteral("Cannot send: port %1 is not open").arg(DevicePath()));
    QString error;
    if (!m_device->Write(*bytes, &error))
        throw CCommError(QStringLiteral("Cannot send to %1: %2").arg(DevicePath(), error));
}

short CMSComm::GetInBufferCount()
{
    if (!GetPortOpen())
        throw CCommError(QStringLiteral("Cannot count received characters: port %1 is not open")
                             .arg(DevicePath()));
    QString error;
    const qint64 count = m_device->BytesAvailable(&error);
    if (count < 0)
        throw CCommError(QStringLiteral("Cannot read from %1: %2").arg(DevicePath(), error));
    return short(std::min(count, kMaxCount));
}

QVariant CMSComm::GetInput()
{
    if (!GetPortOpen())
        throw CCommError(QStringLiteral("Cannot read: port %1 is not open").arg(DevicePath()));
    const qint64 limit = m_inputLen > 0 ? qint64(m_inputLen) : std::numeric_limits<int>::max();
    QString error;
    const QByteArray bytes = m_device->Read(limit, &error);
    if (!error.isEmpty())
        throw CCommError(QStringLiteral("Cannot read from %1: %2").arg(DevicePath(), error));
    if (m_inputMode == 1)
        return QVariant(bytes);
    // Latin-1 keeps every byte, NUL and 0x80-0xFF included, as one 16-bit unit.
    return QVariant(QString::fromLatin1(bytes));
}

} // namespace ondrel
