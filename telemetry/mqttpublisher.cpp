#include "mqttpublisher.h"

#include "payloads.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSysInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/tcp.h>
#include <mosquitto.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ondrel {

namespace {

using namespace std::chrono_literals;

// Publishing wakes the loop at once; the timeout only bounds how soon an abandoned
// stop is noticed, and each wake-up costs CPU.
constexpr auto kLoopTimeout = 1000ms;
constexpr auto kStopGrace = 1000ms; // for `offline` and the disconnect to go out
constexpr int kInflight = 20;
// How long one of several addresses may take to answer before the next is tried.
constexpr auto kAddressTimeout = 10s;
constexpr auto kStopCheck = 100ms;
// A broker owes a publisher nothing but CONNACK, PUBACKs and PINGRESPs, a few
// bytes each; the base covers a TLS handshake and its session tickets. Whatever
// arrives beyond this is taken as an attack on the console's memory.
constexpr unsigned long long kInboundBase = 256 * 1024;
constexpr unsigned long long kInboundPerAck = 256;
constexpr unsigned long long kInboundPerSecond = 256;

std::once_flag g_libInit;

QString WithoutFullStop(QString text)
{
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

enum class Answer
{
    Yes,
    No,
    Stopped
};

// Whether a TCP connection to one address comes up, checking `stopping` while it
// waits so that a stop is never held up by an address that does not answer.
Answer Probe(const std::string& numeric, int port, const std::function<bool()>& stopping,
             int* error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(numeric.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        *error = EINVAL;
        return Answer::No;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        freeaddrinfo(found);
        return Answer::No;
    }
    int rc = ::connect(fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    Answer answer = rc == 0 ? Answer::Yes : Answer::No;
    *error = rc == 0 ? 0 : errno;
    if (rc != 0 && errno == EINPROGRESS) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + kAddressTimeout;
        *error = ETIMEDOUT;
        while (Clock::now() < deadline) {
            if (stopping()) {
                answer = Answer::Stopped;
                break;
            }
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, int(std::chrono::milliseconds(kStopCheck).count())) > 0) {
                int soError = 0;
                socklen_t len = sizeof soError;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
                answer = soError == 0 ? Answer::Yes : Answer::No;
                *error = soError;
                break;
            }
        }
    }
    ::close(fd);
    return answer;
}

int Family(const std::string& numeric)
{
    return numeric.find(':') == std::string::npos ? AF_INET : AF_INET6;
}

} // namespace

std::vector<std::string> ResolveBroker(const std::string& host, QString* error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    std::vector<std::string> out;
    if (rc != 0) {
        *error = WithoutFullStop(QString::fromLocal8Bit(gai_strerror(rc)));
        return out;
    }
    for (const addrinfo* a = found; a; a = a->ai_next) {
        char text[NI_MAXHOST] = {};
        if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
                0 &&
            std::find(out.begin(), out.end(), text) == out.end())
            out.emplace_back(text);
    }
    freeaddrinfo(found);
    if (out.empty())
        *error = QStringLiteral("the name has no address");
    return out;
}

namespace {
ConsoleInfo UnnamedConsole()
{
    return ConsoleInfo{TelemetryNow(), QSysInfo::machineHostName(), QString(), 200,
                       QStringLiteral("Ondrel")};
}
} // namespace

CMqttPublisher::CMqttPublisher(MqttSettings settings, QObject* parent)
    : CMqttPublisher(std::move(settings), UnnamedConsole(), &ResolveBroker, parent)
{}

CMqttPublisher::CMqttPublisher(MqttSettings settings, ConsoleInfo info, QObject* parent)
    : CMqttPublisher(std::move(settings), std::move(info), &ResolveBroker, parent)
{}

CMqttPublisher::CMqttPublisher(MqttSettings settings, BrokerResolver resolve, QObject* parent)
    : CMqttPublisher(std::move(settings), UnnamedConsole(), std::move(resolve), parent)
{}

CMqttPublisher::CMqttPublisher(MqttSettings settings, ConsoleInfo info, BrokerResolver resolve,
                               QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_info(InfoJson(info)),
      m_resolve(std::move(resolve))
{}

CMqttPublisher::~CMqttPublisher()
{
    Stop();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
}

bool CMqttPublisher::Start(QString* error)
{
    std::call_once(g_libInit, [] { mosquitto_lib_init(); });
    // A client id of its own per process: two consoles on one prefix must not
    // keep throwing each other off the broker. Letters, digits and '-' only, which
    // every broker accepts.
    m_clientId = QStringLiteral("ondrel-%1-%2")
                     .arg(m_settings.prefix)
                     .arg(QCoreApplication::applicationPid())
                     .toUtf8();
    for (char& c : m_clientId)
        if (!QChar::isLetterOrNumber(uchar(c)) || uchar(c) > 0x7F)
            c = '-';
    m_clientId = m_clientId.right(64);
    for (const char* subtopic : {"status", "version", "reading", "event", "info"})
        m_topics[subtopic] = m_settings.prefix.toUtf8() + '/' + subtopic;
    m_mosq = mosquitto_new(m_clientId.constData(), true, this);
    if (!m_mosq) {
        *error = QStringLiteral("Telemetry: the MQTT client cannot be created: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!Configure(error))
        return false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

bool CMqttPublisher::Configure(QString* error)
{
    auto check = [error](int rc, const char* what) {
        if (rc == MOSQ_ERR_SUCCESS)
            return true;
        *error = QStringLiteral("Telemetry: %1: %2")
                     .arg(QLatin1String(what), WithoutFullStop(mosquitto_strerror(rc)));
        return false;
    };
    // Set up for a thread of ours: publishing from the caller only queues and
    // wakes that thread, it never writes to the socket itself.
    if (!check(mosquitto_threaded_set(m_mosq, true), "threads") ||
        !check(mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311),
               "protocol version") ||
        !check(mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1), "TCP_NODELAY") ||
        !check(mosquitto_max_inflight_messages_set(m_mosq, kInflight), "in-flight limit"))
        return false;

    const QByteArray will = (m_settings.prefix + QStringLiteral("/status")).toUtf8();
    const QByteArray offline = StatusPayload(ConsoleStatus::Offline);
    if (!check(mosquitto_will_set(m_mosq, will.constData(), int(offline.size()),
                                  offline.constData(), 1, true),
               "last will"))
        return false;
    if (!m_settings.user.isEmpty()) {
        const QByteArray user = m_settings.user.toUtf8();
        const QByteArray password = m_settings.password.toUtf8();
        if (!check(mosquitto_username_pw_set(m_mosq, user.constData(),
                                             m_settings.password.isNull() ? nullptr
                                                                          : password.constData()),
                   "login"))
            return false;
    }
    if (m_settings.tls) {
        if (m_settings.caFile.isEmpty()) {
            if (!check(mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1), "system CAs"))
                return false;
        } else {
            const QByteArray ca = m_settings.caFile.toLocal8Bit();
            if (mosquitto_tls_set(m_mosq, ca.constData(), nullptr, nullptr, nullptr, nullptr) !=
                MOSQ_ERR_SUCCESS) {
                *error = QStringLiteral("--mqtt-ca: \"%1\" cannot be used as a CA file.")
                             .arg(m_settings.caFile);
                return false;
            }
        }
        // Peer verification on; host name checking stays on (never tls_insecure).
        if (!check(mosquitto_tls_opts_set(m_mosq, 1, nullptr, nullptr), "TLS options"))
            return false;
    }
    mosquitto_connect_callback_set(m_mosq, &CMqttPublisher::OnConnect);
    mosquitto_publish_callback_set(m_mosq, &CMqttPublisher::OnPublish);
    mosquitto_log_callback_set(m_mosq, &CMqttPublisher::OnLog);
    return true;
}

void CMqttPublisher::Run()
{
    // Named so that a look at the process's threads (top -H, a benchmark) finds it.
    pthread_setname_np(pthread_self(), "ondrel-mqtt");
    auto delay = m_settings.firstRetry;
    bool saidDown = false;
    for (;;) {
        int savedErrno = 0;
        int rc = Connect(&savedErrno);
        while (rc == MOSQ_ERR_SUCCESS && !m_abort && m_fault == Fault::None) {
            {
                std::lock_guard<std::mutex> lock(m_stateMutex);
                if (m_stopping && !m_connected)
                    break;
            }
            rc = mosquitto_loop(m_mosq, int(std::chrono::milliseconds(kLoopTimeout).count()), 1);
            savedErrno = errno;
            if (m_connected && m_fault == Fault::None && OverInboundAllowance())
                m_fault = Fault::Flooded;
        }
        const bool wasConnected = m_connected.exchange(false);
        const Fault fault = m_fault.exchange(Fault::None);
        if (wasConnected) {
            saidDown = false;
            if (fault == Fault::None) {
                delay = m_settings.firstRetry;
                m_quietConnect = false;
            }
        }
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            if (m_stopping || m_abort)
                break;
        }
        if (fault != Fault::None) {
            if (!m_quietConnect)
                Post(fault == Fault::Published
                         ? QStringLiteral("Telemetry: %1 sent a message although Ondrel "
                                          "subscribes to nothing; reconnecting")
                               .arg(m_settings.Endpoint())
                         : QStringLiteral("Telemetry: %1 sent more than a broker answers a "
                                          "publisher with; reconnecting")
                               .arg(m_settings.Endpoint()));
            // Said once: the reconnections of a broker that keeps doing it stay quiet.
            m_quietConnect = true;
            QString error;
            if (!Reinitialise(&error)) {
                Post(error);
                m_gaveUp = true;
                break;
            }
        } else if (m_refused.exchange(false) && m_refusal != 3) {
            // "Server unavailable" may pass; a refused login or protocol does not.
            Post(QStringLiteral("Telemetry: %1 refused the %2 (%3); not retrying")
                     .arg(m_settings.Endpoint(),
                          m_refusal >= 4 ? QStringLiteral("login") : QStringLiteral("connection"),
                          WithoutFullStop(mosquitto_connack_string(m_refusal))));
            m_gaveUp = true;
            break;
        } else if ((rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) && !wasConnected &&
                   (m_lastError.contains(QLatin1String("certificate"), Qt::CaseInsensitive) ||
                    m_lastError.contains(QLatin1String("verif"), Qt::CaseInsensitive))) {
            Post(QStringLiteral("Telemetry: cannot verify the certificate of %1 (%2); not retrying")
                     .arg(m_settings.Endpoint(), m_lastError));
            m_gaveUp = true;
            break;
        } else if (!saidDown) {
            Post(QStringLiteral("Telemetry: cannot reach %1 (%2); retrying")
                     .arg(m_settings.Endpoint(), DownReason(rc, savedErrno)));
            saidDown = true;
        }
        {
            std::unique_lock<std::mutex> lock(m_waitMutex);
            m_wake.wait_for(lock, delay, [this] { return Stopping(); });
        }
        if (Stopping())
            break;
        delay = std::min(delay * 2, m_settings.longestRetry);
        m_lastError.clear();
    }
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_finished = true;
    m_wake.notify_all();
}

bool CMqttPublisher::Stopping()
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_stopping;
}

int CMqttPublisher::Connect(int* savedErrno)
{
    m_acknowledged = 0;
    // The name lookup happens here, not on the caller's thread.
    const std::string host = m_settings.host.toStdString();
    std::vector<std::string> addresses = m_resolve(host, &m_lastError);
    if (addresses.empty())
        return MOSQ_ERR_EAI;
    const int keepAlive = int(m_settings.keepAlive.count());
    // Every address in order, as the library alone would try only the first when it
    // does not block. A single address needs no trial of its own.
    size_t chosen = 0;
    if (addresses.size() > 1) {
        chosen = addresses.size();
        for (size_t i = 0; i < addresses.size() && chosen == addresses.size(); ++i) {
            const Answer answer = Probe(
                addresses[i], m_settings.port, [this] { return Stopping(); }, savedErrno);
            if (answer == Answer::Stopped)
                return MOSQ_ERR_NO_CONN;
            if (answer == Answer::Yes)
                chosen = i;
        }
        if (chosen == addresses.size())
            return MOSQ_ERR_ERRNO;
    }
    const std::string& address = addresses[chosen];
    int rc = MOSQ_ERR_SUCCESS;
    if (!m_settings.tls) {
        rc = mosquitto_connect_async(m_mosq, address.c_str(), m_settings.port, keepAlive);
        *savedErrno = errno;
        return rc;
    }
    // TLS checks the certificate against the name given to connect, so the library
    // gets the name, and a bind to the chosen address's family makes it pass over
    // the addresses of the other one. It tries them in the resolver's order.
    const char* anyOfFamily = Family(address) == AF_INET6 ? "::" : "0.0.0.0";
    bool firstOfFamily = true;
    for (size_t i = 0; i < chosen; ++i)
        firstOfFamily = firstOfFamily && Family(addresses[i]) != Family(address);
    if (firstOfFamily)
        rc = mosquitto_connect_bind_async(m_mosq, host.c_str(), m_settings.port, keepAlive,
                                          anyOfFamily);
    else
        // Earlier ones of the same family have just refused: the blocking connect
        // walks past them in turn, where the asynchronous one stops at the first.
        rc = mosquitto_connect_bind(m_mosq, host.c_str(), m_settings.port, keepAlive, anyOfFamily);
    *savedErrno = errno;
    return rc;
}

bool CMqttPublisher::OverInboundAllowance()
{
    const int fd = mosquitto_socket(m_mosq);
    tcp_info info{};
    socklen_t length = sizeof info;
    if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return false;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - m_linkUp)
                             .count();
    const unsigned long long allowance = kInboundBase +
                                         kInboundPerAck * (unsigned long long)m_acknowledged +
                                         kInboundPerSecond * (unsigned long long)seconds;
    return info.tcpi_bytes_received > allowance;
}

bool CMqttPublisher::Reinitialise(QString* error)
{
    // Held QoS 2 messages stay in the library across reconnections; only a fresh
    // client lets them go. The events it still held go with them.
    std::lock_guard<std::mutex> events(m_eventMutex);
    std::unique_lock<std::shared_mutex> client(m_clientMutex);
    m_dropped += int(m_pendingEvents.size());
    m_pendingEvents.clear();
    const int rc = mosquitto_reinitialise(m_mosq, m_clientId.constData(), true, this);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("Telemetry: the MQTT client cannot be set up again: %1")
                     .arg(WithoutFullStop(mosquitto_strerror(rc)));
        return false;
    }
    return Configure(error);
}

QString CMqttPublisher::DownReason(int rc, int savedErrno) const
{
    if (rc == MOSQ_ERR_ERRNO && savedErrno != 0)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    if (rc == MOSQ_ERR_EAI && !m_lastError.isEmpty())
        return m_lastError;
    if (!m_lastError.isEmpty() && (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE))
        return m_lastError;
    return WithoutFullStop(QString::fromUtf8(mosquitto_strerror(rc)));
}

void CMqttPublisher::Stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_stopping = true;
        if (m_connected)
            Publish("status", StatusPayload(ConsoleStatus::Offline), 1, true);
    }
    // Queued after `offline`, so the broker has it before the clean disconnect
    // that drops the Last Will.
    {
        std::shared_lock<std::shared_mutex> client(m_clientMutex);
        mosquitto_disconnect(m_mosq);
    }
    {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        m_wake.notify_all();
        if (!m_wake.wait_for(lock, kStopGrace, [this] { return m_finished; }))
            m_abort = true;
    }
    m_thread.join();
}

void CMqttPublisher::OnConnect(mosquitto*, void* self, int rc)
{
    auto* p = static_cast<CMqttPublisher*>(self);
    if (rc != 0) {
        p->m_refusal = rc;
        p->m_refused = true;
        return;
    }
    std::lock_guard<std::mutex> lock(p->m_stateMutex);
    if (p->m_stopping) {
        mosquitto_disconnect(p->m_mosq);
        return;
    }
    p->m_connected = true;
    p->m_linkUp = std::chrono::steady_clock::now();
    // Before the status, so that a watcher that sees `online` knows the period.
    p->Publish("info", p->m_info, 1, true);
    p->PublishStateLocked();
    if (!p->m_quietConnect)
        p->Post(QStringLiteral("Telemetry: connected to %1").arg(p->m_settings.Endpoint()));
}

void CMqttPublisher::OnPublish(mosquitto*, void* self, int mid)
{
    auto* p = static_cast<CMqttPublisher*>(self);
    ++p->m_acknowledged;
    std::lock_guard<std::mutex> lock(p->m_eventMutex);
    p->m_pendingEvents.erase(mid);
}

void CMqttPublisher::OnLog(mosquitto* mosq, void* self, int level, const char* text)
{
    if (!text)
        return;
    auto* p = static_cast<CMqttPublisher*>(self);
    // The library says so before it keeps the message: a QoS 2 one would wait for
    // a PUBREL that a hostile broker never sends, and reach no other callback.
    if (level == MOSQ_LOG_DEBUG && std::strstr(text, " received PUBLISH (")) {
        p->m_fault = Fault::Published;
        // The socket's descriptor now reads nothing but an error, so the library
        // takes in none of what the broker has queued behind this message and
        // drops the link as lost; the broker's end closes with the old socket.
        const int fd = mosquitto_socket(mosq);
        const int dead = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (fd >= 0 && dead >= 0)
            ::dup3(dead, fd, O_CLOEXEC);
        if (dead >= 0)
            ::close(dead);
        return;
    }
    if (level != MOSQ_LOG_ERR)
        return;
    // OpenSSL's lines read "OpenSSL Error[0]: error:0A000086:SSL routines::certificate
    // verify failed"; the words after the last colon are the reason.
    QString line = QString::fromUtf8(text);
    const int colon = line.lastIndexOf(QLatin1Char(':'));
    if (line.startsWith(QLatin1String("OpenSSL")) && colon >= 0)
        line = line.mid(colon + 1).trimmed();
    if (line.startsWith(QLatin1String("Error: ")))
        line = line.mid(7);
    line = WithoutFullStop(line);
    if (p->m_lastError.isEmpty())
        p->m_lastError = line;
}

void CMqttPublisher::Post(const QString& text)
{
    QMetaObject::invokeMethod(
        this, [this, text] { emit statusMessage(text); }, Qt::QueuedConnection);
}

bool CMqttPublisher::Publish(const char* subtopic, const QByteArray& payload, int qos, bool retain,
                             int* mid)
{
    const QByteArray& topic = m_topics.at(subtopic);
    std::shared_lock<std::shared_mutex> client(m_clientMutex);
    const int rc = mosquitto_publish(m_mosq, mid, topic.constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    // A QoS 1 message stays queued in the client while the link is down.
    return rc == MOSQ_ERR_SUCCESS || (qos > 0 && rc == MOSQ_ERR_NO_CONN);
}

void CMqttPublisher::PublishStateLocked()
{
    if (!m_versionRead)
        return;
    Publish("version", m_version.toUtf8(), 1, true);
    Publish("status",
            StatusPayload(m_responding ? ConsoleStatus::Online : ConsoleStatus::NotResponding), 1,
            true);
}

void CMqttPublisher::PublishReading(const Reading& reading)
{
    ++m_counters.seq;
    double beam = m_closedBeamSeconds;
    if (m_xrayOnSince.isValid())
        beam += std::max<qint64>(0, m_xrayOnSince.msecsTo(reading.time)) / 1000.0;
    m_counters.beamOnSeconds = beam;
    m_counters.xrayOn = m_xrayOnSince.isValid();
    // Only the latest reading matters and it is retained: none wait for a link.
    if (!m_mosq || !m_connected)
        return;
    Publish("reading", ReadingJson(reading, m_counters), 0, true);
}

void CMqttPublisher::PublishEvent(const ConsoleEvent& event)
{
    const qint64 seq = ++m_eventSeq;
    if (event.kind == EventKind::XrayOn && !m_xrayOnSince.isValid()) {
        m_xrayOnSince = event.time;
    } else if ((event.kind == EventKind::XrayOff || event.kind == EventKind::Stop) &&
               m_xrayOnSince.isValid()) {
        m_closedBeamSeconds += std::max<qint64>(0, m_xrayOnSince.msecsTo(event.time)) / 1000.0;
        m_xrayOnSince = QDateTime();
    }
    // Nothing is kept for a link that will never be made.
    if (!m_mosq || !m_thread.joinable() || m_gaveUp)
        return;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (m_stopping)
            return;
        if (event.kind == EventKind::Version) {
            m_version = event.detail;
            m_versionRead = true;
            m_responding = true;
            if (m_connected)
                PublishStateLocked();
        } else if (event.kind == EventKind::ReadingsStopped) {
            m_responding = false;
            if (m_connected && m_versionRead)
                Publish("status", StatusPayload(ConsoleStatus::NotResponding), 1, true);
        }
    }
    std::lock_guard<std::mutex> lock(m_eventMutex);
    if (int(m_pendingEvents.size()) >= m_settings.eventQueueLimit) {
        ++m_dropped;
        return;
    }
    int mid = 0;
    if (Publish("event", EventJson(event, seq), 1, false, &mid))
        m_pendingEvents.insert(mid);
    else
        ++m_dropped;
}

} // namespace ondrel
