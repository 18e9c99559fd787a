// The control's persisted form: what a host's dialog template hands to
// IPersistStreamInit::Load, and what Save writes back. An 8-byte header,
// 23 values each behind a 16-bit variant type tag, then the extent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace radio {

struct CPlayerProperties {
    // The values that mean something for an audio player; the others (rate,
    // display, captions...) are read past and written back as defaults.
    std::u16string strUrl;
    bool bAutoStart = true;
    int32_t nVolume = 50;
    bool bMute = false;
    bool bEnableErrorDialogs = false;
    std::u16string strUiMode = u"full";
    int32_t nWidth = 11986;  // hundredths of a millimetre
    int32_t nHeight = 6376;
};

inline constexpr size_t kPersistValueCount = 23;
// Strings in the stream longer than this are refused rather than allocated.
inline constexpr uint32_t kMaxPersistStringBytes = 64 * 1024;

// Reads the form through read (which must deliver exactly the bytes asked
// for or fail), consuming exactly the form's bytes. False on a short stream,
// an unknown tag, a value of the wrong type or an oversized string; props is
// then unchanged.
bool ReadPlayerProperties(const std::function<bool(uint8_t*, size_t)>& read,
                          CPlayerProperties& props);

std::vector<uint8_t> WritePlayerProperties(const CPlayerProperties& props);

}  // namespace radio
