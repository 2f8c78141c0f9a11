// The live side of the web service: the fleet judged from the broker's messages
// (fed like the fleet window's model, CFleetSubscriber::Feed) and handed to the
// server's viewers five times a second at most, with a heartbeat while nothing
// changes so that a page tells a quiet fleet from a dead service.
#pragma once

#include "livefleet.h"
#include "webserver.h"

#include <QObject>
#include <QTimer>

namespace ondrel::web {

class CLiveService : public QObject
{
    Q_OBJECT
public:
    static constexpr int kTickMs = 200; // at most 5 messages a second a viewer
    static constexpr int kHeartbeatMs = 500;

    CLiveService(WebOptions options, QString root, CLiveFleet::Clock clock,
                 QObject* parent = nullptr);

    bool Start(QString* error);
    CLiveFleet* Fleet() { return &m_fleet; }
    CWebServer& Server() { return m_server; }

    // The subscriber's signals, as CFleetSubscriber::Feed connects them.
    void OnMessages(const QList<ondrel::lab::BrokerMessage>& batch) { m_fleet.OnMessages(batch); }
    void OnBrokerConnected() { m_fleet.OnBrokerConnected(); }
    void OnBrokerLost() { m_fleet.OnBrokerLost(); }

private:
    void Tick();
    WebOptions WithWelcome(WebOptions options);

    CLiveFleet m_fleet;
    CWebServer m_server;
    QTimer m_timer;
    int m_quietTicks = 0;
    std::shared_ptr<const LiveRound> m_last; // as the viewers had it
};

} // namespace ondrel::web
