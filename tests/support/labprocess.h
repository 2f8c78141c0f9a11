// `ondrel-lab serve` with its web page in a child process, as a lab runs it.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>

namespace ondrel::testing {

// Started and waited for until it says it is subscribed and serving the page
// (or has ended, or 20 s have gone); what it said is kept in *said either way.
inline bool StartServeWithPage(QProcess& lab, const QString& binary, const QStringList& arguments,
                               QByteArray* said)
{
    lab.setProcessChannelMode(QProcess::MergedChannels);
    lab.start(binary, arguments);
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && lab.state() != QProcess::NotRunning) {
        lab.waitForReadyRead(100);
        *said += lab.readAll();
        if (said->contains("Broker: subscribed to ") && said->contains("web: the live page is on"))
            return true;
    }
    return false;
}

} // namespace ondrel::testing
