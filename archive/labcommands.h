// What each ondrel-lab command does, apart from the process: options in, the
// text for standard output and the messages for standard error out, and the
// exit status.
#pragma once

#include "archive.h"
#include "labcommandline.h"

#include <QByteArray>
#include <QStringList>
#include <memory>

namespace ondrel::archive {

constexpr int kExitFailed = 1; // the archive cannot be opened, read or written; a refusal
constexpr int kExitUsage = 2;

struct LabResult
{
    int exitCode = 0;
    QByteArray out;
    QStringList messages; // each a line for standard error, without the program's name
};

// Every command but serve, which runs until it is stopped (see labserve.h).
LabResult RunLabCommand(const LabOptions& options, const LabEnvironment& env);

// A query command (exposures, beam-time, gaps, verify, status) on an archive
// already open: what RunLabCommand prints for it, and what the web service
// serves as its downloads.
LabResult RunLabQuery(const LabOptions& options, const LabEnvironment& env, CArchive& archive);

// Opens the archive for writing, making its folder first when absent.
std::unique_ptr<CArchive> OpenArchiveForWriting(const QString& path, ArchiveOptions archiveOptions,
                                                QString* error);

} // namespace ondrel::archive
