// Publishes a console's readings and events to an MQTT broker, read-only: it
// subscribes to nothing. The broker's link is served by a thread of its own, so
// a slow, absent or frozen broker never holds up the caller; every public call
// comes from the thread that made the publisher and returns at once.
#pragma once

#include "model.h"
#include "mqttsettings.h"
#include "payloads.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

struct mosquitto;

namespace ondrel {

// The numeric addresses a broker's host name stands for, in the order they are
// to be tried; none, with *error saying why, when the name resolves to nothing.
// Called on the link's own thread, so it may block.
using BrokerResolver =
    std::function<std::vector<std::string>(const std::string& host, QString* error)>;

// The system's resolver (getaddrinfo), in its order.
std::vector<std::string> ResolveBroker(const std::string& host, QString* error);

class CMqttPublisher : public QObject
{
    Q_OBJECT
public:
    // `info` goes out retained on every connection.
    CMqttPublisher(MqttSettings settings, ConsoleInfo info, QObject* parent = nullptr);
    explicit CMqttPublisher(MqttSettings settings, QObject* parent = nullptr);
    CMqttPublisher(MqttSettings settings, BrokerResolver resolve, QObject* parent = nullptr);
    CMqttPublisher(MqttSettings settings, ConsoleInfo info, BrokerResolver resolve,
                   QObject* parent = nullptr);
    ~CMqttPublisher() override; // Stop()

    // Starts connecting; false with *error when the client cannot be set up
    // (e.g. an unusable CA file).
    bool Start(QString* error);
    // A clean end: `offline` on the status topic, then a disconnect. Waits at most
    // about a second for the broker link to wind down.
    void Stop();

    void PublishReading(const Reading& reading);
    void PublishEvent(const ConsoleEvent& event);

    bool Connected() const { return m_connected; }
    // After a refused login or a certificate that failed verification.
    bool GaveUp() const { return m_gaveUp; }
    int DroppedEvents() const { return m_dropped; }
    const MqttSettings& Settings() const { return m_settings; }

signals:
    // Always delivered on the publisher's own thread.
    void statusMessage(const QString& text);

private:
    // Why the console itself ended a link the broker had accepted.
    enum class Fault
    {
        None,
        Published, // the broker sent a PUBLISH, which nothing subscribed to asks for
        Flooded    // more bytes than acknowledgements and pings account for
    };

    static void OnConnect(mosquitto* mosq, void* self, int rc);
    static void OnPublish(mosquitto* mosq, void* self, int mid);
    static void OnLog(mosquitto* mosq, void* self, int level, const char* text);

    bool Configure(QString* error);
    void Run();
    int Connect(int* savedErrno);
    bool Stopping();
    bool OverInboundAllowance();
    bool Reinitialise(QString* error);
    void Post(const QString& text);
    bool Publish(const char* subtopic, const QByteArray& payload, int qos, bool retain,
                 int* mid = nullptr);
    void PublishStateLocked();
    QString DownReason(int rc, int savedErrno) const;

    const MqttSettings m_settings;
    const QByteArray m_info;
    const BrokerResolver m_resolve;
    QByteArray m_clientId;
    std::map<std::string, QByteArray> m_topics; // full topic by subtopic, made once
    mosquitto* m_mosq = nullptr;
    // Shared by every call into the client from outside its thread; taken alone by
    // that thread to reset the client after a broker's protocol fault.
    std::shared_mutex m_clientMutex;
    std::thread m_thread;

    // What a (re)connection must announce; guarded by m_stateMutex, which is also
    // held around the publishing of these so that two threads cannot interleave.
    std::mutex m_stateMutex;
    QString m_version;
    bool m_versionRead = false;
    bool m_responding = true;
    bool m_stopping = false;

    // Events sent and not yet acknowledged, by message id.
    std::mutex m_eventMutex;
    std::unordered_set<int> m_pendingEvents;
    std::atomic<int> m_dropped{0};

    std::mutex m_waitMutex;
    std::condition_variable m_wake;
    bool m_finished = false;

    // The counters sent with readings and events; the caller's thread only.
    ReadingCounters m_counters;
    QDateTime m_xrayOnSince; // the open exposure's start, or invalid
    double m_closedBeamSeconds = 0.0;
    qint64 m_eventSeq = 0;

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_gaveUp{false};
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_refused{false};
    std::atomic<Fault> m_fault{Fault::None};
    std::atomic<int> m_acknowledged{0}; // on the present link
    int m_refusal = 0;                  // the broker's refusal code, network thread only
    QString m_lastError;                // the library's last error log line, network thread only
    bool m_quietConnect = false;        // network thread only: a fault is on the status bar
    std::chrono::steady_clock::time_point m_linkUp; // network thread only
};

} // namespace ondrel
