// An archive's rows as the tests compare them: one line per row, its columns
// joined by '|' (NULL as empty).
#pragma once

#include "readingblock.h"
#include "sqldatabase.h"

#include <QHash>
#include <QStringList>
#include <vector>

namespace ondrel::test {

inline QStringList RowLines(const std::vector<archive::SqlRow>& rows)
{
    QStringList lines;
    for (const archive::SqlRow& row : rows) {
        QStringList columns;
        for (const QVariant& v : row)
            columns << v.toString();
        lines << columns.join(QLatin1Char('|'));
    }
    return lines;
}

// The stored readings as runs of identical ones (same texts and flags, the same
// console start, consecutive sequence numbers or, without any, no step back in
// time), one line per run in the order the runs began, with the columns asked
// for: first_seq, last_seq, count, first_ms, kv, xray_on. How they are packed
// is the archive's business; what they say is the test's.
inline QStringList RunLines(archive::ISqlDatabase& db, const QStringList& columns)
{
    std::vector<archive::SqlRow> blocks;
    QString error;
    if (!db.Query(QStringLiteral("SELECT generator, started_ms, data FROM reading_blocks ORDER "
                                 "BY id"),
                  {}, &blocks, &error))
        return {error};
    struct Run
    {
        QString generator;
        QVariant started;
        archive::StoredRun run;
    };
    std::vector<Run> runs;
    QHash<QString, size_t> last; // each generator's latest run
    for (const archive::SqlRow& b : blocks) {
        std::vector<archive::StoredRun> decoded;
        if (!archive::DecodeBlock(b[2].toByteArray(), &decoded, &error))
            return {error};
        const QString generator = b[0].toString();
        for (const archive::StoredRun& r : decoded) {
            const auto at = last.constFind(generator);
            if (at != last.constEnd()) {
                Run& open = runs[*at];
                archive::StoredRun& o = open.run;
                const bool follows = o.firstSeq ? r.firstSeq && *r.firstSeq == *o.lastSeq + 1
                                                : !r.firstSeq && r.firstMs >= o.lastMs;
                if (open.started == b[1] && follows && o.kv == r.kv && o.ua == r.ua &&
                    o.temperature == r.temperature && o.faults == r.faults &&
                    o.xrayOn == r.xrayOn && o.fault == r.fault) {
                    o.count += r.count;
                    o.lastMs = r.lastMs;
                    o.lastSeq = r.lastSeq;
                    continue;
                }
            }
            last.insert(generator, runs.size());
            runs.push_back({generator, b[1], r});
        }
    }
    const auto text = [](const std::optional<qint64>& v) {
        return v ? QString::number(*v) : QString();
    };
    QStringList lines;
    for (const Run& run : runs) {
        const archive::StoredRun& r = run.run;
        QStringList line;
        for (const QString& c : columns) {
            if (c == QLatin1String("first_seq"))
                line << text(r.firstSeq);
            else if (c == QLatin1String("last_seq"))
                line << text(r.lastSeq);
            else if (c == QLatin1String("count"))
                line << QString::number(r.count);
            else if (c == QLatin1String("first_ms"))
                line << QString::number(r.firstMs);
            else if (c == QLatin1String("kv"))
                line << r.kv;
            else if (c == QLatin1String("xray_on"))
                line << (r.xrayOn ? QString::number(int(*r.xrayOn)) : QString());
            else
                line << QStringLiteral("<no column %1>").arg(c);
        }
        lines << line.join(QLatin1Char('|'));
    }
    return lines;
}

} // namespace ondrel::test
