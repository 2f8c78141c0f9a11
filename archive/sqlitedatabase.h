// The archive's database in one SQLite file, through SQLite's C API.
#pragma once

#include "sqldatabase.h"

#include <QHash>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

namespace ondrel::archive {

class CSqliteDatabase final : public ISqlDatabase
{
public:
    enum class Mode
    {
        // Creates the file when absent; write-ahead log, bounded in size.
        Write,
        ReadOnly
    };
    // Nothing, with *error saying why, when the file cannot be opened as a database.
    static std::unique_ptr<CSqliteDatabase> Open(const QString& path, Mode mode, QString* error);
    ~CSqliteDatabase() override;

    QString Name() const override { return m_path; }
    bool Exec(const QString& sql, const SqlRow& params, QString* error) override;
    bool Query(const QString& sql, const SqlRow& params, std::vector<SqlRow>* rows,
               QString* error) override;

private:
    CSqliteDatabase(sqlite3* db, QString path);
    sqlite3_stmt* Prepared(const QString& sql, const SqlRow& params, QString* error);
    QString Failure(const char* doing) const;

    sqlite3* m_db;
    QString m_path;
    // Statements are prepared once: the writer runs the same few thousands of times a second.
    QHash<QString, sqlite3_stmt*> m_statements;
};

} // namespace ondrel::archive
