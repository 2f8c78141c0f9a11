#include "webserver.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <civetweb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace ondrel::web {

namespace {

// No script, style, frame or form from anywhere but this service, nothing
// inline: a name that slipped past the page's textContent still cannot run.
const char* const kHeaders[][2] = {
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
     "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
     "frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

// What civetweb answers by itself (its errors, the digest challenge) carries
// the same headers.
QByteArray HeaderLines()
{
    QByteArray lines;
    for (const auto& h : kHeaders)
        lines += QByteArray(h[0]) + ": " + h[1] + "\r\n";
    lines.chop(2);
    return lines;
}

struct PageFile
{
    const char* uri;
    const char* file;
    const char* type;
};

const PageFile kPage[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/live.css", "live.css", "text/css; charset=utf-8"},
    {"/live.js", "live.js", "text/javascript; charset=utf-8"},
    {"/history.html", "history.html", "text/html; charset=utf-8"},
    {"/trend.html", "trend.html", "text/html; charset=utf-8"},
    {"/history.css", "history.css", "text/css; charset=utf-8"},
    {"/history.js", "history.js", "text/javascript; charset=utf-8"},
    {"/trend.js", "trend.js", "text/javascript; charset=utf-8"},
};

constexpr const char* kChartJsUri = "/chart.js";

// A WebSocket close code: the server is overloaded, try again later.
constexpr int kCloseTryLater = 1013;
constexpr int kClosePolicy = 1008;
// What a page may say of the tiles it shows: generators' numbers, each a few bytes.
constexpr size_t kShownBytes = 64 * 1024;
constexpr double kShownLimit = 10000;

void Respond(mg_connection* conn, int status, const char* type, const QByteArray& body,
             bool withBody, const char* allow = nullptr, const QByteArray& disposition = {})
{
    mg_response_header_start(conn, status);
    for (const auto& h : kHeaders)
        mg_response_header_add(conn, h[0], h[1], -1);
    mg_response_header_add(conn, "Content-Type", type, -1);
    const QByteArray length = QByteArray::number(body.size());
    mg_response_header_add(conn, "Content-Length", length.constData(), -1);
    if (allow)
        mg_response_header_add(conn, "Allow", allow, -1);
    if (!disposition.isEmpty())
        mg_response_header_add(conn, "Content-Disposition", disposition.constData(), -1);
    mg_response_header_send(conn);
    if (withBody && !body.isEmpty())
        mg_write(conn, body.constData(), size_t(body.size()));
}

void WriteClose(mg_connection* conn, int code, const QByteArray& reason)
{
    QByteArray frame;
    frame.append(char((code >> 8) & 0xff)).append(char(code & 0xff)).append(reason.left(120));
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, frame.constData(),
                       size_t(frame.size()));
}

// civetweb opens OpenSSL by the development package's names, libssl.so and
// libcrypto.so, and wants OpenSSL 1.1's SSL_get_peer_certificate, which it
// calls unchecked on every TLS connection. Our stand-ins in shimDir carry those
// names over OpenSSL 3; once loaded, glibc hands them to civetweb's dlopen by
// their SONAME. Returns why TLS cannot be served, or nothing.
QString LoadTlsShims(const QString& shimDir)
{
    if (shimDir.isEmpty())
        return QStringLiteral("no folder of OpenSSL stand-ins for civetweb was given");
    for (const char* name : {"libcrypto.so", "libssl.so"}) {
        const QByteArray path = QFile::encodeName(QDir(shimDir).filePath(QLatin1String(name)));
        if (!dlopen(path.constData(), RTLD_NOW | RTLD_GLOBAL))
            return QString::fromLocal8Bit(dlerror());
    }
    return QString();
}

// civetweb's own refusal of a certificate names only its joined copy and not
// why; OpenSSL asked first names the file and the fault.
QString TlsFilesFault(const QString& certFile, const QString& keyFile)
{
    const auto reason = [] {
        const char* text = ERR_reason_error_string(ERR_peek_error());
        ERR_clear_error();
        return text ? QString::fromUtf8(text) : QStringLiteral("unknown error");
    };
    ERR_clear_error();
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> ctx(SSL_CTX_new(TLS_server_method()),
                                                     &SSL_CTX_free);
    if (!ctx)
        return QStringLiteral("--web-cert: OpenSSL cannot start: %1").arg(reason());
    // A key with a passphrase is refused rather than asked for on a terminal
    // that a service does not have.
    SSL_CTX_set_default_passwd_cb(ctx.get(), [](char*, int, int, void*) { return 0; });
    const QByteArray cert = QFile::encodeName(certFile);
    const QByteArray key = QFile::encodeName(keyFile);
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert.constData()) != 1)
        return QStringLiteral("--web-cert: %1 is not a usable PEM certificate: %2")
            .arg(certFile, reason());
    const bool keyTaken =
        SSL_CTX_use_PrivateKey_file(ctx.get(), key.constData(), SSL_FILETYPE_PEM) == 1;
    if (!keyTaken && ERR_GET_REASON(ERR_peek_error()) != X509_R_KEY_VALUES_MISMATCH)
        return QStringLiteral("--web-key: %1 is not a usable PEM private key without a "
                              "passphrase: %2")
            .arg(keyFile, reason());
    if (!keyTaken || SSL_CTX_check_private_key(ctx.get()) != 1)
        return QStringLiteral("--web-key: %1 is not the key of the certificate in %2: %3")
            .arg(keyFile, certFile, reason());
    return QString();
}

// What civetweb will find when it looks.
QString TlsMissing()
{
    void* crypto = dlopen("libcrypto.so", RTLD_LAZY | RTLD_LOCAL);
    if (!crypto)
        return QString::fromLocal8Bit(dlerror());
    dlclose(crypto);
    void* ssl = dlopen("libssl.so", RTLD_LAZY | RTLD_LOCAL);
    if (!ssl)
        return QString::fromLocal8Bit(dlerror());
    const bool usable = dlsym(ssl, "SSL_get_peer_certificate") != nullptr;
    dlclose(ssl);
    return usable ? QString()
                  : QStringLiteral("libssl.so has no SSL_get_peer_certificate, which civetweb "
                                   "would call on the first connection");
}

} // namespace

struct CWebServer::Hub
{
    struct Pending
    {
        std::shared_ptr<const LiveRound> round;
        std::shared_ptr<const QByteArray> snapshot; // as of the round, instead of it
    };
    struct Client
    {
        mg_connection* conn = nullptr;
        bool refused = false;
        // Guarded by the hub's mutex:
        std::deque<Pending> queue;
        bool needsSnapshot = true;
        bool closing = false;
        bool dropped = false;
        std::condition_variable wake;
        std::thread sender;
        // The tiles its page shows, as it last said; guarded by shownMutex.
        std::mutex shownMutex;
        std::vector<int> shown;
        // The sender's own: per generator, the round whose read-outs it was sent.
        LiveRound::Sent sent;
    };

    WebOptions options;
    QHash<QByteArray, QByteArray> page; // uri -> body
    QByteArray usersFile;
    QByteArray realm;

    mutable std::mutex mutex;
    std::vector<Client*> clients; // admitted ones
    int admitted = 0;
    int handling = 0; // handlers' requests under way

    bool Authorized(mg_connection* conn)
    {
        if (usersFile.isEmpty())
            return true;
        if (mg_check_digest_access_authentication(conn, realm.constData(), usersFile.constData()) >
            0)
            return true;
        mg_send_digest_access_authentication_request(conn, realm.constData());
        return false;
    }

    void Send(Client* c)
    {
        for (;;) {
            Pending next;
            {
                std::unique_lock<std::mutex> lock(mutex);
                c->wake.wait(lock, [c] { return c->closing || c->dropped || !c->queue.empty(); });
                if (c->closing)
                    return;
                if (c->dropped) {
                    lock.unlock();
                    WriteClose(c->conn, kClosePolicy, "this viewer fell too far behind");
                    return;
                }
                next = std::move(c->queue.front());
                c->queue.pop_front();
            }
            QByteArray message;
            if (next.snapshot) {
                message = *next.snapshot;
                c->sent = next.round->AllSent();
            } else {
                std::vector<int> shown;
                {
                    std::lock_guard<std::mutex> lock(c->shownMutex);
                    shown = c->shown;
                }
                message = next.round->For(shown, &c->sent);
            }
            if (mg_websocket_write(c->conn, MG_WEBSOCKET_OPCODE_TEXT, message.constData(),
                                   size_t(message.size())) <= 0) {
                std::lock_guard<std::mutex> lock(mutex);
                c->dropped = true;
                c->queue.clear();
                return;
            }
        }
    }

    static int OnRequest(mg_connection* conn, void* data)
    {
        auto* hub = static_cast<Hub*>(data);
        const mg_request_info* ri = mg_get_request_info(conn);
        const bool head = std::strcmp(ri->request_method, "HEAD") == 0;
        if (!head && std::strcmp(ri->request_method, "GET") != 0) {
            Respond(conn, 405, "text/plain; charset=utf-8",
                    "This service is read-only: only GET is answered.\n", true, "GET, HEAD");
            return 405;
        }
        if (!hub->Authorized(conn))
            return 401;
        const auto handler = hub->options.handlers.find(QByteArray(ri->local_uri));
        if (handler != hub->options.handlers.end())
            return hub->Handle(conn, handler->second, ri->query_string, !head);
        const auto it = hub->page.constFind(QByteArray(ri->local_uri));
        if (it == hub->page.constEnd()) {
            Respond(conn, 404, "text/plain; charset=utf-8", "No such page.\n", !head);
            return 404;
        }
        const char* type = "text/plain";
        if (it.key() == kChartJsUri)
            type = "text/javascript; charset=utf-8";
        for (const PageFile& f : kPage) {
            if (it.key() == f.uri)
                type = f.type;
        }
        Respond(conn, 200, type, it.value(), !head);
        return 200;
    }

    // A handler's answer; a few at once, so that a crowd of history requests
    // cannot take every thread or the memory their answers need.
    int Handle(mg_connection* conn, const WebHandler& handler, const char* query, bool withBody)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (handling >= options.handlersAtOnce) {
                Respond(conn, 503, "text/plain; charset=utf-8",
                        "The lab service is busy with other history requests; try again in a "
                        "moment.\n",
                        withBody);
                return 503;
            }
            ++handling;
        }
        WebAnswer answer;
        try {
            answer = handler(QUrlQuery(QString::fromUtf8(query ? query : "")));
        } catch (const std::exception& e) {
            answer = {500,
                      "text/plain; charset=utf-8",
                      QByteArray("The lab service could not answer: ") + e.what() + "\n",
                      {}};
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            --handling;
        }
        QByteArray disposition;
        if (!answer.attachment.isEmpty()) {
            QByteArray name;
            for (const QChar ch : answer.attachment)
                name += (ch.isLetterOrNumber() && ch.unicode() < 128) || ch == QLatin1Char('.') ||
                                ch == QLatin1Char('-')
                            ? char(ch.unicode())
                            : '_';
            disposition = "attachment; filename=\"" + name + "\"";
        }
        Respond(conn, answer.status, answer.type.constData(), answer.body, withBody, nullptr,
                disposition);
        return answer.status;
    }

    static int OnConnect(const mg_connection* cconn, void* data)
    {
        auto* hub = static_cast<Hub*>(data);
        auto* conn = const_cast<mg_connection*>(cconn);
        if (!hub->Authorized(conn))
            return 1;
        auto* c = new Client;
        c->conn = conn;
        {
            std::lock_guard<std::mutex> lock(hub->mutex);
            if (hub->admitted >= hub->options.clients)
                c->refused = true;
            else
                ++hub->admitted;
        }
        mg_set_user_connection_data(conn, c);
        return 0;
    }

    static void OnReady(mg_connection* conn, void* data)
    {
        auto* hub = static_cast<Hub*>(data);
        auto* c = static_cast<Client*>(mg_get_user_connection_data(conn));
        if (!c)
            return;
        if (c->refused) {
            // Said in a message the page shows, and again in the close frame.
            const QByteArray text =
                QStringLiteral("The lab service already has its %1 viewers; try again later.")
                    .arg(hub->options.clients)
                    .toUtf8();
            const QByteArray message =
                QJsonDocument(QJsonObject{
                                  {QStringLiteral("type"), "refused"},
                                  {QStringLiteral("text"), QString::fromUtf8(text)},
                              })
                    .toJson(QJsonDocument::Compact);
            mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, message.constData(),
                               size_t(message.size()));
            WriteClose(conn, kCloseTryLater, text);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(hub->mutex);
            try {
                c->sender = std::thread([hub, c] { hub->Send(c); });
                hub->clients.push_back(c);
                if (hub->options.viewerWaiting)
                    hub->options.viewerWaiting();
                return;
            } catch (const std::system_error&) {
                c->dropped = true;
            }
        }
        // Out of threads: this viewer is turned away, the service goes on.
        WriteClose(conn, kCloseTryLater, "the lab service cannot take another viewer now");
    }

    // What a page may say: {"shows":[n, ...]}, the generators whose tiles it
    // shows, so that it gets their read-outs. Anything else, and anything at all
    // from a refused viewer, ends the connection; so does a fragmented message.
    static int OnData(mg_connection* conn, int bits, char* data, size_t size, void*)
    {
        auto* c = static_cast<Client*>(mg_get_user_connection_data(conn));
        if (!c || c->refused)
            return 0;
        const int opcode = bits & 0x0f;
        if (opcode == MG_WEBSOCKET_OPCODE_PING || opcode == MG_WEBSOCKET_OPCODE_PONG)
            return 1;
        if (opcode != MG_WEBSOCKET_OPCODE_TEXT || !(bits & 0x80) || size > kShownBytes)
            return 0;
        const QJsonDocument doc =
            QJsonDocument::fromJson(QByteArray::fromRawData(data, qsizetype(size)));
        const QJsonValue list = doc.object().value(QLatin1String("shows"));
        if (doc.object().size() != 1 || !list.isArray())
            return 0;
        std::vector<int> shown;
        shown.reserve(size_t(list.toArray().size()));
        for (const QJsonValue& v : list.toArray()) {
            const double n = v.toDouble(-1);
            if (n < 0 || n >= kShownLimit || n != double(int(n)))
                return 0;
            shown.push_back(int(n));
        }
        std::lock_guard<std::mutex> lock(c->shownMutex);
        c->shown = std::move(shown);
        return 1;
    }

    static void OnClose(const mg_connection* conn, void* data)
    {
        auto* hub = static_cast<Hub*>(data);
        auto* c = static_cast<Client*>(mg_get_user_connection_data(conn));
        if (!c)
            return;
        {
            std::lock_guard<std::mutex> lock(hub->mutex);
            if (!c->refused) {
                --hub->admitted;
                hub->clients.erase(std::remove(hub->clients.begin(), hub->clients.end(), c),
                                   hub->clients.end());
            }
            c->closing = true;
            c->queue.clear();
        }
        c->wake.notify_one();
        if (c->sender.joinable())
            c->sender.join();
        mg_set_user_connection_data(conn, nullptr);
        delete c;
    }
};

CWebServer::CWebServer(WebOptions options)
    : m_options(std::move(options)), m_hub(std::make_unique<Hub>())
{
    m_hub->options = m_options;
}

CWebServer::~CWebServer()
{
    Stop();
}

QString DigestRealm(const QString& usersFile, QString* error)
{
    QFile file(usersFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("--web-users: cannot read %1: %2").arg(usersFile, file.errorString());
        return QString();
    }
    const QByteArray line = file.readLine(4096).trimmed();
    const QList<QByteArray> fields = line.split(':');
    if (fields.size() != 3 || fields[0].isEmpty() || fields[1].isEmpty() ||
        fields[2].size() != 32) {
        *error = QStringLiteral("--web-users: %1 is not an htdigest file (user:realm:hash "
                                "lines, as htdigest writes them)")
                     .arg(usersFile);
        return QString();
    }
    return QString::fromUtf8(fields[1]);
}

bool CWebServer::Start(QString* error)
{
    // Before civetweb's one look for OpenSSL in this process.
    const QString noShims = LoadTlsShims(m_options.tlsShimDir);
    static std::once_flag once;
    std::call_once(once, [] { mg_init_library(MG_FEATURES_TLS | MG_FEATURES_WEBSOCKET); });

    for (const PageFile& f : kPage) {
        QFile file(QDir(m_options.pageDir).filePath(QLatin1String(f.file)));
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("the web page's files are missing: cannot read %1: %2")
                         .arg(file.fileName(), file.errorString());
            return false;
        }
        m_hub->page.insert(f.uri, file.readAll());
    }
    QFile chart(m_options.chartJs);
    if (!m_options.chartJs.isEmpty() && chart.open(QIODevice::ReadOnly))
        m_hub->page.insert(kChartJsUri, chart.readAll());
    if (!m_options.usersFile.isEmpty()) {
        const QString realm =
            m_options.realm.isEmpty() ? DigestRealm(m_options.usersFile, error) : m_options.realm;
        if (realm.isEmpty())
            return false;
        m_hub->usersFile = QFile::encodeName(m_options.usersFile);
        m_hub->realm = realm.toUtf8();
    }

    const bool tls = !m_options.certFile.isEmpty();
    if (tls) {
        const QString missing = TlsMissing();
        if (!missing.isEmpty()) {
            *error = noShims.isEmpty()
                         ? QStringLiteral("--web-cert: civetweb finds no usable OpenSSL: %1")
                               .arg(missing)
                         : QStringLiteral("--web-cert: cannot serve TLS without ondrel's "
                                          "libssl.so and libcrypto.so for civetweb, which the "
                                          "package installs: %1")
                               .arg(noShims);
            return false;
        }
    }
    // civetweb takes the certificate and its key from one PEM file; it reads it
    // at start, so the joined copy lives only until then, readable by us alone.
    QTemporaryDir pemDir;
    QByteArray pemPath;
    if (tls) {
        QByteArray pem;
        for (const QString& name : {m_options.certFile, m_options.keyFile}) {
            QFile file(name);
            if (!file.open(QIODevice::ReadOnly)) {
                *error = QStringLiteral("cannot read %1: %2").arg(name, file.errorString());
                return false;
            }
            pem += file.readAll() + '\n';
        }
        QFile joined(pemDir.filePath(QStringLiteral("web.pem")));
        if (!pemDir.isValid() || !joined.open(QIODevice::WriteOnly) ||
            !joined.setPermissions(QFile::ReadOwner | QFile::WriteOwner) ||
            joined.write(pem) != pem.size() || !joined.flush()) {
            *error =
                QStringLiteral("cannot join the TLS certificate and key in %1").arg(pemDir.path());
            return false;
        }
        pemPath = QFile::encodeName(joined.fileName());
        *error = TlsFilesFault(m_options.certFile, m_options.keyFile);
        if (!error->isEmpty())
            return false;
    }

    const QByteArray ports =
        (m_options.address.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2")
                                                      : QStringLiteral("%1:%2"))
            .arg(m_options.address)
            .arg(m_options.port)
            .toUtf8() +
        (tls ? "s" : "");
    // Every viewer holds one of civetweb's threads for as long as it watches;
    // the rest answer the page's requests and the refusals.
    const QByteArray threads = QByteArray::number(m_options.clients + 16);
    const QByteArray headers = HeaderLines();
    std::vector<const char*> config = {
        "listening_ports",
        ports.constData(),
        "num_threads",
        threads.constData(),
        "request_timeout_ms",
        "10000",
        "websocket_timeout_ms",
        "5000",
        "enable_websocket_ping_pong",
        "yes",
        "enable_keep_alive",
        "no",
        "enable_directory_listing",
        "no",
        "enable_auth_domain_check",
        "no",
        "access_control_allow_origin",
        "",
        "access_control_allow_methods",
        "",
        "access_control_allow_headers",
        "",
        "additional_header",
        headers.constData(),
    };
    if (!m_hub->realm.isEmpty()) {
        config.push_back("authentication_domain");
        config.push_back(m_hub->realm.constData());
    }
    if (tls) {
        config.push_back("ssl_certificate");
        config.push_back(pemPath.constData());
        config.push_back("ssl_protocol_version");
        config.push_back("4"); // TLS 1.2 and newer
    }
    config.push_back(nullptr);

    mg_callbacks callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    // civetweb's own log lines would go to standard error unasked; its errors
    // come back from mg_start2.
    callbacks.log_message = [](const mg_connection*, const char*) { return 1; };
    mg_init_data init;
    init.callbacks = &callbacks;
    init.user_data = nullptr;
    init.configuration_options = config.data();
    char text[256] = {};
    unsigned code = 0;
    mg_error_data failure{&code, text, sizeof text};
    m_context = mg_start2(&init, &failure);
    if (!m_context) {
        *error = QStringLiteral("cannot serve the web page on %1: %2")
                     .arg(QString::fromUtf8(ports), QString::fromUtf8(text));
        return false;
    }
    mg_set_request_handler(m_context, "/", &Hub::OnRequest, m_hub.get());
    mg_set_websocket_handler(m_context, "/live", &Hub::OnConnect, &Hub::OnReady, &Hub::OnData,
                             &Hub::OnClose, m_hub.get());
    mg_server_port bound[4];
    const int n = mg_get_server_ports(m_context, 4, bound);
    m_port = n > 0 ? bound[0].port : m_options.port;
    return true;
}

void CWebServer::Stop()
{
    if (!m_context)
        return;
    mg_stop(m_context); // closes every viewer, each one's sender joined
    m_context = nullptr;
}

QString CWebServer::Url() const
{
    return QStringLiteral("%1://%2:%3/")
        .arg(m_options.certFile.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"),
             m_options.address.contains(QLatin1Char(':'))
                 ? QStringLiteral("[%1]").arg(m_options.address)
                 : m_options.address)
        .arg(m_port);
}

int CWebServer::Viewers() const
{
    std::lock_guard<std::mutex> lock(m_hub->mutex);
    return int(m_hub->clients.size());
}

void CWebServer::Broadcast(std::shared_ptr<const LiveRound> round,
                           const std::function<QByteArray()>& snapshot)
{
    Hand(std::move(round), snapshot, true);
}

void CWebServer::Welcome(std::shared_ptr<const LiveRound> last,
                         const std::function<QByteArray()>& snapshot)
{
    Hand(std::move(last), snapshot, false);
}

void CWebServer::Hand(std::shared_ptr<const LiveRound> round,
                      const std::function<QByteArray()>& snapshot, bool toEveryone)
{
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(m_hub->mutex);
        for (const Hub::Client* c : m_hub->clients)
            waiting = waiting || c->needsSnapshot;
    }
    // Built outside the lock: civetweb's threads go on meanwhile. A viewer that
    // arrives in between gets it too; it is the fleet as of this round.
    const auto snap = waiting ? std::make_shared<const QByteArray>(snapshot())
                              : std::shared_ptr<const QByteArray>();
    std::lock_guard<std::mutex> lock(m_hub->mutex);
    for (Hub::Client* c : m_hub->clients) {
        if (c->dropped)
            continue;
        if (c->needsSnapshot) {
            if (!snap)
                continue; // arrived after the look: the next round has it
            c->queue.push_back({round, snap});
            c->needsSnapshot = false;
        } else if (toEveryone) {
            c->queue.push_back({round, nullptr});
        } else {
            continue;
        }
        if (int(c->queue.size()) > kQueueLimit) {
            c->dropped = true;
            c->queue.clear();
        }
        c->wake.notify_one();
    }
}

} // namespace ondrel::web
