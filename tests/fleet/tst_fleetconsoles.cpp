// End to end: real consoles (the program, offscreen, on simulated generators)
// publish to a real mosquitto, and the fleet window in this process shows them:
// Ready with live readings, Offline once one is killed, Not responding once a
// generator falls silent.
#include "brokerrig.h"
#include "fleetsubscriber.h"
#include "fleetwindow.h"

#include <QAccessible>
#include <QLabel>
#include <QListView>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <signal.h>

using namespace ondrel;
using namespace ondrel::fleet;
using namespace ondrel::lab;
using namespace ondrel::testing;

namespace {

constexpr int kDeadlineMs = 30000;
// A killed console's Last Will goes out when the broker sees its socket close,
// and the keep-alive bounds it in any case: 1.5 x 6 s.
constexpr int kOfflineBoundMs = 10000;

QStringList TileNames(QListView* view)
{
    QStringList out;
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(view);
    for (int i = 0; list && i < list->childCount(); ++i)
        if (QAccessibleInterface* item = list->child(i))
            if (item->role() == QAccessible::ListItem || item->role() == QAccessible::Cell)
                out << item->text(QAccessible::Name);
    out.sort();
    return out;
}

} // namespace

class TestFleetConsoles : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void consoles();

private:
    std::unique_ptr<QProcess> Console(const QStringList& args);
    std::unique_ptr<CBroker> m_broker;
    QTemporaryDir m_home;
};

void TestFleetConsoles::initTestCase()
{
    QAccessible::setActive(true);
    m_broker = std::make_unique<CBroker>();
    QString error;
    QVERIFY2(m_broker->Start(&error), qPrintable(error));
}

std::unique_ptr<QProcess> TestFleetConsoles::Console(const QStringList& args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", m_home.path());
    env.insert("XDG_CONFIG_HOME", m_home.path());
    auto p = std::make_unique<QProcess>();
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QStringLiteral(ONDREL_BINARY), args);
    return p;
}

void TestFleetConsoles::consoles()
{
    const QString broker = QStringLiteral("mqtt://127.0.0.1:%1").arg(m_broker->plainPort);

    // gen3's generator is a simulator of its own, so that it can be silenced.
    QProcess sim;
    const QString link = m_home.filePath("gen3-line");
    sim.start(QStringLiteral(ONDREL_SIM_BINARY), {"--quiet", "--link", link});
    QVERIFY(sim.waitForStarted(kDeadlineMs));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(link), kDeadlineMs);

    std::unique_ptr<QProcess> gen1 = Console({"--simulate", "--mqtt", broker + "/ondrel/gen1"});
    std::unique_ptr<QProcess> gen2 = Console({"--simulate", "--mqtt", broker + "/ondrel/gen2"});
    std::unique_ptr<QProcess> gen3 = Console({"--port", link, "--mqtt", broker + "/ondrel/gen3"});
    auto cleanup = qScopeGuard([&] {
        for (QProcess* p : {gen1.get(), gen2.get(), gen3.get(), &sim}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(kDeadlineMs);
            }
        }
    });
    for (QProcess* p : {gen1.get(), gen2.get(), gen3.get()})
        QVERIFY(p->waitForStarted(kDeadlineMs));

    QString error;
    std::optional<MqttSettings> settings =
        ParseMqttUrl(broker, "pc", &error, QStringLiteral("ondrel"), QStringLiteral("URL"));
    QVERIFY2(settings, qPrintable(error));
    CFleetModel model(settings->prefix, [] { return QDateTime::currentMSecsSinceEpoch(); });
    CFleetWindow window(&model);
    CFleetSubscriber subscriber(*settings);
    subscriber.Feed(&model);
    window.show();
    QVERIFY2(subscriber.Start(&error), qPrintable(error));

    const QStringList ready{"gen1: Ready", "gen2: Ready", "gen3: Ready"};
    QTRY_COMPARE_WITH_TIMEOUT(TileNames(window.Tiles()), ready, kDeadlineMs);
    // Live readings, not only the retained one.
    for (const char* name : {"gen1", "gen2", "gen3"}) {
        const qint64 seq = model.Find(name)->lastReadingSeq.value_or(0);
        QTRY_VERIFY_WITH_TIMEOUT(model.Find(name)->lastReadingSeq.value_or(0) > seq + 2,
                                 kDeadlineMs);
    }
    QCOMPARE(model.Find("gen1")->version, "2000");

    ::kill(pid_t(gen1->processId()), SIGKILL);
    QTRY_COMPARE_WITH_TIMEOUT(TileNames(window.Tiles()).first(), "gen1: Offline", kOfflineBoundMs);

    sim.write("silent on\n");
    QTRY_COMPARE_WITH_TIMEOUT(TileNames(window.Tiles()),
                              (QStringList{"gen1: Offline", "gen2: Ready", "gen3: Not responding"}),
                              kDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(window.SummaryLabel()->text(),
                              "3 generators: 1 not responding, 1 offline; 2 alarms unacknowledged",
                              kDeadlineMs);
    subscriber.Stop();
}

QTEST_MAIN(TestFleetConsoles)
#include "tst_fleetconsoles.moc"
