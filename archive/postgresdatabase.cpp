#include "postgresdatabase.h"

#include <libpq-fe.h>

#include <QUrl>

#include <cstdlib>

namespace ondrel::archive {

namespace {

// The types' oids, fixed in every PostgreSQL.
constexpr Oid kBoolOid = 16;
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kTextOid = 25;
constexpr Oid kOidOid = 26;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kNumericOid = 1700;

// The same number in every database: advisory locks are the database's own.
constexpr qint64 kWriterLockKey = 0x4f6e6472656c4c62; // "OndrelLb"

// Unless the URI says otherwise: a server that does not answer must not hold
// the writer, nor a query, for ever.
const char* const kDefaultKeywords[] = {"connect_timeout", "fallback_application_name",
                                        "client_encoding"};
const char* const kDefaultValues[] = {"10", "ondrel-lab", "UTF8"};

QString Simplified(const char* message)
{
    return QString::fromUtf8(message).simplified();
}

// The target as messages show it: what libpq makes of the URI, less the password.
QString DisplayName(const QByteArray& uri)
{
    char* parseError = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.constData(), &parseError);
    if (!options) {
        PQfreemem(parseError);
        const QUrl url(QString::fromUtf8(uri));
        return url.isValid() ? url.toString(QUrl::RemovePassword | QUrl::RemoveQuery)
                             : QStringLiteral("postgresql://(unreadable URI)");
    }
    QHash<QString, QString> values;
    for (const PQconninfoOption* o = options; o->keyword; ++o) {
        if (o->val)
            values.insert(QString::fromLatin1(o->keyword), QString::fromUtf8(o->val));
    }
    PQconninfoFree(options);
    QString host = values.value(QStringLiteral("host"), values.value(QStringLiteral("hostaddr")));
    // A socket's folder goes where a URI has it: after the database, as ?host=.
    const bool socket = host.startsWith(QLatin1Char('/'));
    if (host.contains(QLatin1Char(':')) && !socket)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    QString name = QStringLiteral("postgresql://");
    if (values.contains(QStringLiteral("user")))
        name += values.value(QStringLiteral("user")) + QLatin1Char('@');
    if (!socket)
        name += host;
    if (values.contains(QStringLiteral("port")))
        name += QLatin1Char(':') + values.value(QStringLiteral("port"));
    name += QLatin1Char('/') + values.value(QStringLiteral("dbname"));
    return socket ? name + QStringLiteral("?host=") + host : name;
}

// '?' outside quoted literals and identifiers becomes $1, $2...
QByteArray Rewritten(const QString& sql)
{
    const QByteArray in = sql.toUtf8();
    QByteArray out;
    out.reserve(in.size() + 16);
    char quote = 0;
    int n = 0;
    for (const char c : in) {
        if (quote) {
            if (c == quote)
                quote = 0; // a doubled quote closes and opens again
            out += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            out += c;
        } else if (c == '?') {
            out += '$' + QByteArray::number(++n);
        } else {
            out += c;
        }
    }
    return out;
}

QString WithoutNul(QString text)
{
    return text.replace(QChar(0), QChar(QChar::ReplacementCharacter));
}

QVariant FromText(Oid type, const char* text, int length)
{
    switch (type) {
    case kBoolOid:
        return QVariant(qint64(text[0] == 't' ? 1 : 0));
    case kInt2Oid:
    case kInt4Oid:
    case kInt8Oid:
    case kOidOid:
        return QVariant(qint64(std::strtoll(text, nullptr, 10)));
    case kFloat4Oid:
    case kFloat8Oid:
        return QVariant(QByteArray::fromRawData(text, length).toDouble());
    case kNumericOid: {
        // SUM of integers is numeric here, an integer in SQLite.
        const QByteArray number = QByteArray::fromRawData(text, length);
        bool whole = false;
        const qint64 i = number.toLongLong(&whole);
        return whole ? QVariant(i) : QVariant(number.toDouble());
    }
    case kByteaOid: {
        size_t size = 0;
        unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
        QByteArray value(reinterpret_cast<const char*>(bytes), qsizetype(size));
        PQfreemem(bytes);
        return QVariant(value);
    }
    default:
        return QVariant(QString::fromUtf8(text, length));
    }
}

} // namespace

bool CPostgresDatabase::IsUri(const QString& target)
{
    return target.startsWith(QLatin1String("postgresql://")) ||
           target.startsWith(QLatin1String("postgres://"));
}

std::unique_ptr<CPostgresDatabase> CPostgresDatabase::Open(const QString& uri, QString* error)
{
    const QByteArray utf8 = uri.toUtf8();
    std::unique_ptr<CPostgresDatabase> db(new CPostgresDatabase(utf8, DisplayName(utf8)));
    char* parseError = nullptr;
    PQconninfoOption* options = PQconninfoParse(utf8.constData(), &parseError);
    if (!options) {
        *error = QStringLiteral("%1: not a PostgreSQL connection URI: %2")
                     .arg(db->m_name,
                          parseError ? Simplified(parseError) : QStringLiteral("out of memory"));
        PQfreemem(parseError);
        return nullptr;
    }
    PQconninfoFree(options);
    if (!db->Connect(error))
        return nullptr;
    return db;
}

CPostgresDatabase::CPostgresDatabase(QByteArray uri, QString name)
    : m_uri(std::move(uri)), m_name(std::move(name))
{}

CPostgresDatabase::~CPostgresDatabase()
{
    PQfinish(m_conn);
}

QString CPostgresDatabase::Failure(const QString& doing) const
{
    return QStringLiteral("%1: %2: %3").arg(m_name, doing, Simplified(PQerrorMessage(m_conn)));
}

bool CPostgresDatabase::Connect(QString* error)
{
    PQfinish(m_conn);
    const char* keywords[std::size(kDefaultKeywords) + 2];
    const char* values[std::size(kDefaultKeywords) + 2];
    size_t n = 0;
    for (; n < std::size(kDefaultKeywords); ++n) {
        keywords[n] = kDefaultKeywords[n];
        values[n] = kDefaultValues[n];
    }
    keywords[n] = "dbname";
    values[n++] = m_uri.constData();
    keywords[n] = values[n] = nullptr;
    m_conn = PQconnectdbParams(keywords, values, 1);
    if (!m_conn) {
        *error = QStringLiteral("%1: cannot connect: out of memory").arg(m_name);
        return false;
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        *error = Failure(QStringLiteral("cannot connect"));
        return false;
    }
    // The server's notices ("already exists, skipping") are not the operator's business.
    PQsetNoticeProcessor(
        m_conn, [](void*, const char*) {}, nullptr);
    m_inTransaction = m_lostInTransaction = false;
    return !m_wantLock || TakeLock(error);
}

bool CPostgresDatabase::HoldWriterLock(QString* error)
{
    m_wantLock = true;
    return TakeLock(error);
}

bool CPostgresDatabase::TakeLock(QString* error)
{
    std::vector<SqlRow> rows;
    if (!Query(QStringLiteral("SELECT pg_try_advisory_lock(?)"), {kWriterLockKey}, &rows, error))
        return false;
    if (!rows.empty() && rows[0].value(0).toLongLong() == 1)
        return true;
    *error = QStringLiteral("%1 is already open for writing by another ondrel-lab (it holds the "
                            "database's advisory lock); only one writer at a time")
                 .arg(m_name);
    // Without the lock this connection must not write: the next statement connects again.
    PQfinish(m_conn);
    m_conn = nullptr;
    return false;
}

bool CPostgresDatabase::Exec(const QString& sql, const SqlRow& params, QString* error)
{
    return Query(sql, params, nullptr, error);
}

bool CPostgresDatabase::Query(const QString& sql, const SqlRow& params, std::vector<SqlRow>* rows,
                              QString* error)
{
    const bool rollback = sql == QLatin1String("ROLLBACK");
    if (m_lostInTransaction) {
        if (rollback) {
            m_lostInTransaction = false;
            return true; // the server rolled it back when the connection went
        }
        *error = QStringLiteral("%1: the connection was lost within a transaction").arg(m_name);
        return false;
    }
    // A statement that failed because the connection went before it was sent
    // can be sent again on a new one, when it changes nothing by itself.
    const bool again = sql == QLatin1String("BEGIN") || sql.startsWith(QLatin1String("SELECT"));
    auto found = m_rewritten.constFind(sql);
    if (found == m_rewritten.cend())
        found = m_rewritten.insert(sql, Rewritten(sql));
    const QByteArray& text = *found;

    const int count = int(params.size());
    std::vector<Oid> types(size_t(count), 0);
    std::vector<QByteArray> data(static_cast<size_t>(count));
    std::vector<const char*> values(size_t(count), nullptr);
    std::vector<int> lengths(size_t(count), 0);
    std::vector<int> formats(size_t(count), 0);
    for (int i = 0; i < count; ++i) {
        const QVariant& v = params[i];
        switch (v.typeId()) {
        case QMetaType::UnknownType:
            continue;
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
            types[i] = kInt8Oid;
            data[i] = QByteArray::number(v.toLongLong());
            break;
        case QMetaType::Double:
            types[i] = kFloat8Oid;
            data[i] = QByteArray::number(v.toDouble(), 'g', 17);
            break;
        case QMetaType::QByteArray:
            types[i] = kByteaOid;
            data[i] = v.toByteArray();
            formats[i] = 1;
            break;
        default:
            if (v.isNull())
                continue;
            types[i] = kTextOid;
            // Text here cannot hold NUL; SQLite's would, so the store replaces it already.
            data[i] = WithoutNul(v.toString()).toUtf8();
            break;
        }
        values[i] = data[i].constData();
        lengths[i] = int(data[i].size());
    }

    for (int attempt = 0;; ++attempt) {
        if ((!m_conn || PQstatus(m_conn) != CONNECTION_OK) && !Connect(error))
            return false;
        PGresult* result = PQexecParams(m_conn, text.constData(), count, types.data(),
                                        values.data(), lengths.data(), formats.data(), 0);
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            if (rows) {
                const int columns = PQnfields(result);
                const int n = PQntuples(result);
                rows->reserve(rows->size() + size_t(n));
                for (int r = 0; r < n; ++r) {
                    SqlRow row;
                    row.reserve(columns);
                    for (int c = 0; c < columns; ++c) {
                        if (PQgetisnull(result, r, c))
                            row.append(QVariant());
                        else
                            row.append(FromText(PQftype(result, c), PQgetvalue(result, r, c),
                                                PQgetlength(result, r, c)));
                    }
                    rows->push_back(std::move(row));
                }
            }
            PQclear(result);
            const PGTransactionStatusType t = PQtransactionStatus(m_conn);
            m_inTransaction = t == PQTRANS_INTRANS || t == PQTRANS_INERROR;
            return true;
        }
        const char* primary =
            result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        const QString why = primary ? Simplified(primary) : Simplified(PQerrorMessage(m_conn));
        PQclear(result);
        // Its first words say which: "INSERT INTO events".
        const QString which = sql.section(QLatin1Char(' '), 0, 2).left(80);
        if (PQstatus(m_conn) != CONNECTION_OK) {
            const bool wasInTransaction = m_inTransaction;
            m_inTransaction = false;
            if (wasInTransaction && !rollback)
                m_lostInTransaction = true;
            else if (!wasInTransaction && again && attempt == 0)
                continue;
            else if (rollback)
                return true;
            *error = QStringLiteral("%1: the connection to the server was lost: %2 (%3)")
                         .arg(m_name, why, which);
            return false;
        }
        const PGTransactionStatusType t = PQtransactionStatus(m_conn);
        m_inTransaction = t == PQTRANS_INTRANS || t == PQTRANS_INERROR;
        *error = QStringLiteral("%1: a statement failed: %2 (%3)").arg(m_name, why, which);
        return false;
    }
}

} // namespace ondrel::archive
