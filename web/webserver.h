// The lab's web service on civetweb: the page's files, read-only, and the one
// WebSocket /live over which every viewer gets a snapshot and then the deltas.
// civetweb's threads do all the network work; the Qt thread only hands each
// message over (Broadcast), which never waits on a viewer. Every viewer has a
// sender of its own and a bounded queue: one that falls behind is dropped, never
// left to grow memory or to hold up the others.
#pragma once

#include "liveround.h"

#include <QByteArray>
#include <QString>
#include <QUrlQuery>
#include <functional>
#include <map>
#include <memory>

struct mg_context;
struct mg_connection;

namespace ondrel::web {

// What a GET beyond the page's own files is answered with.
struct WebAnswer
{
    int status = 200;
    QByteArray type = "text/plain; charset=utf-8";
    QByteArray body;
    QString attachment; // a file name: the browser saves the body rather than shows it
};

// Answers one path's GETs from its query. Called on one of civetweb's threads,
// never Qt's, and from several at once.
using WebHandler = std::function<WebAnswer(const QUrlQuery& query)>;

struct WebOptions
{
    QString address = QStringLiteral("127.0.0.1");
    int port = 0;
    QString pageDir;   // index.html, live.css, live.js
    QString usersFile; // htdigest file: every request needs one of its users
    QString realm;     // its realm; the file's first when empty
    QString certFile;  // TLS, with keyFile
    QString keyFile;
    // libssl.so and libcrypto.so, civetweb's way to OpenSSL 3 (web/sslshim):
    // the build's tlsshims or the installed lib/ondrel.
    QString tlsShimDir;
    int clients = 500; // WebSocket viewers at once
    // Debian's libjs-chart.js, served as /chart.js for the history pages; when
    // absent those pages show their tables without charts.
    QString chartJs = QStringLiteral("/usr/share/javascript/chart.js/chart.min.js");
    std::map<QByteArray, WebHandler> handlers; // by path, such as "/exposures.csv"
    int handlersAtOnce = 4;                    // further requests are told to try again shortly
    // Called on one of civetweb's threads when a viewer is admitted, so that it
    // need not wait for the next round for its snapshot.
    std::function<void()> viewerWaiting;
};

class CWebServer
{
public:
    // Messages a viewer may have waiting; one further behind is dropped.
    static constexpr int kQueueLimit = 16;

    explicit CWebServer(WebOptions options);
    ~CWebServer(); // Stop()

    bool Start(QString* error);
    void Stop();
    // The port bound, useful when asked for port 0.
    int Port() const { return m_port; }
    QString Url() const;

    // From the Qt thread: the round to every viewer that has its snapshot, each
    // with the read-outs its page shows; the others get snapshot() instead, the
    // fleet as of this round (called at most once, only when one waits).
    void Broadcast(std::shared_ptr<const LiveRound> round,
                   const std::function<QByteArray()>& snapshot);
    // From the Qt thread: only the viewers waiting for a snapshot get one, as
    // of `last`, the round last broadcast; their next round follows it.
    void Welcome(std::shared_ptr<const LiveRound> last,
                 const std::function<QByteArray()>& snapshot);
    int Viewers() const;

    struct Hub;

private:
    void Hand(std::shared_ptr<const LiveRound> round, const std::function<QByteArray()>& snapshot,
              bool toEveryone);

    WebOptions m_options;
    std::unique_ptr<Hub> m_hub;
    mg_context* m_context = nullptr;
    int m_port = 0;
};

// The realm of an htdigest file's first line ("user:realm:hash"), or why the
// file cannot serve.
QString DigestRealm(const QString& usersFile, QString* error);

} // namespace ondrel::web
