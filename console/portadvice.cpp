#include "portadvice.h"

#include <QSerialPortInfo>
#include <QStringList>

namespace ondrel {

QList<SerialPortEntry> SystemSerialPorts()
{
    QList<SerialPortEntry> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports.append(
            {info.systemLocation(), info.description(), info.manufacturer(), info.serialNumber()});
    return ports;
}

QString SerialPortListText(const QList<SerialPortEntry>& ports)
{
    if (ports.isEmpty())
        return QStringLiteral("No serial ports were found on this computer.\n");
    QString text = QStringLiteral("Serial ports on this computer:\n");
    for (const SerialPortEntry& port : ports) {
        QStringList details;
        if (!port.description.trimmed().isEmpty())
            details << port.description.trimmed();
        if (!port.manufacturer.trimmed().isEmpty())
            details << QStringLiteral("manufacturer %1").arg(port.manufacturer.trimmed());
        if (!port.serialNumber.trimmed().isEmpty())
            details << QStringLiteral("serial number %1").arg(port.serialNumber.trimmed());
        text += QStringLiteral("  ") + port.device;
        if (!details.isEmpty())
            text += QStringLiteral(" - ") + details.join(QStringLiteral(", "));
        text += QLatin1Char('\n');
    }
    return text;
}

QString PortOpenAdvice(const QString& reason, const QList<SerialPortEntry>& ports)
{
    QString text =
        SerialPortListText(ports) +
        QStringLiteral("Start Ondrel with --port DEVICE to choose the generator's port.\n");
    if (reason.contains(QLatin1String("Permission denied"), Qt::CaseInsensitive))
        text += QStringLiteral("On Debian the user must be in the dialout group: "
                               "sudo adduser $USER dialout, then log in again.\n");
    return text;
}

} // namespace ondrel
