// ondrel-lab: its command line, importing a console's record, the shapes of
// gaps and status, retention, and the program itself.
#include "archiverows.h"
#include "labcommandline.h"
#include "labcommands.h"
#include "labscript.h"
#include "labserve.h"
#include "sqlitedatabase.h"

#include <QtTest>

using namespace ondrel;
using namespace ondrel::archive;

class TestLabCli : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void parse_data();
    void parse();
    void import_data();
    void import();
    void shapes_data();
    void shapes();
    void retention();
    void program_data();
    void program();

private:
    void Feed(const QStringList& script);
    LabResult Run(const QString& commandLine);
    QStringList Dump(const QString& sql, const QString& path = {});

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_db;
};

namespace {

#define SRC ONDREL_SOURCE_DIR

const QString kGen = QStringLiteral("lab/gen1");
const QString kHeader = QStringLiteral("time,event,kv,ua,temperature,faults,detail");

LabEnvironment Env()
{
    return {"/data/archive.sqlite",
            QTimeZone("Europe/Berlin"),
            QDateTime(QDate(2026, 12, 9), QTime(12, 0), QTimeZone::utc()),
            QString(),
            "lab-pc",
            "/usr/share/ondrel-lab/web",
            "/usr/lib/ondrel"};
}

QString Describe(const LabOptions& o)
{
    static const char* const commands[] = {"exposures", "beam-time", "gaps", "import",
                                           "verify",    "status",    "serve"};
    static const char* const formats[] = {"csv", "table", "json"};
    QStringList words{commands[int(o.command)], o.db, formats[int(o.format)],
                      QString::fromUtf8(o.zone.id())};
    if (o.from)
        words << "from " + o.from->toString(Qt::ISODate);
    if (o.to)
        words << "to " + o.to->toString(Qt::ISODate);
    if (!o.generator.isEmpty())
        words << "generator " + o.generator;
    if (o.command == LabCommand::BeamTime)
        words << "by " + PeriodName(o.by);
    if (!o.recordFile.isEmpty())
        words << "record " + o.recordFile;
    if (o.mqtt)
        words << QString("broker %1 %2 keep %3")
                     .arg(o.mqtt->Endpoint(), o.mqtt->prefix)
                     .arg(o.keepReadingsDays);
    if (o.command == LabCommand::Serve) {
        QStringList zones;
        for (const QTimeZone& z : o.beamZones)
            zones << QString::fromUtf8(z.id());
        words << "beam days in " + zones.join(' ');
    }
    if (o.web)
        words << QString("web %1 port %2, %3 viewers%4")
                     .arg(o.web->address)
                     .arg(o.web->port)
                     .arg(o.web->clients)
                     .arg(o.web->certFile.isEmpty() ? "" : ", TLS " + o.web->certFile);
    return words.join(", ");
}

// Record rows written "HH:mm:ss.zzz,event,..." on 2026-05-04, with CRLF ends.
QByteArray Record(const QStringList& rows)
{
    QByteArray text = kHeader.toUtf8() + "\r\n";
    for (const QString& row : rows)
        text += "2026-05-04T" + row.toUtf8() + "\r\n";
    return text;
}

} // namespace

void TestLabCli::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_db = m_dir->filePath("lab.sqlite");
}

void TestLabCli::Feed(const QStringList& script)
{
    QString error;
    std::unique_ptr<CArchive> archive = CArchive::Open(m_db, {}, &error);
    QVERIFY2(archive, qPrintable(error));
    for (const QString& line : script) {
        const test::ScriptMessage m = test::ScriptLine(line);
        QVERIFY(archive->Enqueue({kGen, m.subtopic, m.payload, m.time, false}));
    }
    QVERIFY2(archive->Flush(5000), qPrintable(archive->LastError()));
}

// A query's rows, columns joined by '|'.
QStringList TestLabCli::Dump(const QString& sql, const QString& path)
{
    QString error;
    auto db =
        CSqliteDatabase::Open(path.isEmpty() ? m_db : path, CSqliteDatabase::Mode::Write, &error);
    if (db && sql.startsWith(QLatin1String("runs:")))
        return test::RunLines(*db, sql.mid(5).simplified().split(QLatin1Char(' ')));
    std::vector<SqlRow> rows;
    if (!db || !db->Query(sql, {}, &rows, &error))
        return {error};
    return test::RowLines(rows);
}

LabResult TestLabCli::Run(const QString& commandLine)
{
    QStringList args = commandLine.split(' ', Qt::SkipEmptyParts);
    args << "--db" << m_db;
    const ParsedCommandLine parsed = ParseLabCommandLine(args, Env());
    if (!parsed.options)
        return {kExitUsage, {}, {parsed.error}};
    return RunLabCommand(*parsed.options, Env());
}

void TestLabCli::parse_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("parsed"); // the options, or the message
    const QString commands = "it is one of exposures, beam-time, gaps, import, verify, status or "
                             "serve.";

    QTest::newRow("exposures, defaults") << "exposures --from 2026-12-01 --to 2026-12-08"
                                         << "exposures, /data/archive.sqlite, csv, Europe/Berlin, "
                                            "from 2026-12-01, to 2026-12-08";
    QTest::newRow("exposures, every option")
        << "exposures --from=2026-12-01 --to 2026-12-01 --generator lab/gen1 --tz UTC --format "
           "json --db x.db"
        << "exposures, x.db, json, UTC, from 2026-12-01, to 2026-12-01, generator lab/gen1";
    QTest::newRow("beam-time by week") << "beam-time --by week --format table"
                                       << "beam-time, /data/archive.sqlite, table, Europe/Berlin, "
                                          "by week";
    QTest::newRow("import") << "import r.csv --generator lab/gen1"
                            << "import, /data/archive.sqlite, csv, Europe/Berlin, generator "
                               "lab/gen1, record r.csv";
    QTest::newRow("serve") << "serve mqtt://broker:1884/lab --keep-readings 30"
                           << "serve, /data/archive.sqlite, csv, Europe/Berlin, broker "
                              "broker:1884 lab keep 30, beam days in Europe/Berlin";
    QTest::newRow("serve's root by default") << "serve mqtts://broker"
                                             << "serve, /data/archive.sqlite, csv, Europe/Berlin, "
                                                "broker broker:8883 ondrel keep 400, beam "
                                                "days in Europe/Berlin";
    QTest::newRow("serve keeps the beam days of each zone given, once")
        << "serve mqtt://b --tz UTC --tz Asia/Tokyo --tz=UTC"
        << "serve, /data/archive.sqlite, csv, UTC, broker b:1883 ondrel keep 400, beam days in "
           "UTC Asia/Tokyo";
    QTest::newRow("serve with the web page")
        << "serve mqtt://b --listen 8080"
        << "serve, /data/archive.sqlite, csv, Europe/Berlin, "
           "broker b:1883 ondrel keep 400, beam days in Europe/Berlin, web 127.0.0.1 "
           "port 8080, 500 viewers";
    QTest::newRow("web page on every interface, over TLS")
        << "serve mqtt://b --listen=0.0.0.0:8443 --web-clients 20 --web-cert " SRC
           "/CMakeLists.txt --web-key " SRC "/CMakeLists.txt"
        << "serve, /data/archive.sqlite, csv, Europe/Berlin, broker b:1883 ondrel keep 400, beam "
           "days in Europe/Berlin, web "
           "0.0.0.0 port 8443, 20 viewers, TLS " SRC "/CMakeLists.txt";
    QTest::newRow("web page on IPv6")
        << "serve mqtt://b --listen [::1]:8080"
        << "serve, /data/archive.sqlite, csv, Europe/Berlin, broker "
           "b:1883 ondrel keep 400, beam days in Europe/Berlin, web ::1 port 8080, 500 viewers";

    QTest::newRow("no command") << ""
                                << "no command given; " + commands;
    QTest::newRow("unknown command") << "exposure"
                                     << "unknown command \"exposure\"; " + commands;
    QTest::newRow("unknown option") << "gaps --from 2026-12-01"
                                    << "gaps: unknown option \"--from\".";
    QTest::newRow("option without its value") << "exposures --from 2026-12-01 --to"
                                              << "exposures: --to needs a value.";
    QTest::newRow("option twice") << "status --db a --db b"
                                  << "status: --db is given twice.";
    QTest::newRow("a query's zone twice") << "beam-time --tz UTC --tz Asia/Tokyo"
                                          << "beam-time: --tz is given twice.";
    QTest::newRow("not a day") << "exposures --from 2026-02-30 --to 2026-03-01"
                               << "exposures: --from: \"2026-02-30\" is not a day like "
                                  "2026-12-01.";
    QTest::newRow("days backwards") << "exposures --from 2026-12-08 --to 2026-12-01"
                                    << "exposures: --from 2026-12-08 is after --to 2026-12-01.";
    QTest::newRow("exposures without --to") << "exposures --from 2026-12-08"
                                            << "exposures: --to is missing.";
    QTest::newRow("unknown zone") << "beam-time --tz Europe/Atlantis"
                                  << "beam-time: --tz: \"Europe/Atlantis\" is not a time zone "
                                     "this computer knows; try a name such as Europe/Berlin.";
    QTest::newRow("bad format") << "status --format xml"
                                << "status: --format is csv, table or json, not \"xml\".";
    QTest::newRow("bad period") << "beam-time --by year"
                                << "beam-time: --by is day, week or month, not \"year\".";
    QTest::newRow("a wildcard generator")
        << "gaps --generator lab/+"
        << "gaps: --generator: \"lab/+\" holds a wildcard (+ or #); it is one console's topic "
           "prefix.";
    QTest::newRow("import without generator")
        << "import r.csv"
        << "import: --generator is missing: which console's record is it?";
    QTest::newRow("import without file") << "import --generator g"
                                         << "import: the record file is missing.";
    QTest::newRow("two files") << "import a.csv b.csv --generator g"
                               << "import: only one RECORD may be given, not \"b.csv\" as well.";
    QTest::newRow("stray argument") << "verify now"
                                    << "verify: unexpected argument \"now\".";
    QTest::newRow("no days kept") << "serve mqtt://b --keep-readings 0"
                                  << "serve: --keep-readings is a number of days from 1 to "
                                     "100000, not \"0\".";
    QTest::newRow("serve without URL") << "serve"
                                       << "serve: the broker's URL is missing.";
    QTest::newRow("web port out of range") << "serve mqtt://b --listen 70000"
                                           << "serve: --listen: the port is a number from 1 to "
                                              "65535, not \"70000\".";
    QTest::newRow("web on a host name")
        << "serve mqtt://b --listen lab-pc:8080"
        << "serve: --listen: \"lab-pc\" is not an IP address; give the address of one of this "
           "computer's interfaces, or 0.0.0.0 for all.";
    QTest::newRow("IPv6 without brackets")
        << "serve mqtt://b --listen ::1:8080"
        << "serve: --listen is [ADDR:]PORT, such as 8080, 0.0.0.0:8080 or [::1]:8080, not "
           "\"::1:8080\".";
    QTest::newRow("web users without --listen")
        << "serve mqtt://b --web-users users"
        << "serve: --web-users is for the web page, which needs --listen.";
    QTest::newRow("certificate without key")
        << "serve mqtt://b --listen 8443 --web-cert " SRC "/CMakeLists.txt"
        << "serve: TLS needs both --web-cert and --web-key.";
    QTest::newRow("no web viewers") << "serve mqtt://b --listen 8080 --web-clients 0"
                                    << "serve: --web-clients is a number from 1 to 10000, not "
                                       "\"0\".";
    QTest::newRow("unreadable users file")
        << "serve mqtt://b --listen 8080 --web-users /nonexistent/users"
        << "serve: cannot read \"/nonexistent/users\".";
    QTest::newRow("a password in the URL")
        << "serve mqtt://u:secret@b"
        << "serve: URL: the URL must not hold a password; give it in ONDREL_MQTT_PASSWORD or "
           "--mqtt-password-file.";
}

void TestLabCli::parse()
{
    QFETCH(QString, line);
    QFETCH(QString, parsed);
    const ParsedCommandLine got = ParseLabCommandLine(line.split(' ', Qt::SkipEmptyParts), Env());
    QCOMPARE(got.options ? Describe(*got.options) : got.error, parsed);
    QVERIFY(got.print.isEmpty());
}

void TestLabCli::import_data()
{
    QTest::addColumn<QStringList>("archived"); // the broker's messages, before the import
    QTest::addColumn<QStringList>("record");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QStringList>("readings"); // first_ms's clock, count, kv after
    QTest::addColumn<QStringList>(
        "exposures"); // "START END REASON" after, END "uncertain" or a time

    QTest::newRow("into an empty archive")
        << QStringList()
        << QStringList{"10:00:00.000Z,start,,,,,\"/dev/pts/3 9600,N,8,1\"",
                       "10:00:01.000Z,reading,080.5,1100,025.0,No Error,\\x020 0\\x0D",
                       "10:00:02.000Z,reading,080.5,1100,025.0,No Error,\\x020 0\\x0D",
                       "10:00:03.000Z,reading,081.0,1100,025.0,No Error,\\x020 0\\x0D",
                       "10:00:04.000Z,record-continued,,,,,previous file moved away"}
        << "1 events and 3 readings imported for lab/gen1; 0 events and 0 readings were in the "
           "archive already; 1 record-continued rows are the file's own, not the console's, and "
           "were left out"
        << QStringList{"10:00:01|2|080.5", "10:00:03|1|081.0"} << QStringList();
    QTest::newRow("only what the broker missed")
        << QStringList{"10:00:00 event start 1 /dev/pts/3 9600,N,8,1",
                       "10:00:01 reading 080.5 1100 on 1", "10:00:02 reading 080.5 1100 on 2",
                       "10:00:05 reading 080.5 1100 on 5"}
        << QStringList{"10:00:00.000Z,start,,,,,\"/dev/pts/3 9600,N,8,1\"",
                       "10:00:01.000Z,reading,080.5,1100,025.0,No Error,",
                       "10:00:02.000Z,reading,080.5,1100,025.0,No Error,",
                       "10:00:03.000Z,reading,080.5,1100,025.0,No Error,",
                       "10:00:04.000Z,reading,080.5,1100,025.0,No Error,",
                       "10:00:04.500Z,timeout,,,,,FLT",
                       "10:00:05.000Z,reading,080.5,1100,025.0,No Error,"}
        << "1 events and 2 readings imported for lab/gen1; 1 events and 3 readings were in the "
           "archive already"
        << QStringList{"10:00:01|2|080.5", "10:00:05|1|080.5", "10:00:03|2|080.5"} << QStringList();

    const QString on = "10:00:01.000Z,xray-on,,,,,VP0805 CP1100 ENBL1";
    const QString reading = "10:00:02.000Z,reading,080.5,1100,025.0,No Error,";
    const QString off = "10:00:04.000Z,xray-off,,,,,ENBL0";
    QTest::newRow("an exposure the archive missed")
        << QStringList() << QStringList{on, reading, off}
        << "2 events and 1 readings imported for lab/gen1; 0 events and 0 readings were in the "
           "archive already; 1 exposures added or closed from the record"
        << QStringList{"10:00:02|1|080.5"} << QStringList{"10:00:01 10:00:04 xray-off"};
    QTest::newRow("an exposure the archive could only bound")
        << QStringList{"09:00:00 info 09:00:00 ops", "10:00:01 event xray-on 1 VP0805 CP1100 ENBL1",
                       "10:00:02 reading 080.5 1100 on 1", "10:00:03 status offline"}
        << QStringList{on, reading, off}
        << "1 events and 0 readings imported for lab/gen1; 1 events and 1 readings were in the "
           "archive already; 1 exposures added or closed from the record"
        << QStringList{"10:00:02|1|080.5"} << QStringList{"10:00:01 10:00:04 xray-off"};
    QTest::newRow("a record that ends with X-rays on")
        << QStringList() << QStringList{on, reading}
        << "1 events and 1 readings imported for lab/gen1; 0 events and 0 readings were in the "
           "archive already; 1 exposures added or closed from the record"
        << QStringList{"10:00:02|1|080.5"} << QStringList{"10:00:01 uncertain record ended"};

    const QString bad = "RECORD:3: ";
    const QStringList good{"10:00:00.000Z,start,,,,,", "10:00:01.000Z,xray-off,,,,,"};
    QTest::newRow("a row of six fields")
        << QStringList() << QStringList{good[0], "10:00:01.000Z,reading,080.5,1100,025.0,No Error"}
        << bad + "6 fields where a record's rows have 7" << QStringList() << QStringList();
    QTest::newRow("not a time") << QStringList() << QStringList{good[0], "yesterday,stop,,,,,"}
                                << bad + "\"2026-05-04Tyesterday\" is not a time like "
                                         "2026-12-08T06:22:47.123Z"
                                << QStringList() << QStringList();
    QTest::newRow("an unknown event")
        << QStringList() << QStringList{good[0], "10:00:01.000Z,explode,,,,,"}
        << bad + "\"explode\" is neither a reading nor an event a console writes" << QStringList()
        << QStringList();
    QTest::newRow("a lone backslash")
        << QStringList() << QStringList{good[0], "10:00:01.000Z,timeout,,,,,C:\\dev"}
        << bad + "field 7 has a backslash that is not \\xHH" << QStringList() << QStringList();
    QTest::newRow("an open quote")
        << QStringList() << QStringList{good[0], "10:00:01.000Z,timeout,,,,,\"FLT"}
        << bad + "a quoted field is not closed" << QStringList() << QStringList();
    QTest::newRow("the last row bad, after thousands") << QStringList() <<
        [&] {
            QStringList rows;
            for (int i = 0; i < 6000; ++i)
                rows << QString("10:%1:%2.000Z,reading,080.5,1100,025.0,No Error,")
                            .arg(i / 60 % 60, 2, 10, QChar('0'))
                            .arg(i % 60, 2, 10, QChar('0'));
            return rows << "10:59:59.999Z,xray-on";
        }() << "RECORD:6002: 2 fields where a record's rows have 7"
                                                       << QStringList() << QStringList();
}

void TestLabCli::import()
{
    QFETCH(QStringList, archived);
    QFETCH(QStringList, record);
    QFETCH(QString, said);
    QFETCH(QStringList, readings);
    QFETCH(QStringList, exposures);
    Feed(archived);
    const QString path = m_dir->filePath("RECORD");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(Record(record));
    file.close();
    const QString line = QString("import %1 --generator %2").arg(path, kGen);

    const LabResult first = Run(line);
    QString got =
        first.exitCode ? first.messages.join('\n') : QString::fromUtf8(first.out).trimmed();
    QCOMPARE(got.replace(path, "RECORD"),
             readings.isEmpty() ? said + "; nothing was imported" : "RECORD: " + said);
    QCOMPARE(first.exitCode, readings.isEmpty() ? 1 : 0);

    const LabResult again = Run(line);
    if (readings.isEmpty()) {
        QCOMPARE(Dump("SELECT COUNT(*) FROM events UNION ALL SELECT COUNT(*) FROM reading_blocks"),
                 (QStringList{"0", "0"}));
        return;
    }
    QVERIFY(again.out.contains(" 0 events and 0 readings imported"));
    QVERIFY2(!again.out.contains("exposures added"), again.out.constData());
    QStringList shown;
    for (const QString& row :
         QString::fromUtf8(Run("exposures --from 2026-05-04 --to 2026-05-04 --tz UTC").out)
             .split("\r\n", Qt::SkipEmptyParts)
             .mid(1)) {
        const QStringList f = row.split(',');
        const auto clock = [](const QString& t) { return t.mid(11, 8); };
        shown << clock(f[1]) + ' ' + (f[2] == "uncertain" ? f[2] : clock(f[2])) + ' ' + f.last();
    }
    QCOMPARE(shown, exposures);
    QCOMPARE(Run("verify").exitCode, 0);
    QStringList runs;
    for (const QString& row : Dump("runs: first_ms count kv"))
        runs << QDateTime::fromMSecsSinceEpoch(row.section('|', 0, 0).toLongLong(),
                                               QTimeZone::utc())
                        .toString("HH:mm:ss") +
                    "|" + row.section('|', 1);
    QCOMPARE(runs, readings);
}

void TestLabCli::shapes_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("lines"); // the first column of each line, or whole lines

    QTest::newRow("gaps")
        << "gaps --tz UTC"
        << QStringList{
               "generator,what,first_seq,last_seq,count,from,to,reason",
               "lab/gen1,reading,2,4,3,2026-05-04T10:00:02.000+00:00,2026-05-04T10:00:05.000+00:00,"
               "not delivered or lost when the archive stopped uncleanly"};
    QTest::newRow("gaps of another generator")
        << "gaps --generator lab/gen2"
        << QStringList{"generator,what,first_seq,last_seq,count,from,to,reason"};
    QTest::newRow("status") << "status"
                            << QStringList{"item",
                                           "database",
                                           "size_bytes",
                                           "rows.generators",
                                           "rows.events",
                                           "rows.readings",
                                           "rows.rollups",
                                           "rows.intervals",
                                           "rows.gaps",
                                           "growth_rows_per_day",
                                           "growth_bytes_per_day",
                                           "disk_free_bytes",
                                           "days_until_full"};
    QTest::newRow("exposures in Berlin, a day's end included")
        << "exposures --from 2026-05-04 --to 2026-05-04"
        << QStringList{"generator,start,end,earliest_end,latest_end,duration_s,longest_duration_s,"
                       "set_kv,set_ua,mean_kv,mean_ua,host,user,end_reason",
                       "lab/gen1,2026-05-04T12:00:01.000+02:00,2026-05-04T12:00:04.000+02:00,"
                       "2026-05-04T12:00:04.000+02:00,2026-05-04T12:00:04.000+02:00,3.000,3.000,"
                       "80.5,1100,80.5,1100,lab-pc,ops,xray-off"};
}

void TestLabCli::shapes()
{
    QFETCH(QString, command);
    QFETCH(QStringList, lines);
    Feed({"09:00:00 info 09:00:00 ops", "10:00:01 event xray-on 1 VP0805 CP1100 ENBL1",
          "10:00:02 reading 080.5 1100 on 1", "10:00:04 event xray-off 2",
          "10:00:05 reading 080.5 1100 off 5"});
    const LabResult r = Run(command);
    QCOMPARE(r.messages, QStringList());
    QStringList got = QString::fromUtf8(r.out).split("\r\n");
    QCOMPARE(got.takeLast(), QString());
    if (command == "status") {
        for (QString& line : got)
            line = line.section(',', 0, 0);
    }
    QCOMPARE(got, lines);
}

void TestLabCli::retention()
{
    // Numbers that jump: each reading a block of its own.
    Feed({"10:00:01 reading 080.5 1100 on 1", "10:00:02 reading 081.0 1100 on 3",
          "10:00:03 reading 081.5 1100 on 5"});
    QString error;
    std::unique_ptr<CArchive> archive = CArchive::Open(m_db, {}, &error);
    QVERIFY2(archive, qPrintable(error));
    const QDateTime now(QDate(2027, 6, 8), QTime(10, 0, 2, 500), QTimeZone::utc());
    const auto reading = [&](const char* line) {
        return archive->Enqueue({kGen, "reading", test::ScriptLine(line).payload, now, false}) &&
               archive->Flush(5000);
    };
    // 400 days before now is 10:00:02.5 on the day the readings were taken.
    QCOMPARE(ApplyRetention(*archive, now, 400, &error), std::optional<qint64>(2));
    QVERIFY2(reading("10:00:04 reading 081.5 1100 on 6"), qPrintable(archive->LastError()));
    // The block the writer holds stays however old: a reading after it is counted in it.
    QCOMPARE(ApplyRetention(*archive, now.addYears(5), 400, &error), std::optional<qint64>(1));
    QVERIFY2(reading("10:00:05 reading 081.5 1100 on 7"), qPrintable(archive->LastError()));
    archive.reset();
    QCOMPARE(Dump("runs: count kv"), QStringList{"2|081.5"});
}

void TestLabCli::program_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("firstLine"); // of standard output, else of standard error

    QTest::newRow("exposures") << "exposures --from 2026-05-04 --to 2026-05-04 --db DB" << 0
                               << "generator,start,end,earliest_end,latest_end,duration_s,"
                                  "longest_duration_s,set_kv,set_ua,mean_kv,mean_ua,host,user,"
                                  "end_reason";
    QTest::newRow("a bad date") << "exposures --from 2026-05-04 --to May --db DB" << 2
                                << "ondrel-lab: exposures: --to: \"May\" is not a day like "
                                   "2026-12-01.";
    QTest::newRow("no archive there") << "gaps --db DB.missing" << 1
                                      << "ondrel-lab: DB.missing: no archive there (serve or "
                                         "import makes one)";
    QTest::newRow("a schema from the future")
        << "verify --db FUTURE" << 1
        << "ondrel-lab: FUTURE: the archive's schema is version 9, newer than this program reads "
           "(version 6); use a newer ondrel-lab";
    QTest::newRow("a record that is not there")
        << "import NOWHERE.csv --generator g --db DB" << 2
        << "ondrel-lab: import: cannot read \"NOWHERE.csv\": No such file or directory.";
}

void TestLabCli::program()
{
    QFETCH(QString, args);
    QFETCH(int, exitCode);
    QFETCH(QString, firstLine);
    Feed({"10:00:01 reading 080.5 1100 on 1"});
    const QString future = m_dir->filePath("future.sqlite");
    QVERIFY(QFile::copy(m_db, future));
    QCOMPARE(Dump("UPDATE schema_version SET version = 9", future), QStringList());
    QProcess lab;
    lab.setWorkingDirectory(m_dir->path());
    lab.start(ONDREL_LAB_BINARY,
              QString(args).replace("FUTURE", future).replace("DB", m_db).split(' '));
    QVERIFY(lab.waitForFinished(30000));
    QCOMPARE(lab.exitCode(), exitCode);
    const QByteArray out = exitCode ? lab.readAllStandardError() : lab.readAllStandardOutput();
    QCOMPARE(QString::fromUtf8(out)
                 .section('\n', 0, 0)
                 .remove('\r')
                 .replace(future, "FUTURE")
                 .replace(m_db, "DB"),
             firstLine);
}

QTEST_GUILESS_MAIN(TestLabCli)
#include "tst_labcli.moc"
