// The archive on a SQLite file: what one console's messages become in its tables,
// tamper evidence, reopening, refusals, and the exposures' CSV.
#include "archive.h"
#include "csv.h"
#include "labscript.h"
#include "sqlitedatabase.h"

#include <QtTest>

using namespace ondrel;
using namespace ondrel::archive;

class TestArchive : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void stored_data();
    void stored();
    void verify_data();
    void verify();
    void reopened();
    void refused_data();
    void refused();
    void queueFull();
    void failedBatchRetried();
    void exposures();

private:
    std::unique_ptr<CArchive> Open(ArchiveOptions options = {});
    void Feed(CArchive& archive, const QStringList& script);
    QStringList Dump(const QString& sql);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    QStringList m_complaints;
};

namespace {

const QString kGen = QStringLiteral("lab/gen1");

const QStringList kExposure{"09:00:00 info 09:00:00 ops",
                            "10:00:01 event xray-on 1 VP0805 CP1100 ENBL1",
                            "10:00:02 reading 080.5 1100 on 1",
                            "10:00:04 event xray-off 2",
                            "10:00:05 event xray-on 3 VP0805 CP1100 ENBL1",
                            "10:00:06 reading 080.5 1100 on 2",
                            "10:00:09 status offline"};

} // namespace

void TestArchive::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_path = m_dir->filePath("lab.db");
    m_complaints.clear();
}

std::unique_ptr<CArchive> TestArchive::Open(ArchiveOptions options)
{
    options.complain = [this](const QString& text) { m_complaints << text; };
    QString error;
    std::unique_ptr<CArchive> archive = CArchive::Open(m_path, options, &error);
    [&] { QVERIFY2(archive, qPrintable(error)); }();
    return archive;
}

void TestArchive::Feed(CArchive& archive, const QStringList& script)
{
    for (const QString& line : script) {
        const test::ScriptMessage m = test::ScriptLine(line);
        QVERIFY(archive.Enqueue({kGen, m.subtopic, m.payload, m.time, false}));
    }
    QVERIFY2(archive.Flush(5000), qPrintable(archive.LastError()));
    QCOMPARE(m_complaints, QStringList());
}

// The rows of a query, columns joined by '|', as another program reading the
// file would see them.
QStringList TestArchive::Dump(const QString& sql)
{
    QString error;
    auto db = CSqliteDatabase::Open(m_path, CSqliteDatabase::Mode::ReadOnly, &error);
    std::vector<SqlRow> rows;
    if (!db || !db->Query(sql, {}, &rows, &error))
        return {error};
    QStringList lines;
    for (const SqlRow& row : rows) {
        QStringList columns;
        for (const QVariant& v : row)
            columns << v.toString();
        lines << columns.join('|');
    }
    return lines;
}

void TestArchive::stored_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("rows");

    const QString runs = "SELECT first_seq, last_seq, count, kv, xray_on FROM readings ORDER BY id";
    const QString gaps = "SELECT what, first_seq, last_seq, count, reason FROM gaps ORDER BY id";
    QTest::newRow("identical readings are one run")
        << QStringList{"10:00:01 reading 080.5 1100 on 1", "10:00:02 reading 080.5 1100 on 2",
                       "10:00:03 reading 080.5 1100 on 3", "10:00:04 reading 080.5 1100 off 4"}
        << runs << QStringList{"1|3|3|080.5|1", "4|4|1|080.5|0"};
    QTest::newRow("a repeated reading is stored once")
        << QStringList{"10:00:01 reading 080.5 1100 on 1", "10:00:02 reading 080.5 1100 on 2",
                       "10:00:02 reading 080.5 1100 on 2"}
        << runs << QStringList{"1|2|2|080.5|1"};
    QTest::newRow("missing readings end a run and are a gap")
        << QStringList{"10:00:01 reading 080.5 1100 on 1", "10:00:02 reading 080.5 1100 on 2",
                       "10:00:05 reading 080.5 1100 on 5"}
        << gaps << QStringList{"reading|3|4|2|never received"};
    QTest::newRow("a repeated event once, missing ones a gap")
        << QStringList{"10:00:01 event start 1 /dev/ttyUSB0", "10:00:01 event start 1 /dev/ttyUSB0",
                       "10:00:03 event version 4 V1.2"}
        << "SELECT 'event', seq, kind, detail, NULL FROM events UNION ALL SELECT what, first_seq, "
           "last_seq, count, reason FROM gaps"
        << QStringList{"event|1|start|/dev/ttyUSB0|", "event|4|version|V1.2|",
                       "event|2|3|2|never received"};
    QTest::newRow("unreadable messages counted in one gap")
        << QStringList{"10:00:01 raw reading {", "10:00:02 raw reading {", "10:00:03 raw status on"}
        << gaps
        << QStringList{
               "reading|||2|unreadable: the reading is not JSON (unterminated object at offset 1)",
               "status|||1|unreadable: a status that is not online, not responding or offline"};
    QTest::newRow("per-minute roll-ups")
        << QStringList{"10:00:01 reading 080.0 1100 on 1", "10:00:30 reading 081.0 1000 on 2",
                       "10:01:05 reading 082.0 ---- on 3"}
        << "SELECT (minute_ms % 3600000) / 60000, readings, kv_min, kv_sum / kv_n, kv_max, ua_n, "
           "ua_min, ua_max, t_max FROM rollups ORDER BY minute_ms"
        << QStringList{"0|2|80|80.5|81|2|1000|1100|25", "1|1|82|82|82|0|||25"};
    QTest::newRow("every change of an interval is a row")
        << kExposure
        << "SELECT change, end_state, end_reason, user_name, kv_n FROM intervals ORDER BY id"
        << QStringList{"opened|open||ops|0", "closed|closed|xray-off|ops|1", "opened|open||ops|0",
                       "uncertain|uncertain|offline|ops|1"};
}

void TestArchive::stored()
{
    QFETCH(QStringList, script);
    QFETCH(QString, query);
    QFETCH(QStringList, rows);
    Feed(*Open(), script);
    QCOMPARE(Dump(query), rows);
}

void TestArchive::verify_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QStringList>("problems");

    QTest::newRow("untouched") << "" << QStringList();
    QTest::newRow("an event edited")
        << "UPDATE events SET detail = 'VP0400 CP1100 ENBL1' WHERE id = 3"
        << QStringList{"events row 3: edited (its content does not match its hash)"};
    QTest::newRow("an interval edited")
        << "UPDATE intervals SET earliest_end_ms = earliest_end_ms + 60000 WHERE id = 4"
        << QStringList{"intervals row 4: edited (its content does not match its hash)"};
    QTest::newRow("an event inserted")
        << "INSERT INTO events SELECT id + 10, generator, started_ms, seq, time_ms, kind, detail, "
           "prev_hash, hash FROM events WHERE id = 2"
        << QStringList{"events row 12: inserted (not a row the archive stored)"};
    QTest::newRow("an event deleted")
        << "DELETE FROM events WHERE id = 2" << QStringList{"events row 2: deleted"};
    QTest::newRow("the last intervals deleted")
        << "DELETE FROM intervals WHERE id >= 3" << QStringList{"intervals rows 3 to 4: deleted"};
}

void TestArchive::verify()
{
    QFETCH(QString, tamper);
    QFETCH(QStringList, problems);
    std::unique_ptr<CArchive> archive = Open();
    Feed(*archive, kExposure);
    if (!tamper.isEmpty()) {
        QString error;
        auto db = CSqliteDatabase::Open(m_path, CSqliteDatabase::Mode::Write, &error);
        QVERIFY2(db && db->Exec(tamper, {}, &error), qPrintable(error));
    }
    QString error;
    const std::optional<VerifyReport> report = archive->Verify(&error);
    QVERIFY2(report, qPrintable(error));
    QCOMPARE(report->problems, problems);
}

void TestArchive::reopened()
{
    Feed(*Open(), kExposure.mid(0, 5));
    std::unique_ptr<CArchive> again = Open();
    // The open interval goes on; the retained reading seen again is not stored twice.
    Feed(*again, {"10:00:02 reading 080.5 1100 on 1", "10:00:06 reading 080.5 1100 on 2",
                  "10:00:09 status offline"});
    QCOMPARE(Dump("SELECT first_seq, last_seq, count FROM readings ORDER BY id"),
             QStringList{"1|2|2"});
    QCOMPARE(Dump("SELECT COUNT(*) FROM events"), QStringList{"3"});
    QCOMPARE(Dump("SELECT change, kv_n FROM intervals ORDER BY id"),
             (QStringList{"opened|0", "closed|1", "opened|0", "uncertain|1"}));
    QString error;
    QVERIFY(again->Verify(&error)->Ok());
}

void TestArchive::refused_data()
{
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<QString>("error"); // FILE and PID stand for the file and this process

    QTest::newRow("a schema from the future") << "UPDATE schema_version SET version = 7"
                                              << "FILE: the archive's schema is version 7, newer "
                                                 "than this program reads (version 1); use "
                                                 "a newer ondrel-lab";
    QTest::newRow("a second writer")
        << ""
        << "FILE is already open for writing by process PID (FILE.lock is locked); only one "
           "writer at a time";
    QTest::newRow("not a database") << "garbage"
                                    << "FILE: not a database this program can open (file is not a "
                                       "database)";
}

void TestArchive::refused()
{
    QFETCH(QString, setUp);
    QFETCH(QString, error);
    std::unique_ptr<CArchive> first = Open();
    if (setUp == "garbage") {
        first.reset();
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray(4096, 'x'));
        file.close();
        QFile::remove(m_path + "-wal");
        QFile::remove(m_path + "-shm");
    } else if (!setUp.isEmpty()) {
        first.reset();
        QString why;
        auto db = CSqliteDatabase::Open(m_path, CSqliteDatabase::Mode::Write, &why);
        QVERIFY2(db && db->Exec(setUp, {}, &why), qPrintable(why));
    }
    QString why;
    QVERIFY(!CArchive::Open(m_path, {}, &why));
    QCOMPARE(why, error.replace("FILE", m_path)
                      .replace("PID", QString::number(QCoreApplication::applicationPid())));
}

void TestArchive::queueFull()
{
    ArchiveOptions tiny;
    tiny.queueLimitBytes = 0;
    std::unique_ptr<CArchive> archive = Open(tiny);
    for (const QString line :
         {"10:00:01 reading 080.5 1100 on 1", "10:00:02 reading 080.5 1100 on 2"}) {
        const test::ScriptMessage m = test::ScriptLine(line);
        QVERIFY(!archive->Enqueue({kGen, m.subtopic, m.payload, m.time, false}));
    }
    QVERIFY(archive->Flush(5000));
    QCOMPARE(Dump("SELECT generator, what, count, to_ms - from_ms, reason FROM gaps"),
             QStringList{"lab/gen1|reading|2|1000|the archive's queue was full"});
}

void TestArchive::failedBatchRetried()
{
    std::mutex mutex;
    QStringList said;
    ArchiveOptions options;
    options.complain = [&](const QString& text) {
        std::lock_guard<std::mutex> lock(mutex);
        said << text;
    };
    QString error;
    std::unique_ptr<CArchive> archive = CArchive::Open(m_path, options, &error);
    QVERIFY2(archive, qPrintable(error));
    const auto enqueue = [&](const QString& line) {
        const test::ScriptMessage m = test::ScriptLine(line);
        return archive->Enqueue({kGen, m.subtopic, m.payload, m.time, false});
    };
    QVERIFY(enqueue(kExposure[1]));
    QVERIFY(archive->Flush(5000));
    // Another program takes the id the next event needs: its batch cannot commit.
    auto db = CSqliteDatabase::Open(m_path, CSqliteDatabase::Mode::Write, &error);
    QVERIFY(db->Exec("INSERT INTO events SELECT id + 1, generator, started_ms, seq, time_ms, kind, "
                     "detail, prev_hash, hash FROM events",
                     {}, &error));
    QVERIFY(enqueue(kExposure[3]));
    QVERIFY(!archive->Flush(200));
    QTRY_COMPARE_WITH_TIMEOUT(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return said.value(0);
        }(),
        m_path + ": a statement failed: UNIQUE constraint failed: events.id (INSERT INTO events); "
                 "retrying",
        5000);
    QVERIFY(db->Exec("DELETE FROM events WHERE id = 2", {}, &error));
    QVERIFY2(archive->Flush(5000), qPrintable(archive->LastError()));
    QCOMPARE(Dump("SELECT id, kind FROM events ORDER BY id"),
             (QStringList{"1|xray-on", "2|xray-off"}));
    QCOMPARE(Dump("SELECT change FROM intervals ORDER BY id"), (QStringList{"opened", "closed"}));
    QVERIFY(archive->Verify(&error)->Ok());
}

void TestArchive::exposures()
{
    std::unique_ptr<CArchive> archive = Open();
    Feed(*archive, kExposure);
    Feed(*archive, {"10:00:20 reading 000.0 0000 off 3"});
    QString error;
    const auto all = archive->Exposures(test::ScriptTime("10:00:03"), test::ScriptTime("11:00:00"),
                                        QString(), &error);
    QVERIFY2(all, qPrintable(error));
    QCOMPARE(
        QString::fromUtf8(ExposuresCsv(*all)).split("\r\n"),
        (QStringList{"generator,host,user,start,end_state,earliest_end,latest_end,end_reason,"
                     "set_kv,set_ua,mean_kv,max_kv,mean_ua,max_ua",
                     "lab/gen1,lab-pc,ops,2026-05-04T10:00:01.000Z,closed,2026-05-04T10:00:"
                     "04.000Z,2026-05-04T10:00:04.000Z,xray-off,80.5,1100,80.5,80.5,1100,1100",
                     "lab/gen1,lab-pc,ops,2026-05-04T10:00:05.000Z,uncertain,2026-05-04T10:"
                     "00:06.000Z,2026-05-04T10:00:20.000Z,offline,80.5,1100,80.5,80.5,1100,1100",
                     ""}));
    const auto later = archive->Exposures(test::ScriptTime("10:00:04"),
                                          test::ScriptTime("11:00:00"), "lab/gen1", &error);
    QCOMPARE(later->size(), size_t(1));
    // Beam time counts the uncertain one to its earliest end: 3 s and 1 s.
    const auto beam = archive->BeamTimeIn(Period::Day, test::ScriptTime("00:00:00"),
                                          test::ScriptTime("23:59:59"), QTimeZone::utc(), &error);
    QVERIFY2(beam, qPrintable(error));
    QCOMPARE(beam->totalMs.at(kGen), 4000);
}

QTEST_GUILESS_MAIN(TestArchive)
#include "tst_archive.moc"
