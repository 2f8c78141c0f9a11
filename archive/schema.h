// The archive's tables, made or brought up to date when an archive is opened.
#pragma once

#include "sqldatabase.h"

#include <optional>

namespace ondrel::archive {

// The schema this program writes and reads.
constexpr int kSchemaVersion = 6;

// A read-out's text as the number stored beside it in readings, as the
// down-sampled readings have always read it; none for a text that is no finite number.
std::optional<double> ReadoutNumber(const QString& text);

// Creates the tables in an empty database and migrates an older one, in one
// transaction. A database of a newer schema is refused, untouched, with a message
// that names it.
bool PrepareSchema(ISqlDatabase& db, QString* error);

// Whether a database opened for reading holds an archive of this schema; false,
// with *error naming the database, when it is none or a newer one.
bool CheckSchema(ISqlDatabase& db, QString* error);

} // namespace ondrel::archive
