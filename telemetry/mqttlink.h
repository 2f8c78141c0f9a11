// One client's link to the broker named by MqttSettings, on a thread of its
// own: the options (protocol, TLS always verified, login), the connection loop
// with its back-off, and the status messages every Ondrel program says about
// it ("<Who>: connected to HOST:PORT", "<Who>: cannot reach HOST:PORT (why);
// retrying", a refused login or certificate said once and not retried). What is
// sent or received over the link is the owner's: it hooks in through Hooks.
#pragma once

#include "mqttsettings.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace ondrel {

struct MqttLinkOptions
{
    QString who = QStringLiteral("Telemetry"); // the status messages' first word
    QByteArray clientId;
    bool mqtt5 = false;
    // MQTT 5 only: keep the session (its subscriptions and the QoS 1 messages
    // meant for it) across reconnections, for this long after a loss.
    bool keepSession = false;
    int sessionExpirySeconds = 0;
    // MQTT 5 only: the broker sends nothing larger (0: no bound of ours).
    quint32 maximumPacketSize = 0;
    // The Last Will, retained at QoS 1; none when the topic is empty.
    QByteArray willTopic;
    QByteArray willPayload;
    int inflight = 20;
};

class CMqttLink
{
public:
    struct Hooks
    {
        // All on the link's thread. Connected runs with the CONNACK, before the
        // link says so; a hook may publish or subscribe through Handle().
        std::function<void()> connected;
        std::function<void()> lost;
        std::function<void(const mosquitto_message&)> message;
        std::function<void(int mid)> published;
        // Every status message, to be handed to the owner's thread.
        std::function<void(const QString&)> said;
    };

    CMqttLink(MqttSettings settings, MqttLinkOptions options, Hooks hooks);
    ~CMqttLink(); // Stop()
    CMqttLink(const CMqttLink&) = delete;
    CMqttLink& operator=(const CMqttLink&) = delete;

    // Sets the client up and starts its thread; false with *error when it cannot
    // be set up (e.g. an unusable CA file).
    bool Start(QString* error);
    // `last` runs first (under the link's state lock, while still connected, so
    // it may publish a final message), then a clean disconnect; waits at most
    // about a second for the thread to wind down.
    void Stop(const std::function<void()>& last = {});

    mosquitto* Handle() const { return m_mosq; }
    bool Running() const { return m_thread.joinable(); }
    bool Connected() const { return m_connected; }
    bool GaveUp() const { return m_gaveUp; }
    bool Stopping() const;
    const MqttSettings& Settings() const { return m_settings; }

    // Held around the connected hook and Stop's `last`; an owner that publishes
    // what a reconnection must repeat takes it too, so that the two cannot
    // interleave.
    std::mutex& StateMutex() { return m_stateMutex; }

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    void Run();
    int Connect(bool first);
    void Say(const QString& text);
    QString DownReason(int rc, int savedErrno) const;

    const MqttSettings m_settings;
    const MqttLinkOptions m_options;
    const Hooks m_hooks;
    mosquitto* m_mosq = nullptr;
    mqtt5__property* m_connectProperties = nullptr;
    std::thread m_thread;

    mutable std::mutex m_stateMutex;
    bool m_stopping = false;

    std::mutex m_waitMutex;
    std::condition_variable m_wake;
    bool m_finished = false;

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_gaveUp{false};
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_refused{false};
    int m_refusal = 0;   // the broker's refusal code, link thread only
    QString m_lastError; // the library's last error log line, link thread only
};

// The library's text without the full stop it ends with.
QString WithoutFullStop(QString text);

} // namespace ondrel
