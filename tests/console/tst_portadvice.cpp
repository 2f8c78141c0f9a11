// A port that does not open: the ports offered instead (none, one, several,
// with and without details), how to choose one, and the permission hint.
#include "consolerig.h"
#include "portadvice.h"

#include <QTest>

using namespace ondrel;
using Ports = QList<SerialPortEntry>;
Q_DECLARE_METATYPE(Ports)

namespace {

const char* const kChoose = "Start Ondrel with --port DEVICE to choose the generator's port.\n";
const char* const kDialout = "On Debian the user must be in the dialout group: sudo adduser "
                             "$USER dialout, then log in again.\n";

} // namespace

class TestPortAdvice : public QObject
{
    Q_OBJECT
private slots:
    void advice_data();
    void advice();
    void boxOffersThePorts();
};

void TestPortAdvice::advice_data()
{
    QTest::addColumn<QString>("reason");
    QTest::addColumn<Ports>("ports");
    QTest::addColumn<QString>("expected");
    const Ports usb{{"/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI"}};
    const QString usbLine = "  /dev/ttyUSB0 - FT232R USB UART, manufacturer FTDI, serial number "
                            "A50285BI\n";

    QTest::newRow("none") << "No such file or directory" << Ports{}
                          << QString("No serial ports were found on this computer.\n") + kChoose;
    QTest::newRow("one") << "No such file or directory" << usb
                         << "Serial ports on this computer:\n" + usbLine + kChoose;
    QTest::newRow("several, some without details")
        << "No such file or directory"
        << (usb + Ports{{"/dev/ttyS0", "", "", ""}, {"/dev/ttyACM0", " ", "Arduino", ""}})
        << "Serial ports on this computer:\n" + usbLine +
               "  /dev/ttyS0\n"
               "  /dev/ttyACM0 - manufacturer Arduino\n" +
               kChoose;
    QTest::newRow("permission") << "Permission denied" << Ports{}
                                << QString("No serial ports were found on this computer.\n") +
                                       kChoose + kDialout;
    QTest::newRow("permission, with ports")
        << "permission denied" << usb
        << "Serial ports on this computer:\n" + usbLine + kChoose + kDialout;
    QTest::newRow("in use: no hint") << "in use by another program (Permission error while "
                                        "locking the device)"
                                     << Ports{}
                                     << QString("No serial ports were found on this "
                                                "computer.\n") +
                                            kChoose;
}

void TestPortAdvice::advice()
{
    QFETCH(QString, reason);
    QFETCH(Ports, ports);
    QFETCH(QString, expected);
    QCOMPARE(PortOpenAdvice(reason, ports), expected);
}

void TestPortAdvice::boxOffersThePorts()
{
    CConsoleRig rig;
    rig.port->SetOpenError(QStringLiteral("Permission denied"));
    int listed = 0;
    rig.view->SetPortLister([&listed] {
        ++listed;
        return Ports{{"/dev/ttyUSB3", "", "", ""}};
    });
    rig.view->OnInitialUpdate();

    QCOMPARE(listed, 1);
    QCOMPARE(rig.answerer.Count(), 1);
    const AnsweredBox& box = rig.answerer.Boxes().first();
    // The box's first line stays the device and the reason, as the status bar shows it.
    QCOMPARE(
        box.text,
        QStringLiteral("Cannot open %1: Permission denied").arg(rig.view->m_comm.DevicePath()));
    QCOMPARE(box.informativeText,
             QString("Serial ports on this computer:\n  /dev/ttyUSB3\n") + kChoose + kDialout);
    QCOMPARE(rig.status, QStringList{box.text});
}

QTEST_MAIN(TestPortAdvice)
#include "tst_portadvice.moc"
