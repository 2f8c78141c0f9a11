#include "mqttlink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pthread.h>

namespace ondrel {

namespace {

using namespace std::chrono_literals;

// Sending wakes the loop at once; the timeout only bounds how soon an abandoned
// stop is noticed, and each wake-up costs CPU.
constexpr auto kLoopTimeout = 1000ms;
constexpr auto kStopGrace = 1000ms; // for a last message and the disconnect to go out

std::once_flag g_libInit;

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

CMqttLink::CMqttLink(MqttSettings settings, MqttLinkOptions options, Hooks hooks)
    : m_settings(std::move(settings)), m_options(std::move(options)), m_hooks(std::move(hooks))
{}

CMqttLink::~CMqttLink()
{
    Stop();
    // A thread abandoned in a connect that never returned still uses the client.
    if (m_mosq && !m_thread.joinable())
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
    const QString who = m_options.who;
    // A kept session needs a client id the broker can know it by again.
    m_mosq = mosquitto_new(m_options.clientId.constData(),
                           !(m_options.mqtt5 && m_options.keepSession), this);
    if (!m_mosq) {
        *error = QStringLiteral("%1: the MQTT client cannot be created: %2")
                     .arg(who, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
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
    if (m_options.mqtt5 && m_options.keepSession &&
        !check(mosquitto_property_add_int32(&m_connectProperties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                            uint32_t(m_options.sessionExpirySeconds)),
               "session expiry"))
        return false;
    if (m_options.mqtt5 && m_options.maximumPacketSize > 0 &&
        !check(mosquitto_property_add_int32(&m_connectProperties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                            m_options.maximumPacketSize),
               "packet size"))
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
    mosquitto_disconnect_callback_set(m_mosq, &CMqttLink::OnDisconnect);
    mosquitto_publish_callback_set(m_mosq, &CMqttLink::OnPublish);
    mosquitto_message_callback_set(m_mosq, &CMqttLink::OnMessage);
    mosquitto_log_callback_set(m_mosq, &CMqttLink::OnLog);

    m_thread = std::thread([this] { Run(); });
    return true;
}

int CMqttLink::Connect(bool first)
{
    const QByteArray host = m_settings.host.toUtf8();
    const int keepAlive = int(m_settings.keepAlive.count());
    // MQTT 5's CONNECT properties (the session expiry) go with each connect of
    // their own; the name lookup and the connect happen here, on the link's thread.
    if (m_options.mqtt5)
        return mosquitto_connect_bind_v5(m_mosq, host.constData(), m_settings.port, keepAlive,
                                         nullptr, m_connectProperties);
    if (first)
        return mosquitto_connect_async(m_mosq, host.constData(), m_settings.port, keepAlive);
    return mosquitto_reconnect_async(m_mosq);
}

void CMqttLink::Run()
{
    // Named so that a look at the process's threads (top -H, a benchmark) finds it.
    pthread_setname_np(pthread_self(), "ondrel-mqtt");
    auto delay = m_settings.firstRetry;
    bool saidDown = false;
    int rc = Connect(true);
    int savedErrno = errno;
    for (;;) {
        while (rc == MOSQ_ERR_SUCCESS && !m_abort) {
            {
                std::lock_guard<std::mutex> lock(m_stateMutex);
                if (m_stopping && !m_connected)
                    break;
            }
            if (m_connected)
                delay = m_settings.firstRetry;
            rc = mosquitto_loop(m_mosq, int(std::chrono::milliseconds(kLoopTimeout).count()), 1);
            savedErrno = errno;
        }
        const bool wasConnected = m_connected.exchange(false);
        if (wasConnected) {
            saidDown = false;
            if (m_hooks.lost)
                m_hooks.lost();
        }
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            if (m_stopping || m_abort)
                break;
        }
        if (m_refused.exchange(false) && !Passing(m_options.mqtt5, m_refusal)) {
            const QString why = m_options.mqtt5
                                    ? QString::fromUtf8(mosquitto_reason_string(m_refusal))
                                    : QString::fromUtf8(mosquitto_connack_string(m_refusal));
            Say(QStringLiteral("%1: %2 refused the %3 (%4); not retrying")
                    .arg(m_options.who, m_settings.Endpoint(),
                         LoginRefused(m_options.mqtt5, m_refusal) ? QStringLiteral("login")
                                                                  : QStringLiteral("connection"),
                         WithoutFullStop(why)));
            m_gaveUp = true;
            break;
        }
        if ((rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) && !wasConnected &&
            (m_lastError.contains(QLatin1String("certificate"), Qt::CaseInsensitive) ||
             m_lastError.contains(QLatin1String("verif"), Qt::CaseInsensitive))) {
            Say(QStringLiteral("%1: cannot verify the certificate of %2 (%3); not retrying")
                    .arg(m_options.who, m_settings.Endpoint(), m_lastError));
            m_gaveUp = true;
            break;
        }
        if (!saidDown) {
            Say(QStringLiteral("%1: cannot reach %2 (%3); retrying")
                    .arg(m_options.who, m_settings.Endpoint(), DownReason(rc, savedErrno)));
            saidDown = true;
        }
        {
            std::unique_lock<std::mutex> lock(m_waitMutex);
            m_wake.wait_for(lock, delay, [this] {
                std::lock_guard<std::mutex> state(m_stateMutex);
                return m_stopping;
            });
        }
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            if (m_stopping)
                break;
        }
        delay = std::min(delay * 2, m_settings.longestRetry);
        m_lastError.clear();
        rc = Connect(false);
        savedErrno = errno;
    }
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_finished = true;
    m_wake.notify_all();
}

QString CMqttLink::DownReason(int rc, int savedErrno) const
{
    if (rc == MOSQ_ERR_ERRNO && savedErrno != 0)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
    if (!m_lastError.isEmpty() && (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE))
        return m_lastError;
    return WithoutFullStop(QString::fromUtf8(mosquitto_strerror(rc)));
}

void CMqttLink::Stop(const std::function<void()>& last)
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_stopping = true;
        if (m_connected && last)
            last();
    }
    // Queued after the last message, so the broker has it before the clean
    // disconnect that drops the Last Will.
    mosquitto_disconnect(m_mosq);
    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        m_wake.notify_all();
        finished = m_wake.wait_for(lock, kStopGrace, [this] { return m_finished; });
        if (!finished)
            m_abort = true;
        if (!finished)
            finished = m_wake.wait_for(lock, kStopGrace, [this] { return m_finished; });
    }
    if (finished) {
        m_thread.join();
    } else {
        // Still inside a connect to a host that does not answer: the process is
        // going away, and waiting for the kernel's connect time-out would hang it.
        m_thread.detach();
        m_mosq = nullptr;
    }
}

void CMqttLink::OnConnect(mosquitto*, void* self, int rc)
{
    auto* p = static_cast<CMqttLink*>(self);
    if (rc != 0) {
        p->m_refusal = rc;
        p->m_refused = true;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(p->m_stateMutex);
        if (p->m_stopping) {
            mosquitto_disconnect(p->m_mosq);
            return;
        }
        p->m_connected = true;
        if (p->m_hooks.connected)
            p->m_hooks.connected();
    }
    p->Say(QStringLiteral("%1: connected to %2").arg(p->m_options.who, p->m_settings.Endpoint()));
}

void CMqttLink::OnDisconnect(mosquitto*, void*, int) {}

void CMqttLink::OnPublish(mosquitto*, void* self, int mid)
{
    auto* p = static_cast<CMqttLink*>(self);
    if (p->m_hooks.published)
        p->m_hooks.published(mid);
}

void CMqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* p = static_cast<CMqttLink*>(self);
    if (p->m_hooks.message && message)
        p->m_hooks.message(*message);
}

void CMqttLink::OnLog(mosquitto*, void* self, int level, const char* text)
{
    if (level != MOSQ_LOG_ERR || !text)
        return;
    auto* p = static_cast<CMqttLink*>(self);
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
