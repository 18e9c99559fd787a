// Builders for the three player events, from plain data read off the player
// beforehand, so that their shape is tested without a player.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "amf/Amf.h"

inline constexpr char16_t kStatusEvent[] = u"wmpStatusEvent";
inline constexpr char16_t kMediaEvent[] = u"wmpMediaEvent";
inline constexpr char16_t kErrorEvent[] = u"wmpErrorEvent";

// name -> text, in the player's attribute order.
using MediaAttributes = std::vector<std::pair<std::u16string, std::u16string>>;

struct PlayerError {
    uint32_t code;  // as the player reports it; sent as a signed number
    std::u16string description;
};

// "data" is the play state exactly as the player passed it.
std::unique_ptr<CAmfMessage> BuildStatusEvent(int32_t newState);
// One member per attribute; a name that comes twice keeps its later text.
std::unique_ptr<CAmfMessage> BuildMediaEvent(const MediaAttributes& attributes);
// One element per queue entry, in queue order, each with "code" (a double
// holding the code read as a signed 32-bit integer) and "description".
std::unique_ptr<CAmfMessage> BuildErrorEvent(const std::vector<PlayerError>& errors);
