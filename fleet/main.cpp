// ondrel-fleet: every Ondrel console under one root of an MQTT broker, in one
// read-only window.
#include "fleetmodel.h"
#include "fleetsubscriber.h"
#include "fleetwindow.h"
#include "mqttsettings.h"
#include "stderrwriter.h"

#include <QApplication>
#include <QDateTime>
#include <QStringList>
#include <QSysInfo>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kUsageExitCode = 2;

const char* const kHelp =
    "Usage: ondrel-fleet URL [OPTION]...\n"
    "Shows every Ondrel console that publishes under one root of an MQTT broker in\n"
    "one read-only window: its state, its read-outs, its last events, and an alarm\n"
    "list of what needs attention. It publishes nothing.\n"
    "\n"
    "  URL                        mqtt://[user@]host[:port][/root] or mqtts://...\n"
    "                             (ports 1883 and 8883 by default); the consoles\n"
    "                             whose prefix lies under root are shown, ondrel\n"
    "                             when the URL has no path\n"
    "      --mqtt-password-file FILE  the broker password: the first line of FILE\n"
    "                             (else ONDREL_MQTT_PASSWORD); needs user@ in URL\n"
    "      --mqtt-ca FILE         verify the TLS broker against the CAs in FILE\n"
    "                             rather than the system's\n"
    "  -h, --help                 show this help and exit\n"
    "      --version              show the version and exit\n"
    "\n"
    "A password in the URL is refused and none is ever printed. With TLS the\n"
    "broker's certificate and host name are always verified. A malformed URL or an\n"
    "unreadable password or CA file ends the program with exit status 2.\n";

void SayOnStdout(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

int Usage(const QString& error)
{
    ondrel::WriteStderr(QStringLiteral("ondrel-fleet: %1\nTry 'ondrel-fleet --help' for more "
                                       "information.\n")
                            .arg(error));
    return kUsageExitCode;
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList urls;
    QString passwordFile;
    QString caFile;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        auto value = [&](const char* name, QString* into) {
            const QString option = QLatin1String(name);
            if (arg.startsWith(option + QLatin1Char('='))) {
                *into = arg.mid(option.size() + 1);
                return true;
            }
            if (arg != option)
                return false;
            if (i + 1 >= argc) {
                *into = QString();
                return true;
            }
            *into = QString::fromLocal8Bit(argv[++i]);
            return true;
        };
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            SayOnStdout(QString::fromUtf8(kHelp));
            return 0;
        }
        if (arg == QLatin1String("--version")) {
            SayOnStdout(QStringLiteral("ondrel-fleet %1\n").arg(QLatin1String(ONDREL_VERSION)));
            return 0;
        }
        if (value("--mqtt-password-file", &passwordFile)) {
            if (passwordFile.isEmpty())
                return Usage(QStringLiteral("--mqtt-password-file needs a file name."));
        } else if (value("--mqtt-ca", &caFile)) {
            if (caFile.isEmpty())
                return Usage(QStringLiteral("--mqtt-ca needs a file name."));
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1 &&
                   !arg.startsWith(QLatin1String("-platform")) &&
                   !arg.startsWith(QLatin1String("-style"))) {
            return Usage(QStringLiteral("unknown option \"%1\".").arg(arg));
        } else if (arg.startsWith(QLatin1Char('-'))) {
            ++i; // the toolkit's own, with its value
        } else {
            urls << arg;
        }
    }
    if (urls.isEmpty())
        return Usage(QStringLiteral("the broker's URL is missing."));
    if (urls.size() > 1)
        return Usage(QStringLiteral("only one URL may be given."));
    QString error;
    const std::optional<ondrel::MqttSettings> settings = ondrel::MqttSettingsFromOptions(
        urls, passwordFile, caFile, qEnvironmentVariable("ONDREL_MQTT_PASSWORD"),
        QSysInfo::machineHostName(), &error, QStringLiteral("ondrel"), QStringLiteral("URL"));
    if (!settings)
        return Usage(error);

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        ondrel::WriteStderr(
            QStringLiteral("ondrel-fleet: no graphical session (DISPLAY and "
                           "WAYLAND_DISPLAY are unset); run it with "
                           "QT_QPA_PLATFORM=offscreen to start it without a window.\n"));
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ondrel Fleet"));
    QApplication::setApplicationVersion(QLatin1String(ONDREL_VERSION));
    ondrel::fleet::CFleetModel model(settings->prefix,
                                     [] { return QDateTime::currentMSecsSinceEpoch(); });
    ondrel::fleet::CFleetWindow window(&model);
    ondrel::lab::CFleetSubscriber subscriber(*settings);
    subscriber.Feed(&model);
    QObject::connect(&subscriber, &ondrel::lab::CFleetSubscriber::statusMessage, &window,
                     &ondrel::fleet::CFleetWindow::SetLinkMessage);
    if (!subscriber.Start(&error)) {
        ondrel::WriteStderr(QStringLiteral("ondrel-fleet: %1\n").arg(error));
        return kUsageExitCode;
    }
    window.SetLinkMessage(QStringLiteral("Broker: connecting to %1").arg(settings->Endpoint()));
    window.show();
    const int code = app.exec();
    subscriber.Stop();
    return code;
}
