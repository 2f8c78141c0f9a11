#include "mqttlink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/tcp.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ondrel {

namespace {

using namespace std::chrono_literals;

// Sending wakes the loop at once; the timeout only bounds how soon an abandoned
// stop is noticed, and each wake-up costs CPU.
constexpr auto kLoopTimeout = 1000ms;
constexpr auto kStopGrace = 1000ms; // for a last message and the disconnect to go out
// How long one of several addresses may take to answer before the next is tried.
constexpr auto kAddressTimeout = 10s;
constexpr auto kStopCheck = 100ms;
// A broker owes a publisher nothing but CONNACK, PUBACKs and PINGRESPs, a few
// bytes each; the base covers a TLS handshake and its session tickets. Whatever
// arrives beyond this is taken as an attack on the program's memory.
constexpr unsigned long long kInboundBase = 256 * 1024;
constexpr unsigned long long kInboundPerAck = 256;
constexpr unsigned long long kInboundPerSecond = 256;

std::once_flag g_libInit;

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

// A refusal worth trying again: the broker is there but not taking clients now.
bool Passing(bool mqtt5, int rc)
{
    if (mqtt5)
        return rc == MQTT_RC_SERVER_UNAVAILABLE || rc == MQTT_RC_SERVER_BUSY ||
               rc == MQTT_RC_CONNECTION_RATE_EXCEEDED;
    return rc == CONNACK_REFUSED_SERVER_UNAVAILABLE;
}

bool LoginRefused(bool mqtt5, int rc)
{
    if (mqtt5)
        return rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == MQTT_RC_NOT_AUTHORIZED;
    return rc >= CONNACK_REFUSED_BAD_USERNAME_PASSWORD;
}

} // namespace

QString WithoutFullStop(QString text)
{
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

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

CMqttLink::CMqttLink(MqttSettings settings, MqttLinkOptions options, Hooks hooks)
    : m_settings(std::move(settings)), m_options(std::move(options)), m_hooks(std::move(hooks))
{}

CMqttLink::~CMqttLink()
{
    Stop();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
    mosquitto_property_free_all(&m_connectProperties);
}

bool CMqttLink::Stopping() const
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_stopping;
}

bool CMqttLink::Start(QString* error)
{
    std::call_once(g_libInit, [] { mosquitto_lib_init(); });
    // A kept session needs a client id the broker can know it by again.
    m_mosq = mosquitto_new(m_options.clientId.constData(),
                           !(m_options.mqtt5 && m_options.keepSession), this);
    if (!m_mosq) {
        *error = QStringLiteral("%1: the MQTT client cannot be created: %2")
                     .arg(m_options.who, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (m_options.mqtt5 && m_options.keepSession &&
        mosquitto_property_add_int32(&m_connectProperties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                     uint32_t(m_options.sessionExpirySeconds)) != MOSQ_ERR_SUCCESS)
        return false;
    if (m_options.mqtt5 && m_options.maximumPacketSize > 0 &&
        mosquitto_property_add_int32(&m_connectProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                     m_options.maximumPacketSize) != MOSQ_ERR_SUCCESS)
        return false;
    if (!Configure(error))
        return false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

bool CMqttLink::Configure(QString* error)
{
    const QString who = m_options.who;
    auto check = [error, who](int rc, const char* what) {
        if (rc == MOSQ_ERR_SUCCESS)
            return true;
        *error = QStringLiteral("%1: %2: %3")
                     .arg(who, QLatin1String(what), WithoutFullStop(mosquitto_strerror(rc)));
        return false;
    };
    // Set up for a thread of ours: sending from another thread only queues and
    // wakes that thread, it never writes to the socket itself.
    if (!check(mosquitto_threaded_set(m_mosq, true), "threads") ||
        !check(mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION,
                                    m_options.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311),
               "protocol version") ||
        !check(mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1), "TCP_NODELAY") ||
        !check(mosquitto_max_inflight_messages_set(m_mosq, unsigned(m_options.inflight)),
               "in-flight limit"))
        return false;
    if (!m_options.willTopic.isEmpty() &&
        !check(mosquitto_will_set(m_mosq, m_options.willTopic.constData(),
                                  int(m_options.willPayload.size()),
                                  m_options.willPayload.constData(), 1, true),
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
    mosquitto_connect_callback_set(m_mosq, &CMqttLink::OnConnect);
    mosquitto_publish_callback_set(m_mosq, &CMqttLink::OnPublish);
    mosquitto_message_callback_set(m_mosq, &CMqttLink::OnMessage);
    mosquitto_subscribe_callback_set(m_mosq, &CMqttLink::OnSubscribe);
    mosquitto_log_callback_set(m_mosq, &CMqttLink::OnLog);
    return true;
}

void CMqttLink::Run()
{
    // Named so that a look at the process's threads (top -H, a benchmark) finds it.
    pthread_setname_np(pthread_self(), "ondrel-mqtt");
    auto delay = m_settings.firstRetry;
    bool saidDown = false;
    const QString endpoint = m_settings.Endpoint();
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
            if (m_options.publishOnly && m_connected && m_fault == Fault::None &&
                OverInboundAllowance())
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
            if (m_hooks.lost)
                m_hooks.lost();
        }
        if (Stopping() || m_abort)
            break;
        if (fault != Fault::None) {
            if (!m_quietConnect)
                Say(fault == Fault::Published
                        ? QStringLiteral("%1: %2 sent a message although Ondrel "
                                         "subscribes to nothing; reconnecting")
                              .arg(m_options.who, endpoint)
                        : QStringLiteral("%1: %2 sent more than a broker answers a "
                                         "publisher with; reconnecting")
                              .arg(m_options.who, endpoint));
            // Said once: the reconnections of a broker that keeps doing it stay quiet.
            m_quietConnect = true;
            QString error;
            if (!Reinitialise(&error)) {
                Say(error);
                m_gaveUp = true;
                break;
            }
        } else if (m_refused.exchange(false) && !Passing(m_options.mqtt5, m_refusal)) {
            const char* why = m_options.mqtt5 ? mosquitto_reason_string(m_refusal)
                                              : mosquitto_connack_string(m_refusal);
            Say(QStringLiteral("%1: %2 refused the %3 (%4); not retrying")
                    .arg(m_options.who, endpoint,
                         LoginRefused(m_options.mqtt5, m_refusal) ? QStringLiteral("login")
                                                                  : QStringLiteral("connection"),
                         WithoutFullStop(QString::fromUtf8(why))));
            m_gaveUp = true;
            break;
        } else if ((rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) && !wasConnected &&
                   (m_lastError.contains(QLatin1String("certificate"), Qt::CaseInsensitive) ||
                    m_lastError.contains(QLatin1String("verif"), Qt::CaseInsensitive))) {
            Say(QStringLiteral("%1: cannot verify the certificate of %2 (%3); not retrying")
                    .arg(m_options.who, endpoint, m_lastError));
            m_gaveUp = true;
            break;
        } else if (!saidDown) {
            Say(QStringLiteral("%1: cannot reach %2 (%3); retrying")
                    .arg(m_options.who, endpoint, DownReason(rc, savedErrno)));
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

int CMqttLink::Connect(int* savedErrno)
{
    m_acknowledged = 0;
    // The name lookup happens here, not on the caller's thread.
    const std::string host = m_settings.host.toStdString();
    std::vector<std::string> addresses = m_options.resolve(host, &m_lastError);
    if (addresses.empty())
        return MOSQ_ERR_EAI;
    const int keepAlive = int(m_settings.keepAlive.count());
    // Every address in order, as the library alone would try only the first when it
    // does not block. A single address needs no trial of its own, unless the
    // connect that follows blocks (MQTT 5): then a stop must not wait out the
    // kernel's connect time-out of an address that never answers.
    size_t chosen = 0;
    if (addresses.size() > 1 || m_options.mqtt5) {
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
    // TLS checks the certificate against the name given to connect, so the library
    // gets the name, and a bind to the chosen address's family makes it pass over
    // the addresses of the other one. It tries them in the resolver's order.
    const char* anyOfFamily = Family(address) == AF_INET6 ? "::" : "0.0.0.0";
    bool firstOfFamily = true;
    for (size_t i = 0; i < chosen; ++i)
        firstOfFamily = firstOfFamily && Family(addresses[i]) != Family(address);
    if (m_options.mqtt5) {
        // MQTT 5's CONNECT properties (the session expiry) go only with a connect
        // that blocks; the address has just answered, or is the only one.
        if (!m_settings.tls)
            rc = mosquitto_connect_bind_v5(m_mosq, address.c_str(), m_settings.port, keepAlive,
                                           nullptr, m_connectProperties);
        else
            rc = mosquitto_connect_bind_v5(m_mosq, host.c_str(), m_settings.port, keepAlive,
                                           anyOfFamily, m_connectProperties);
        *savedErrno = errno;
        return rc;
    }
    if (!m_settings.tls) {
        rc = mosquitto_connect_async(m_mosq, address.c_str(), m_settings.port, keepAlive);
        *savedErrno = errno;
        return rc;
    }
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

bool CMqttLink::OverInboundAllowance()
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

bool CMqttLink::Reinitialise(QString* error)
{
    // Held QoS 2 messages stay in the library across reconnections; only a fresh
    // client lets them go, and what the owner had handed over with them.
    int rc = MOSQ_ERR_SUCCESS;
    auto reset = [this, &rc] {
        std::unique_lock<std::shared_mutex> client(m_clientMutex);
        rc = mosquitto_reinitialise(m_mosq, m_options.clientId.constData(),
                                    !(m_options.mqtt5 && m_options.keepSession), this);
    };
    if (m_hooks.aroundReset)
        m_hooks.aroundReset(reset);
    else
        reset();
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("%1: the MQTT client cannot be set up again: %2")
                     .arg(m_options.who, WithoutFullStop(mosquitto_strerror(rc)));
        return false;
    }
    return Configure(error);
}

QString CMqttLink::DownReason(int rc, int savedErrno) const
{
    if (rc == MOSQ_ERR_ERRNO && savedErrno != 0)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    if (rc == MOSQ_ERR_EAI && !m_lastError.isEmpty())
        return m_lastError;
    if (!m_lastError.isEmpty() && (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE))
        return m_lastError;
    return WithoutFullStop(QString::fromUtf8(mosquitto_strerror(rc)));
}

void CMqttLink::Stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_stopping = true;
    }
    // Queued after whatever the owner sent last, so the broker has it before the
    // clean disconnect that drops the Last Will.
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

bool CMqttLink::Publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain,
                        int* mid)
{
    std::shared_lock<std::shared_mutex> client(m_clientMutex);
    const int rc = mosquitto_publish(m_mosq, mid, topic.constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    return rc == MOSQ_ERR_SUCCESS || (qos > 0 && rc == MOSQ_ERR_NO_CONN);
}

bool CMqttLink::Subscribe(const QByteArray& filter, int qos)
{
    std::shared_lock<std::shared_mutex> client(m_clientMutex);
    return mosquitto_subscribe_v5(m_mosq, nullptr, filter.constData(), qos, 0, nullptr) ==
           MOSQ_ERR_SUCCESS;
}

void CMqttLink::OnConnect(mosquitto* mosq, void* self, int rc)
{
    auto* p = static_cast<CMqttLink*>(self);
    if (rc != 0) {
        p->m_refusal = rc;
        p->m_refused = true;
        return;
    }
    if (p->Stopping()) {
        mosquitto_disconnect(mosq);
        return;
    }
    p->m_connected = true;
    p->m_linkUp = std::chrono::steady_clock::now();
    if (p->m_hooks.connected)
        p->m_hooks.connected();
    if (!p->m_quietConnect)
        p->Say(
            QStringLiteral("%1: connected to %2").arg(p->m_options.who, p->m_settings.Endpoint()));
}

void CMqttLink::OnPublish(mosquitto*, void* self, int mid)
{
    auto* p = static_cast<CMqttLink*>(self);
    ++p->m_acknowledged;
    if (p->m_hooks.published)
        p->m_hooks.published(mid);
}

void CMqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* p = static_cast<CMqttLink*>(self);
    if (p->m_hooks.message && message)
        p->m_hooks.message(*message);
}

void CMqttLink::OnSubscribe(mosquitto*, void* self, int, int count, const int* granted)
{
    auto* p = static_cast<CMqttLink*>(self);
    if (!p->m_hooks.subscribed)
        return;
    const int reason = count > 0 && granted ? granted[0] : 0x80;
    p->m_hooks.subscribed(reason < 0x80, reason);
}

void CMqttLink::OnLog(mosquitto* mosq, void* self, int level, const char* text)
{
    if (!text)
        return;
    auto* p = static_cast<CMqttLink*>(self);
    // The library says so before it keeps the message: a QoS 2 one would wait for
    // a PUBREL that a hostile broker never sends, and reach no other callback.
    if (p->m_options.publishOnly && level == MOSQ_LOG_DEBUG &&
        std::strstr(text, " received PUBLISH (")) {
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

void CMqttLink::Say(const QString& text)
{
    if (m_hooks.said)
        m_hooks.said(text);
}

} // namespace ondrel
