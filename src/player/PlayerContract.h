// The player control's contract, as both sides of the COM boundary see it:
// the class id the helper creates, the event interface the control raises,
// and every dispatch id that either the helper calls or TunaraPlayer
// answers. The helper's host (src/player) and TunaraPlayer (src/radio) both
// take their ids from here, so the two cannot drift apart. The test doubles
// keep copies of their own on purpose: a wrong id written here must not be
// echoed by the peer that is meant to catch it.
//
// Platform-free: ids are plain 32-bit numbers, and class ids are a layout of
// the platform's GUID that Windows code turns into one with AsGuid.
#pragma once

#include <cstdint>

namespace player {

// The fields of a GUID, in its order.
struct ClassId {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// CLSID, IID and GUID alike: AsGuid<CLSID>(kPlayerClassId).
template <typename TGuid>
constexpr TGuid AsGuid(const ClassId& id) {
    return TGuid{id.data1,
                 id.data2,
                 id.data3,
                 {id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4], id.data4[5],
                  id.data4[6], id.data4[7]}};
}

// {6BF52A52-394A-11D3-B153-00C04F79FAA6}, also named as text by the dialog
// template and by TunaraPlayer's registration.
inline constexpr ClassId kPlayerClassId = {
    0x6BF52A52, 0x394A, 0x11D3, {0xB1, 0x53, 0x00, 0xC0, 0x4F, 0x79, 0xFA, 0xA6}};
// The dispatch interface the control raises its events on.
inline constexpr ClassId kPlayerEventsId = {
    0x6BF52A51, 0x394A, 0x11D3, {0xB1, 0x53, 0x00, 0xC0, 0x4F, 0x79, 0xFA, 0xA6}};

// The control. Each id below is named after the member it stands for.
inline constexpr int32_t kDispUrl = 1;           // URL: put starts playback (autoStart)
inline constexpr int32_t kDispOpenState = 2;     // openState
inline constexpr int32_t kDispClose = 3;         // close()
inline constexpr int32_t kDispControls = 4;      // controls: the controls object
inline constexpr int32_t kDispSettings = 5;      // settings: the settings object
inline constexpr int32_t kDispCurrentMedia = 6;  // currentMedia: the media item playing
inline constexpr int32_t kDispPlayState = 10;    // playState
inline constexpr int32_t kDispError = 17;        // error: the error queue

// The controls object.
inline constexpr int32_t kDispPlay = 51;   // play()
inline constexpr int32_t kDispStop = 52;   // stop()
inline constexpr int32_t kDispPause = 53;  // pause()

// The settings object.
inline constexpr int32_t kDispAutoStart = 101;           // autoStart
inline constexpr int32_t kDispMute = 104;                // mute
inline constexpr int32_t kDispVolume = 107;              // volume
inline constexpr int32_t kDispEnableErrorDialogs = 112;  // enableErrorDialogs

// A media item.
inline constexpr int32_t kDispSourceUrl = 751;         // sourceURL
inline constexpr int32_t kDispDuration = 757;          // duration
inline constexpr int32_t kDispDurationString = 758;    // durationString
inline constexpr int32_t kDispAttributeCount = 759;    // attributeCount
inline constexpr int32_t kDispGetAttributeName = 760;  // getAttributeName(index)
inline constexpr int32_t kDispGetItemInfo = 761;       // getItemInfo(name)
inline constexpr int32_t kDispName = 764;              // name

// The error queue.
inline constexpr int32_t kDispClearErrorQueue = 851;  // clearErrorQueue()
inline constexpr int32_t kDispErrorCount = 852;       // errorCount
inline constexpr int32_t kDispErrorItem = 853;        // item(index): an error item

// An error item.
inline constexpr int32_t kDispErrorCode = 901;         // errorCode
inline constexpr int32_t kDispErrorDescription = 902;  // errorDescription

// Events, on kPlayerEventsId.
inline constexpr int32_t kEventOpenStateChange = 5001;  // OpenStateChange(newState)
inline constexpr int32_t kEventPlayStateChange = 5101;  // PlayStateChange(newState)
inline constexpr int32_t kEventError = 5501;            // Error()
inline constexpr int32_t kEventMediaChange = 5802;      // MediaChange(item)

}  // namespace player
