#include "sqlitedatabase.h"

#include <sqlite3.h>

namespace ondrel::archive {

namespace {

constexpr int kBusyTimeoutMs = 5000;

// The log is checkpointed into the file every 1000 pages (about 4 MiB) and cut
// back to this size after, so that it stays bounded however long the archive runs.
const char* const kWritePragmas[] = {
    "PRAGMA journal_mode=WAL",
    "PRAGMA synchronous=NORMAL",
    "PRAGMA journal_size_limit=67108864",
    "PRAGMA wal_autocheckpoint=1000",
};

} // namespace

std::unique_ptr<CSqliteDatabase> CSqliteDatabase::Open(const QString& path, Mode mode,
                                                       QString* error)
{
    const int flags =
        (mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
        SQLITE_OPEN_NOMUTEX;
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        *error = QStringLiteral("%1: cannot open: %2")
                     .arg(path, QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    std::unique_ptr<CSqliteDatabase> opened(new CSqliteDatabase(db, path));
    // A year's beam time groups hundreds of thousands of generator-days: within
    // a bounded cache SQLite sorts them in memory rather than in temporary files.
    {
        std::vector<SqlRow> rows;
        QString ignored;
        opened->Query(QStringLiteral("PRAGMA cache_size=-65536"), {}, &rows, &ignored);
    }
    if (mode == Mode::Write) {
        for (const char* pragma : kWritePragmas) {
            std::vector<SqlRow> rows;
            if (!opened->Query(QString::fromLatin1(pragma), {}, &rows, error))
                break;
        }
    }
    // The first statement is where SQLite finds out what the file is.
    std::vector<SqlRow> rows;
    if (!opened->Query(QStringLiteral("SELECT COUNT(*) FROM sqlite_master"), {}, &rows, error)) {
        *error = QStringLiteral("%1: not a database this program can open (%2)")
                     .arg(path, QString::fromUtf8(sqlite3_errmsg(db)));
        return nullptr;
    }
    return opened;
}

CSqliteDatabase::CSqliteDatabase(sqlite3* db, QString path) : m_db(db), m_path(std::move(path)) {}

CSqliteDatabase::~CSqliteDatabase()
{
    for (sqlite3_stmt* statement : std::as_const(m_statements))
        sqlite3_finalize(statement);
    sqlite3_close(m_db);
}

QString CSqliteDatabase::Failure(const char* doing) const
{
    return QStringLiteral("%1: %2: %3")
        .arg(m_path, QLatin1String(doing), QString::fromUtf8(sqlite3_errmsg(m_db)));
}

sqlite3_stmt* CSqliteDatabase::Prepared(const QString& sql, const SqlRow& params, QString* error)
{
    sqlite3_stmt* statement = m_statements.value(sql);
    if (!statement) {
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v3(m_db, text.constData(), int(text.size()), SQLITE_PREPARE_PERSISTENT,
                               &statement, nullptr) != SQLITE_OK) {
            *error = Failure("cannot prepare a statement") + QStringLiteral(" (%1)").arg(sql);
            return nullptr;
        }
        m_statements.insert(sql, statement);
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    for (int i = 0; i < int(params.size()); ++i) {
        const QVariant& v = params[i];
        int rc = SQLITE_OK;
        switch (v.typeId()) {
        case QMetaType::UnknownType:
            rc = sqlite3_bind_null(statement, i + 1);
            break;
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
            rc = sqlite3_bind_int64(statement, i + 1, v.toLongLong());
            break;
        case QMetaType::Double:
            rc = sqlite3_bind_double(statement, i + 1, v.toDouble());
            break;
        case QMetaType::QByteArray: {
            const QByteArray bytes = v.toByteArray();
            rc = sqlite3_bind_blob64(statement, i + 1, bytes.constData(), quint64(bytes.size()),
                                     SQLITE_TRANSIENT);
            break;
        }
        default: {
            if (v.isNull()) {
                rc = sqlite3_bind_null(statement, i + 1);
                break;
            }
            const QByteArray text = v.toString().toUtf8();
            rc = sqlite3_bind_text64(statement, i + 1, text.constData(), quint64(text.size()),
                                     SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
        }
        if (rc != SQLITE_OK) {
            *error = Failure("cannot bind a value");
            return nullptr;
        }
    }
    return statement;
}

bool CSqliteDatabase::Exec(const QString& sql, const SqlRow& params, QString* error)
{
    return Query(sql, params, nullptr, error);
}

bool CSqliteDatabase::Query(const QString& sql, const SqlRow& params, std::vector<SqlRow>* rows,
                            QString* error)
{
    sqlite3_stmt* statement = Prepared(sql, params, error);
    if (!statement)
        return false;
    for (;;) {
        const int rc = sqlite3_step(statement);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_ROW) {
            // Its first words say which: "INSERT INTO events".
            *error = Failure("a statement failed") +
                     QStringLiteral(" (%1)").arg(sql.section(QLatin1Char(' '), 0, 2).left(80));
            sqlite3_reset(statement);
            return false;
        }
        if (!rows)
            continue;
        SqlRow row;
        const int columns = sqlite3_column_count(statement);
        row.reserve(columns);
        for (int c = 0; c < columns; ++c) {
            switch (sqlite3_column_type(statement, c)) {
            case SQLITE_INTEGER:
                row.append(QVariant(qint64(sqlite3_column_int64(statement, c))));
                break;
            case SQLITE_FLOAT:
                row.append(QVariant(sqlite3_column_double(statement, c)));
                break;
            case SQLITE_TEXT:
                row.append(QVariant(QString::fromUtf8(
                    reinterpret_cast<const char*>(sqlite3_column_text(statement, c)),
                    sqlite3_column_bytes(statement, c))));
                break;
            case SQLITE_BLOB:
                row.append(
                    QVariant(QByteArray(static_cast<const char*>(sqlite3_column_blob(statement, c)),
                                        sqlite3_column_bytes(statement, c))));
                break;
            default:
                row.append(QVariant());
                break;
            }
        }
        rows->push_back(std::move(row));
    }
    sqlite3_reset(statement);
    return true;
}

} // namespace ondrel::archive
