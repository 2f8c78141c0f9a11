// The lab's memory end to end: a real mosquitto, two real consoles on their
// simulated generators, and `ondrel-lab serve` as the program runs, on SQLite and
// on PostgreSQL. One console switches X-rays on and off; the other is killed with
// X-rays on. `ondrel-lab exposures` then shows one closed interval and one whose
// end is uncertain, never one closed by guesswork.
#include "brokerrig.h"
#include "consolechild.h"
#include "consolehands.h"
#include "payloads.h"
#include "pgrig.h"
#include "sqlitedatabase.h"

#include <QDate>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

using namespace ondrel;
using namespace ondrel::testing;

namespace {

// Deadlines, not expected durations.
constexpr int kDeadlineMs = 60000;

// `ondrel-lab ARGS`: standard output, or the failure with standard error.
QByteArray Lab(const QStringList& args, int* exitCode = nullptr)
{
    QProcess lab;
    lab.start(QStringLiteral(ONDREL_LAB_BINARY), args);
    if (!lab.waitForFinished(kDeadlineMs))
        return "<ondrel-lab did not finish>";
    if (exitCode)
        *exitCode = lab.exitCode();
    return lab.exitCode() == 0 ? lab.readAllStandardOutput() : lab.readAllStandardError();
}

// What `exposures` says of each generator: "NAME END" per line, END as printed
// ("uncertain", "open" or a time, given here as "closed").
QStringList Exposures(const QString& db)
{
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    const QList<QByteArray> lines =
        Lab({"exposures", "--db", db, "--from", today, "--to", today, "--tz", "UTC"})
            .trimmed()
            .split('\n');
    QStringList shown;
    for (const QByteArray& line : lines.mid(1)) {
        const QList<QByteArray> f = line.trimmed().split(',');
        if (f.size() < 3)
            return {QString::fromUtf8(line)};
        const QString end = QString::fromUtf8(f[2]);
        shown << QString::fromUtf8(f[0]) + ' ' +
                     (end == "uncertain" || end == "open" ? end : QStringLiteral("closed"));
    }
    shown.sort();
    return shown;
}

// Whether the program's output comes to a line containing `text` in time; what
// it said goes on to the test's log.
bool SaysEventually(QProcess& program, const QByteArray& text)
{
    QDeadlineTimer deadline(kDeadlineMs);
    while (!deadline.hasExpired() && program.state() == QProcess::Running) {
        while (program.canReadLine()) {
            const QByteArray line = program.readLine();
            std::fputs(line.constData(), stderr);
            if (line.contains(text))
                return true;
        }
        program.waitForReadyRead(100);
    }
    return false;
}

class CConsoleChild
{
public:
    explicit CConsoleChild(const QString& url)
    {
        m_dir.setAutoRemove(true);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", m_dir.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QCoreApplication::applicationFilePath(), {"--child", url});
        process.waitForStarted(kDeadlineMs);
    }
    ~CConsoleChild()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    QProcess process;

private:
    QTemporaryDir m_dir;
};

} // namespace

class TestLabServe : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void exposures_data();
    void exposures();
    void killedUnderLoad();

private:
    std::unique_ptr<CBroker> m_broker;
    std::unique_ptr<test::CPgRig> m_postgres;
};

void TestLabServe::initTestCase()
{
    m_broker = std::make_unique<CBroker>();
    QString error;
    QVERIFY2(m_broker->Start(&error), qPrintable(error));
    m_postgres = std::make_unique<test::CPgRig>();
    QVERIFY2(m_postgres->Error().isEmpty(), qPrintable(m_postgres->Error()));
}

void TestLabServe::exposures_data()
{
    QTest::addColumn<QString>("backEnd");
    QTest::newRow("SQLite") << "sqlite";
    QTest::newRow("PostgreSQL") << "postgresql";
}

void TestLabServe::exposures()
{
    QFETCH(QString, backEnd);
    QTemporaryDir dir;
    QString error;
    const QString db =
        backEnd == "sqlite" ? dir.filePath("lab.sqlite") : m_postgres->NewDatabase(&error);
    QVERIFY2(!db.isEmpty(), qPrintable(error));
    const QString root = "serve" + backEnd;
    const QString url = QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(m_broker->plainPort).arg(root);
    CSubscriber watcher;
    QVERIFY(watcher.Connect(m_broker->plainPort, root + "/#"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.Subscribed(), kDeadlineMs);
    auto said = [&](const QString& console, const QString& what) {
        return QTest::qWaitFor(
            [&] {
                for (const Message& m : watcher.On(root + '/' + console + "/event"))
                    if (Json(m).value("event").toString() == what)
                        return true;
                return false;
            },
            kDeadlineMs);
    };

    QProcess serve;
    serve.setProcessChannelMode(QProcess::MergedChannels);
    serve.start(QStringLiteral(ONDREL_LAB_BINARY), {"serve", url, "--db", db});
    QVERIFY(serve.waitForStarted(kDeadlineMs));
    // A first start has no session to hold what the consoles send before the
    // subscription stands.
    QVERIFY(SaysEventually(serve, "Broker: subscribed to " + root.toUtf8() + "/#"));
    CConsoleChild a(url + "/a");
    CConsoleChild b(url + "/b");
    QVERIFY(ReadLine(a.process, "ready", kDeadlineMs));
    QVERIFY(ReadLine(b.process, "ready", kDeadlineMs));

    a.process.write("click\n");
    QVERIFY(said("a", "xray-on"));
    a.process.write("click\n");
    QVERIFY(said("a", "xray-off"));
    b.process.write("click\n");
    QVERIFY(said("b", "xray-on"));
    // A reading that says so, for the earliest end; then the console is gone
    // without a word but the broker's Last Will.
    const int readings = watcher.On(root + "/b/reading").size();
    QVERIFY(QTest::qWaitFor([&] { return watcher.On(root + "/b/reading").size() > readings; },
                            kDeadlineMs));
    b.process.kill();
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QList<Message> status = watcher.On(root + "/b/status");
            return !status.isEmpty() && status.last().payload == "offline";
        },
        kDeadlineMs));

    const QStringList expected{root + "/a closed", root + "/b uncertain"};
    QStringList shown;
    QVERIFY2(QTest::qWaitFor([&] { return (shown = Exposures(db)) == expected; }, kDeadlineMs),
             qPrintable(shown.join(QStringLiteral("; "))));
    a.process.write("close\n");
    QVERIFY(a.process.waitForFinished(kDeadlineMs));
    QCOMPARE(a.process.exitCode(), 0);
    QCOMPARE(::kill(pid_t(serve.processId()), SIGTERM), 0);
    QVERIFY(serve.waitForFinished(kDeadlineMs));
    QCOMPARE(serve.exitCode(), 0);
    QCOMPARE(Exposures(db), expected);
    int code = -1;
    const QByteArray verified = Lab({"verify", "--db", db}, &code);
    QVERIFY2(code == 0, verified.constData());
}

// kill -9 of the service while it takes in a console's events and readings, five
// times over: afterwards every sequence number the console sent is either
// stored or inside a recorded gap, never simply missing.
void TestLabServe::killedUnderLoad()
{
    QTemporaryDir dir;
    const QString db = dir.filePath("lab.sqlite");
    const QString url = QStringLiteral("mqtt://127.0.0.1:%1/killed").arg(m_broker->plainPort);
    CSubscriber console(QStringLiteral("killed-console"));
    QVERIFY(console.Connect(m_broker->plainPort, "killed/nothing"));
    QTRY_VERIFY_WITH_TIMEOUT(console.Subscribed(), kDeadlineMs);
    const QDateTime started = QDateTime::currentDateTimeUtc();
    QVERIFY(console.Publish("killed/gen/info",
                            InfoJson({started, "lab-pc", "/dev/ttyUSB0", 200, "Ondrel", "lab"}), 1,
                            true));
    QVERIFY(console.Publish("killed/gen/status", "online", 1, true));

    constexpr int kRounds = 5;
    constexpr int kEventsARound = 300;
    qint64 events = 0;
    qint64 readings = 0;
    QProcess serve;
    // Started, and connected to the broker: what it is sent from then on is
    // delivered to it or kept for it by the broker.
    auto start = [&] {
        serve.start(QStringLiteral(ONDREL_LAB_BINARY), {"serve", url, "--db", db});
        QByteArray said;
        return serve.waitForStarted(kDeadlineMs) && QTest::qWaitFor(
                                                        [&] {
                                                            serve.waitForReadyRead(100);
                                                            said += serve.readAllStandardError();
                                                            return said.contains("connected to");
                                                        },
                                                        kDeadlineMs);
    };
    for (int round = 0; round < kRounds; ++round) {
        QVERIFY(start());
        for (int i = 0; i < kEventsARound; ++i) {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            QVERIFY(console.Publish("killed/gen/event",
                                    EventJson({now, EventKind::Timeout, "FLT"}, ++events), 1));
            ReadingCounters counters;
            counters.seq = ++readings;
            QVERIFY(
                console.Publish("killed/gen/reading",
                                ReadingJson(Reading::FromForm(now, QString::number(readings % 1000),
                                                              "1100", "025.0", "No Error", {}),
                                            counters),
                                0, true));
        }
        // Wherever the service is in taking them in.
        QCOMPARE(::kill(pid_t(serve.processId()), SIGKILL), 0);
        QVERIFY(serve.waitForFinished(kDeadlineMs));
    }
    // Once more, to take in what the broker kept for it, and to end cleanly.
    QVERIFY(start());
    // The sequence numbers neither stored nor in a gap, as "what FIRST-LAST ...".
    auto missing = [&](const char* what, const char* stored, qint64 sent) {
        QString error;
        std::unique_ptr<archive::ISqlDatabase> read =
            archive::CSqliteDatabase::Open(db, archive::CSqliteDatabase::Mode::ReadOnly, &error);
        std::vector<archive::SqlRow> ranges;
        if (!read ||
            !read->Query(QStringLiteral("%1 UNION ALL SELECT first_seq, last_seq FROM gaps WHERE "
                                        "what = ? AND first_seq IS NOT NULL")
                             .arg(QLatin1String(stored)),
                         {QString::fromLatin1(what)}, &ranges, &error))
            return error;
        std::vector<bool> seen(size_t(sent) + 2, false);
        for (const archive::SqlRow& r : ranges)
            for (qint64 seq = r[0].toLongLong(); seq <= r[1].toLongLong() && seq <= sent; ++seq)
                seen[size_t(seq)] = true;
        QString text;
        for (qint64 seq = 1; seq <= sent; ++seq) {
            if (seen[size_t(seq)])
                continue;
            qint64 end = seq;
            while (end < sent && !seen[size_t(end + 1)])
                ++end;
            text += QStringLiteral(" %1 %2-%3").arg(QLatin1String(what)).arg(seq).arg(end);
            seq = end;
        }
        return text;
    };
    // A last event and reading, whose numbers show whatever went missing before them.
    const QDateTime last = QDateTime::currentDateTimeUtc();
    QVERIFY(
        console.Publish("killed/gen/event", EventJson({last, EventKind::Stop, {}}, ++events), 1));
    ReadingCounters counters;
    counters.seq = ++readings;
    QVERIFY(console.Publish(
        "killed/gen/reading",
        ReadingJson(Reading::FromForm(last, "000.0", "0000", "025.0", "No Error", {}), counters), 1,
        true));
    QString lost;
    (void)QTest::qWaitFor(
        [&] {
            lost = missing("event", "SELECT seq, seq FROM events WHERE seq IS NOT NULL", events) +
                   missing("reading", "SELECT first_seq, last_seq FROM reading_blocks", readings);
            return lost.isEmpty();
        },
        kDeadlineMs);
    QVERIFY2(lost.isEmpty(), qPrintable("neither stored nor in a gap:" + lost));
    QCOMPARE(::kill(pid_t(serve.processId()), SIGTERM), 0);
    QVERIFY(serve.waitForFinished(kDeadlineMs));
    QCOMPARE(serve.exitCode(), 0);
    int code = -1;
    const QByteArray verified = Lab({"verify", "--db", db}, &code);
    QVERIFY2(code == 0, verified.constData());
}

int main(int argc, char* argv[])
{
    // --child URL: a console on its simulated generator, publishing to URL.
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0)
        return RunConsoleWithHands(argc, argv,
                                   {"--simulate", "--mqtt", QString::fromLocal8Bit(argv[2])});
    QCoreApplication app(argc, argv);
    TestLabServe test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_labserve.moc"
