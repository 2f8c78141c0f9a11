// CMSComm's properties over the in-memory port: settings parsing, the errors a
// caller can get, and that received text survives byte for byte.
#include "exchange.h"
#include "fakeport.h"
#include "mscomm.h"
#include "virtualclock.h"

#include <QtTest>

using namespace ondrel;

Q_DECLARE_METATYPE(ondrel::Parity)
Q_DECLARE_METATYPE(ondrel::StopBits)

namespace {

struct Rig
{
    CVirtualClock clock;
    CFakePort* port = nullptr;
    std::unique_ptr<CMSComm> comm;

    explicit Rig(const QString& portOverride = QString())
    {
        auto owned = std::make_unique<CFakePort>(&clock);
        port = owned.get();
        comm = std::make_unique<CMSComm>(std::move(owned), portOverride);
    }
};

enum class Op
{
    PortZero,
    PortWhileOpen,
    NegativeInputLen,
    BadInputMode,
    OpenTwice,
    OpenFails,
    OutputClosed,
    OutputWrongType,
    OutputFails,
    CountClosed,
    CountFails,
    InputClosed,
    InputFails,
    SettingsRefused,
};

} // namespace

Q_DECLARE_METATYPE(Op)

class TestMSComm : public QObject
{
    Q_OBJECT

private slots:
    void parseGoodSettings_data();
    void parseGoodSettings();
    void parseMalformedSettings_data();
    void parseMalformedSettings();
    void settingsKeptWhenRefused();
    void settingsApplyToOpenPort();

    void devicePath_data();
    void devicePath();

    void propertyErrors_data();
    void propertyErrors();
    void closingClosedPortIsNoOp();

    void input_data();
    void input();
    void countIsClamped();
    void output_data();
    void output();
    void replyText_data();
    void replyText();
};

void TestMSComm::parseGoodSettings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baud");
    QTest::addColumn<Parity>("parity");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<StopBits>("stopBits");

    QTest::newRow("console default") << "9600,N,8,1" << 9600 << Parity::None << 8 << StopBits::One;
    QTest::newRow("even, 7, 2, lower case")
        << "19200,e,7,2" << 19200 << Parity::Even << 7 << StopBits::Two;
    QTest::newRow("odd, 5, 1.5") << "110,O,5,1.5" << 110 << Parity::Odd << 5
                                 << StopBits::OneAndHalf;
    QTest::newRow("mark") << "115200,M,8,1" << 115200 << Parity::Mark << 8 << StopBits::One;
    QTest::newRow("space, 6") << "300,S,6,2" << 300 << Parity::Space << 6 << StopBits::Two;
    QTest::newRow("spaces around fields")
        << " 4800 , n , 8 , 1 " << 4800 << Parity::None << 8 << StopBits::One;
}

void TestMSComm::parseGoodSettings()
{
    QFETCH(QString, text);
    QFETCH(int, baud);
    QFETCH(Parity, parity);
    QFETCH(int, dataBits);
    QFETCH(StopBits, stopBits);

    LineSettings s;
    s.baud = 1; // must be overwritten
    QString error;
    QVERIFY2(ParseSettings(text, &s, &error), qPrintable(error));
    QCOMPARE(s.baud, baud);
    QCOMPARE(s.parity, parity);
    QCOMPARE(s.dataBits, dataBits);
    QCOMPARE(s.stopBits, stopBits);
}

void TestMSComm::parseMalformedSettings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("mentions");

    QTest::newRow("empty") << ""
                           << "baud,parity";
    QTest::newRow("baud only") << "9600"
                               << "baud,parity";
    QTest::newRow("three fields") << "9600,N,8"
                                  << "baud,parity";
    QTest::newRow("five fields") << "9600,N,8,1,1"
                                 << "baud,parity";
    QTest::newRow("semicolons") << "9600;N;8;1"
                                << "baud,parity";
    QTest::newRow("baud not a number") << "fast,N,8,1"
                                       << "\"fast\"";
    QTest::newRow("baud zero") << "0,N,8,1"
                               << "baud rate \"0\"";
    QTest::newRow("baud negative") << "-9600,N,8,1"
                                   << "baud rate \"-9600\"";
    QTest::newRow("baud with plus") << "+9600,N,8,1"
                                    << "baud rate \"+9600\"";
    QTest::newRow("baud with a gap") << "96 00,N,8,1"
                                     << "baud rate";
    QTest::newRow("baud absurd") << "99999999,N,8,1"
                                 << "baud rate";
    QTest::newRow("parity unknown") << "9600,X,8,1"
                                    << "parity \"X\"";
    QTest::newRow("parity empty") << "9600,,8,1"
                                  << "parity \"\"";
    QTest::newRow("parity spelled out") << "9600,None,8,1"
                                        << "parity \"None\"";
    QTest::newRow("data 9") << "9600,N,9,1"
                            << "data bits \"9\"";
    QTest::newRow("data 4") << "9600,N,4,1"
                            << "data bits \"4\"";
    QTest::newRow("data 08") << "9600,N,08,1"
                             << "data bits \"08\"";
    QTest::newRow("stop 3") << "9600,N,8,3"
                            << "stop bits \"3\"";
    QTest::newRow("stop 1.0") << "9600,N,8,1.0"
                              << "stop bits \"1.0\"";
    QTest::newRow("stop 0") << "9600,N,8,0"
                            << "stop bits \"0\"";
}

void TestMSComm::parseMalformedSettings()
{
    QFETCH(QString, text);
    QFETCH(QString, mentions);

    LineSettings s;
    s.baud = 1234;
    QString error;
    QVERIFY(!ParseSettings(text, &s, &error));
    QVERIFY2(error.contains(mentions), qPrintable(error));
    QVERIFY2(error.contains(QLatin1Char('"') + text + QLatin1Char('"')), qPrintable(error));
    QCOMPARE(s.baud, 1234); // untouched, never a half-parsed default

    Rig rig;
    try {
        rig.comm->SetSettings(text);
        QFAIL("malformed settings were accepted");
    } catch (const CCommError& e) {
        QCOMPARE(e.Message(), error);
    }
    QCOMPARE(rig.comm->GetSettings(), QStringLiteral("9600,N,8,1"));
}

void TestMSComm::settingsKeptWhenRefused()
{
    Rig rig;
    rig.comm->SetPortOpen(true);
    rig.port->SetConfigureError(QStringLiteral("Invalid argument"));
    QVERIFY_THROWS_EXCEPTION(CCommError, rig.comm->SetSettings(QStringLiteral("19200,E,7,1")));
    QCOMPARE(rig.comm->GetSettings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(rig.port->Configured().last(), LineSettings{}); // the line put back

    // The refused settings must not come back at the next open either.
    rig.port->SetConfigureError(QString());
    rig.comm->SetPortOpen(false);
    rig.comm->SetPortOpen(true);
    QCOMPARE(rig.port->OpenSettings().baud, 9600);
}

void TestMSComm::settingsApplyToOpenPort()
{
    Rig rig;
    rig.comm->SetSettings(QStringLiteral("4800,O,7,2"));
    QVERIFY(rig.port->Configured().isEmpty()); // closed: kept for the open
    rig.comm->SetPortOpen(true);
    const LineSettings opened = rig.port->OpenSettings();
    QCOMPARE(opened.baud, 4800);
    QCOMPARE(opened.parity, Parity::Odd);
    QCOMPARE(opened.dataBits, 7);
    QCOMPARE(opened.stopBits, StopBits::Two);

    rig.comm->SetSettings(QStringLiteral("9600,N,8,1"));
    QCOMPARE(rig.port->Configured().size(), 1);
    QCOMPARE(rig.port->CurrentSettings(), LineSettings{});
    QCOMPARE(rig.comm->GetSettings(), QStringLiteral("9600,N,8,1"));
}

void TestMSComm::devicePath_data()
{
    QTest::addColumn<QString>("override");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("path");

    QTest::newRow("COM1") << QString() << 1 << "/dev/ttyS0";
    QTest::newRow("COM3") << QString() << 3 << "/dev/ttyS2";
    QTest::newRow("override is port 1") << "/dev/ttyUSB0" << 1 << "/dev/ttyUSB0";
    QTest::newRow("override leaves port 2") << "/dev/ttyUSB0" << 2 << "/dev/ttyS1";
    QTest::newRow("override to a link") << "/tmp/ondrel-gen" << 1 << "/tmp/ondrel-gen";
    QTest::newRow("override set later") << "set:/dev/ttyUSB1" << 1 << "/dev/ttyUSB1";
    QTest::newRow("override cleared later") << "set:" << 1 << "/dev/ttyS0";
}

void TestMSComm::devicePath()
{
    QFETCH(QString, override);
    QFETCH(int, port);
    QFETCH(QString, path);

    const bool later = override.startsWith(QLatin1String("set:"));
    Rig rig(later ? QStringLiteral("/dev/ttyUSB9") : override);
    if (later)
        rig.comm->SetPortOverride(override.mid(4));
    rig.comm->SetCommPort(short(port));
    QCOMPARE(rig.comm->DevicePath(), path);
    rig.comm->SetPortOpen(true);
    QCOMPARE(rig.port->LastOpenPath(), path);
    // The override belongs to this control: another one still maps port 1 to COM1.
    Rig other;
    QCOMPARE(other.comm->DevicePath(), QStringLiteral("/dev/ttyS0"));
}

void TestMSComm::propertyErrors_data()
{
    QTest::addColumn<Op>("op");
    QTest::addColumn<QString>("message");

    QTest::newRow("port 0") << Op::PortZero << "Invalid port number 0";
    QTest::newRow("port while open") << Op::PortWhileOpen << "while /dev/ttyS0 is open";
    QTest::newRow("negative InputLen") << Op::NegativeInputLen << "Invalid InputLen -1";
    QTest::newRow("InputMode 2") << Op::BadInputMode << "Invalid InputMode 2";
    QTest::newRow("open twice") << Op::OpenTwice << "Port already open: /dev/ttyS0";
    QTest::newRow("open fails") << Op::OpenFails
                                << "Cannot open /dev/ttyS0: No such file or directory";
    QTest::newRow("output while closed") << Op::OutputClosed << "/dev/ttyS0 is not open";
    QTest::newRow("output of a number") << Op::OutputWrongType << "string or a byte array";
    QTest::newRow("write fails") << Op::OutputFails
                                 << "Cannot send to /dev/ttyS0: Input/output error";
    QTest::newRow("count while closed") << Op::CountClosed << "/dev/ttyS0 is not open";
    QTest::newRow("count fails") << Op::CountFails << "Cannot read from /dev/ttyS0: gone";
    QTest::newRow("input while closed") << Op::InputClosed << "/dev/ttyS0 is not open";
    QTest::newRow("read fails") << Op::InputFails << "Cannot read from /dev/ttyS0: gone";
    QTest::newRow("settings refused")
        << Op::SettingsRefused << "Cannot apply settings \"1200,N,8,1\" to /dev/ttyS0: nope";
}

void TestMSComm::propertyErrors()
{
    QFETCH(Op, op);
    QFETCH(QString, message);

    Rig rig;
    CMSComm& c = *rig.comm;
    const auto open = [&] { c.SetPortOpen(true); };
    try {
        switch (op) {
        case Op::PortZero:
            c.SetCommPort(0);
            break;
        case Op::PortWhileOpen:
            open();
            c.SetCommPort(2);
            break;
        case Op::NegativeInputLen:
            c.SetInputLen(-1);
            break;
        case Op::BadInputMode:
            c.SetInputMode(2);
            break;
        case Op::OpenTwice:
            open();
            open();
            break;
        case Op::OpenFails:
            rig.port->SetOpenError(QStringLiteral("No such file or directory"));
            open();
            break;
        case Op::OutputClosed:
            c.SetOutput(QStringLiteral("\x02MON\r"));
            break;
        case Op::OutputWrongType:
            open();
            c.SetOutput(42);
            break;
        case Op::OutputFails:
            open();
            rig.port->HangUp();
            c.SetOutput(QStringLiteral("\x02MON\r"));
            break;
        case Op::CountClosed:
            c.GetInBufferCount();
            break;
        case Op::CountFails:
            open();
            rig.port->SetCountError(QStringLiteral("gone"));
            c.GetInBufferCount();
            break;
        case Op::InputClosed:
            c.GetInput();
            break;
        case Op::InputFails:
            open();
            rig.port->ArriveNow("abc");
            rig.port->SetReadError(QStringLiteral("gone"));
            c.GetInput();
            break;
        case Op::SettingsRefused:
            open();
            rig.port->SetConfigureError(QStringLiteral("nope"));
            c.SetSettings(QStringLiteral("1200,N,8,1"));
            break;
        }
        QFAIL("no error raised");
    } catch (const CCommError& e) {
        QVERIFY2(e.Message().contains(message), qPrintable(e.Message()));
    }
    // A refused open leaves the port closed; nothing else closes it.
    QCOMPARE(c.GetPortOpen(), op != Op::OpenFails && rig.port->OpenCalls() > 0);
    QCOMPARE(rig.port->Written().isEmpty(), true);
}

void TestMSComm::closingClosedPortIsNoOp()
{
    Rig rig;
    rig.comm->SetPortOpen(false);
    QCOMPARE(rig.port->CloseCalls(), 0);
    rig.comm->SetPortOpen(true);
    rig.comm->SetPortOpen(false);
    rig.comm->SetPortOpen(false);
    QCOMPARE(rig.port->CloseCalls(), 1);
    QVERIFY(!rig.comm->GetPortOpen());
}

void TestMSComm::input_data()
{
    QTest::addColumn<QByteArray>("waiting");
    QTest::addColumn<int>("inputLen");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("taken");

    const QByteArray eightBit("\x02\x80\xff\x00\xa0\r", 6);
    QTest::newRow("8-bit and NUL, text") << eightBit << 6 << 0 << eightBit;
    QTest::newRow("8-bit and NUL, binary") << eightBit << 6 << 1 << eightBit;
    QTest::newRow("InputLen 0 takes all") << QByteArray("\x02"
                                                        "2000\rXY")
                                          << 0 << 0
                                          << QByteArray("\x02"
                                                        "2000\rXY");
    QTest::newRow("InputLen above what waits") << QByteArray("\x02"
                                                             "20")
                                               << 6 << 0
                                               << QByteArray("\x02"
                                                             "20");
    QTest::newRow("InputLen below what waits") << QByteArray("\x02"
                                                             "CLR\r\x02"
                                                             "CL")
                                               << 5 << 0
                                               << QByteArray("\x02"
                                                             "CLR\r");
    QTest::newRow("nothing waiting") << QByteArray() << 6 << 0 << QByteArray();
    QTest::newRow("only NULs") << QByteArray(4, '\0') << 0 << 0 << QByteArray(4, '\0');
}

void TestMSComm::input()
{
    QFETCH(QByteArray, waiting);
    QFETCH(int, inputLen);
    QFETCH(int, mode);
    QFETCH(QByteArray, taken);

    Rig rig;
    rig.comm->SetInputMode(mode);
    rig.comm->SetPortOpen(true);
    rig.comm->SetInputLen(short(inputLen));
    rig.port->ArriveNow(waiting);

    const QVariant value = rig.comm->GetInput();
    QCOMPARE(value.typeId(), mode == 0 ? int(QMetaType::QString) : int(QMetaType::QByteArray));
    if (mode == 0)
        QCOMPARE(value.toString().size(), taken.size()); // one 16-bit unit per byte
    QCOMPARE(ReplyText(value), taken);
    QCOMPARE(rig.port->Pending(), waiting.mid(taken.size()));
    QCOMPARE(int(rig.comm->GetInBufferCount()), waiting.size() - taken.size());
}

void TestMSComm::countIsClamped()
{
    Rig rig;
    rig.comm->SetPortOpen(true);
    rig.port->ArriveNow(QByteArray(40000, 'x'));
    QCOMPARE(rig.comm->GetInBufferCount(), short(32767));
    QCOMPARE(rig.port->Pending().size(), 40000); // clamping discards nothing
}

void TestMSComm::output_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("string frame") << QVariant(QStringLiteral("\x02"
                                                             "FREV\r"))
                                  << QByteArray("\x02"
                                                "FREV\r");
    QTest::newRow("string, Latin-1 byte") << QVariant(QString(QChar(0xE9))) << QByteArray("\xe9");
    QTest::newRow("string with NUL")
        << QVariant(QString::fromLatin1("a\0b", 3)) << QByteArray("a\0b", 3);
    QTest::newRow("byte array as is")
        << QVariant(QByteArray("\x02\xff\r")) << QByteArray("\x02\xff\r");
}

void TestMSComm::output()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, sent);

    Rig rig;
    rig.comm->SetPortOpen(true);
    rig.comm->SetOutput(value);
    QCOMPARE(rig.port->Written(), QList<QByteArray>{sent});
}

void TestMSComm::replyText_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("string, every byte value")
        << QVariant(QString::fromLatin1(QByteArray("\x00\x02\x7f\x80\xff", 5)))
        << QByteArray("\x00\x02\x7f\x80\xff", 5);
    QTest::newRow("byte array") << QVariant(QByteArray("\x02"
                                                       "2000\r"))
                                << QByteArray("\x02"
                                              "2000\r");
    QTest::newRow("empty string") << QVariant(QString()) << QByteArray();
    QTest::newRow("number") << QVariant(2000) << QByteArray();
    QTest::newRow("no value") << QVariant() << QByteArray();
}

void TestMSComm::replyText()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, text);
    QCOMPARE(ReplyText(value), text);
}

QTEST_GUILESS_MAIN(TestMSComm)
#include "tst_mscomm.moc"
