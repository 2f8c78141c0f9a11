// --record in the application: the option, a path it cannot record to, and a
// disk that fills while the console runs.
#include "cmdlineinfo.h"
#include "ondrelview.h"
#include "record.h"
#include "resource.h"
#include "shellrig.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace ondrel;

class TestRecording : public QObject
{
    Q_OBJECT
private slots:
    void option_data();
    void option();
    void badPath_data();
    void badPath();
    void diskFillsUp();
};

void TestRecording::option_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("record");
    QTest::addColumn<QString>("error"); // part of it
    QTest::newRow("none") << QStringList{} << ""
                          << "";
    QTest::newRow("a file") << QStringList{"--record", "/tmp/r.csv"} << "/tmp/r.csv"
                            << "";
    QTest::newRow("with a document") << QStringList{"--record=r.csv", "doc"} << "r.csv"
                                     << "";
    QTest::newRow("no file") << QStringList{"--record"} << ""
                             << "Missing value";
    QTest::newRow("empty file") << QStringList{"--record", ""} << ""
                                << "--record needs a file name";
    QTest::newRow("twice") << QStringList{"--record", "a", "--record", "b"} << ""
                           << "--record may be given only once";
}

void TestRecording::option()
{
    QFETCH(QStringList, args);
    QFETCH(QString, record);
    QFETCH(QString, error);
    const CCommandLineInfo info = CCommandLineInfo::Parse(QStringList{"ondrel"} + args);
    QCOMPARE(info.record, record);
    QVERIFY2(error.isEmpty() ? info.shellCommand != CCommandLineInfo::Shell::Error
                             : info.error.contains(error),
             qPrintable(info.error));
    if (error.isEmpty())
        QVERIFY(CCommandLineInfo::HelpText().contains("--record FILE"));
}

void TestRecording::badPath_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder") << "folder"
                            << "it is a folder";
    QTest::newRow("FIFO") << "fifo"
                          << "it is a FIFO (named pipe), not a file";
    QTest::newRow("missing folder") << "missing"
                                    << "No such file or directory";
}

void TestRecording::badPath()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("r.csv"));
    if (kind == QLatin1String("folder"))
        path = dir.path();
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else
        path = dir.filePath(QStringLiteral("none/r.csv"));

    CShellRig rig;
    QVERIFY(rig.Start({"--record", path}));
    QVERIFY(!rig.App()->Record());
    QCOMPARE(
        rig.Frame()->MessageText(),
        QStringLiteral("Cannot record to %1: %2 (running without a record)").arg(path, reason));
    QVERIFY(rig.Frame()->isVisible());
}

void TestRecording::diskFillsUp()
{
    CShellRig rig;
    QVERIFY(rig.Start({"--simulate", "--record", "/dev/full"}));
    QVERIFY(rig.App()->Record());
    QTRY_COMPARE(rig.Frame()->MessageText(),
                 QStringLiteral("Recording stopped: No space left on device"));
    QVERIFY(!rig.App()->Record()->Recording());
    // The console goes on: its view still ticks, and a later start-up (New) finds
    // the recording ended and says nothing more about it.
    auto* view = rig.Frame()->findChild<COndrelView*>();
    QVERIFY(view);
    QVERIFY(view->TimerRunning());
    rig.Frame()->SetMessageText(QString());
    rig.Run(ID_FILE_NEW);
    QCoreApplication::processEvents();
    QVERIFY(!rig.Frame()->MessageText().startsWith(QLatin1String("Recording stopped")));
}

ONDREL_SHELL_TEST_MAIN(TestRecording)
#include "tst_recording.moc"
