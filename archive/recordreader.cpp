#include "recordreader.h"

#include "recordformat.h"

namespace ondrel::archive {

namespace {

// Far above any row a console writes (a reading is under 200 bytes); a longer
// line is not a record's, and is not read whole into memory.
constexpr qint64 kLongestLine = 64 * 1024;
constexpr int kFields = 7;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Texts up to U+00FF stand for the bytes the generator sent; other text (a
// device path, a login name) was written as UTF-8.
QString TextOf(const QByteArray& bytes)
{
    QString text = QString::fromUtf8(bytes);
    return text.contains(QChar::ReplacementCharacter) ? QString::fromLatin1(bytes) : text;
}

} // namespace

std::optional<QList<QByteArray>> SplitCsvLine(const QByteArray& line, QString* error)
{
    QList<QByteArray> fields;
    QByteArray field;
    qsizetype i = 0;
    for (;;) {
        if (i < line.size() && line[i] == '"') {
            ++i;
            for (;;) {
                if (i >= line.size()) {
                    *error = QStringLiteral("a quoted field is not closed");
                    return std::nullopt;
                }
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i++];
            }
            if (i < line.size() && line[i] != ',') {
                *error = QStringLiteral("text after a quoted field's closing quote");
                return std::nullopt;
            }
        } else {
            while (i < line.size() && line[i] != ',') {
                if (line[i] == '"') {
                    *error = QStringLiteral("a double quote inside an unquoted field");
                    return std::nullopt;
                }
                field += line[i++];
            }
        }
        fields << field;
        field.clear();
        if (i >= line.size())
            return fields;
        ++i; // the comma
    }
}

std::optional<QByteArray> UnescapeRecordField(const QByteArray& field)
{
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            bytes += field[i];
            continue;
        }
        if (i + 3 >= field.size())
            return std::nullopt;
        const int high = HexDigit(field[i + 2]);
        const int low = HexDigit(field[i + 3]);
        if (field[i + 1] != 'x' || high < 0 || low < 0)
            return std::nullopt;
        bytes += char(high * 16 + low);
        i += 3;
    }
    return bytes;
}

CRecordReader::Result CRecordReader::Bad(const QString& why, QString* error) const
{
    *error = QStringLiteral("%1:%2: %3").arg(m_name).arg(m_line).arg(why);
    return Result::Bad;
}

CRecordReader::Result CRecordReader::Next(RecordRow* row, QString* error)
{
    for (;;) {
        if (m_device.atEnd())
            return Result::End;
        QByteArray line = m_device.readLine(kLongestLine + 1);
        ++m_line;
        if (line.isEmpty() && !m_device.atEnd())
            return Bad(QStringLiteral("cannot be read: %1").arg(m_device.errorString()), error);
        if (line.size() > kLongestLine && !line.endsWith('\n'))
            return Bad(QStringLiteral("a line longer than %1 bytes; not an exposure record")
                           .arg(kLongestLine),
                       error);
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (m_line == 1 && line.startsWith("\xEF\xBB\xBF"))
            line.remove(0, 3);
        // A record rotated and made anew starts with the header again.
        if (line.isEmpty() || line == kRecordHeader)
            continue;
        if (m_line == 1)
            return Bad(QStringLiteral("not an exposure record: its first line is not \"%1\"")
                           .arg(QLatin1String(kRecordHeader)),
                       error);
        QString why;
        const std::optional<QList<QByteArray>> fields = SplitCsvLine(line, &why);
        if (!fields)
            return Bad(why, error);
        if (fields->size() != kFields)
            return Bad(QStringLiteral("%1 fields where a record's rows have %2")
                           .arg(fields->size())
                           .arg(kFields),
                       error);
        QList<QByteArray> bytes;
        for (int i = 0; i < kFields; ++i) {
            const std::optional<QByteArray> b = UnescapeRecordField(fields->at(i));
            if (!b)
                return Bad(QStringLiteral("field %1 has a backslash that is not \\xHH").arg(i + 1),
                           error);
            bytes << *b;
        }
        const QDateTime time =
            QDateTime::fromString(QString::fromLatin1(bytes[0]), Qt::ISODateWithMs);
        if (!time.isValid() || bytes[0].size() < 20)
            return Bad(QStringLiteral("\"%1\" is not a time like 2026-12-08T06:22:47.123Z")
                           .arg(QString::fromLatin1(bytes[0].left(40))),
                       error);
        const QString kind = QString::fromLatin1(bytes[1]);
        *row = RecordRow();
        row->line = m_line;
        if (kind == QLatin1String("reading")) {
            row->reading = Reading::FromForm(
                time.toUTC(), QString::fromLatin1(bytes[2]), QString::fromLatin1(bytes[3]),
                QString::fromLatin1(bytes[4]), QString::fromLatin1(bytes[5]), bytes[6]);
            return Result::Row;
        }
        const std::optional<EventKind> event = EventKindFromName(kind);
        if (!event)
            return Bad(QStringLiteral("\"%1\" is neither a reading nor an event a console writes")
                           .arg(kind.left(40)),
                       error);
        row->event = ConsoleEvent{time.toUTC(), *event, TextOf(bytes[6])};
        return Result::Row;
    }
}

} // namespace ondrel::archive
