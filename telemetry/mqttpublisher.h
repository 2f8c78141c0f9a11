// Publishes a console's readings and events to an MQTT broker, read-only: it
// subscribes to nothing. The broker's link is served by a thread of its own, so
// a slow, absent or frozen broker never holds up the caller; every public call
// comes from the thread that made the publisher and returns at once.
#pragma once

#include "model.h"
#include "mqttsettings.h"
#include "payloads.h"
#include "topics.h"

#include "mqttlink.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace ondrel {

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

    bool Connected() const { return m_link && m_link->Connected(); }
    // After a refused login or a certificate that failed verification.
    bool GaveUp() const { return m_link && m_link->GaveUp(); }
    int DroppedEvents() const { return m_dropped; }
    const MqttSettings& Settings() const { return m_settings; }

signals:
    // Always delivered on the publisher's own thread.
    void statusMessage(const QString& text);

private:
    void Post(const QString& text);
    bool Publish(Subtopic subtopic, const QByteArray& payload, int qos, bool retain,
                 int* mid = nullptr);
    void PublishStateLocked();

    const MqttSettings m_settings;
    const QByteArray m_info;
    const BrokerResolver m_resolve;
    std::map<Subtopic, QByteArray> m_topics; // full topic by subtopic, made once
    std::unique_ptr<CMqttLink> m_link;

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

    // The counters sent with readings and events; the caller's thread only.
    ReadingCounters m_counters;
    CXrayRule m_xray;
    QDateTime m_xrayOnSince; // the counted exposure's start, or invalid
    double m_closedBeamSeconds = 0.0;
    qint64 m_eventSeq = 0;
};

} // namespace ondrel
