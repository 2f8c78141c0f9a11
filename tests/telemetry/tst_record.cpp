// The exposure record's file: rows byte for byte, what it does with a file that
// is already there, paths it must refuse without blocking, and a disk that fills.
#include "filebytes.h"
#include "record.h"
#include "recordformat.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ondrel;

class TestRecord : public QObject
{
    Q_OBJECT
private slots:
    void rows_data();
    void rows();
    void numbers_data();
    void numbers();
    void continues_data();
    void continues();
    void refused_data();
    void refused();
    void eventsAreSynced();
    void fullDisk_data();
    void fullDisk();
};

namespace {

const QDateTime kTime = QDateTime::fromMSecsSinceEpoch(1796710967123, QTimeZone::utc());
const QByteArray kStamp = "2026-12-08T06:22:47.123Z,";
const QByteArray kHeader = "time,event,kv,ua,temperature,faults,detail\r\n";

ConsoleEvent Event(EventKind kind, const QString& detail = {})
{
    ConsoleEvent e;
    e.time = kTime;
    e.kind = kind;
    e.detail = detail;
    return e;
}

} // namespace

void TestRecord::rows_data()
{
    QTest::addColumn<QByteArray>("row");
    QTest::addColumn<QByteArray>("expected"); // after the time
    const auto reading = [](const QString& kv, const QString& ua, const QString& temp,
                            const QString& faults, const QByteArray& flt) {
        return RecordRow(Reading::FromForm(kTime, kv, ua, temp, faults, flt));
    };
    QTest::newRow("reading") << reading("080.5", "1100", "025.0", "No Error",
                                        "\x02"
                                        "0 0 0 0 0 0 0 0 0\r")
                             << QByteArray("reading,080.5,1100,025.0,No Error,"
                                           "\\x020 0 0 0 0 0 0 0 0\\x0D\r\n");
    QTest::newRow("garbled reading: control and 8-bit bytes")
        << reading(QString::fromLatin1("0\0000.5", 5), QStringLiteral("1\t0\u00ff"),
                   QStringLiteral("02\x7f.0"), "Error.Please Clear", QByteArray("\x02\x80?\n\r", 5))
        << QByteArray("reading,0\\x000.5,1\\x090\\xFF,02\\x7F.0,Error.Please Clear,"
                      "\\x02\\x80?\\x0A\\x0D\r\n");
    QTest::newRow("comma quoted") << RecordRow(Event(EventKind::Start, "/dev/pts/3 9600,N,8,1"))
                                  << QByteArray("start,,,,,\"/dev/pts/3 9600,N,8,1\"\r\n");
    QTest::newRow("quote doubled")
        << RecordRow(Event(EventKind::PortError, "Cannot open \"x\": busy"))
        << QByteArray("port-error,,,,,\"Cannot open \"\"x\"\": busy\"\r\n");
    QTest::newRow("backslash escaped, so no text passes for an escape")
        << RecordRow(Event(EventKind::Version, "\\x41")) << QByteArray("version,,,,,\\x5Cx41\r\n");
    QTest::newRow("line breaks stay in the row") << RecordRow(Event(EventKind::Version, "20\r\n0"))
                                                 << QByteArray("version,,,,,20\\x0D\\x0A0\r\n");
    QTest::newRow("beyond Latin-1: UTF-8 bytes")
        << RecordRow(Event(EventKind::PortError, QStringLiteral("/dev/\u00b5\u2622")))
        << QByteArray("port-error,,,,,/dev/\\xB5\\xE2\\x98\\xA2\r\n");
    QTest::newRow("no detail") << RecordRow(Event(EventKind::XrayOff))
                               << QByteArray("xray-off,,,,,\r\n");
}

void TestRecord::rows()
{
    QFETCH(QByteArray, row);
    QFETCH(QByteArray, expected);
    QCOMPARE(row, kStamp + expected);
}

void TestRecord::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value"); // -1: no number
    QTest::newRow("read-out") << "080.5" << 80.5;
    QTest::newRow("digits") << "1100" << 1100.0;
    QTest::newRow("garbled") << "08?.5" << -1.0;
    QTest::newRow("two points") << "0.0.5" << -1.0;
    QTest::newRow("sign") << "-80.5" << -1.0;
    QTest::newRow("exponent") << "1e3" << -1.0;
    QTest::newRow("NUL") << QString::fromLatin1("0\0000.5", 5) << -1.0;
    QTest::newRow("empty") << "" << -1.0;
    QTest::newRow("point alone") << "." << -1.0;
    QTest::newRow("a tenth, not exact in binary") << "0.1" << 0.1;
    QTest::newRow("trailing point") << "80." << 80.0;
    QTest::newRow("leading point") << ".05" << 0.05;
    QTest::newRow("fifteen digits") << "99999999999999.9" << 99999999999999.9;
    QTest::newRow("past fifteen digits") << "1234567890123456.75" << 1234567890123456.75;
}

void TestRecord::numbers()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    const std::optional<double> number = NumberFromText(text);
    QCOMPARE(number.has_value(), value >= 0);
    if (number) {
        QCOMPARE(*number, value);
        // Bit for bit what the C library's correctly rounded reading gives.
        QVERIFY(*number == std::strtod(text.toLatin1().constData(), nullptr));
    }
}

void TestRecord::continues_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("prefix"); // what goes before the new row
    const QByteArray old = kHeader + kStamp + "stop,,,,,\r\n";
    QTest::newRow("new file") << false << QByteArray() << kHeader;
    QTest::newRow("empty file") << true << QByteArray() << kHeader;
    QTest::newRow("a record: continued, no second header") << true << old << old;
    QTest::newRow("a torn last line stays apart from the new row")
        << true << old + "2026-12" << old + "2026-12\r\n";
}

void TestRecord::continues()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, prefix);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("r.csv"));
    if (exists)
        WriteFile(path, before);
    QString error;
    {
        std::unique_ptr<CExposureRecord> record = CExposureRecord::Open(path, &error);
        QVERIFY2(record, qPrintable(error));
        record->OnEvent(Event(EventKind::XrayOff));
    }
    QCOMPARE(ReadAll(path), prefix + kStamp + "xray-off,,,,,\r\n");
}

void TestRecord::refused_data()
{
    QTest::addColumn<QString>("kind"); // what the test makes at the path
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder") << "folder"
                            << "it is a folder";
    QTest::newRow("FIFO without a reader") << "fifo"
                                           << "it is a FIFO (named pipe), not a file";
    QTest::newRow("FIFO with a reader") << "fifo-read"
                                        << "it is a FIFO (named pipe), not a file";
    QTest::newRow("missing folder") << "missing"
                                    << "No such file or directory";
    // Root writes through permissions: then a read-only mount stands in.
    QTest::newRow("unwritable") << "unwritable"
                                << (::geteuid() == 0 ? "Read-only file system"
                                                     : "Permission denied");
    QTest::newRow("no name") << "empty"
                             << "no file name given";
}

void TestRecord::refused()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("r.csv"));
    int reader = -1;
    if (kind == QLatin1String("folder")) {
        path = dir.path();
    } else if (kind.startsWith(QLatin1String("fifo"))) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (kind == QLatin1String("fifo-read"))
            reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    } else if (kind == QLatin1String("missing")) {
        path = dir.filePath(QStringLiteral("no/such/r.csv"));
    } else if (kind == QLatin1String("unwritable") && ::geteuid() != 0) {
        WriteFile(path, "");
        QFile::setPermissions(path, QFile::ReadOwner);
    } else if (kind == QLatin1String("unwritable")) {
        if (::mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", MS_RDONLY,
                    "size=4k") != 0)
            QSKIP("no read-only tmpfs can be mounted here");
    } else if (kind == QLatin1String("empty")) {
        path.clear();
    }
    QString error;
    const std::unique_ptr<CExposureRecord> record = CExposureRecord::Open(path, &error);
    if (reader >= 0)
        ::close(reader);
    if (kind == QLatin1String("unwritable") && ::geteuid() == 0)
        QCOMPARE(::umount(QFile::encodeName(dir.path()).constData()), 0);
    QVERIFY(!record);
    QVERIFY2(error.startsWith(QStringLiteral("Cannot record to %1: ").arg(path)),
             qPrintable(error));
    QVERIFY2(error.endsWith(reason), qPrintable(error));
    QVERIFY2(error.size() > QStringLiteral("Cannot record to %1: ").arg(path).size(),
             qPrintable(error));
}

void TestRecord::eventsAreSynced()
{
    QTemporaryDir dir;
    QString error;
    const std::unique_ptr<CExposureRecord> record =
        CExposureRecord::Open(dir.filePath(QStringLiteral("r.csv")), &error);
    QVERIFY(record);
    // A reading alone is synced within the interval; an event at once. Neither is
    // timed here: both must simply happen without anything else coming.
    record->OnReading(Reading::FromForm(kTime, "080.5", "1100", "025.0", "No Error", "x"));
    QTRY_COMPARE(record->SyncCount(), 1);
    record->OnEvent(Event(EventKind::XrayOn, "VP0805 CP1100 ENBL1"));
    QTRY_COMPARE(record->SyncCount(), 2);
}

void TestRecord::fullDisk_data()
{
    QTest::addColumn<QString>("where");
    QTest::newRow("/dev/full") << "/dev/full";
    QTest::newRow("a small tmpfs filling up") << "tmpfs";
}

void TestRecord::fullDisk()
{
    QFETCH(QString, where);
    QTemporaryDir mountPoint;
    QString path = where;
    const bool tmpfs = where == QLatin1String("tmpfs");
    if (tmpfs) {
        if (::mount("tmpfs", QFile::encodeName(mountPoint.path()).constData(), "tmpfs", 0,
                    "size=8k") != 0)
            QSKIP("no tmpfs can be mounted here (not root, or in a container)");
        path = mountPoint.filePath(QStringLiteral("r.csv"));
    }
    QStringList messages;
    QObject context;
    {
        QString error;
        std::unique_ptr<CExposureRecord> record = CExposureRecord::Open(path, &error);
        QVERIFY2(record, qPrintable(error));
        connect(record.get(), &CExposureRecord::stopped, &context,
                [&](const QString& text) { messages << text; });
        const ConsoleEvent event = Event(EventKind::Start, QString(60, QLatin1Char('x')));
        for (int i = 0; i < 400 && record->Recording(); ++i) {
            record->OnEvent(event);
            QTest::qWait(0);
        }
        QTRY_VERIFY(!record->Recording());
        record->OnEvent(event);
        QTRY_COMPARE(messages, QStringList{"Recording stopped: No space left on device"});
    }
    QCoreApplication::processEvents();
    QCOMPARE(messages.size(), 1);
    if (tmpfs) {
        // What did reach the disk ends on a whole row.
        const QByteArray written = ReadAll(path);
        QVERIFY(written.size() > kHeader.size());
        QVERIFY(written.endsWith("\r\n"));
        for (const QByteArray& line : written.split('\n').mid(1, written.count('\n') - 1))
            QCOMPARE(line.size(), kStamp.size() + 71);
        QCOMPARE(::umount(QFile::encodeName(mountPoint.path()).constData()), 0);
    }
}

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_record.moc"
