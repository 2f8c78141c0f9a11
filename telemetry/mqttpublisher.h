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
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

struct mosquitto;

namespace ondrel {

class CMqttPublisher : public QObject
{
    Q_OBJECT
public:
    // `info` goes out retained on every connection.
    CMqttPublisher(MqttSettings settings, ConsoleInfo info, QObject* parent = nullptr);
    explicit CMqttPublisher(MqttSettings settings, QObject* parent = nullptr);
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
    static void OnConnect(mosquitto* mosq, void* self, int rc);
    static void OnPublish(mosquitto* mosq, void* self, int mid);
    static void OnLog(mosquitto* mosq, void* self, int level, const char* text);

    void Run();
    void Post(const QString& text);
    bool Publish(const char* subtopic, const QByteArray& payload, int qos, bool retain,
                 int* mid = nullptr);
    void PublishStateLocked();
    QString DownReason(int rc, int savedErrno) const;

    const MqttSettings m_settings;
    const QByteArray m_info;
    std::map<std::string, QByteArray> m_topics; // full topic by subtopic, made once
    mosquitto* m_mosq = nullptr;
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
    int m_refusal = 0;   // the broker's refusal code, network thread only
    QString m_lastError; // the library's last error log line, network thread only
};

} // namespace ondrel
