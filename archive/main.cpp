// ondrel-lab: the lab's archive of every console's readings, events and
// exposures, and the questions asked of it.
#include "labcommandline.h"
#include "labcommands.h"
#include "labserve.h"
#include "stderrwriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QSysInfo>
#include <cstdio>

using namespace ondrel::archive;

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ondrel-lab"));
    QCoreApplication::setApplicationVersion(QLatin1String(ONDREL_VERSION));
    const auto say = [](const QString& text) {
        ondrel::WriteStderr(QStringLiteral("ondrel-lab: %1\n").arg(text));
    };

    LabEnvironment env;
    env.defaultDb = DefaultArchivePath(RunsAsSystemService());
    env.systemZone = QTimeZone::systemTimeZone();
    env.now = QDateTime::currentDateTimeUtc();
    env.mqttPassword = qEnvironmentVariable("ONDREL_MQTT_PASSWORD");
    env.hostName = QSysInfo::machineHostName();
    // One run from the build tree serves the sources' copy of the page, so that
    // a change to it shows at once, and the stand-ins built beside it; an
    // installed one, those installed with it, under whatever prefix.
    const QDir bin(QCoreApplication::applicationDirPath());
    const bool built =
        bin.canonicalPath() == QDir(QStringLiteral(ONDREL_BUILT_BINDIR)).canonicalPath();
    env.webPageDir = built ? QStringLiteral(ONDREL_SOURCE_PAGE)
                           : QDir::cleanPath(bin.filePath(QStringLiteral(ONDREL_INSTALLED_PAGE)));
    env.tlsShimDir =
        built ? QStringLiteral(ONDREL_BUILT_TLS_SHIMS)
              : QDir::cleanPath(bin.filePath(QStringLiteral(ONDREL_INSTALLED_TLS_SHIMS)));
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    const ParsedCommandLine parsed = ParseLabCommandLine(args, env);
    if (!parsed.print.isEmpty()) {
        std::fputs(parsed.print.toLocal8Bit().constData(), stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitFailed;
    }
    if (!parsed.options) {
        ondrel::WriteStderr(QStringLiteral("ondrel-lab: %1\nTry 'ondrel-lab --help' for more "
                                           "information.\n")
                                .arg(parsed.error));
        return kExitUsage;
    }
    if (parsed.options->command == LabCommand::Serve)
        return RunServe(*parsed.options, StartArchiveSubscriber, say);

    const LabResult result = RunLabCommand(*parsed.options, env);
    for (const QString& message : result.messages)
        say(message);
    if (!result.out.isEmpty() && (std::fwrite(result.out.constData(), 1, size_t(result.out.size()),
                                              stdout) != size_t(result.out.size()) ||
                                  std::fflush(stdout) != 0)) {
        say(QStringLiteral("cannot write the output"));
        return kExitFailed;
    }
    return result.exitCode;
}
