// A read-only watcher of every console under a root, for the fleet window and
// the lab's archive: subscribes to <root>/# at QoS 1 over MQTT 5 with a session
// the broker keeps for a few minutes across a lost link (so QoS 1 events sent
// meanwhile still arrive), publishes nothing, and hands what it receives to the
// owner's thread in bounded batches.
#pragma once

#include "message.h"
#include "mqttlink.h"

#include <QObject>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace ondrel::lab {

class CFleetSubscriber : public QObject
{
    Q_OBJECT
public:
    static constexpr int kSessionExpirySeconds = 300;
    static constexpr int kBatch = 2000;              // messages per hand-over
    static constexpr qint64 kQueueBytes = 64 << 20;  // held for the owner at most
    static constexpr quint32 kPacketLimit = 4 << 20; // the broker sends nothing larger

    // settings.prefix is the root to watch. A client id of its own, never the
    // same twice: a window's session ends with it.
    explicit CFleetSubscriber(MqttSettings settings, QObject* parent = nullptr);
    // A client id the caller keeps across its restarts (one per archive), so that
    // one back within the session expiry still receives the QoS 1 events sent
    // meanwhile. Two clients with one id throw each other off the broker. Start
    // refuses an id that is not 1 to 64 ASCII letters, digits and '-'.
    CFleetSubscriber(MqttSettings settings, QByteArray clientId, QObject* parent = nullptr);
    ~CFleetSubscriber() override; // Stop()

    bool Start(QString* error);
    void Stop();

    bool Connected() const { return m_link && m_link->Connected(); }
    bool GaveUp() const { return m_link && m_link->GaveUp(); }
    QByteArray ClientId() const { return m_clientId; }
    QString Root() const { return m_settings.prefix; }

    // Connects the subscriber to a model (OnMessages, OnBrokerConnected,
    // OnBrokerLost): messages, and the link's ups and downs.
    template <class Model> void Feed(Model* model)
    {
        connect(this, &CFleetSubscriber::messages, model, &Model::OnMessages);
        connect(this, &CFleetSubscriber::brokerConnected, model, &Model::OnBrokerConnected);
        connect(this, &CFleetSubscriber::brokerLost, model, &Model::OnBrokerLost);
    }

signals:
    // On the owner's thread, in the order the broker sent them.
    void messages(const QList<ondrel::lab::BrokerMessage>& batch);
    void brokerConnected();
    void brokerLost();
    void statusMessage(const QString& text);
    // The broker granted the subscription to <root>/# on this connection; from
    // here on nothing sent under the root is missed. A refusal is a status
    // message instead.
    void subscribed();

private:
    struct Item
    {
        enum Kind
        {
            Message,
            Up,
            Down
        } kind = Message;
        BrokerMessage message;
    };

    void Push(Item item);
    void Drain();

    const MqttSettings m_settings;
    QByteArray m_clientId;
    std::unique_ptr<CMqttLink> m_link;

    std::mutex m_queueMutex;
    std::condition_variable m_room;
    std::deque<Item> m_queue;
    qint64 m_queueBytes = 0;
    bool m_drainPosted = false;
    bool m_stopping = false;
};

} // namespace ondrel::lab
