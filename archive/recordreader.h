// A console's exposure record (docs/record.md) read back row by row, for
// importing what the broker never brought: bounded memory however long the
// file, and every refusal names the line.
#pragma once

#include "model.h"

#include <QIODevice>
#include <QString>
#include <optional>

namespace ondrel::archive {

struct RecordRow
{
    qint64 line = 0;
    // One of the two.
    std::optional<Reading> reading;
    std::optional<ConsoleEvent> event;
};

class CRecordReader
{
public:
    enum class Result
    {
        Row,
        End,
        Bad // *error: "NAME:LINE: what is wrong"
    };

    // name: what messages call the file. The device must be open for reading.
    CRecordReader(QIODevice& device, QString name) : m_device(device), m_name(std::move(name)) {}

    Result Next(RecordRow* row, QString* error);

private:
    Result Bad(const QString& why, QString* error) const;

    QIODevice& m_device;
    const QString m_name;
    qint64 m_line = 0;
};

// A line's fields with RFC 4180 quoting undone; nothing, with *error, for a
// quote left open or text after a closing quote.
std::optional<QList<QByteArray>> SplitCsvLine(const QByteArray& line, QString* error);

// A record field's bytes with its \xHH escapes undone; nothing for a backslash
// that starts no escape.
std::optional<QByteArray> UnescapeRecordField(const QByteArray& field);

} // namespace ondrel::archive
