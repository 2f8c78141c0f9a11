// The exposure record's file: rows byte for byte, what it does with a file that
// is already there, paths it must refuse without blocking, and a disk that fills.
#include "filebytes.h"
#include "ptyend.h"
#include "record.h"
#include "recordformat.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <thread>

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
    void rotated_data();
    void rotated();
    void twoConsoles();
    void stuckWriter();
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

// The descriptor this process holds open on path, the record's; -1 when none.
int OpenDescriptor(const QString& path)
{
    const QByteArray target = QFile::encodeName(QFileInfo(path).canonicalFilePath());
    for (int fd = 0; fd < 1024; ++fd) {
        char link[4096];
        const QByteArray name = "/proc/self/fd/" + QByteArray::number(fd);
        const ssize_t n = ::readlink(name.constData(), link, sizeof link);
        if (n > 0 && QByteArray(link, int(n)) == target)
            return fd;
    }
    return -1;
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
    QTest::newRow("the console's own port") << "port"
                                            << "it is the console's own serial port";
    QTest::newRow("the console's own port by a symlink") << "port-symlink"
                                                         << "it is the console's own serial port";
    QTest::newRow("another terminal")
        << "terminal"
        << "it is a character device (a terminal, a serial line or the like), not a file";
    QTest::newRow("/dev/zero")
        << "/dev/zero"
        << "it is a character device (a terminal, a serial line or the like), not a file";
    QTest::newRow("being written by another console")
        << "locked"
        << "it is being written by another Ondrel console";
    QTest::newRow("/dev/null is taken") << "/dev/null"
                                        << "";
    QTest::newRow("/dev/full is taken") << "/dev/full"
                                        << "";
}

void TestRecord::refused()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("r.csv"));
    int reader = -1;
    CPtyEnd line;
    QString port = line.SlavePath();
    std::unique_ptr<CExposureRecord> first;
    QString error;
    if (kind == QLatin1String("port")) {
        path = port;
    } else if (kind == QLatin1String("port-symlink")) {
        QVERIFY(QFile::link(port, path));
    } else if (kind == QLatin1String("terminal")) {
        path = port;
        port.clear();
    } else if (kind.startsWith(QLatin1String("/dev/"))) {
        path = kind;
    } else if (kind == QLatin1String("locked")) {
        first = CExposureRecord::Open(path, port, &error);
        QVERIFY2(first, qPrintable(error));
    } else if (kind == QLatin1String("folder")) {
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
    const std::unique_ptr<CExposureRecord> record = CExposureRecord::Open(path, port, &error);
    if (reader >= 0)
        ::close(reader);
    if (kind == QLatin1String("unwritable") && ::geteuid() == 0)
        QCOMPARE(::umount(QFile::encodeName(dir.path()).constData()), 0);
    if (reason.isEmpty()) {
        QVERIFY2(record, qPrintable(error));
        return;
    }
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

void TestRecord::rotated_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QByteArray>("fate"); // the continued row's detail
    QTest::newRow("moved away") << "mv" << QByteArray("previous file moved away");
    QTest::newRow("deleted") << "rm" << QByteArray("previous file deleted");
    QTest::newRow("moved away, then deleted") << "mv rm" << QByteArray("previous file deleted");
    QTest::newRow("replaced") << "replace" << QByteArray("previous file replaced");
}

// Rotated under a running record: the path is made anew at the next sync, with
// a header and a row saying so, and the rows after it go there.
void TestRecord::rotated()
{
    QFETCH(QString, how);
    QFETCH(QByteArray, fate);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("r.csv"));
    const QString old = dir.filePath(QStringLiteral("r.old"));
    QString error;
    std::unique_ptr<CExposureRecord> record = CExposureRecord::Open(path, &error);
    QVERIFY2(record, qPrintable(error));
    record->OnEvent(Event(EventKind::Start, "p"));
    QTRY_COMPARE(record->SyncCount(), 1);

    if (how.startsWith(QLatin1String("mv")))
        QVERIFY(QFile::rename(path, old));
    if (how == QLatin1String("rm"))
        QVERIFY(QFile::remove(path));
    if (how == QLatin1String("mv rm"))
        QVERIFY(QFile::remove(old));
    if (how == QLatin1String("replace")) {
        WriteFile(old, "");
        QCOMPARE(::rename(QFile::encodeName(old).constData(), QFile::encodeName(path).constData()),
                 0);
    }
    record->OnEvent(Event(EventKind::XrayOn, "on"));
    QTRY_VERIFY(ReadAll(path).contains("record-continued"));
    record->OnEvent(Event(EventKind::XrayOff));
    record.reset();

    const QList<QByteArray> lines = ReadAll(path).split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0] + '\n', kHeader);
    QVERIFY2(lines[1].endsWith(",record-continued,,,,," + fate + "\r"), lines[1].constData());
    QCOMPARE(lines[2] + '\n', kStamp + "xray-off,,,,,\r\n");
    if (how == QLatin1String("mv"))
        QCOMPARE(ReadAll(old),
                 kHeader + kStamp + "start,,,,,p\r\n" + kStamp + "xray-on,,,,,on\r\n");
}

// Two consoles started together on one new file: one records, the other is told
// the file is taken, and the header is there once.
void TestRecord::twoConsoles()
{
    for (int round = 0; round < 8; ++round) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("r.csv"));
        std::unique_ptr<CExposureRecord> records[2];
        QString errors[2];
        std::thread other([&] { records[1] = CExposureRecord::Open(path, &errors[1]); });
        records[0] = CExposureRecord::Open(path, &errors[0]);
        other.join();
        QCOMPARE(int(bool(records[0])) + int(bool(records[1])), 1);
        const QString refused = records[0] ? errors[1] : errors[0];
        QCOMPARE(refused,
                 QStringLiteral("Cannot record to %1: it is being written by another Ondrel "
                                "console")
                     .arg(path));
        for (auto& record : records)
            if (record)
                record->OnEvent(Event(EventKind::Stop));
        records[0].reset();
        records[1].reset();
        QCOMPARE(ReadAll(path), kHeader + kStamp + "stop,,,,,\r\n");
    }
}

// A write that never returns cannot hold up the end: the record gives up after
// its wait, says on standard error how many rows it lost, and the writer, once
// its write returns, ends without touching the record that is gone.
void TestRecord::stuckWriter()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("r.csv"));
    QString error;
    std::unique_ptr<CExposureRecord> record = CExposureRecord::Open(path, &error);
    QVERIFY2(record, qPrintable(error));
    QTRY_COMPARE(ReadAll(path), kHeader);
    int pipeFds[2];
    QCOMPARE(::pipe2(pipeFds, O_CLOEXEC), 0);
    // The record's descriptor becomes a pipe nobody reads: its writes block once
    // the pipe is full.
    QVERIFY(::dup2(pipeFds[1], OpenDescriptor(path)) >= 0);
    ::close(pipeFds[1]);
    const ConsoleEvent event = Event(EventKind::Start, QString(200, QLatin1Char('x')));
    for (int i = 0; i < 1000; ++i)
        record->OnEvent(event);

    const QString errPath = dir.filePath(QStringLiteral("stderr"));
    const int saved = ::dup(STDERR_FILENO);
    const int err = ::open(QFile::encodeName(errPath).constData(), O_WRONLY | O_CREAT, 0600);
    ::dup2(err, STDERR_FILENO);
    record.reset();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(err);

    const QString said = QString::fromLocal8Bit(ReadAll(errPath));
    const QRegularExpression expected(
        QStringLiteral("^ondrel: the exposure record %1 could not be written in time; "
                       "(\\d+) rows lost\n$")
            .arg(QRegularExpression::escape(path)));
    const QRegularExpressionMatch match = expected.match(said);
    QVERIFY2(match.hasMatch(), qPrintable(said));
    const int lost = match.captured(1).toInt();
    QVERIFY2(lost > 0 && lost < 1000, qPrintable(said));

    // Drained, the writer finishes the row it was in and lets the pipe go.
    QByteArray drained;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
        drained.append(buffer, n);
    ::close(pipeFds[0]);
    QVERIFY(drained.startsWith(kStamp + "start,"));
    QVERIFY(drained.endsWith("\r\n"));
    // Every row said to be lost is, but the one the writer was stuck in.
    QCOMPARE(int(drained.count('\n')), 1000 - lost + 1);
}

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_record.moc"
