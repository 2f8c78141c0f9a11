#include "labcommands.h"

#include "labreport.h"
#include "postgresdatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

namespace ondrel::archive {

namespace {

QDateTime LocalMidnight(const QDate& day, const QTimeZone& zone)
{
    return QDateTime(day, QTime(0, 0), zone);
}

LabResult Failed(const QString& message, int code = kExitFailed)
{
    LabResult r;
    r.exitCode = code;
    r.messages << message;
    return r;
}

LabResult Printed(const LabTable& table, OutputFormat format)
{
    LabResult r;
    r.out = FormatTable(table, format);
    return r;
}

qint64 FileSize(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() ? info.size() : 0;
}

LabResult Import(const LabOptions& o)
{
    QFile file(o.recordFile);
    if (QFileInfo(o.recordFile).isDir())
        return Failed(QStringLiteral("import: \"%1\" is a folder, not a record.").arg(o.recordFile),
                      kExitUsage);
    if (!file.open(QIODevice::ReadOnly))
        return Failed(
            QStringLiteral("import: cannot read \"%1\": %2.").arg(o.recordFile, file.errorString()),
            kExitUsage);
    QString error;
    QStringList complaints;
    ArchiveOptions archiveOptions;
    archiveOptions.complain = [&complaints](const QString& text) { complaints << text; };
    std::unique_ptr<CArchive> archive = OpenArchiveForWriting(o.db, archiveOptions, &error);
    if (!archive)
        return Failed(error);
    CRecordReader reader(file, o.recordFile);
    ImportCounts counts;
    if (!archive->Import(
            o.generator, [&reader](RecordRow* row, QString* why) { return reader.Next(row, why); },
            &counts, &error))
        return Failed(QStringLiteral("%1; nothing was imported").arg(error));
    LabResult r;
    r.messages = complaints;
    r.out = QStringLiteral("%1: %2 events and %3 readings imported for %4; %5 events and %6 "
                           "readings were in the archive already%7%8\n")
                .arg(o.recordFile)
                .arg(counts.events)
                .arg(counts.readings)
                .arg(o.generator)
                .arg(counts.eventsHad)
                .arg(counts.readingsHad)
                .arg(counts.recordOnly
                         ? QStringLiteral("; %1 record-continued rows are the file's own, not "
                                          "the console's, and were left out")
                               .arg(counts.recordOnly)
                         : QString())
                .arg(counts.exposures ? QStringLiteral("; %1 exposures added or closed from the "
                                                       "record")
                                            .arg(counts.exposures)
                                      : QString())
                .toUtf8();
    return r;
}

LabResult Query(const LabOptions& o, const LabEnvironment& env, CArchive& archive)
{
    QString error;
    switch (o.command) {
    case LabCommand::Exposures: {
        const auto found =
            archive.Exposures(LocalMidnight(*o.from, o.zone),
                              LocalMidnight(o.to->addDays(1), o.zone), o.generator, &error);
        if (!found)
            return Failed(error);
        return Printed(ExposuresTable(*found, o.zone), o.format);
    }
    case LabCommand::BeamTime: {
        const QDate to = o.to.value_or(env.now.toTimeZone(o.zone).date());
        QDate from = to;
        if (o.from) {
            from = *o.from;
        } else {
            const auto all =
                archive.Exposures(QDateTime::fromMSecsSinceEpoch(0, QTimeZone::utc()),
                                  LocalMidnight(to.addDays(1), o.zone), QString(), &error);
            if (!all)
                return Failed(error);
            for (const lab::ExposureInterval& e : *all)
                from = std::min(from, e.start.toTimeZone(o.zone).date());
        }
        const auto beam = archive.BeamTimeIn(o.by, LocalMidnight(from, o.zone),
                                             LocalMidnight(to.addDays(1), o.zone), o.zone, &error);
        if (!beam)
            return Failed(error);
        return Printed(BeamTimeTable(*beam), o.format);
    }
    case LabCommand::Gaps: {
        const auto gaps = archive.Gaps(o.generator, &error);
        if (!gaps)
            return Failed(error);
        return Printed(GapsTable(*gaps, o.zone), o.format);
    }
    case LabCommand::Verify: {
        const auto report = archive.Verify(&error);
        if (!report)
            return Failed(error);
        LabResult r;
        for (const QString& problem : report->problems)
            r.out += problem.toUtf8() + '\n';
        r.messages << QStringLiteral("%1: %2 chained rows checked, %3 problems")
                          .arg(o.db)
                          .arg(report->rowsChecked)
                          .arg(report->problems.size());
        r.exitCode = report->Ok() ? 0 : kExitFailed;
        return r;
    }
    case LabCommand::Status: {
        ArchiveFacts facts;
        const std::optional<qint64> onServer = archive.ServerDatabaseBytes(&error);
        facts.database = onServer ? archive.Name() : QFileInfo(o.db).absoluteFilePath();
        facts.now = env.now;
        facts.since = env.now.addDays(-7);
        const auto sizes = archive.TableSizes(facts.since, &error);
        if (!sizes)
            return Failed(error);
        facts.tables = *sizes;
        // A server's disk is not this computer's to measure: its free space stays unknown.
        facts.sizeBytes =
            onServer ? *onServer : FileSize(o.db) + FileSize(o.db + QStringLiteral("-wal"));
        const QStorageInfo disk(QFileInfo(o.db).absolutePath());
        if (!onServer && disk.isValid() && disk.isReady())
            facts.diskFreeBytes = disk.bytesAvailable();
        return Printed(StatusTable(facts), o.format);
    }
    case LabCommand::Import:
    case LabCommand::Serve:
        break;
    }
    return Failed(QStringLiteral("this command is not a query"), kExitUsage);
}

} // namespace

std::unique_ptr<CArchive> OpenArchiveForWriting(const QString& path, ArchiveOptions archiveOptions,
                                                QString* error)
{
    // A server's database has no folder here to make.
    const QString folder = QFileInfo(path).absolutePath();
    if (!CPostgresDatabase::IsUri(path) && !QDir().mkpath(folder)) {
        *error = QStringLiteral("%1: cannot make its folder %2").arg(path, folder);
        return nullptr;
    }
    return CArchive::Open(path, std::move(archiveOptions), error);
}

LabResult RunLabQuery(const LabOptions& options, const LabEnvironment& env, CArchive& archive)
{
    return Query(options, env, archive);
}

LabResult RunLabCommand(const LabOptions& options, const LabEnvironment& env)
{
    if (options.command == LabCommand::Import)
        return Import(options);
    if (options.command == LabCommand::Serve)
        return Failed(QStringLiteral("serve runs through RunServe"), kExitUsage);
    QString error;
    std::unique_ptr<CArchive> archive = CArchive::OpenReadOnly(options.db, &error);
    if (!archive)
        return Failed(error);
    return Query(options, env, *archive);
}

} // namespace ondrel::archive
