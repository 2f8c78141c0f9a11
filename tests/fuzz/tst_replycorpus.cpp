// Replays the fuzzer's corpus (seeds and kept crash inputs) through the same
// harness in the regular suite, and pins down what the named seeds exercise, so
// a change of the script format cannot quietly turn them into noise.
#include "replyharness.h"

#include <QDir>
#include <QFile>
#include <QtTest>

using ondrel::fuzz::ReplyRun;
using ondrel::fuzz::RunReplyInput;

namespace {

ReplyRun RunFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ReplyRun{QStringLiteral("cannot read %1").arg(path), {}};
    const QByteArray bytes = file.readAll();
    return RunReplyInput(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                         std::size_t(bytes.size()));
}

QString CorpusDir()
{
    return QStringLiteral(ONDREL_FUZZ_CORPUS_DIR);
}

} // namespace

class TestReplyCorpus : public QObject
{
    Q_OBJECT

private slots:
    void everyInputKeepsTheInvariants_data();
    void everyInputKeepsTheInvariants();
    void seedsDoWhatTheirNamesSay_data();
    void seedsDoWhatTheirNamesSay();
    void oddInputsAreScriptsToo_data();
    void oddInputsAreScriptsToo();
};

void TestReplyCorpus::everyInputKeepsTheInvariants_data()
{
    QTest::addColumn<QString>("path");
    const QDir dir(CorpusDir());
    const QStringList names = dir.entryList(QDir::Files, QDir::Name);
    QVERIFY2(names.size() >= 10,
             qPrintable(QStringLiteral("corpus %1 is missing").arg(dir.path())));
    for (const QString& name : names)
        QTest::newRow(qPrintable(name)) << dir.filePath(name);
}

void TestReplyCorpus::everyInputKeepsTheInvariants()
{
    QFETCH(QString, path);
    const ReplyRun run = RunFile(path);
    QVERIFY2(run.violation.isEmpty(),
             qPrintable(run.violation + QStringLiteral("\nafter: ") + run.trace.join(u"; ")));
}

void TestReplyCorpus::seedsDoWhatTheirNamesSay_data()
{
    QTest::addColumn<QStringList>("trace");
    const QString settings = QStringLiteral("settings 9600,N,8,1");
    const QString mon = QStringLiteral("readings: 080.5 1100 025.0");
    QTest::newRow("flt-good") << QStringList{
        settings, "FLT n=19: reply, read \\x020 0 0 0 0 0 0 0 0\\x0d", "faults: No Error"};
    QTest::newRow("flt-fault") << QStringList{settings,
                                              "FLT n=19: reply, read \\x020 0 0 1 0 0 0 0 0\\x0d",
                                              "faults: Error.Please Clear"};
    QTest::newRow("mon") << QStringList{settings,
                                        "MON n=21: reply, read \\x020805,1100,0250,0000\\x0d", mon};
    QTest::newRow("mon-short") << QStringList{settings, "MON n=21: timed out, read \\x020805,1100",
                                              "readings: unchanged"};
    QTest::newRow("mon-short-length") << QStringList{
        settings, "MON n=11: reply, read \\x020805,1100\\x0d", "readings: unchanged"};
    QTest::newRow("mon-nul-8bit") << QStringList{
        settings, "MON n=21: reply, read \\x020\\x0005\\xb511\\xff0,02\\x8050,000\\x0d",
        QStringLiteral("readings: 0") + QChar(0) + QStringLiteral("0.5 11") + QChar(0xFF) +
            QStringLiteral("0 02") + QChar(0x80) + QStringLiteral(".5")};
    QTest::newRow("poll-tick") << QStringList{
        settings, "FLT n=19: reply, read \\x020 0 0 0 0 0 0 0 0\\x0d", "faults: No Error",
        "MON n=21: reply, read \\x020805,1100,0250,0000\\x0d", mon};
    QTest::newRow("reply-at-last-check") << QStringList{
        settings, "FLT n=19: reply, read \\x020 0 0 0 0 0 0 0 0\\x0d", "faults: No Error"};
    QTest::newRow("reply-in-last-sleep") << QStringList{settings, "FLT n=19: timed out"};
    QTest::newRow("stale-leftover")
        << QStringList{settings, "FLT n=19: timed out, read \\x0d\\x0d\\x020 0 0 0 0 0 0 0 ",
                       "faults: Error.Please Clear", "MON n=21: timed out", "FREV n=6: timed out"};
    QTest::newRow("late-reply") << QStringList{settings, "FLT n=19: timed out",
                                               "MON n=21: timed out"};
    QTest::newRow("hang-up") << QStringList{settings,
                                            "FLT n=19: reply, read \\x020 0 0 0 0 0 0 0 0\\x0d",
                                            "faults: No Error", "MON n=21: hung up"};
    QTest::newRow("settings-even-7-2")
        << QStringList{"settings 115200,E,7,2", "FREV n=6: reply, read \\x022000\\x0d"};
    QTest::newRow("settings-spaces-1.5")
        << QStringList{"settings 19200,O,5,1.5", "FREV n=6: reply, read \\x022000\\x0d"};
    QTest::newRow("settings-bad-data-bits")
        << QStringList{"settings rejected", "FREV n=6: reply, read \\x022000\\x0d"};
    QTest::newRow("settings-signed-baud")
        << QStringList{"settings rejected", "FREV n=6: reply, read \\x022000\\x0d"};
    QTest::newRow("settings-utf8")
        << QStringList{"settings rejected", "FREV n=6: reply, read \\x022000\\x0d"};
}

void TestReplyCorpus::seedsDoWhatTheirNamesSay()
{
    QFETCH(QStringList, trace);
    const ReplyRun run =
        RunFile(QDir(CorpusDir()).filePath(QString::fromLatin1(QTest::currentDataTag())));
    QVERIFY2(run.violation.isEmpty(), qPrintable(run.violation));
    QCOMPARE(run.trace, trace);
}

void TestReplyCorpus::oddInputsAreScriptsToo_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray(1, '\xff');
    QTest::newRow("all ones") << QByteArray(300, '\xff');
    QTest::newRow("all zeros") << QByteArray(300, '\0');
    QByteArray ramp;
    for (int i = 0; i < 512; ++i)
        ramp.append(char(i * 37));
    QTest::newRow("ramp") << ramp;
}

void TestReplyCorpus::oddInputsAreScriptsToo()
{
    QFETCH(QByteArray, input);
    const ReplyRun run = RunReplyInput(reinterpret_cast<const std::uint8_t*>(input.constData()),
                                       std::size_t(input.size()));
    QVERIFY2(run.violation.isEmpty(), qPrintable(run.violation));
    QVERIFY(!run.trace.isEmpty()); // settings and at least one exchange always run
}

QTEST_GUILESS_MAIN(TestReplyCorpus)
#include "tst_replycorpus.moc"
