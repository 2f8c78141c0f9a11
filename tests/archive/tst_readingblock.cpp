// Readings packed into blocks come back exactly as they went in, whatever the
// console sent: texts that look like numbers but are not written the usual way,
// sequence numbers that jump or are missing, beam times that are no whole
// millisecond, runs kept from older archives. A damaged block is said, never
// read past its end.
#include "readingblock.h"

#include <QtTest>
#include <limits>

using namespace ondrel::archive;

class TestReadingBlock : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void damaged();
};

namespace {

// "MS SEQ KV UA T FAULTS XRAY FAULT BEAM [COUNT LASTMS LASTSEQ LASTBEAM]", '_' for
// none (or an empty text), '~' inside a text for a space.
StoredRun Parse(const QString& line)
{
    const QStringList f = line.split(' ');
    const auto text = [](QString s) { return s == "_" ? QString() : s.replace('~', ' '); };
    const auto integer = [](const QString& s) {
        return s == "_" ? std::nullopt : std::optional<qint64>(s.toLongLong());
    };
    const auto number = [](const QString& s) {
        return s == "_" ? std::nullopt : std::optional<double>(s.toDouble());
    };
    StoredRun r;
    r.firstMs = r.lastMs = f[0].toLongLong();
    r.firstSeq = r.lastSeq = integer(f[1]);
    r.kv = text(f[2]);
    r.ua = text(f[3]);
    r.temperature = text(f[4]);
    r.faults = text(f[5]);
    r.xrayOn = f[6] == "_" ? std::nullopt : std::optional<bool>(f[6] == "on");
    r.fault = f[7] == "fault";
    r.firstBeamOnS = r.lastBeamOnS = number(f[8]);
    if (f.size() > 9) {
        r.count = f[9].toLongLong();
        r.lastMs = f[10].toLongLong();
        r.lastSeq = integer(f[11]);
        r.lastBeamOnS = number(f[12]);
    }
    return r;
}

std::vector<StoredRun> Runs(const QStringList& lines)
{
    std::vector<StoredRun> runs;
    for (const QString& line : lines)
        runs.push_back(Parse(line));
    return runs;
}

QByteArray Encode(const std::vector<StoredRun>& runs)
{
    CBlockEncoder block;
    for (const StoredRun& r : runs)
        block.Append(r);
    return block.Bytes();
}

} // namespace

void TestReadingBlock::roundTrip_data()
{
    QTest::addColumn<QStringList>("readings");
    QTest::addColumn<int>("maxBytes");       // for them all
    QTest::addColumn<QStringList>("stored"); // what comes back, when not the readings

    // What a console sends with X-rays on: every value differs.
    QStringList beamOn;
    for (int i = 0; i < 64; ++i)
        beamOn << QString("%1 %2 %3 %4 %5 No~Error on ok %6")
                      .arg(1796800000000 + 200 * i + (i % 3))
                      .arg(1000 + i)
                      .arg(QString::number(79.5 + (i % 7) * 0.1, 'f', 1), 5, '0')
                      .arg(1090 + i % 20, 4, 10, QChar('0'))
                      .arg(QString::number(25.0 + (i % 4) * 0.1, 'f', 1), 5, '0')
                      .arg(12.5 + 0.2 * i);
    QTest::newRow("beam on, all differing") << beamOn << 64 * 16 << QStringList();
    QStringList idle;
    for (int i = 0; i < 64; ++i)
        idle << QString("%1 %2 000.0 0000 025.0 No~Error off ok 0")
                    .arg(1796800000000 + 200 * i)
                    .arg(i + 1);
    QTest::newRow("idle, one run") << idle << 40
                                   << QStringList{"1796800000000 1 000.0 0000 025.0 No~Error off "
                                                  "ok 0 64 1796800012600 64 0"};
    QTest::newRow("identical readings that are no run")
        << QStringList{"1000 1 1 1 1 _ on ok 5", "900 2 1 1 1 _ on ok 5", "1100 4 1 1 1 _ on ok 5",
                       "1200 _ 1 1 1 _ on ok 5", "1300 _ 1 1 1 _ on ok 5.001"}
        << 100 << QStringList();
    QTest::newRow("texts that are not the usual numbers")
        << QStringList{"1000 1 -0.0 1e3 ~80.5 _ _ ok _",
                       "1001 2 80. .5 -000 Err _ ok _",
                       "1002 3 ٣.5 0x10 +1 Überhitzt _ ok _",
                       "1003 4 12345678901234567 1.1234567 - _ _ ok _",
                       "1004 5 080.50 -0.05 00000.000 _ _ ok _",
                       "1005 6 -12.5 999999999999999 0 _ _ ok _"}
        << 400 << QStringList();
    QTest::newRow("sequence numbers jumping, missing, at the ends of their range")
        << QStringList{"5000 _ 1 1 1 _ _ ok _",
                       "4000 7 1 1 1 _ _ ok _",
                       "4000 6 1 1 1 _ _ ok _",
                       "3000 9223372036854775807 1 1 1 _ _ ok _",
                       "2000 -9223372036854775808 1 1 1 _ _ ok _",
                       "-1 _ 1 1 1 _ _ ok _"}
        << 200 << QStringList();
    QTest::newRow("flags and beam times")
        << QStringList{"0 1 1 1 1 _ on fault 0.1", "1 2 1 1 1 _ off ok 0.30000000000000004",
                       "2 3 1 1 1 _ _ fault -2.5", "3 4 1 1 1 _ on ok 1e300",
                       "4 5 1 1 1 _ on ok _",      "5 6 1 1 1 _ on ok 0.001"}
        << 200 << QStringList();
    QTest::newRow("runs of an older archive")
        << QStringList{"1000 1 080.5 1100 025.0 No~Error on ok 1.0 30 7000 30 6.8",
                       "7200 31 080.5 1100 025.0 No~Error on ok 7.0",
                       "8000 _ 080.5 1100 025.0 No~Error _ ok _ 3 9000 _ _"}
        << 200 << QStringList();
}

void TestReadingBlock::roundTrip()
{
    QFETCH(QStringList, readings);
    QFETCH(int, maxBytes);
    QFETCH(QStringList, stored);
    const QByteArray bytes = Encode(Runs(readings));
    const std::vector<StoredRun> runs = Runs(stored.isEmpty() ? readings : stored);
    std::vector<StoredRun> back;
    QString error;
    QVERIFY2(DecodeBlock(bytes, &back, &error), qPrintable(error));
    QCOMPARE(back.size(), runs.size());
    for (size_t i = 0; i < runs.size(); ++i)
        QVERIFY2(back[i] == runs[i],
                 qPrintable(readings[int(i)] + " came back as " + back[i].kv + "|" + back[i].ua +
                            "|" + back[i].temperature + "|" + back[i].faults));
    QVERIFY2(bytes.size() <= maxBytes, qPrintable(QString::number(bytes.size()) + " bytes"));
}

// Every cut of a block either fails with a message or reads the whole entries
// before the cut, and no damaged byte reads past the block's end.
void TestReadingBlock::damaged()
{
    const std::vector<StoredRun> runs =
        Runs({"1000 1 080.5 1100 025.0 No~Error on ok 1.0 30 7000 30 6.8",
              "7200 31 Err 1100 025.0 Fault~12 off fault 0.1"});
    const QByteArray bytes = Encode(runs);
    QVERIFY(!bytes.isEmpty());
    for (int cut = 0; cut < bytes.size(); ++cut) {
        std::vector<StoredRun> back;
        QString error;
        if (DecodeBlock(bytes.left(cut), &back, &error)) {
            QVERIFY(back.size() < runs.size());
            for (size_t i = 0; i < back.size(); ++i)
                QVERIFY(back[i] == runs[i]);
        } else {
            QVERIFY2(error.startsWith("a block of readings is damaged at entry "),
                     qPrintable(error));
        }
        for (const char flip : {'\x80', '\xff', '\x07'}) {
            QByteArray bad = bytes;
            bad[cut] = char(bad[cut] ^ flip);
            back.clear();
            DecodeBlock(bad, &back, &error); // must merely not read out of bounds
        }
    }
}

QTEST_APPLESS_MAIN(TestReadingBlock)
#include "tst_readingblock.moc"
