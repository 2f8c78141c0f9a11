#include "liveservice.h"

namespace ondrel::web {

CLiveService::CLiveService(WebOptions options, QString root, CLiveFleet::Clock clock,
                           QObject* parent)
    : QObject(parent), m_fleet(std::move(root), std::move(clock)),
      m_server(WithWelcome(std::move(options)))
{
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, &CLiveService::Tick);
}

bool CLiveService::Start(QString* error)
{
    if (!m_server.Start(error))
        return false;
    m_timer.start();
    return true;
}

void CLiveService::Tick()
{
    const bool heartbeat = ++m_quietTicks * kTickMs >= kHeartbeatMs;
    std::shared_ptr<const LiveRound> round = m_fleet.Delta(heartbeat);
    if (!round)
        return;
    m_quietTicks = 0;
    m_last = round;
    m_server.Broadcast(std::move(round), [this] { return m_fleet.Snapshot(); });
}

WebOptions CLiveService::WithWelcome(WebOptions options)
{
    // A page loaded just after a round would wait most of 200 ms for the next.
    options.viewerWaiting = [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_last)
                    m_server.Welcome(m_last, [this] { return m_fleet.Snapshot(); });
            },
            Qt::QueuedConnection);
    };
    return options;
}

} // namespace ondrel::web
