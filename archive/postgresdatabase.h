// The archive's database on a PostgreSQL server, through libpq: '?' placeholders
// become $1..$n, values travel as text with their types (bytes as bytea), and
// results come back as the same kinds of QVariant SQLite gives. A connection
// lost outside a transaction is made again on the next statement.
#pragma once

#include "sqldatabase.h"

#include <QHash>
#include <memory>

struct pg_conn;

namespace ondrel::archive {

class CPostgresDatabase final : public ISqlDatabase
{
public:
    // Whether a target names a PostgreSQL database rather than a SQLite file.
    static bool IsUri(const QString& target);
    // Nothing, with *error naming the target (never its password), when the
    // URI is not one or the server cannot be reached.
    static std::unique_ptr<CPostgresDatabase> Open(const QString& uri, QString* error);
    ~CPostgresDatabase() override;

    QString Name() const override { return m_name; }
    bool KeepsOldRowVersions() const override { return true; }
    bool Exec(const QString& sql, const SqlRow& params, QString* error) override;
    bool Query(const QString& sql, const SqlRow& params, std::vector<SqlRow>* rows,
               QString* error) override;

    // Takes the database's writer lock (a session advisory lock) for as long as
    // this connection lives, and again on every reconnection; false, with
    // *error saying so, when another session holds it.
    bool HoldWriterLock(QString* error);

private:
    CPostgresDatabase(QByteArray uri, QString name);
    bool Connect(QString* error);
    bool TakeLock(QString* error);
    QString Failure(const QString& doing) const;

    const QByteArray m_uri;
    const QString m_name;
    pg_conn* m_conn = nullptr;
    bool m_wantLock = false;
    // The server's side of the transaction went with the connection: every
    // statement fails until the store's ROLLBACK, so that none runs outside it.
    bool m_inTransaction = false;
    bool m_lostInTransaction = false;
    QHash<QString, QByteArray> m_rewritten;
};

} // namespace ondrel::archive
