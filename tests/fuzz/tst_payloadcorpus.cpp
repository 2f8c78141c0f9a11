// Replays the payload fuzzer's corpus (seeds and kept crash inputs) through the
// same harness in the regular suite.
#include "payloadharness.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class TestPayloadCorpus : public QObject
{
    Q_OBJECT
private slots:
    void everyInputKeepsTheInvariants_data();
    void everyInputKeepsTheInvariants();
};

void TestPayloadCorpus::everyInputKeepsTheInvariants_data()
{
    QTest::addColumn<QString>("path");
    const QDir dir(QStringLiteral(ONDREL_PAYLOAD_CORPUS_DIR));
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    QVERIFY(files.size() >= 5);
    for (const QString& name : files)
        QTest::newRow(qPrintable(name)) << dir.filePath(name);
}

void TestPayloadCorpus::everyInputKeepsTheInvariants()
{
    QFETCH(QString, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QString broken = ondrel::fuzz::RunPayloadInput(
        reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
    QVERIFY2(broken.isEmpty(), qPrintable(broken));
}

QTEST_GUILESS_MAIN(TestPayloadCorpus)
#include "tst_payloadcorpus.moc"
