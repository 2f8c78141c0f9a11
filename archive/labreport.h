// The archive's answers as tables, and a table as CSV, aligned text or JSON:
// the shapes ondrel-lab prints.
#pragma once

#include "archive.h"
#include "labcommandline.h"

#include <QByteArray>
#include <QStringList>
#include <QVariant>
#include <vector>

namespace ondrel::archive {

struct LabColumn
{
    QString name;
    int decimals = -1; // for a number: fixed decimals; -1: as many as it has
};

// Cells are null (empty; null in JSON), integers, doubles or text.
struct LabTable
{
    std::vector<LabColumn> columns;
    std::vector<QVariantList> rows;
};

QByteArray FormatTable(const LabTable& table, OutputFormat format);

// Times are shown in zone, ISO 8601 with its offset.
LabTable ExposuresTable(const std::vector<lab::ExposureInterval>& exposures, const QTimeZone& zone);
LabTable BeamTimeTable(const BeamTime& beamTime);
LabTable GapsTable(const std::vector<Gap>& gaps, const QTimeZone& zone);

// What status reports, gathered.
struct ArchiveFacts
{
    QString database;
    qint64 sizeBytes = 0; // the file with its write-ahead log
    std::vector<TableSize> tables;
    QDateTime since; // the start of the growth's window
    QDateTime now;
    qint64 diskFreeBytes = -1; // -1: unknown
};
LabTable StatusTable(const ArchiveFacts& facts);

} // namespace ondrel::archive
