// The live page in headless Chromium (driven by browser.py through chromedriver)
// against a real mosquitto and `ondrel-lab serve --listen` as a process: a
// hostile console prefix shows as text and runs nothing; stopping the service
// greys the page within 2 s, starting it again brings the page back by itself.
#include "brokerrig.h"
#include "payloads.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace ondrel;
using namespace ondrel::testing;

namespace {

const QString kHostile = "<img src=x onerror=alert(1)>";

// Chromium as a child, asked one command at a time.
class CBrowser
{
public:
    bool Start(QString* error)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("/usr/bin/python3", {ONDREL_BROWSER_SCRIPT});
        if (!m_process.waitForStarted(10000)) {
            *error = "cannot run /usr/bin/python3: " + m_process.errorString();
            return false;
        }
        const QJsonObject ready = Answer(60000);
        *error = ready["error"].toString();
        return ready["ok"].toBool();
    }
    ~CBrowser()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(20000))
            m_process.kill();
    }
    QJsonValue Call(const QJsonObject& command)
    {
        m_process.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + "\n");
        const QJsonObject answer = Answer(30000);
        if (!answer["ok"].toBool())
            qWarning("browser: %s", qPrintable(answer["error"].toString()));
        return answer["result"];
    }
    QJsonValue Eval(const QString& js) { return Call({{"op", "eval"}, {"js", js}}); }

private:
    QJsonObject Answer(int ms)
    {
        QDeadlineTimer deadline(ms);
        while (!m_process.canReadLine() && !deadline.hasExpired() &&
               m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(100);
        if (!m_process.canReadLine())
            return {{"ok", false}, {"error", "no answer from browser.py"}};
        return QJsonDocument::fromJson(m_process.readLine()).object();
    }
    QProcess m_process;
};

} // namespace

class TestLivePage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void hostilePrefixIsText();
    void sixtyFitAWallScreen();
    void lostServiceGreysThenResynchronises();

private:
    bool StartLab();
    void Publish(const QString& prefix, const QByteArray& subtopic, const QByteArray& payload);
    QString Contact() { return m_browser.Eval(kContactJs).toString(); }

    static inline const QString kContactJs =
        "const c = document.getElementById('contact');"
        "return (document.body.classList.contains('lost') ? 'greyed: ' : 'live: ') +"
        "  (c.hidden ? '' : c.textContent);";
    static inline const QString kLabelsJs =
        "return Array.from(document.querySelectorAll('#tiles .tile'))"
        "  .map(t => t.getAttribute('aria-label')).join(' | ');";

    CBroker m_broker;
    CSubscriber m_publisher;
    CBrowser m_browser;
    QTemporaryDir m_dir;
    QProcess m_lab;
    int m_port = 0;
};

void TestLivePage::initTestCase()
{
    QString error;
    QVERIFY2(m_broker.Start(&error), qPrintable(error));
    QVERIFY(m_publisher.Connect(m_broker.plainPort, "nothing/#"));
    m_port = FreePort();
    QVERIFY(StartLab());
    QVERIFY2(m_browser.Start(&error), qPrintable(error));
}

void TestLivePage::cleanupTestCase()
{
    m_lab.terminate();
    m_lab.waitForFinished(10000);
}

bool TestLivePage::StartLab()
{
    m_lab.setProcessChannelMode(QProcess::MergedChannels);
    m_lab.start(ONDREL_LAB_BINARY,
                {"serve", QString("mqtt://127.0.0.1:%1/lab").arg(m_broker.plainPort), "--db",
                 m_dir.filePath("lab.sqlite"), "--listen", QString("127.0.0.1:%1").arg(m_port)});
    QDeadlineTimer deadline(20000);
    QByteArray said;
    while (!deadline.hasExpired() && m_lab.state() != QProcess::NotRunning) {
        m_lab.waitForReadyRead(100);
        said += m_lab.readAll();
        if (said.contains("subscribed to lab/#") && said.contains("web: the live page is on"))
            return true;
    }
    qWarning("ondrel-lab serve: %s", said.constData());
    return false;
}

void TestLivePage::Publish(const QString& prefix, const QByteArray& subtopic,
                           const QByteArray& payload)
{
    QVERIFY(m_publisher.Publish(prefix + "/" + subtopic, payload, 1, true));
}

void TestLivePage::hostilePrefixIsText()
{
    Publish("lab/" + kHostile, "status", StatusPayload(ConsoleStatus::Offline));
    Publish("lab/gen2", "status", StatusPayload(ConsoleStatus::Offline));
    m_browser.Call({{"op", "get"}, {"url", QString("http://127.0.0.1:%1/").arg(m_port)}});
    QVERIFY(QTest::qWaitFor(
        [&] {
            return m_browser.Eval(kLabelsJs).toString() == kHostile + ": Offline | gen2: Offline";
        },
        10000));
    QCOMPARE(m_browser.Eval("return document.querySelector('#tiles .name').textContent").toString(),
             kHostile);
    QCOMPARE(m_browser.Eval("return document.querySelectorAll('img').length").toInt(), 0);
    QCOMPARE(m_browser.Call({{"op", "alert"}}), QJsonValue());
    QCOMPARE(m_browser.Eval("return document.getElementById('summary').textContent").toString(),
             "2 generators: 2 offline; 2 alarms unacknowledged");
}

// browser.py's window is 1920 by 1080, a wall screen with the browser's own bars.
void TestLivePage::sixtyFitAWallScreen()
{
    for (int i = 1; i <= 60; ++i)
        Publish(QString("lab/generator-%1").arg(i), "status",
                StatusPayload(ConsoleStatus::Offline));
    m_browser.Call({{"op", "get"}, {"url", QString("http://127.0.0.1:%1/").arg(m_port)}});
    QVERIFY(QTest::qWaitFor(
        [&] {
            return m_browser.Eval("return document.querySelectorAll('.tile').length >= 60")
                .toBool();
        },
        10000));
    QCOMPARE(m_browser.Eval("return document.documentElement.scrollHeight > innerHeight"),
             QJsonValue(false));
}

void TestLivePage::lostServiceGreysThenResynchronises()
{
    m_browser.Call({{"op", "get"}, {"url", QString("http://127.0.0.1:%1/").arg(m_port)}});
    QVERIFY(QTest::qWaitFor([&] { return Contact() == "live: "; }, 10000));

    m_lab.terminate();
    QVERIFY(m_lab.waitForFinished(10000));
    QElapsedTimer since;
    since.start();
    QVERIFY(QTest::qWaitFor(
        [&] { return Contact().startsWith("greyed: no contact with the lab service since "); },
        5000));
    QVERIFY2(since.elapsed() <= 2000, qPrintable(QString::number(since.elapsed())));

    // What changed meanwhile shows once the service is back.
    Publish("lab/gen2", "status", StatusPayload(ConsoleStatus::NotResponding));
    QVERIFY(StartLab());
    QVERIFY(QTest::qWaitFor([&] { return Contact() == "live: "; }, 15000));
    QVERIFY(QTest::qWaitFor(
        [&] { return m_browser.Eval(kLabelsJs).toString().contains("gen2: Not responding"); },
        10000));
}

QTEST_GUILESS_MAIN(TestLivePage)
#include "tst_livepage.moc"
