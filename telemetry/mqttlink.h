// One client's link to the broker named by MqttSettings, on a thread of its
// own, shared by every Ondrel program that talks to a broker: the options
// (protocol, TLS always verified, login, Last Will), the name's every address
// tried in turn, the connection loop with its back-off, and the status messages
// ("<Who>: connected to HOST:PORT", "<Who>: cannot reach HOST:PORT (why);
// retrying", a refused login or certificate said once and not retried). What is
// sent or received over the link is the owner's, through Hooks.
#pragma once

#include "mqttsettings.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace ondrel {

// The numeric addresses a broker's host name stands for, in the order they are
// to be tried; none, with *error saying why, when the name resolves to nothing.
// Called on the link's own thread, so it may block.
using BrokerResolver =
    std::function<std::vector<std::string>(const std::string& host, QString* error)>;

// The system's resolver (getaddrinfo), in its order.
std::vector<std::string> ResolveBroker(const std::string& host, QString* error);

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
    unsigned maximumPacketSize = 0;
    // A link that subscribes to nothing: a PUBLISH from the broker, or more bytes
    // than its acknowledgements account for, is a fault that ends the link and
    // reconnects with a fresh client.
    bool publishOnly = false;
    // The Last Will, retained at QoS 1; none when the topic is empty.
    QByteArray willTopic;
    QByteArray willPayload;
    int inflight = 20;
    BrokerResolver resolve = &ResolveBroker;
};

class CMqttLink
{
public:
    struct Hooks
    {
        // All on the link's thread. `connected` runs with the CONNACK, before the
        // link says so; it may publish or subscribe.
        std::function<void()> connected;
        std::function<void()> lost;
        std::function<void(const mosquitto_message&)> message;
        std::function<void(int mid)> published;
        // The broker's answer to a subscription: whether it granted it (an MQTT 5
        // reason code of 0x80 or more refuses it, e.g. an ACL that forbids it).
        std::function<void(bool granted, int reasonCode)> subscribed;
        // Runs `reset` (which makes a fresh client: whatever the old one held is
        // gone); an owner that keeps account of what it handed over wraps it in
        // its own lock.
        std::function<void(const std::function<void()>& reset)> aroundReset;
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
    // A clean disconnect; waits at most about a second for the thread to end.
    void Stop();

    // From any thread. A QoS 1 message stays queued in the client while the link
    // is down, so that counts as sent.
    bool Publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain,
                 int* mid = nullptr);
    bool Subscribe(const QByteArray& filter, int qos);

    bool Running() const { return m_thread.joinable(); }
    bool Connected() const { return m_connected; }
    bool GaveUp() const { return m_gaveUp; }
    bool Stopping() const;
    const MqttSettings& Settings() const { return m_settings; }

private:
    // Why the link itself ended a connection the broker had accepted.
    enum class Fault
    {
        None,
        Published, // a PUBLISH to a link that subscribes to nothing
        Flooded    // more bytes than acknowledgements and pings account for
    };

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    bool Configure(QString* error);
    void Run();
    int Connect(int* savedErrno);
    bool OverInboundAllowance();
    bool Reinitialise(QString* error);
    void Say(const QString& text);
    QString DownReason(int rc, int savedErrno) const;

    const MqttSettings m_settings;
    const MqttLinkOptions m_options;
    const Hooks m_hooks;
    mosquitto* m_mosq = nullptr;
    mqtt5__property* m_connectProperties = nullptr;
    // Shared by every call into the client from outside its thread; taken alone by
    // that thread to reset the client after a broker's protocol fault.
    mutable std::shared_mutex m_clientMutex;
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
    std::atomic<Fault> m_fault{Fault::None};
    std::atomic<int> m_acknowledged{0}; // on the present link
    int m_refusal = 0;                  // the broker's refusal code, link thread only
    QString m_lastError;                // the library's last error log line, link thread only
    bool m_quietConnect = false;        // link thread only: a fault is on the status bar
    std::chrono::steady_clock::time_point m_linkUp; // link thread only
};

// The library's text without the full stop it ends with.
QString WithoutFullStop(QString text);

} // namespace ondrel
