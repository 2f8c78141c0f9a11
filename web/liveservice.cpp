#include "liveservice.h"

namespace ondrel::web {

CLiveService::CLiveService(WebOptions options, QString root, CLiveFleet::Clock clock,
                           QObject* parent)
    : QObject(parent), m_fleet(std::move(root), std::move(clock)), m_server(std::move(options))
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
    m_server.Broadcast(std::move(round), [this] { return m_fleet.Snapshot(); });
}

} // namespace ondrel::web
