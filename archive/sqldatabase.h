// The one seam between the archive and its database: plain SQL with '?'
// placeholders and values as QVariant (null, integer, double, text, bytes), so
// that another back end (PostgreSQL through libpq, rewriting '?' to $n) can
// stand in with the same schema and the same answers.
#pragma once

#include <QString>
#include <QVariant>
#include <vector>

namespace ondrel::archive {

using SqlRow = QVariantList;

class ISqlDatabase
{
public:
    virtual ~ISqlDatabase() = default;

    // What messages name the database by: its file, or its connection's name.
    virtual QString Name() const = 0;
    // A database that keeps a rewritten row's old version until it is vacuumed
    // (PostgreSQL): tables rewritten often leave room on each page for it.
    virtual bool KeepsOldRowVersions() const { return false; }
    // One statement. False, with *error naming the database and the cause, on failure.
    virtual bool Exec(const QString& sql, const SqlRow& params, QString* error) = 0;
    // One statement's rows, each in the order of its select list.
    virtual bool Query(const QString& sql, const SqlRow& params, std::vector<SqlRow>* rows,
                       QString* error) = 0;
};

} // namespace ondrel::archive
