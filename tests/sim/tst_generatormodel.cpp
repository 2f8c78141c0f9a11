// The generator model without a line: replies and their due times, injections
// that outlast a frame, frames split across reads, and the output ramps against
// a clock the test moves.
#include "generatormodel.h"
#include "simcommand.h"

#include <QtTest>

using namespace ondrel::sim;

namespace {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kT0 = 1000 * 1000 * kMs; // any time but 0, which means "never"
constexpr int kTurnaroundMs = 2;

QByteArray Frame(const char* body)
{
    return QByteArray("\x02") + body + "\r";
}

struct Generator
{
    CGeneratorModel model{"2000", 1, kTurnaroundMs, nullptr};

    Generator() { model.SetNoise(false); }

    std::string Command(const QString& line, std::int64_t now = kT0)
    {
        SimCommand c;
        std::string error;
        if (!ParseCommand(line.toStdString(), &c, &error))
            return "error: " + error;
        return ApplyCommand(c, model, now);
    }

    std::vector<Outgoing> Receive(const QByteArray& bytes, std::int64_t now = kT0)
    {
        std::vector<Outgoing> out;
        model.Receive(bytes.constData(), std::size_t(bytes.size()), now, &out);
        return out;
    }

    QByteArray Mon(std::int64_t now)
    {
        std::vector<Outgoing> out = Receive(Frame("MON"), now);
        return out.size() == 1 ? QByteArray::fromStdString(out[0].bytes) : QByteArray();
    }
};

} // namespace

class TestGeneratorModel : public QObject
{
    Q_OBJECT

private slots:
    void visible_data();
    void visible();
    void replies_data();
    void replies();
    void readings_data();
    void readings();
    void status_data();
    void status();
};

// How the simulator's log shows the bytes of a frame.
void TestGeneratorModel::visible_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("a frame") << Frame("FREV") << "<STX>FREV<CR>";
    QTest::newRow("printable ASCII as it is, backslash too") << QByteArray(" ~\\x41") << " ~\\x41";
    QTest::newRow("other bytes in upper-case hex")
        << QByteArray("\x00\x01\x0A\x1F\x7F\x80\xB5\xFF", 8)
        << "<x00><x01><x0A><x1F><x7F><x80><xB5><xFF>";
    QTest::newRow("nothing") << QByteArray() << "";
}

void TestGeneratorModel::visible()
{
    QFETCH(QByteArray, bytes);
    QTEST(QString::fromStdString(Visible(bytes.toStdString())), "shown");
}

void TestGeneratorModel::replies_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QByteArrayList>("reads"); // as the line delivers them
    QTest::addColumn<QByteArray>("sent");      // strays and replies, in order
    QTest::addColumn<int>("replies");
    QTest::addColumn<int>("unanswered");
    QTest::addColumn<int>("dueMs"); // of everything sent

    QTest::newRow("frame split across reads")
        << QStringList() << QByteArrayList{"\x02MO", "N", "\r"} << Frame("0000 0000 0250 0000") << 1
        << 0 << kTurnaroundMs;
    QTest::newRow("two frames over three reads")
        << QStringList()
        << QByteArrayList{"\x02"
                          "FR",
                          "EV\r\x02"
                          "FL",
                          "T\r"}
        << Frame("2000") + Frame("0 0 0 0 0 0 0 0 0") << 2 << 0 << kTurnaroundMs;
    QTest::newRow("two flags at once")
        << QStringList{"fault 2", "fault 9"} << QByteArrayList{Frame("FLT")}
        << Frame("0 1 0 0 0 0 0 0 1") << 1 << 0 << kTurnaroundMs;
    QTest::newRow("CLR clears every flag")
        << QStringList{"fault 1", "fault 5"} << QByteArrayList{Frame("CLR") + Frame("FLT")}
        << Frame("CLR") + Frame("0 0 0 0 0 0 0 0 0") << 2 << 0 << kTurnaroundMs;
    QTest::newRow("delay adds to the turnaround")
        << QStringList{"delay 250"} << QByteArrayList{Frame("FREV")} << Frame("2000") << 1 << 0
        << kTurnaroundMs + 250;
    QTest::newRow("garble over the NUL")
        << QStringList{"nul on", "garble 2"} << QByteArrayList{Frame("MON")}
        << Frame("??00 0000 0250 0000") << 1 << 0 << kTurnaroundMs;
    QTest::newRow("garble, short and long together")
        << QStringList{"garble 1", "short 2", "long 2"} << QByteArrayList{Frame("FREV")}
        << QByteArray("\x02?0099") << 1 << 0 << kTurnaroundMs;
    QTest::newRow("stray waits out a dropped frame")
        << QStringList{"stray X", "drop 1"} << QByteArrayList{Frame("FLT") + Frame("FREV")}
        << "X" + Frame("2000") << 1 << 1 << kTurnaroundMs;
    QTest::newRow("a muted mnemonic alone goes unanswered")
        << QStringList{"mute ENBL0"}
        << QByteArrayList{Frame("ENBL1") + Frame("ENBL0") + Frame("CLR")}
        << Frame("ENBL1") + Frame("CLR") << 2 << 1 << kTurnaroundMs;
    QTest::newRow("mute - answers again")
        << QStringList{"mute ENBL0", "mute -"} << QByteArrayList{Frame("ENBL0")} << Frame("ENBL0")
        << 1 << 0 << kTurnaroundMs;
    QTest::newRow("stray waits out silence")
        << QStringList{"stray X", "silent on"} << QByteArrayList{Frame("FREV")} << QByteArray() << 0
        << 1 << kTurnaroundMs;
    QTest::newRow("stray goes even when the reply is cut")
        << QStringList{"stray X", "short 6"} << QByteArrayList{Frame("FREV")} << QByteArray("X")
        << 0 << 1 << kTurnaroundMs;
    QTest::newRow("next reply is delayed too")
        << QStringList{"next AB", "delay 40", "garble 5"} << QByteArrayList{Frame("FREV")}
        << QByteArray("AB") << 1 << 0 << kTurnaroundMs + 40;
    QTest::newRow("unknown frame between known ones")
        << QStringList() << QByteArrayList{Frame("ENBL1") + Frame("XYZ") + Frame("ENBL0")}
        << Frame("ENBL1") + Frame("ENBL0") << 2 << 1 << kTurnaroundMs;
}

void TestGeneratorModel::replies()
{
    QFETCH(QStringList, commands);
    QFETCH(QByteArrayList, reads);
    QFETCH(QByteArray, sent);
    QFETCH(int, replies);
    QFETCH(int, unanswered);
    QFETCH(int, dueMs);

    Generator g;
    for (const QString& c : commands)
        QVERIFY(g.Command(c).rfind("ok", 0) == 0);
    QByteArray all;
    int replyCount = 0;
    for (int i = 0; i < reads.size(); ++i) {
        const std::int64_t now = kT0 + i * kMs;
        for (const Outgoing& o : g.Receive(reads[i], now)) {
            all += QByteArray::fromStdString(o.bytes);
            replyCount += o.isReply ? 1 : 0;
            QCOMPARE(o.dueNs, now + dueMs * kMs);
        }
    }
    QCOMPARE(all, sent);
    QCOMPARE(replyCount, replies);
    QCOMPARE(g.model.FramesUnanswered(), long(unanswered));
}

void TestGeneratorModel::readings_data()
{
    // Each step: "MS FRAME" sends a frame at MS, "MS !COMMAND" runs a command.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("atMs");
    QTest::addColumn<QByteArray>("mon"); // the start of the reading

    const QStringList on = {"0 VP0805", "0 CP1100", "0 ENBL1"};
    QTest::newRow("set points alone")
        << QStringList{"0 VP0805", "0 CP1100"} << 2000 << QByteArray("0000 0000 0250 0000");
    QTest::newRow("half way after half a second") << on << 500 << QByteArray("0403 0550");
    QTest::newRow("there after a second") << on << 1000 << QByteArray("0805 1100");
    QTest::newRow("warm after an hour") << on << 3600 * 1000 << QByteArray("0805 1100 0427 0886");
    QTest::newRow("lowered mid-ramp, from where it stands")
        << on + QStringList{"500 VP0405"} << 1500 << QByteArray("0405 1100");
    QTest::newRow("switched off ramps down")
        << on + QStringList{"2000 ENBL0"} << 2500 << QByteArray("0403 0550");
    QTest::newRow("fault cuts at once")
        << on + QStringList{"2000 !fault 3"} << 2000 << QByteArray("0000 0000");
    QTest::newRow("CLR does not switch back on")
        << on + QStringList{"2000 !fault 3", "2100 CLR"} << 4000 << QByteArray("0000 0000");
    QTest::newRow("no output while a flag is up")
        << QStringList{"0 !fault 1"} + on << 2000 << QByteArray("0000 0000");
    QTest::newRow("on again once cleared and enabled")
        << on + QStringList{"0 !fault 1", "100 CLR", "200 ENBL1"} << 1200
        << QByteArray("0805 1100");
}

void TestGeneratorModel::readings()
{
    QFETCH(QStringList, steps);
    QFETCH(int, atMs);
    QFETCH(QByteArray, mon);

    Generator g;
    for (const QString& step : steps) {
        const qsizetype space = step.indexOf(' ');
        const std::int64_t now = kT0 + step.left(space).toLongLong() * kMs;
        const QString what = step.mid(space + 1);
        if (what.startsWith('!'))
            QVERIFY(g.Command(what.mid(1), now).rfind("ok", 0) == 0);
        else
            QCOMPARE(g.Receive(Frame(qPrintable(what)), now).size(), std::size_t(1));
    }
    const QByteArray reading = g.Mon(kT0 + atMs * kMs);
    QVERIFY2(reading.mid(1).startsWith(mon), reading.constData());
}

void TestGeneratorModel::status_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QByteArray>("frames");
    QTest::addColumn<QString>("shown");

    QTest::newRow("drop counts down")
        << QStringList{"drop 3"} << Frame("FLT") + Frame("MON") << "injections: drop 1";
    QTest::newRow("mute shown") << QStringList{"mute ENBL0"} << QByteArray()
                                << "injections: mute ENBL0";
    QTest::newRow("stray until sent") << QStringList{"stray \\x80", "silent on"} << Frame("FLT")
                                      << "injections: silent stray <x80>";
    QTest::newRow("next replies left")
        << QStringList{"next A", "next B"} << Frame("FLT") << "injections: next x1";
    QTest::newRow("normal lifts all")
        << QStringList{"short 1", "long 1", "garble 1", "nul on", "delay 5", "next A", "normal"}
        << QByteArray() << "injections: none";
    QTest::newRow("faults stay through normal")
        << QStringList{"fault 3", "normal"} << QByteArray() << "FLT 0 0 1 0 0 0 0 0 0 |";
}

void TestGeneratorModel::status()
{
    QFETCH(QStringList, commands);
    QFETCH(QByteArray, frames);
    QFETCH(QString, shown);

    Generator g;
    for (const QString& c : commands)
        QVERIFY(g.Command(c).rfind("ok", 0) == 0);
    g.Receive(frames);
    const QString line = QString::fromStdString(g.Command("status"));
    QVERIFY2(line.contains(shown), qPrintable(line));
}

QTEST_GUILESS_MAIN(TestGeneratorModel)
#include "tst_generatormodel.moc"
