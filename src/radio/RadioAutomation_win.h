// The objects the player hands out: its controls, its settings, the current
// media item, the error queue and its items. Each is made with one
// reference for the caller; null when memory ran out.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "radio/MediaInfo.h"
#include "radio/RadioErrors.h"

namespace radio {

class CRadioPlayer;

IDispatch* NewControlsObject(CRadioPlayer& player);
IDispatch* NewSettingsObject(CRadioPlayer& player);
IDispatch* NewErrorQueueObject(CRadioPlayer& player);
// A snapshot: later changes of the stream make a new item.
IDispatch* NewMediaObject(const CStreamInfo& media);
IDispatch* NewErrorItemObject(const CRadioFailure& failure);

}  // namespace radio
