// The archive's tables, made or brought up to date when an archive is opened.
#pragma once

#include "sqldatabase.h"

namespace ondrel::archive {

// The schema this program writes and reads.
constexpr int kSchemaVersion = 3;

// Creates the tables in an empty database and migrates an older one, in one
// transaction. A database of a newer schema is refused, untouched, with a message
// that names it.
bool PrepareSchema(ISqlDatabase& db, QString* error);

// Whether a database opened for reading holds an archive of this schema; false,
// with *error naming the database, when it is none or a newer one.
bool CheckSchema(ISqlDatabase& db, QString* error);

} // namespace ondrel::archive
