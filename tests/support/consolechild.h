// For the tests that run the whole console in a process of their own: the
// child's one-line reports, the parent's wait for them, and the exposure record's
// events as the parent reads them from the file.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <cstdio>
#include <utility>

namespace ondrel::testing {

inline void Say(const QByteArray& line)
{
    std::fputs((line + '\n').constData(), stdout);
    std::fflush(stdout);
}

// The child's next line, which must begin with `expected`.
inline bool ReadLine(QProcess& child, const QByteArray& expected, int deadlineMs)
{
    QDeadlineTimer deadline(deadlineMs);
    while (!child.canReadLine() && !deadline.hasExpired() && child.state() == QProcess::Running)
        child.waitForReadyRead(100);
    const QByteArray line = child.readLine().trimmed();
    if (!line.startsWith(expected))
        qWarning("the console said \"%s\", not \"%s\"", line.constData(), expected.constData());
    return line.startsWith(expected);
}

// The record's event rows, as "event" or "event detail"; readings left out.
inline QStringList RecordEvents(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<no record>")};
    QStringList events;
    const QList<QByteArray> rows = file.readAll().split('\n');
    for (QByteArray row : rows.mid(1)) {
        row = row.trimmed();
        QList<QByteArray> fields;
        QByteArray field;
        bool quoted = false;
        for (char c : row) {
            if (c == '"')
                quoted = !quoted;
            else if (c == ',' && !quoted)
                fields << std::exchange(field, QByteArray());
            else
                field += c;
        }
        fields << field;
        if (fields.size() < 7 || fields[1] == "reading")
            continue;
        events << QString::fromLatin1(fields[6].isEmpty() ? fields[1]
                                                          : fields[1] + ' ' + fields[6]);
    }
    return events;
}

} // namespace ondrel::testing
