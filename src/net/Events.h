// Builders for the events we send to the UI. Every event is one array with
// two members: "type", the event's name, and "data", its argument.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "amf/Amf.h"

inline constexpr char16_t kMinimizeEvent[] = u"minimizeEvent";
inline constexpr char16_t kCloseEvent[] = u"closeEvent";

// Values bound to message, ready to be set as a member or element.
std::unique_ptr<CAmfValue> MakeString(CAmfMessage& message, const std::u16string& text);
std::unique_ptr<CAmfValue> MakeInteger(CAmfMessage& message, int32_t value);
std::unique_ptr<CAmfValue> MakeDouble(CAmfMessage& message, double value);
std::unique_ptr<CAmfValue> MakeBoolean(CAmfMessage& message, bool value);
// An empty array with m_bHasMembers set: the UI expects the flag on every
// array we send, even one that ends up with elements only.
std::unique_ptr<CAmfValue> MakeArray(CAmfMessage& message);

// Adds the event's root array to message (which should hold no values yet)
// and returns it. data must be bound to message.
CAmfValue& BuildEventEnvelope(CAmfMessage& message, const std::u16string& name,
                              std::unique_ptr<CAmfValue> data);

// An event whose data is the boolean true ("minimizeEvent", "closeEvent").
std::unique_ptr<CAmfMessage> BuildBooleanEvent(const std::u16string& name);
