// The lab's web service with a real civetweb on a free loopback port, asked by
// civetweb's own client: the page's headers and methods, the live WebSocket's
// snapshot and numbered deltas, the viewer limit and digest users, and the
// history answered from an archive.
#include "archive.h"
#include "brokerrig.h"
#include "labscript.h"
#include "labweb.h"
#include "liveservice.h"
#include "selfsigned.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <civetweb.h>
#include <future>
#include <mutex>
#include <thread>

using namespace ondrel;
using namespace ondrel::web;
using ondrel::testing::MakeCertificate;
using ondrel::testing::Openssl;

namespace {

const QString kCsp = "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
                     "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action "
                     "'none'; frame-ancestors 'none'";

struct Response
{
    int status = 0;
    QHash<QString, QString> headers; // names in lower case
    QByteArray body;
};

Response Ask(int port, const QByteArray& method, const QByteArray& path, bool tls = false)
{
    char error[256] = {};
    const QByteArray request =
        method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + "Connection: close\r\n\r\n";
    mg_connection* conn =
        mg_download("127.0.0.1", port, tls, error, sizeof error, "%s", request.constData());
    Response r;
    if (!conn)
        return r;
    const mg_response_info* info = mg_get_response_info(conn);
    r.status = info->status_code;
    for (int i = 0; i < info->num_headers; ++i)
        r.headers.insert(QString::fromLatin1(info->http_headers[i].name).toLower(),
                         QString::fromLatin1(info->http_headers[i].value));
    char buffer[4096];
    for (int n; (n = mg_read(conn, buffer, sizeof buffer)) > 0;)
        r.body.append(buffer, n);
    mg_close_connection(conn);
    return r;
}

// A viewer on /live: what it received, as JSON objects.
class CViewer
{
public:
    explicit CViewer(int port, bool tls = false)
    {
        char error[256] = {};
        m_conn = mg_connect_websocket_client("127.0.0.1", port, tls, error, sizeof error, "/live",
                                             nullptr, &CViewer::OnData, &CViewer::OnClose, this);
    }
    ~CViewer()
    {
        if (m_conn)
            mg_close_connection(m_conn);
    }
    bool Connected() const { return m_conn != nullptr; }
    void Say(const QByteArray& text, int opcode = MG_WEBSOCKET_OPCODE_TEXT)
    {
        mg_websocket_client_write(m_conn, opcode, text.constData(), size_t(text.size()));
    }
    // The read-outs of generator 0 in the messages after the first `from`.
    QStringList KvSeen(int from) const
    {
        QStringList seen;
        for (const QJsonObject& m : Messages().mid(from))
            for (const QJsonValue& entry : m["live"].toArray())
                if (entry["n"].toInt() == 0 && entry["r"].isArray())
                    seen << entry["r"][0].toString();
        return seen;
    }
    QList<QJsonObject> Messages() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    bool Closed() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed;
    }

private:
    static int OnData(mg_connection*, int bits, char* data, size_t size, void* self)
    {
        auto* v = static_cast<CViewer*>(self);
        if ((bits & 0x0f) == MG_WEBSOCKET_OPCODE_TEXT) {
            std::lock_guard<std::mutex> lock(v->m_mutex);
            v->m_messages << QJsonDocument::fromJson(QByteArray(data, int(size))).object();
        }
        return 1;
    }
    static void OnClose(const mg_connection*, void* self)
    {
        auto* v = static_cast<CViewer*>(self);
        std::lock_guard<std::mutex> lock(v->m_mutex);
        v->m_closed = true;
    }
    mg_connection* m_conn = nullptr;
    mutable std::mutex m_mutex;
    QList<QJsonObject> m_messages;
    bool m_closed = false;
};

lab::BrokerMessage Message(const QString& line, qint64 receivedMs)
{
    const test::ScriptMessage m = test::ScriptLine(line);
    return {"lab/gen1/" + m.subtopic, m.payload, false, false, receivedMs};
}

} // namespace

class TestWebServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { mg_init_library(MG_FEATURES_WEBSOCKET); }
    void page_data();
    void page();
    void snapshotThenDeltas();
    void readoutsOnlyWhereShown();
    void viewerSays_data();
    void viewerSays();
    void viewerLimit();
    void digestUsers_data();
    void digestUsers();
    void tls_data();
    void tls();
    void history_data();
    void history();
    void handlersBusyOrFailing();

private:
    std::unique_ptr<CLiveService> Serve(WebOptions options = {});
    qint64 m_now = test::ScriptTime("10:00:02").toMSecsSinceEpoch();
    std::unique_ptr<CLiveService> m_pageService;
    QTemporaryDir m_dir;
    std::unique_ptr<archive::CArchive> m_archive;
    std::unique_ptr<CWebServer> m_historyServer;
};

std::unique_ptr<CLiveService> TestWebServer::Serve(WebOptions options)
{
    options.port = testing::FreePort();
    options.pageDir = ONDREL_PAGE_DIR;
    options.tlsShimDir = ONDREL_TLS_SHIM_DIR;
    auto service = std::make_unique<CLiveService>(options, "lab", [this] { return m_now; });
    QString error;
    if (!service->Start(&error)) {
        qWarning("%s", qPrintable(error));
        return nullptr;
    }
    return service;
}

void TestWebServer::page_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("type");

    QTest::newRow("the page") << QByteArray("GET") << QByteArray("/") << 200
                              << "text/html; charset=utf-8";
    QTest::newRow("its script") << QByteArray("GET") << QByteArray("/live.js") << 200
                                << "text/javascript; charset=utf-8";
    QTest::newRow("POST refused") << QByteArray("POST") << QByteArray("/") << 405
                                  << "text/plain; charset=utf-8";
    QTest::newRow("PUT refused") << QByteArray("PUT") << QByteArray("/live.js") << 405
                                 << "text/plain; charset=utf-8";
    QTest::newRow("CORS preflight refused")
        << QByteArray("OPTIONS") << QByteArray("/") << 405 << "text/plain; charset=utf-8";
    QTest::newRow("outside the page") << QByteArray("GET") << QByteArray("/../CMakeLists.txt")
                                      << 404 << "text/plain; charset=utf-8";
}

void TestWebServer::page()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    QFETCH(QString, type);
    // One service for every row: civetweb takes a second or two to stop.
    if (!m_pageService)
        m_pageService = Serve();
    QVERIFY(m_pageService);
    const Response r = Ask(m_pageService->Server().Port(), method, path);
    QCOMPARE(r.status, status);
    QCOMPARE(r.headers.value("content-type"), type);
    QCOMPARE(r.headers.value("content-security-policy"), kCsp);
    QVERIFY(!r.headers.contains("access-control-allow-origin"));
    if (status == 405)
        QCOMPARE(r.body, QByteArray("This service is read-only: only GET is answered.\n"));
}

void TestWebServer::snapshotThenDeltas()
{
    const auto service = Serve();
    QVERIFY(service);
    service->OnBrokerConnected();
    service->OnMessages({Message("10:00:00 status online", m_now),
                         Message("10:00:01 reading 080.5 1100 off 1", m_now)});
    CViewer viewer(service->Server().Port());
    QVERIFY(viewer.Connected());
    QVERIFY(QTest::qWaitFor([&] { return viewer.Messages().size() >= 1; }, 5000));
    const QJsonObject snapshot = viewer.Messages().first();
    QCOMPARE(snapshot["type"].toString(), "snapshot");
    QCOMPARE(snapshot["summary"].toString(), "1 generator");
    QCOMPARE(snapshot["serverMs"].toDouble(), double(m_now));
    const QJsonObject gen = snapshot["generators"].toArray().first().toObject();
    QCOMPARE(gen["label"].toString(), "gen1: Ready");
    QCOMPARE(gen["shape"].toString(), "circle");
    QCOMPARE(gen["readouts"].toArray().first().toString(), "080.5 kV");
    QCOMPARE(gen["readingMs"].toDouble(), double(m_now));

    // Silence: the service judges it stale, and says so in the next delta.
    m_now += 10000;
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const QJsonObject& m : viewer.Messages())
                if (m["summary"].toString() == "1 generator: 1 stale; 1 alarm unacknowledged")
                    return true;
            return false;
        },
        5000));
    QVERIFY(QTest::qWaitFor([&] { return viewer.Messages().size() >= 4; }, 5000));
    const QList<QJsonObject> got = viewer.Messages();
    for (int i = 1; i < got.size(); ++i) {
        QCOMPARE(got[i]["type"].toString(), "delta");
        QCOMPARE(got[i]["seq"].toInteger(), got[i - 1]["seq"].toInteger() + 1);
    }
}

void TestWebServer::readoutsOnlyWhereShown()
{
    const auto service = Serve();
    QVERIFY(service);
    service->OnBrokerConnected();
    service->OnMessages({Message("10:00:00 status online", m_now),
                         Message("10:00:01 reading 080.5 1100 off 1", m_now)});
    CViewer looking(service->Server().Port()), elsewhere(service->Server().Port());
    QVERIFY(QTest::qWaitFor(
        [&] { return !looking.Messages().isEmpty() && !elsewhere.Messages().isEmpty(); }, 5000));
    looking.Say(R"({"shows":[0]})");
    elsewhere.Say(R"({"shows":[]})");
    const int before = looking.Messages().size(), heard = elsewhere.Messages().size();
    service->OnMessages({Message("10:00:02 reading 081.0 1100 off 2", m_now)});
    QVERIFY(QTest::qWaitFor([&] { return !looking.KvSeen(before).isEmpty(); }, 5000));
    QCOMPARE(looking.KvSeen(before), QStringList{"081.0 kV"});
    QVERIFY(QTest::qWaitFor([&] { return elsewhere.Messages().size() > heard + 1; }, 5000));
    QCOMPARE(elsewhere.KvSeen(0), QStringList());

    // Scrolled into view with nothing new since: the read-outs it missed come
    // with the next round, a heartbeat at the latest.
    const int scrolled = elsewhere.Messages().size();
    elsewhere.Say(R"({"shows":[0, 7]})");
    QVERIFY(QTest::qWaitFor([&] { return !elsewhere.KvSeen(scrolled).isEmpty(); }, 5000));
    QCOMPARE(elsewhere.KvSeen(scrolled), QStringList{"081.0 kV"});
    QVERIFY(!looking.Closed() && !elsewhere.Closed());
}

void TestWebServer::viewerSays_data()
{
    QTest::addColumn<QByteArray>("said");
    QTest::addColumn<int>("opcode");
    QTest::addColumn<bool>("closed");
    const int text = MG_WEBSOCKET_OPCODE_TEXT;
    QTest::newRow("the tiles it shows") << QByteArray(R"({"shows":[0,1,4999]})") << text << false;
    QTest::newRow("none") << QByteArray(R"({"shows":[]})") << text << false;
    QTest::newRow("not JSON") << QByteArray("shows 0") << text << true;
    QTest::newRow("something else too")
        << QByteArray(R"({"shows":[0],"ack":"lab/gen1"})") << text << true;
    QTest::newRow("a request") << QByteArray(R"({"acknowledge":"lab/gen1"})") << text << true;
    QTest::newRow("not numbers") << QByteArray(R"({"shows":["lab/gen1"]})") << text << true;
    QTest::newRow("negative") << QByteArray(R"({"shows":[-1]})") << text << true;
    QTest::newRow("a fraction") << QByteArray(R"({"shows":[0.5]})") << text << true;
    QTest::newRow("past any fleet") << QByteArray(R"({"shows":[1e9]})") << text << true;
    QTest::newRow("binary") << QByteArray(R"({"shows":[0]})") << int(MG_WEBSOCKET_OPCODE_BINARY)
                            << true;
    QTest::newRow("too long") << "{\"shows\":[" + QByteArray(70000, ' ') + "0]}" << text << true;
}

void TestWebServer::viewerSays()
{
    QFETCH(QByteArray, said);
    QFETCH(int, opcode);
    QFETCH(bool, closed);
    if (!m_pageService)
        m_pageService = Serve();
    QVERIFY(m_pageService);
    CViewer viewer(m_pageService->Server().Port());
    QVERIFY(QTest::qWaitFor([&] { return !viewer.Messages().isEmpty(); }, 5000));
    viewer.Say(said, opcode);
    const int before = viewer.Messages().size();
    // Heartbeats keep coming to a viewer that may speak; a closed one hears no more.
    QVERIFY(QTest::qWaitFor(
        [&] { return viewer.Closed() || viewer.Messages().size() > before + 1; }, 5000));
    QCOMPARE(viewer.Closed(), closed);
}

void TestWebServer::viewerLimit()
{
    WebOptions options;
    options.clients = 2;
    const auto service = Serve(options);
    QVERIFY(service);
    CViewer first(service->Server().Port()), second(service->Server().Port());
    QVERIFY(QTest::qWaitFor([&] { return service->Server().Viewers() == 2; }, 5000));
    CViewer third(service->Server().Port());
    QVERIFY(QTest::qWaitFor([&] { return third.Closed(); }, 5000));
    QCOMPARE(third.Messages().value(0)["text"].toString(),
             "The lab service already has its 2 viewers; try again later.");
    QVERIFY(!first.Closed());
    QCOMPARE(service->Server().Viewers(), 2);
}

void TestWebServer::digestUsers_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error");
    const QByteArray hash =
        QCryptographicHash::hash("officer:Ondrel lab:pw", QCryptographicHash::Md5).toHex();
    QTest::newRow("an htdigest file") << "officer:Ondrel lab:" + hash + "\n" << QString();
    QTest::newRow("a password file of another kind")
        << QByteArray("officer:$apr1$abc$def\n")
        << "--web-users: USERS is not an htdigest file (user:realm:hash lines, as htdigest "
           "writes them)";
}

void TestWebServer::digestUsers()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QFile users(dir.filePath("USERS"));
    QVERIFY(users.open(QIODevice::WriteOnly) && users.write(file) == file.size());
    users.close();
    WebOptions options;
    options.usersFile = users.fileName();
    options.port = testing::FreePort();
    options.pageDir = ONDREL_PAGE_DIR;
    CLiveService service(options, "lab", [this] { return m_now; });
    QString why;
    QCOMPARE(service.Start(&why), error.isEmpty());
    QCOMPARE(why.replace(dir.path() + "/", QString()), error);
    if (!error.isEmpty())
        return;
    const Response r = Ask(service.Server().Port(), "GET", "/");
    QCOMPARE(r.status, 401);
    const QString challenge = r.headers.value("www-authenticate");
    QVERIFY(challenge.startsWith("Digest ") && challenge.contains("realm=\"Ondrel lab\""));
    CViewer viewer(service.Server().Port());
    QVERIFY(!viewer.Connected() || QTest::qWaitFor([&] { return viewer.Closed(); }, 5000));
    QCOMPARE(service.Server().Viewers(), 0);
}

void TestWebServer::tls_data()
{
    QTest::addColumn<QString>("cert");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("error"); // DIR stands for the files' folder

    QTest::newRow("a certificate and its key") << "cert.pem"
                                               << "key.pem" << QString();
    QTest::newRow("the key of another certificate")
        << "cert.pem"
        << "other-key.pem"
        << "--web-key: DIR/other-key.pem is not the key of the certificate in DIR/cert.pem: key "
           "values mismatch";
    QTest::newRow("a key with a passphrase")
        << "cert.pem"
        << "locked-key.pem"
        << "--web-key: DIR/locked-key.pem is not a usable PEM private key without a passphrase: "
           "bad decrypt";
    QTest::newRow("a key file missing") << "cert.pem"
                                        << "nokey.pem"
                                        << "cannot read DIR/nokey.pem: No such file or directory";
    QTest::newRow("the key given as the certificate")
        << "key.pem"
        << "key.pem"
        << "--web-cert: DIR/key.pem is not a usable PEM certificate: no start line";
}

// Over real TLS, with the stand-ins civetweb needs to reach OpenSSL 3: the page
// and the live snapshot, or a clear refusal at start.
void TestWebServer::tls()
{
    QFETCH(QString, cert);
    QFETCH(QString, key);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(MakeCertificate(dir.filePath("cert.pem"), dir.filePath("key.pem")));
    QVERIFY(MakeCertificate(dir.filePath("other-cert.pem"), dir.filePath("other-key.pem")));
    QVERIFY(Openssl({"pkey", "-in", dir.filePath("key.pem"), "-aes256", "-passout", "pass:pw",
                     "-out", dir.filePath("locked-key.pem")}));
    WebOptions options;
    options.certFile = dir.filePath(cert);
    options.keyFile = dir.filePath(key);
    options.port = testing::FreePort();
    options.pageDir = ONDREL_PAGE_DIR;
    options.tlsShimDir = ONDREL_TLS_SHIM_DIR;
    CLiveService service(options, "lab", [this] { return m_now; });
    QString why;
    const bool started = service.Start(&why);
    QCOMPARE(why.replace(dir.path(), "DIR"), error);
    QCOMPARE(started, error.isEmpty());
    if (!started)
        return;
    const Response r = Ask(options.port, "GET", "/", true);
    QCOMPARE(r.status, 200);
    QVERIFY(r.body.contains("<title>Fleet - Ondrel lab</title>"));
    CViewer viewer(options.port, true);
    QVERIFY(viewer.Connected());
    QVERIFY(QTest::qWaitFor([&] { return !viewer.Messages().isEmpty(); }, 5000));
    QCOMPARE(viewer.Messages().first()["type"].toString(), "snapshot");
}

void TestWebServer::history_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("body"); // its start

    const QString text = "text/plain; charset=utf-8";
    QTest::newRow("exposures")
        << QByteArray("/exposures.csv?from=2026-05-04&to=2026-05-04&tz=Europe/Berlin") << 200
        << "text/csv; charset=utf-8"
        << QByteArray("generator,start,end,earliest_end,latest_end,duration_s,longest_duration_s,"
                      "set_kv,set_ua,mean_kv,mean_ua,host,user,end_reason\r\n"
                      "lab/gen1,2026-05-04T12:00:01.000+02:00,2026-05-04T12:00:04.000+02:00,"
                      "2026-05-04T12:00:04.000+02:00,2026-05-04T12:00:04.000+02:00,3.000,3.000,"
                      "80.5,1100,80.5,1100,lab-pc,ops,xray-off\r\n");
    QTest::newRow("a day missing")
        << QByteArray("/exposures.csv?from=2026-05-04") << 400 << text
        << QByteArray("to is missing: give a day, such as 2026-05-04.\n");
    QTest::newRow("no such day") << QByteArray("/exposures.csv?from=2026-13-01&to=2026-05-04")
                                 << 400 << text
                                 << QByteArray("from: \"2026-13-01\" is not a day such as "
                                               "2026-05-04.\n");
    QTest::newRow("days reversed")
        << QByteArray("/beam-time.json?from=2026-05-05&to=2026-05-04") << 400 << text
        << QByteArray("from 2026-05-05 is after to 2026-05-04.\n");
    QTest::newRow("more than a year")
        << QByteArray("/exposures.csv?from=2025-05-03&to=2026-05-04") << 400 << text
        << QByteArray("from 2025-05-03 to 2026-05-04 is more than 366 days; ask for a year at "
                      "most.\n");
    QTest::newRow("unknown zone")
        << QByteArray("/exposures.csv?from=2026-05-04&to=2026-05-04&tz=Mars%2FOlympus") << 400
        << text
        << QByteArray("tz: \"Mars/Olympus\" is not a time zone this computer knows, such as "
                      "Europe/Berlin or UTC.\n");
    QTest::newRow("beam time") << QByteArray("/beam-time.json?by=day&from=2026-05-04&to=2026-05-04")
                               << 200 << "application/json"
                               << QByteArray("[\n    {\n        \"beam_s\": 4,\n        "
                                             "\"end\": \"2026-05-05T00:00:00+00:00\",");
    QTest::newRow("beam time by fortnight")
        << QByteArray("/beam-time.json?by=fortnight&from=2026-05-04&to=2026-05-04") << 400 << text
        << QByteArray("by: \"fortnight\" is none of day, week and month.\n");
    QTest::newRow("trend of raw readings")
        << QByteArray("/trend.json?generator=lab%2Fgen1&from=2026-05-04T10:00:00Z&to=2026-05-04T"
                      "12:01:00%2B02:00&points=2")
        << 200 << "application/json"
        << QByteArray(
               "{\"bucketMs\":30000,\"exposures\":[{\"earliestEnd\":1777888804000,\"endReason\":"
               "\"xray-off\",\"endState\":\"closed\",\"latestEnd\":1777888804000,\"start\":"
               "1777888801000,\"user\":\"ops\"},{\"earliestEnd\":1777888806000,\"endReason\":"
               "\"offline\",\"endState\":\"uncertain\",\"latestEnd\":null,\"start\":1777888805000,"
               "\"user\":\"ops\"}],\"from\":1777888800000,\"generator\":\"lab/"
               "gen1\",\"points\":[{\"kv\":[80.5,80.5,80.5],\"n\":2,\"t\":1777888800000,"
               "\"temperature\":[25,25,25],\"ua\":[1100,1100,1100]}],\"source\":\"readings\","
               "\"to\":1777888860000}");
    QTest::newRow("trend of roll-ups")
        << QByteArray("/trend.json?generator=lab%2Fgen1&from=2026-05-01T00:00:00Z&to=2026-05-"
                      "31T00:00:00Z&points=30")
        << 200 << "application/json"
        << QByteArray(
               "{\"bucketMs\":86400000,\"exposures\":[{\"earliestEnd\":1777888804000,\"endReason\":"
               "\"xray-off\",\"endState\":\"closed\",\"latestEnd\":1777888804000,\"start\":"
               "1777888801000,\"user\":\"ops\"},{\"earliestEnd\":1777888806000,\"endReason\":"
               "\"offline\",\"endState\":\"uncertain\",\"latestEnd\":null,\"start\":1777888805000,"
               "\"user\":\"ops\"}],\"from\":1777593600000,\"generator\":\"lab/"
               "gen1\",\"points\":[{\"kv\":[80.5,80.5,80.5],\"n\":2,\"t\":1777852800000,"
               "\"temperature\":[25,25,25],\"ua\":[1100,1100,1100]}],\"source\":\"rollups\",\"to\":"
               "1780185600000}");
    QTest::newRow("trend without a generator")
        << QByteArray("/trend.json?from=2026-05-04T10:00:00Z&to=2026-05-04T11:00:00Z") << 400
        << text << QByteArray("generator is missing: give a generator's name.\n");
    QTest::newRow("a time without its offset")
        << QByteArray("/trend.json?generator=g&from=2026-05-04T10:00:00&to=2026-05-04T11:00:00Z")
        << 400 << text
        << QByteArray("from: \"2026-05-04T10:00:00\" is not a time with its offset, such as "
                      "2026-05-04T10:00:00Z or 2026-05-04T12:00:00+02:00.\n");
    QTest::newRow("a trend of over a year")
        << QByteArray("/trend.json?generator=g&from=2025-05-01T00:00:00Z&to=2026-05-04T00:00:00Z")
        << 400 << text << QByteArray("from to to is more than 366 days; ask for a year at most.\n");
    for (const char* points : {"0", "5001", "many"})
        QTest::addRow("%s points", points)
            << "/trend.json?generator=g&from=2026-05-04T10:00:00Z&to=2026-05-04T11:00:00Z&"
               "points=" +
                   QByteArray(points)
            << 400 << text
            << "points: \"" + QByteArray(points) + "\" is not a number from 1 to 5000.\n";
}

void TestWebServer::history()
{
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    QFETCH(QString, type);
    QFETCH(QByteArray, body);
    if (!m_archive) {
        QString error;
        m_archive = archive::CArchive::Open(m_dir.filePath("lab.sqlite"), {}, &error);
        QVERIFY2(m_archive, qPrintable(error));
        for (const char* line :
             {"09:00:00 info 09:00:00 ops", "10:00:01 event xray-on 1 VP0805 CP1100 ENBL1",
              "10:00:02 reading 080.5 1100 on 1", "10:00:04 event xray-off 2",
              "10:00:05 event xray-on 3 VP0805 CP1100 ENBL1", "10:00:06 reading 080.5 1100 on 2",
              "10:00:09 status offline"}) {
            const test::ScriptMessage m = test::ScriptLine(line);
            QVERIFY(m_archive->Enqueue({"lab/gen1", m.subtopic, m.payload, m.time, false}));
        }
        QVERIFY(m_archive->Flush(10000));
        WebOptions options;
        options.port = testing::FreePort();
        options.pageDir = ONDREL_PAGE_DIR;
        options.handlers = archive::HistoryHandlers(*m_archive, QTimeZone::utc());
        m_historyServer = std::make_unique<CWebServer>(options);
        QVERIFY2(m_historyServer->Start(&error), qPrintable(error));
    }
    const Response r = Ask(m_historyServer->Port(), "GET", path);
    QCOMPARE(r.status, status);
    QCOMPARE(r.headers.value("content-type"), type);
    QCOMPARE(r.headers.value("content-security-policy"), kCsp);
    QVERIFY2(r.body.startsWith(body), r.body.constData());
    if (path.startsWith("/exposures.csv") && status == 200)
        QCOMPARE(r.headers.value("content-disposition"),
                 "attachment; filename=\"exposures-2026-05-04-to-2026-05-04.csv\"");
}

void TestWebServer::handlersBusyOrFailing()
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> entered{false};
    WebOptions options;
    options.port = testing::FreePort();
    options.pageDir = ONDREL_PAGE_DIR;
    options.handlersAtOnce = 1;
    options.handlers["/slow"] = [&](const QUrlQuery&) {
        entered = true;
        released.wait();
        return WebAnswer{200, "text/plain; charset=utf-8", "done\n", {}};
    };
    options.handlers["/throws"] = [](const QUrlQuery&) -> WebAnswer {
        throw std::runtime_error("the archive is gone");
    };
    CWebServer server(options);
    QString error;
    QVERIFY2(server.Start(&error), qPrintable(error));
    Response slow;
    std::thread first([&] { slow = Ask(server.Port(), "GET", "/slow"); });
    // Released and joined before any check can return.
    const bool inside = QTest::qWaitFor([&] { return entered.load(); }, 5000);
    const Response busy = inside ? Ask(server.Port(), "GET", "/throws") : Response();
    release.set_value();
    first.join();
    QVERIFY(inside);
    QCOMPARE(busy.status, 503);
    QCOMPARE(busy.body,
             "The lab service is busy with other history requests; try again in a moment.\n");
    QCOMPARE(slow.body, "done\n");
    const Response failed = Ask(server.Port(), "GET", "/throws");
    QCOMPARE(failed.status, 500);
    QCOMPARE(failed.body, "The lab service could not answer: the archive is gone\n");
}

QTEST_GUILESS_MAIN(TestWebServer)
#include "tst_webserver.moc"
