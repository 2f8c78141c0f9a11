#include "fleetsubscriber.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMetaObject>
#include <QRandomGenerator>
#include <QSysInfo>
#include <algorithm>
#include <mosquitto.h>

namespace ondrel::lab {

namespace {

constexpr int kClientIdLimit = 64;

void RegisterTypes()
{
    qRegisterMetaType<BrokerMessage>();
    qRegisterMetaType<QList<BrokerMessage>>();
}

// What every broker accepts.
bool UsableClientId(const QByteArray& id)
{
    if (id.isEmpty() || id.size() > kClientIdLimit)
        return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-';
    });
}

} // namespace

CFleetSubscriber::CFleetSubscriber(MqttSettings settings, QObject* parent)
    : QObject(parent), m_settings(std::move(settings))
{
    // Never shared by two windows, of one user or of many: the broker would
    // throw each off in turn. Letters, digits and '-' only, which every broker
    // accepts.
    QByteArray id = QStringLiteral("ondrel-fleet-%1-%2-%3")
                        .arg(QSysInfo::machineHostName())
                        .arg(QCoreApplication::applicationPid())
                        .arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'))
                        .toUtf8();
    for (char& c : id)
        if (!QChar::isLetterOrNumber(uchar(c)) || uchar(c) > 0x7F)
            c = '-';
    m_clientId = id.right(kClientIdLimit);
    RegisterTypes();
}

CFleetSubscriber::CFleetSubscriber(MqttSettings settings, QByteArray clientId, QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_clientId(std::move(clientId))
{
    RegisterTypes();
}

CFleetSubscriber::~CFleetSubscriber()
{
    Stop();
}

bool CFleetSubscriber::Start(QString* error)
{
    if (!UsableClientId(m_clientId)) {
        *error = QStringLiteral("Broker: the client id \"%1\" is not 1 to %2 letters, digits "
                                "and '-'")
                     .arg(QString::fromUtf8(m_clientId.left(80)))
                     .arg(kClientIdLimit);
        return false;
    }
    MqttLinkOptions options;
    options.who = QStringLiteral("Broker");
    options.clientId = m_clientId;
    options.mqtt5 = true;
    options.keepSession = true;
    options.sessionExpirySeconds = kSessionExpirySeconds;
    options.maximumPacketSize = kPacketLimit;
    options.inflight = 100;
    const QByteArray filter = (m_settings.prefix + QStringLiteral("/#")).toUtf8();
    CMqttLink::Hooks hooks;
    hooks.connected = [this, filter] {
        // Again on every connection: the broker then sends the retained topics
        // afresh, which is how the tiles learn where things stand.
        m_link->Subscribe(filter, 1);
        Push({Item::Up, {}});
    };
    hooks.subscribed = [this, filter](bool granted, int reasonCode) {
        if (granted) {
            QMetaObject::invokeMethod(
                this, [this] { emit subscribed(); }, Qt::QueuedConnection);
            return;
        }
        // An ACL that forbids the root leaves a connected link that hears
        // nothing: that must not pass for a quiet lab.
        const QString text =
            QStringLiteral("Broker: refused the subscription to %1 (reason code %2)")
                .arg(QString::fromUtf8(filter))
                .arg(reasonCode);
        QMetaObject::invokeMethod(
            this, [this, text] { emit statusMessage(text); }, Qt::QueuedConnection);
    };
    hooks.lost = [this] { Push({Item::Down, {}}); };
    hooks.message = [this](const mosquitto_message& m) {
        Item item;
        item.message.topic = QString::fromUtf8(m.topic);
        item.message.retained = m.retain;
        item.message.receivedMs = QDateTime::currentMSecsSinceEpoch();
        if (m.payloadlen > kPayloadLimit)
            item.message.tooLarge = true; // counted, not kept
        else
            item.message.payload = QByteArray(static_cast<const char*>(m.payload), m.payloadlen);
        Push(std::move(item));
    };
    hooks.said = [this](const QString& text) {
        QMetaObject::invokeMethod(
            this, [this, text] { emit statusMessage(text); }, Qt::QueuedConnection);
    };
    m_link = std::make_unique<CMqttLink>(m_settings, options, std::move(hooks));
    return m_link->Start(error);
}

void CFleetSubscriber::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_stopping = true;
        m_room.notify_all();
    }
    if (m_link)
        m_link->Stop();
}

void CFleetSubscriber::Push(Item item)
{
    std::unique_lock<std::mutex> lock(m_queueMutex);
    // A window that cannot keep up holds the link back rather than growing
    // without end; QoS 1 messages then wait on the broker, in the session.
    m_room.wait(lock, [this] { return m_stopping || m_queueBytes < kQueueBytes; });
    if (m_stopping)
        return;
    m_queueBytes += item.message.payload.size() + item.message.topic.size() * 2 + 64;
    m_queue.push_back(std::move(item));
    if (!m_drainPosted) {
        m_drainPosted = true;
        QMetaObject::invokeMethod(this, &CFleetSubscriber::Drain, Qt::QueuedConnection);
    }
}

void CFleetSubscriber::Drain()
{
    // Runs on the owner's thread: at most one batch, and the link's ups and
    // downs in their place between messages.
    std::deque<Item> taken;
    bool more = false;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        const size_t n = std::min(m_queue.size(), size_t(kBatch));
        for (size_t i = 0; i < n; ++i) {
            m_queueBytes -= m_queue.front().message.payload.size() +
                            m_queue.front().message.topic.size() * 2 + 64;
            taken.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        more = !m_queue.empty();
        m_drainPosted = more;
        m_room.notify_all();
    }
    if (more)
        QMetaObject::invokeMethod(this, &CFleetSubscriber::Drain, Qt::QueuedConnection);
    QList<BrokerMessage> batch;
    for (Item& item : taken) {
        if (item.kind == Item::Message) {
            batch.append(std::move(item.message));
            continue;
        }
        if (!batch.isEmpty()) {
            emit messages(batch);
            batch.clear();
        }
        if (item.kind == Item::Up)
            emit brokerConnected();
        else
            emit brokerLost();
    }
    if (!batch.isEmpty())
        emit messages(batch);
}

} // namespace ondrel::lab
