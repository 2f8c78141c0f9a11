// The status poll on a real line while the generator misbehaves between two
// ticks: a poll whose exchange times out stops polling for good and greys the
// last readings; a reply of the right length, whatever it holds, is shown.
#include "e2erig.h"

#include <QtTest>

using namespace ondrel;
using namespace ondrel::e2e;

class TestE2EPoll : public QObject
{
    Q_OBJECT
private slots:
    void stopsOnTimeOut_data();
    void stopsOnTimeOut();
    void showsWhateverArrives_data();
    void showsWhateverArrives();
};

namespace {

// A running console that has shown the idle readings at least once.
bool StartPolling(CE2ERig& rig, std::string* error)
{
    if (!rig.StartGenerator(error))
        return false;
    rig.StartConsole();
    if (!rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); })) {
        *error = "the console never showed the idle readings";
        return false;
    }
    return true;
}

const QByteArray kFaultFlag4("\x02"
                             "0 0 0 1 0 0 0 0 0\r");

} // namespace

void TestE2EPoll::stopsOnTimeOut_data()
{
    QTest::addColumn<QStringList>("inject");
    // Read-outs after the failed poll; a null entry keeps the text shown before.
    QTest::addColumn<QStringList>("shown");

    const QString same;
    const QStringList unchanged{same, same, same, same};
    auto next = [](const QByteArray& reply) { return QString::fromStdString(NextCommand(reply)); };

    QTest::newRow("silence") << QStringList{"silent on"} << unchanged;
    // 18 characters never make 19; the monitor wait then counts them too.
    QTest::newRow("short replies") << QStringList{"short 1"} << unchanged;
    // The fault wait never sees 19: the count jumps past it (21), or the stray
    // characters and the reply arrive together (21). Those 21 are still waiting
    // when the monitor query of the same tick starts, and they are exactly the 21
    // it waits for: its wait succeeds at once and the fault reply is read by
    // position as readings. The delay keeps the real monitor reply from joining
    // them before the first look.
    QTest::newRow("long replies") << QStringList{"long 2", "delay 100"}
                                  << QStringList{same, "0 0. ", " 0 0", "0 0. "};
    QTest::newRow("stray characters before the reply") << QStringList{"stray XY", "delay 100"}
                                                       << QStringList{same,
                                                                      QString::fromLatin1("Y\x02"
                                                                                          "0. "),
                                                                      " 0 0", "0 0. "};
    QTest::newRow("replies delayed past the wait") << QStringList{"delay 4000"} << unchanged;
    // The monitor query of the failing tick still runs and still updates the readings.
    QTest::newRow("fault query unanswered, monitor answered")
        << QStringList{"drop 1", next(MonitorReply("0805", "1100", "0312"))}
        << QStringList{same, "080.5", "1100", "031.2"};
    // A reply cut to nothing: the fault verdict of the same tick stays.
    QTest::newRow("fault answered, monitor unanswered")
        << QStringList{"short 21", next(kFaultFlag4)}
        << QStringList{"Error.Please Clear", same, same, same};
}

void TestE2EPoll::stopsOnTimeOut()
{
    QFETCH(QStringList, inject);
    QFETCH(QStringList, shown);

    CE2ERig rig;
    std::string error;
    QVERIFY2(StartPolling(rig, &error), error.c_str());

    // Between two ticks: the test runs only while no poll does.
    QStringList expected = rig.ReadOutTexts();
    for (int i = 0; i < expected.size(); ++i)
        if (!shown[i].isNull())
            expected[i] = shown[i];
    const int mark = rig.ReceivedCount();
    for (const QString& command : inject)
        QVERIFY2(rig.Inject(command.toStdString()).isEmpty(), qPrintable(command));

    QVERIFY(rig.WaitFor([] { return g_linkFailed == 1; }));
    E2E_VERIFY_READINGS_STOPPED(rig, expected);
    QCOMPARE(rig.StatusText(), CE2ERig::StoppedText());
    QCOMPARE(rig.answerer.Count(), 0); // the poll shows no box
    QVERIFY(rig.WaitForReceived(mark + 2));
    QCOMPARE(rig.ReceivedSince(mark),
             (Frames{Frame(frames::kReadFaults), Frame(frames::kReadMonitor)}));

    // Later ticks poll nothing, even once the generator answers again.
    QVERIFY(rig.Inject("normal").isEmpty());
    QVERIFY(rig.WaitTicks(3));
    QCOMPARE(rig.ReceivedCount(), mark + 2);
    QCOMPARE(rig.ReadOutTexts(), expected);
    QCOMPARE(rig.statusMessages.size(), 1);
}

void TestE2EPoll::showsWhateverArrives_data()
{
    QTest::addColumn<QStringList>("inject");
    // Faults, kV, µA and temperature as some poll showed them.
    QTest::addColumn<QStringList>("shown");

    auto next = [](const QByteArray& reply) { return QString::fromStdString(NextCommand(reply)); };
    const QString noError = QStringLiteral("No Error");
    const QString error = QStringLiteral("Error.Please Clear");

    // Position 1 to 3 of every reply become '?': still 19 and 21 characters.
    QTest::newRow("garbled replies")
        << QStringList{"garble 3"} << QStringList{error, "???.0", "0000", "025.0"};
    QTest::newRow("fault flag raised")
        << QStringList{"fault 4"} << QStringList{error, "000.0", "0000", "025.0"};
    // The NUL stays a character: 21 of them arrive, and the field shows it.
    QTest::newRow("NUL in the monitor reply")
        << QStringList{"nul on"}
        << QStringList{noError, QString::fromLatin1("0\0000.0", 5), "0000", "025.0"};
    QTest::newRow("bytes 0x80-0xFF in the monitor reply")
        << QStringList{next(NoFaultReply()),
                       next(QByteArray(
                           "\x02\x80\xA9\xE9\xFF \xB5\xB0\xC4\xD6 \xF8\x7F\x81\x9F 0000\r"))}
        << QStringList{noError, QString::fromLatin1("\x80\xA9\xE9.\xFF"),
                       QString::fromLatin1("\xB5\xB0\xC4\xD6"),
                       QString::fromLatin1("\xF8\x7F\x81.\x9F")};
    QTest::newRow("bytes 0x80-0xFF in the fault reply")
        << QStringList{next(QByteArray("\x02\xB0 0 0 0 0 0 0 0 0\r"))}
        << QStringList{error, "000.0", "0000", "025.0"};
    // 3 s after the frame is still inside the 3.7 s wait.
    QTest::newRow("replies delayed inside the wait")
        << QStringList{"delay 3000", next(kFaultFlag4), next(MonitorReply("0805", "1100", "0312"))}
        << QStringList{error, "080.5", "1100", "031.2"};
}

void TestE2EPoll::showsWhateverArrives()
{
    QFETCH(QStringList, inject);
    QFETCH(QStringList, shown);

    CE2ERig rig;
    std::string error;
    QVERIFY2(StartPolling(rig, &error), error.c_str());

    // Every text a field took: a one-off reply may be overwritten by the next poll
    // before the test looks.
    QList<QStringList> history;
    const QList<QLineEdit*> fields = rig.ReadOuts();
    for (int i = 0; i < fields.size(); ++i) {
        history << QStringList();
        QObject::connect(fields[i], &QLineEdit::textChanged,
                         [&history, i](const QString& text) { history[i] << text; });
    }
    for (const QString& command : inject)
        QVERIFY2(rig.Inject(command.toStdString()).isEmpty(), qPrintable(command));

    for (int i = 0; i < fields.size(); ++i) {
        const QString& want = shown[i];
        QVERIFY2(
            rig.WaitFor([&] { return history[i].contains(want) || rig.ReadOutTexts()[i] == want; }),
            qPrintable(QStringLiteral("field %1 never showed \"%2\"; it showed: %3")
                           .arg(i)
                           .arg(want.toHtmlEscaped(), history[i].join(" | "))));
    }
    QCOMPARE(g_linkFailed, 0);
    QCOMPARE(rig.answerer.Count(), 0);

    // And the poll goes on: the plain readings come back.
    QVERIFY(rig.Inject("normal").isEmpty());
    QVERIFY(rig.Inject("clear").isEmpty());
    QVERIFY(rig.WaitFor([&] { return rig.PollingShows(CE2ERig::IdleReadings()); }));
    QCOMPARE(g_linkFailed, 0);
    QCOMPARE(g_ready, 1);
    QCOMPARE(g_polling, 0);
    for (QLineEdit* field : fields)
        QVERIFY(field->isEnabled());
    QVERIFY(rig.statusMessages.isEmpty());
}

QTEST_MAIN(TestE2EPoll)
#include "tst_e2e_poll.moc"
