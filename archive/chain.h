// Tamper evidence for the tables that must not change behind the archive's back:
// each row's SHA-256 covers its columns and the previous row's hash, and the
// chain's end is kept apart, so that a row edited, inserted or deleted afterwards
// shows, named by table and id. It is evidence against edits made with ordinary
// tools, not a signature: whoever can rewrite the file can rehash it too.
#pragma once

#include "sqldatabase.h"

#include <QStringList>

namespace ondrel::archive {

struct ChainTable
{
    const char* table;
    // The columns a row's hash covers, "id" first.
    QStringList columns;
};

const ChainTable& EventsChain();
const ChainTable& IntervalsChain();

// The hash, in hex, of a row's columns (in the table's order) after prevHash.
QByteArray ChainHash(const QByteArray& prevHash, const SqlRow& columns);

// Appends what is wrong with the table's chain to *problems, one line a finding,
// each naming the table and the row. False only when the database cannot be read.
bool VerifyChain(ISqlDatabase& db, const ChainTable& chain, QStringList* problems,
                 qint64* rowsChecked, QString* error);

} // namespace ondrel::archive
