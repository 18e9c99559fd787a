// CPlayerEventSender: what the UI hears of the player. Each report of the
// player host becomes one event, sent to every connected UI.
#pragma once

#include "net/ConnectionHost.h"
#include "player/PlayerSink.h"

class CPlayerEventSender final : public IPlayerSink {
public:
    explicit CPlayerEventSender(ConnectionRegistry& connections) : m_connections(connections) {}

    // "wmpStatusEvent", "wmpMediaEvent", "wmpErrorEvent".
    void OnPlayState(int32_t newState) override;
    void OnMediaAttributes(const MediaAttributes& attributes) override;
    void OnPlayerErrors(const std::vector<PlayerError>& errors) override;

private:
    ConnectionRegistry& m_connections;
};
