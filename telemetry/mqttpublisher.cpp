#include "mqttpublisher.h"

#include "payloads.h"
#include "topics.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSysInfo>
#include <algorithm>

namespace ondrel {

namespace {
ConsoleInfo UnnamedConsole()
{
    return ConsoleInfo{TelemetryNow(),   QSysInfo::machineHostName(), QString(),
                       kDefaultPeriodMs, QStringLiteral("Ondrel"),    QString()};
}
} // namespace

CMqttPublisher::CMqttPublisher(MqttSettings settings, QObject* parent)
    : CMqttPublisher(std::move(settings), UnnamedConsole(), &ResolveBroker, parent)
{}

CMqttPublisher::CMqttPublisher(MqttSettings settings, ConsoleInfo info, QObject* parent)
    : CMqttPublisher(std::move(settings), std::move(info), &ResolveBroker, parent)
{}

CMqttPublisher::CMqttPublisher(MqttSettings settings, BrokerResolver resolve, QObject* parent)
    : CMqttPublisher(std::move(settings), UnnamedConsole(), std::move(resolve), parent)
{}

CMqttPublisher::CMqttPublisher(MqttSettings settings, ConsoleInfo info, BrokerResolver resolve,
                               QObject* parent)
    : QObject(parent), m_settings(std::move(settings)), m_info(InfoJson(info)),
      m_resolve(std::move(resolve))
{}

CMqttPublisher::~CMqttPublisher()
{
    Stop();
}

bool CMqttPublisher::Start(QString* error)
{
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
    for (const Subtopic subtopic : kSubtopics)
        m_topics[subtopic] = m_settings.prefix.toUtf8() + '/' + SubtopicName(subtopic);

    MqttLinkOptions options;
    options.who = QStringLiteral("Telemetry");
    options.clientId = clientId.right(64);
    options.publishOnly = true;
    options.willTopic = m_topics.at(Subtopic::Status);
    options.willPayload = StatusPayload(ConsoleStatus::Offline);
    options.resolve = m_resolve;
    CMqttLink::Hooks hooks;
    hooks.connected = [this] {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (m_stopping)
            return;
        // Before the status, so that a watcher that sees `online` knows the period.
        Publish(Subtopic::Info, m_info, 1, true);
        PublishStateLocked();
    };
    hooks.published = [this](int mid) {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        m_pendingEvents.erase(mid);
    };
    hooks.aroundReset = [this](const std::function<void()>& reset) {
        // The events the old client still held go with it.
        std::lock_guard<std::mutex> events(m_eventMutex);
        m_dropped += int(m_pendingEvents.size());
        m_pendingEvents.clear();
        reset();
    };
    hooks.said = [this](const QString& text) { Post(text); };
    m_link = std::make_unique<CMqttLink>(m_settings, options, std::move(hooks));
    return m_link->Start(error);
}

void CMqttPublisher::Stop()
{
    if (!m_link || !m_link->Running())
        return;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_stopping = true;
        if (m_link->Connected())
            Publish(Subtopic::Status, StatusPayload(ConsoleStatus::Offline), 1, true);
    }
    // Queued after `offline`, so the broker has it before the clean disconnect
    // that drops the Last Will.
    m_link->Stop();
}

void CMqttPublisher::Post(const QString& text)
{
    QMetaObject::invokeMethod(
        this, [this, text] { emit statusMessage(text); }, Qt::QueuedConnection);
}

bool CMqttPublisher::Publish(Subtopic subtopic, const QByteArray& payload, int qos, bool retain,
                             int* mid)
{
    return m_link->Publish(m_topics.at(subtopic), payload, qos, retain, mid);
}

void CMqttPublisher::PublishStateLocked()
{
    if (!m_versionRead)
        return;
    Publish(Subtopic::Version, m_version.toUtf8(), 1, true);
    Publish(Subtopic::Status,
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
    m_counters.xrayOn = m_xray.On();
    // Only the latest reading matters and it is retained: none wait for a link.
    if (!m_link || !m_link->Connected())
        return;
    Publish(Subtopic::Reading, ReadingJson(reading, m_counters), 0, true);
}

void CMqttPublisher::PublishEvent(const ConsoleEvent& event)
{
    const qint64 seq = ++m_eventSeq;
    m_xray.OnEvent(event.kind);
    // A stop ends the counting, not the X-rays: the console no longer knows.
    const bool counting = m_xray.On() && event.kind != EventKind::Stop;
    if (counting && !m_xrayOnSince.isValid()) {
        m_xrayOnSince = event.time;
    } else if (!counting && m_xrayOnSince.isValid()) {
        m_closedBeamSeconds += std::max<qint64>(0, m_xrayOnSince.msecsTo(event.time)) / 1000.0;
        m_xrayOnSince = QDateTime();
    }
    // Nothing is kept for a link that will never be made.
    if (!m_link || !m_link->Running() || m_link->GaveUp())
        return;
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (m_stopping)
            return;
        if (event.kind == EventKind::Version) {
            m_version = event.detail;
            m_versionRead = true;
            m_responding = true;
            if (m_link->Connected())
                PublishStateLocked();
        } else if (event.kind == EventKind::ReadingsStopped) {
            m_responding = false;
            if (m_link->Connected() && m_versionRead)
                Publish(Subtopic::Status, StatusPayload(ConsoleStatus::NotResponding), 1, true);
        }
    }
    std::lock_guard<std::mutex> lock(m_eventMutex);
    if (int(m_pendingEvents.size()) >= m_settings.eventQueueLimit) {
        ++m_dropped;
        return;
    }
    int mid = 0;
    if (Publish(Subtopic::Event, EventJson(event, seq), 1, false, &mid))
        m_pendingEvents.insert(mid);
    else
        ++m_dropped;
}

} // namespace ondrel
