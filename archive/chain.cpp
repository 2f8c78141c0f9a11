#include "chain.h"

#include <QCryptographicHash>
#include <cmath>

namespace ondrel::archive {

const ChainTable& EventsChain()
{
    static const ChainTable chain{
        "events", {"id", "generator", "started_ms", "seq", "time_ms", "kind", "detail"}};
    return chain;
}

const ChainTable& IntervalsChain()
{
    static const ChainTable chain{"intervals",
                                  {"id", "generator", "start_ms", "change", "end_state",
                                   "earliest_end_ms", "latest_end_ms", "end_reason", "host",
                                   "user_name", "set_kv", "set_ua", "kv_n", "kv_sum", "kv_max",
                                   "ua_n", "ua_sum", "ua_max"}};
    return chain;
}

namespace {

// One column as bytes that no other value shares: a number the same whichever
// type the database hands it back as (80 and 80.0 alike), text and bytes with
// their lengths so that no two rows' columns run into each other.
void AppendCanonical(QByteArray& out, const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        out += "N;";
        return;
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        out += '#' + QByteArray::number(v.toLongLong()) + ';';
        return;
    case QMetaType::Double: {
        const double d = v.toDouble();
        if (std::floor(d) == d && std::fabs(d) < 9.0e15)
            out += '#' + QByteArray::number(qint64(d)) + ';';
        else
            out += '#' + QByteArray::number(d, 'g', 17) + ';';
        return;
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes = v.toByteArray();
        out += 'B' + QByteArray::number(bytes.size()) + ':' + bytes + ';';
        return;
    }
    default: {
        const QByteArray text = v.toString().toUtf8();
        out += 'T' + QByteArray::number(text.size()) + ':' + text + ';';
        return;
    }
    }
}

QString Rows(const char* table, qint64 first, qint64 last)
{
    return first == last
               ? QStringLiteral("%1 row %2").arg(QLatin1String(table)).arg(first)
               : QStringLiteral("%1 rows %2 to %3").arg(QLatin1String(table)).arg(first).arg(last);
}

} // namespace

QByteArray ChainHash(const QByteArray& prevHash, const SqlRow& columns)
{
    QByteArray data = prevHash + '|';
    for (const QVariant& v : columns)
        AppendCanonical(data, v);
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

bool VerifyChain(ISqlDatabase& db, const ChainTable& chain, QStringList* problems,
                 qint64* rowsChecked, QString* error)
{
    const QLatin1String table(chain.table);
    std::vector<SqlRow> head;
    if (!db.Query(QStringLiteral("SELECT last_id, last_hash FROM chain_heads WHERE chain = ?"),
                  {QString(table)}, &head, error))
        return false;
    const qint64 headId = head.empty() ? 0 : head[0][0].toLongLong();
    const QByteArray headHash = head.empty() ? QByteArray() : head[0][1].toString().toLatin1();

    std::vector<SqlRow> rows;
    if (!db.Query(QStringLiteral("SELECT %1, prev_hash, hash FROM %2 ORDER BY id")
                      .arg(chain.columns.join(QStringLiteral(", ")), table),
                  {}, &rows, error))
        return false;
    const int n = int(chain.columns.size());
    qint64 expected = 1;
    QByteArray prev;
    for (const SqlRow& row : rows) {
        const qint64 id = row[0].toLongLong();
        const QByteArray storedPrev = row[n].toString().toLatin1();
        const QByteArray stored = row[n + 1].toString().toLatin1();
        ++*rowsChecked;
        if (id < expected || id > headId || row[0].isNull()) {
            *problems << QStringLiteral("%1: inserted (not a row the archive stored)")
                             .arg(Rows(chain.table, id, id));
            continue;
        }
        const bool gap = id > expected;
        if (gap)
            *problems << QStringLiteral("%1: deleted").arg(Rows(chain.table, expected, id - 1));
        if (ChainHash(storedPrev, row.mid(0, n)) != stored)
            *problems << QStringLiteral("%1: edited (its content does not match its hash)")
                             .arg(Rows(chain.table, id, id));
        else if (!gap && storedPrev != prev)
            *problems << QStringLiteral("%1: replaced (row %2 no longer links to it)")
                             .arg(Rows(chain.table, id - 1, id - 1))
                             .arg(id);
        prev = stored;
        expected = id + 1;
    }
    if (expected <= headId)
        *problems << QStringLiteral("%1: deleted").arg(Rows(chain.table, expected, headId));
    else if (headId > 0 && prev != headHash)
        *problems << QStringLiteral("%1: replaced (the chain's recorded end no longer matches)")
                         .arg(Rows(chain.table, headId, headId));
    return true;
}

} // namespace ondrel::archive
