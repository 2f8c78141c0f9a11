// What to tell an operator whose port did not open: the serial ports this
// computer has, how to choose one, and the group that grants access on Debian.
#pragma once

#include <QList>
#include <QString>
#include <functional>

namespace ondrel {

struct SerialPortEntry
{
    QString device; // e.g. /dev/ttyUSB0
    QString description;
    QString manufacturer;
    QString serialNumber;
};

using SerialPortLister = std::function<QList<SerialPortEntry>()>;

// The ports the system reports.
QList<SerialPortEntry> SystemSerialPorts();

// One port a line, or a sentence saying there are none; ends with a newline.
QString SerialPortListText(const QList<SerialPortEntry>& ports);

// For a port that failed to open with `reason`: the list, how to choose a port,
// and, when the reason is a refused permission, how to get it.
QString PortOpenAdvice(const QString& reason, const QList<SerialPortEntry>& ports);

} // namespace ondrel
