#include "mqttpublisher.h"

#include "payloads.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSysInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <pthread.h>

namespace ondrel {

namespace {

using namespace std::chrono_literals;

// Publishing wakes the loop at once; the timeout only bounds how soon an abandoned
// stop is noticed, and each wake-up costs CPU.
constexpr auto kLoopTimeout = 1000ms;
constexpr auto kStopGrace = 1000ms; // for `offline` and the disconnect to go out
constexpr int kInflight = 20;

std::once_flag g_libInit;

QString WithoutFullStop(QString text)
{
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

} // namespace

CMqttPublisher::CMqttPublisher(MqttSettings settings, ConsoleInfo info, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_info(InfoJson(info))
{}

CMqttPublisher::CMqttPublisher(MqttSettings settings, QObject* parent)
    : CMqttPublisher(std::move(settings),
                     ConsoleInfo{TelemetryNow(), QSysInfo::machineHostName(), QString(), 200,
                                 QStringLiteral("Ondrel")},
                     parent)
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
    QByteArray clientId = QStringLiteral("ondrel-%1-%2")
                              .arg(m_settings.prefix)
                              .arg(QCoreApplication::applicationPid())
                              .toUtf8();
    for (char& c : clientId)
        if (!QChar::isLetterOrNumber(uchar(c)) || uchar(c) > 0x7F)
            c = '-';
    clientId = clientId.right(64);
    for (const char* subtopic : {"status", "version", "reading", "event", "info"})
        m_topics[subtopic] = m_settings.prefix.toUtf8() + '/' + subtopic;
    m_mosq = mosquitto_new(clientId.constData(), true, this);
    if (!m_mosq) {
        *error = QStringLiteral("Telemetry: the MQTT client cannot be created: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
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

    m_thread = std::thread([this] { Run(); });
    return true;
}

void CMqttPublisher::Run()
{
    // Named so that a look at the process's threads (top -H, a benchmark) finds it.
    pthread_setname_np(pthread_self(), "ondrel-mqtt");
    auto delay = m_settings.firstRetry;
    bool saidDown = false;
    const QByteArray host = m_settings.host.toUtf8();
    // The name lookup happens here, not on the caller's thread.
    int rc = mosquitto_connect_async(m_mosq, host.constData(), m_settings.port,
                                     int(m_settings.keepAlive.count()));
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
        if (wasConnected)
            saidDown = false;
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            if (m_stopping || m_abort)
                break;
        }
        // "Server unavailable" may pass; a refused login or protocol does not.
        if (m_refused.exchange(false) && m_refusal != 3) {
            Post(QStringLiteral("Telemetry: %1 refused the %2 (%3); not retrying")
                     .arg(m_settings.Endpoint(),
                          m_refusal >= 4 ? QStringLiteral("login") : QStringLiteral("connection"),
                          WithoutFullStop(mosquitto_connack_string(m_refusal))));
            m_gaveUp = true;
            break;
        }
        if ((rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) && !wasConnected &&
            (m_lastError.contains(QLatin1String("certificate"), Qt::CaseInsensitive) ||
             m_lastError.contains(QLatin1String("verif"), Qt::CaseInsensitive))) {
            Post(QStringLiteral("Telemetry: cannot verify the certificate of %1 (%2); not retrying")
                     .arg(m_settings.Endpoint(), m_lastError));
            m_gaveUp = true;
            break;
        }
        if (!saidDown) {
            Post(QStringLiteral("Telemetry: cannot reach %1 (%2); retrying")
                     .arg(m_settings.Endpoint(), DownReason(rc, savedErrno)));
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
        rc = mosquitto_reconnect_async(m_mosq);
        savedErrno = errno;
    }
    std::lock_guard<std::mutex> lock(m_waitMutex);
    m_finished = true;
    m_wake.notify_all();
}

QString CMqttPublisher::DownReason(int rc, int savedErrno) const
{
    if (rc == MOSQ_ERR_ERRNO && savedErrno != 0)
        return QString::fromLocal8Bit(std::strerror(savedErrno));
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
    mosquitto_disconnect(m_mosq);
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
    // Before the status, so that a watcher that sees `online` knows the period.
    p->Publish("info", p->m_info, 1, true);
    p->PublishStateLocked();
    p->Post(QStringLiteral("Telemetry: connected to %1").arg(p->m_settings.Endpoint()));
}

void CMqttPublisher::OnPublish(mosquitto*, void* self, int mid)
{
    auto* p = static_cast<CMqttPublisher*>(self);
    std::lock_guard<std::mutex> lock(p->m_eventMutex);
    p->m_pendingEvents.erase(mid);
}

void CMqttPublisher::OnLog(mosquitto*, void* self, int level, const char* text)
{
    if (level != MOSQ_LOG_ERR || !text)
        return;
    auto* p = static_cast<CMqttPublisher*>(self);
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
