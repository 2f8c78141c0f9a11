// The exposure record against the simulated generator: the rows a console run
// leaves, and a record that survives the console being killed at any moment.
#include "dialogbuilder.h"
#include "e2erig.h"
#include "filebytes.h"
#include "record.h"
#include "recordformat.h"
#include "resource.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace ondrel;
using namespace ondrel::e2e;

class TestE2ERecord : public QObject
{
    Q_OBJECT
private slots:
    void run_data();
    void run();
    void killedAtAnyMoment();
    void folderRefusedConsoleRuns();
};

namespace {

const QByteArray kHeader = "time,event,kv,ua,temperature,faults,detail\r\n";
const QString kNoFault = QStringLiteral("No Error,\\x020 0 0 0 0 0 0 0 0\\x0D");

// A row's fields, RFC 4180 quoting undone; empty for a row that is not one.
QStringList Fields(const QByteArray& row)
{
    if (!row.endsWith("\r\n"))
        return {};
    QStringList fields{QString()};
    bool quoted = false;
    const QByteArray body = row.chopped(2);
    for (qsizetype i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (quoted && c == '"' && i + 1 < body.size() && body[i + 1] == '"') {
            fields.last() += QLatin1Char('"');
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields << QString();
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            return {};
        } else {
            fields.last() += QLatin1Char(c);
        }
    }
    return quoted ? QStringList{} : fields;
}

// The record as rows, each checked whole: seven fields, a time in the record's
// format, a known kind.
bool WholeRows(const QByteArray& record, QList<QStringList>* rows, QString* why)
{
    static const QRegularExpression time(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
    static const QStringList kinds{"reading",          "start",    "port-error",   "version",
                                   "xray-on",          "xray-off", "clear-faults", "timeout",
                                   "readings-stopped", "stop"};
    if (!record.startsWith(kHeader) || !record.endsWith("\r\n")) {
        *why = QStringLiteral("no header, or a torn last row");
        return false;
    }
    qsizetype from = kHeader.size();
    while (from < record.size()) {
        const qsizetype end = record.indexOf("\r\n", from) + 2;
        const QByteArray row = record.mid(from, end - from);
        const QStringList fields = Fields(row);
        if (fields.size() != 7 || !time.match(fields[0]).hasMatch() || !kinds.contains(fields[1])) {
            *why = QStringLiteral("not a whole row: %1").arg(QString::fromLatin1(row));
            return false;
        }
        rows->append(fields);
        from = end;
    }
    return true;
}

void Click(COndrelView& view, const QString& what)
{
    if (what == QLatin1String("clear")) {
        qobject_cast<QAbstractButton*>(DialogItemWidget(view.Form(), IDC_CLEAR_FAULTS))->click();
        return;
    }
    view.m_checkXray->setChecked(what == QLatin1String("off"));
    view.m_checkXray->click();
}

} // namespace

void TestE2ERecord::run_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("events");   // rows other than readings, time left out
    QTest::addColumn<QStringList>("readings"); // rows that must be there, from the kind on
    const QString start = QStringLiteral("start,,,,,%pty 9600,N,8,1"); // quotes undone
    const QString version = QStringLiteral("version,,,,,2000");
    const QString stop = QStringLiteral("stop,,,,,");

    QTest::newRow("normal poll") << QStringList{"readings 3"} << QStringList{start, version, stop}
                                 << QStringList{"reading,000.0,0000,025.0," + kNoFault};
    QTest::newRow("x-rays on and off")
        << QStringList{"presets", "click on", "kv 080.5", "readings 1", "click off", "kv 000.0"}
        << QStringList{start, version, "xray-on,,,,,VP0805 CP1100 ENBL1", "xray-off,,,,,", stop}
        << QStringList{"reading,080.5,1100,", "reading,000.0,0000,"};
    QTest::newRow("fault, Clear Faults")
        << QStringList{"sim fault 3", "faults Error.Please Clear", "click clear", "faults No Error",
                       "readings 1"}
        << QStringList{start, version, "clear-faults,,,,,", stop}
        << QStringList{"reading,000.0,0000,025.0,Error.Please Clear,\\x020 0 1 0 0 0 0 0 0\\x0D",
                       "reading,000.0,0000,025.0," + kNoFault};
    QTest::newRow("silent generator") << QStringList{"readings 1", "sim silent on", "stopped"}
                                      << QStringList{start,
                                                     version,
                                                     "timeout,,,,,FLT",
                                                     "timeout,,,,,MON",
                                                     "readings-stopped,,,,,",
                                                     stop}
                                      << QStringList{"reading,000.0,0000,025.0," + kNoFault};
    QTest::newRow("garbled reply")
        << QStringList{"readings 1", "sim garble 3", "kv ???.0", "readings 1"}
        << QStringList{start, version, stop}
        << QStringList{"reading,???.0,0000,025.0,Error.Please Clear,\\x02??? 0 0 0 0 0 0 0\\x0D"};
    QTest::newRow("a NUL in the monitor reply")
        << QStringList{"readings 1", "sim nul on", "readings 2"}
        << QStringList{start, version, stop}
        << QStringList{"reading,0\\x000.0,0000,025.0," + kNoFault};
}

void TestE2ERecord::run()
{
    QFETCH(QStringList, script);
    QFETCH(QStringList, events);
    QFETCH(QStringList, readings);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record.csv"));
    QByteArray announced; // what the view announced, as the record should have it
    int readingCount = 0;
    {
        QString error;
        std::unique_ptr<CExposureRecord> record = CExposureRecord::Open(path, &error);
        QVERIFY2(record, qPrintable(error));
        CE2ERig rig;
        std::string simError;
        QVERIFY2(rig.StartGenerator(&simError), simError.c_str());
        for (QString& row : events)
            row.replace(QLatin1String("%pty"), rig.SlavePath());
        QObject::connect(rig.view, &COndrelView::readingTaken, record.get(),
                         &CExposureRecord::OnReading);
        QObject::connect(rig.view, &COndrelView::consoleEvent, record.get(),
                         &CExposureRecord::OnEvent);
        QObject::connect(rig.view, &COndrelView::readingTaken, [&](const Reading& r) {
            announced += RecordRow(r);
            ++readingCount;
        });
        QObject::connect(rig.view, &COndrelView::consoleEvent,
                         [&](const ConsoleEvent& e) { announced += RecordRow(e); });
        rig.StartConsole();
        for (const QString& step : script) {
            const QString word = step.section(QLatin1Char(' '), 0, 0);
            const QString rest = step.section(QLatin1Char(' '), 1);
            if (word == QLatin1String("readings")) {
                const int target = readingCount + rest.toInt();
                QVERIFY2(rig.WaitFor([&] { return readingCount >= target; }), qPrintable(step));
            } else if (word == QLatin1String("sim")) {
                QVERIFY2(rig.Inject(rest.toStdString()).isEmpty(), qPrintable(step));
            } else if (word == QLatin1String("presets")) {
                rig.view->m_checkVoltage->setChecked(true);
                rig.view->m_checkCurrent->setChecked(true);
            } else if (word == QLatin1String("click")) {
                Click(*rig.view, rest);
            } else if (word == QLatin1String("kv")) {
                QVERIFY2(rig.WaitFor([&] { return rig.view->m_editKilovolts->text() == rest; }),
                         qPrintable(step));
            } else if (word == QLatin1String("faults")) {
                QVERIFY2(rig.WaitFor([&] { return rig.view->m_editFaults->text() == rest; }),
                         qPrintable(step));
            } else if (word == QLatin1String("stopped")) {
                QVERIFY(rig.WaitFor([] { return g_linkFailed == 1; }));
            } else {
                QFAIL(qPrintable(step));
            }
        }
        delete rig.view; // the console closes: its stop is the last row
        rig.view = nullptr;
    }

    const QByteArray written = ReadAll(path);
    QCOMPARE(written, kHeader + announced);
    QList<QStringList> rows;
    QString why;
    QVERIFY2(WholeRows(written, &rows, &why), qPrintable(why));
    QStringList eventRows;
    QStringList readingRows;
    for (const QStringList& fields : rows)
        (fields[1] == QLatin1String("reading") ? readingRows : eventRows)
            << QStringList(fields.mid(1)).join(QLatin1Char(','));
    QCOMPARE(eventRows, events);
    for (const QString& expected : readings)
        QVERIFY2(std::any_of(readingRows.cbegin(), readingRows.cend(),
                             [&](const QString& row) { return row.startsWith(expected); }),
                 qPrintable(expected + QStringLiteral("\nnot among\n") + readingRows.join('\n')));
}

void TestE2ERecord::killedAtAnyMoment()
{
    // The real program on its own simulated line, killed three times at different
    // points of its polling; each run continues the record the last one left.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record.csv"));
    int rowsBefore = 0;
    for (const int extraRows : {3, 7, 12}) {
        QProcess console;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        console.setProcessEnvironment(env);
        console.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        console.start(QStringLiteral(ONDREL_BINARY),
                      {QStringLiteral("--simulate"), QStringLiteral("--record"), path});
        QVERIFY(console.waitForStarted());
        const int target = rowsBefore + extraRows;
        QVERIFY(QTest::qWaitFor([&] { return ReadAll(path).count('\n') >= target + 1; },
                                kLongDeadlineMs));
        console.kill(); // SIGKILL: no handler runs, nothing is flushed on the way out
        QVERIFY(console.waitForFinished());

        const QByteArray written = ReadAll(path);
        QList<QStringList> rows;
        QString why;
        QVERIFY2(WholeRows(written, &rows, &why), qPrintable(why));
        QCOMPARE(written.count(kHeader), 1);
        QVERIFY(rows.size() >= target);
        rowsBefore = int(rows.size());
    }
    const QByteArray written = ReadAll(path);
    QCOMPARE(written.count(",start,"), 3);
    QCOMPARE(written.count(",stop,"), 0);
}

void TestE2ERecord::folderRefusedConsoleRuns()
{
    QTemporaryDir dir;
    QProcess console;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    console.setProcessEnvironment(env);
    console.start(QStringLiteral(ONDREL_BINARY),
                  {QStringLiteral("--simulate"), QStringLiteral("--record"), dir.path()});
    QVERIFY(console.waitForStarted());
    const QByteArray message = "ondrel: Cannot record to " + QFile::encodeName(dir.path()) +
                               ": it is a folder (running without a record)\n";
    QByteArray err;
    QVERIFY(QTest::qWaitFor(
        [&] {
            err += console.readAllStandardError();
            return err.contains(message) || console.state() == QProcess::NotRunning;
        },
        kLongDeadlineMs));
    QVERIFY2(err.contains(message), err.constData());
    QCOMPARE(console.state(), QProcess::Running);
    console.kill();
    QVERIFY(console.waitForFinished());
    QVERIFY(QDir(dir.path()).isEmpty());
}

QTEST_MAIN(TestE2ERecord)
#include "tst_e2e_record.moc"
