#include "app/PlayerEventSender.h"

#include "net/EventSender.h"
#include "player/PlayerEvents.h"

void CPlayerEventSender::OnPlayState(int32_t newState) {
    BroadcastEvent(m_connections, *BuildStatusEvent(newState));
}

void CPlayerEventSender::OnMediaAttributes(const MediaAttributes& attributes) {
    BroadcastEvent(m_connections, *BuildMediaEvent(attributes));
}

void CPlayerEventSender::OnPlayerErrors(const std::vector<PlayerError>& errors) {
    BroadcastEvent(m_connections, *BuildErrorEvent(errors));
}
