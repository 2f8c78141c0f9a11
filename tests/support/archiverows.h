// An archive's rows as the tests compare them: one line per row, its columns
// joined by '|' (NULL as empty).
#pragma once

#include "sqldatabase.h"

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

} // namespace ondrel::test
