// IPlayerSink: what the player host tells the rest of the helper. Plain
// data only, read off the player by the host beforehand: whoever listens
// never calls back into the player.
#pragma once

#include <cstdint>
#include <vector>

#include "player/PlayerEvents.h"

class IPlayerSink {
public:
    // The play state, exactly as the player passed it. Only while the UI has
    // asked for playback.
    virtual void OnPlayState(int32_t newState) = 0;
    // The current media item's attributes; never empty.
    virtual void OnMediaAttributes(const MediaAttributes& attributes) = 0;
    // The error queue's entries, in queue order; never empty. By the time
    // this is called the queue has been emptied; playback is stopped right
    // after it returns.
    virtual void OnPlayerErrors(const std::vector<PlayerError>& errors) = 0;

protected:
    ~IPlayerSink() = default;
};
