#include "labreport.h"

#include "csv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace ondrel::archive {

namespace {

QString CellText(const QVariant& cell, const LabColumn& column)
{
    switch (cell.typeId()) {
    case QMetaType::UnknownType:
        return QString();
    case QMetaType::Double:
        return column.decimals >= 0 ? QString::number(cell.toDouble(), 'f', column.decimals)
                                    : QString::number(cell.toDouble(), 'g', 15);
    default:
        return cell.toString();
    }
}

QJsonValue CellJson(const QVariant& cell)
{
    switch (cell.typeId()) {
    case QMetaType::UnknownType:
        return QJsonValue();
    case QMetaType::Double:
        return cell.toDouble();
    case QMetaType::LongLong:
    case QMetaType::Int:
        return cell.toLongLong();
    default:
        return cell.toString();
    }
}

QVariant Time(const QDateTime& time, const QTimeZone& zone)
{
    return time.isValid() ? QVariant(time.toTimeZone(zone).toString(Qt::ISODateWithMs))
                          : QVariant();
}

QVariant Seconds(const QDateTime& from, const QDateTime& to)
{
    return from.isValid() && to.isValid() ? QVariant(from.msecsTo(to) / 1000.0) : QVariant();
}

QVariant Opt(const std::optional<double>& v)
{
    return v ? QVariant(*v) : QVariant();
}

QVariant Opt(const std::optional<qint64>& v)
{
    return v ? QVariant(*v) : QVariant();
}

} // namespace

QByteArray FormatTable(const LabTable& table, OutputFormat format)
{
    std::vector<QStringList> lines;
    QStringList header;
    for (const LabColumn& c : table.columns)
        header << c.name;
    switch (format) {
    case OutputFormat::Json: {
        QJsonArray rows;
        for (const QVariantList& row : table.rows) {
            QJsonObject object;
            for (size_t c = 0; c < table.columns.size(); ++c)
                object.insert(table.columns[c].name, CellJson(row.value(int(c))));
            rows.append(object);
        }
        return QJsonDocument(rows).toJson(QJsonDocument::Indented);
    }
    case OutputFormat::Csv: {
        QByteArray out = CsvLine(header);
        for (const QVariantList& row : table.rows) {
            QStringList fields;
            for (size_t c = 0; c < table.columns.size(); ++c)
                fields << CellText(row.value(int(c)), table.columns[c]);
            out += CsvLine(fields);
        }
        return out;
    }
    case OutputFormat::Table:
        break;
    }
    lines.push_back(header);
    for (const QVariantList& row : table.rows) {
        QStringList fields;
        for (size_t c = 0; c < table.columns.size(); ++c)
            // A line break or tab would tear the columns apart.
            fields << CellText(row.value(int(c)), table.columns[c])
                          .replace(QLatin1Char('\n'), QLatin1Char(' '))
                          .replace(QLatin1Char('\r'), QLatin1Char(' '))
                          .replace(QLatin1Char('\t'), QLatin1Char(' '));
        lines.push_back(fields);
    }
    std::vector<qsizetype> widths(table.columns.size(), 0);
    for (const QStringList& fields : lines) {
        for (size_t c = 0; c < widths.size(); ++c)
            widths[c] = std::max(widths[c], fields[int(c)].size());
    }
    QString out;
    for (size_t l = 0; l < lines.size(); ++l) {
        QString line;
        for (size_t c = 0; c < widths.size(); ++c) {
            if (c > 0)
                line += QStringLiteral("  ");
            line += lines[l][int(c)].leftJustified(widths[c]);
        }
        out += line.trimmed() + QLatin1Char('\n');
        if (l == 0) {
            QStringList rules;
            for (const qsizetype w : widths)
                rules << QString(w, QLatin1Char('-'));
            out += rules.join(QStringLiteral("  ")) + QLatin1Char('\n');
        }
    }
    return out.toUtf8();
}

LabTable ExposuresTable(const std::vector<lab::ExposureInterval>& exposures, const QTimeZone& zone)
{
    LabTable t;
    t.columns = {{"generator"},
                 {"start"},
                 {"end"},
                 {"earliest_end"},
                 {"latest_end"},
                 {"duration_s", 3},
                 {"longest_duration_s", 3},
                 {"set_kv"},
                 {"set_ua"},
                 {"mean_kv"},
                 {"mean_ua"},
                 {"host"},
                 {"user"},
                 {"end_reason"}};
    for (const lab::ExposureInterval& e : exposures) {
        QVariant end;
        QVariant longest;
        switch (e.endState) {
        case lab::EndState::Closed:
            end = Time(e.latestEnd, zone);
            longest = Seconds(e.start, e.latestEnd);
            break;
        case lab::EndState::Uncertain:
            end = QStringLiteral("uncertain");
            longest = Seconds(e.start, e.latestEnd);
            break;
        case lab::EndState::Open:
            end = QStringLiteral("open");
            break;
        }
        // An open one's earliest end is the last word that X-rays were still on.
        t.rows.push_back({e.generator, Time(e.start, zone), end, Time(e.earliestEnd, zone),
                          Time(e.latestEnd, zone), Seconds(e.start, e.earliestEnd), longest,
                          Opt(e.setKilovolts), Opt(e.setMicroamps), Opt(e.kilovolts.Mean()),
                          Opt(e.microamps.Mean()), e.host, e.user, e.endReason});
    }
    return t;
}

LabTable BeamTimeTable(const BeamTime& beamTime)
{
    LabTable t;
    t.columns = {{"generator"}, {"period"}, {"start"}, {"end"}, {"beam_s", 3}};
    for (const BeamTimeRow& row : beamTime.rows)
        t.rows.push_back({row.generator, PeriodLabel(row.period, beamTime.period),
                          row.start.toString(Qt::ISODate), row.end.toString(Qt::ISODate),
                          row.beamMs / 1000.0});
    for (const auto& [generator, ms] : beamTime.totalMs)
        t.rows.push_back({generator, QStringLiteral("total"),
                          beamTime.from.toTimeZone(beamTime.zone).toString(Qt::ISODate),
                          beamTime.to.toTimeZone(beamTime.zone).toString(Qt::ISODate),
                          ms / 1000.0});
    return t;
}

LabTable GapsTable(const std::vector<Gap>& gaps, const QTimeZone& zone)
{
    LabTable t;
    t.columns = {{"generator"}, {"what"}, {"first_seq"}, {"last_seq"},
                 {"count"},     {"from"}, {"to"},        {"reason"}};
    for (const Gap& g : gaps)
        t.rows.push_back({g.generator, g.what, Opt(g.firstSeq), Opt(g.lastSeq), Opt(g.count),
                          Time(g.from, zone), Time(g.to, zone), g.reason});
    return t;
}

LabTable StatusTable(const ArchiveFacts& facts)
{
    LabTable t;
    t.columns = {{"item"}, {"value", 1}};
    t.rows.push_back({QStringLiteral("database"), facts.database});
    t.rows.push_back({QStringLiteral("size_bytes"), facts.sizeBytes});
    qint64 rows = 0;
    qint64 recent = 0;
    QDateTime oldest;
    for (const TableSize& s : facts.tables) {
        t.rows.push_back({QStringLiteral("rows.%1").arg(s.table), s.rows});
        rows += s.rows;
        recent += s.rowsSince;
        if (s.oldest.isValid() && (!oldest.isValid() || s.oldest < oldest))
            oldest = s.oldest;
    }
    // A young archive's growth is over its life so far, counted as at least a day.
    const QDateTime from = oldest.isValid() ? std::max(oldest, facts.since) : facts.since;
    const double days = std::max(1.0, from.msecsTo(facts.now) / 86400000.0);
    const double rowsPerDay = recent / days;
    const double bytesPerDay = rows > 0 ? rowsPerDay * double(facts.sizeBytes) / double(rows) : 0.0;
    t.rows.push_back({QStringLiteral("growth_rows_per_day"), rowsPerDay});
    t.rows.push_back({QStringLiteral("growth_bytes_per_day"), qint64(bytesPerDay + 0.5)});
    t.rows.push_back({QStringLiteral("disk_free_bytes"),
                      facts.diskFreeBytes >= 0 ? QVariant(facts.diskFreeBytes) : QVariant()});
    t.rows.push_back({QStringLiteral("days_until_full"),
                      facts.diskFreeBytes >= 0 && bytesPerDay >= 1.0
                          ? QVariant(double(facts.diskFreeBytes) / bytesPerDay)
                          : QVariant()});
    return t;
}

} // namespace ondrel::archive
