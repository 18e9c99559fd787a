#include "radio/PlayerProperties.h"

#include <array>
#include <cstring>

namespace radio {

namespace {

enum Tag : uint16_t { kI4 = 3, kR8 = 5, kBstr = 8, kBool = 11 };

// The type of each value, in stream order: URL, rate, balance,
// currentPosition, defaultFrame, playCount, autoStart, currentMarker,
// invokeURLs, baseURL, volume, mute, uiMode, stretchToFit, windowlessVideo,
// enabled, enableContextMenu, fullScreen, SAMIStyle, SAMILang, SAMIFilename,
// captioningID, enableErrorDialogs.
constexpr std::array<uint16_t, kPersistValueCount> kTags = {
    kBstr, kR8,   kI4,   kR8,   kBstr, kI4,   kBool, kI4,   kBool, kBstr, kI4,  kBool,
    kBstr, kBool, kBool, kBool, kBool, kBool, kBstr, kBstr, kBstr, kBstr, kBool};
enum Index { kUrl = 0, kAutoStart = 6, kVolume = 10, kMute = 11, kUiMode = 12, kErrorDialogs = 22 };

constexpr uint8_t kHeader[8] = {0, 0, 0, 0, 0, 3, 0, 0};

struct CValue {
    std::u16string strText;
    int32_t nValue = 0;
    bool bValue = false;
};

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutLe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

}  // namespace

bool ReadPlayerProperties(const std::function<bool(uint8_t*, size_t)>& read,
                          CPlayerProperties& props) {
    uint8_t header[8];
    if (!read(header, sizeof header)) {
        return false;
    }
    std::array<CValue, kPersistValueCount> values;
    for (size_t i = 0; i < kPersistValueCount; ++i) {
        uint8_t tagBytes[2];
        if (!read(tagBytes, 2) || (tagBytes[0] | (tagBytes[1] << 8)) != kTags[i]) {
            return false;
        }
        uint8_t buf[8];
        switch (kTags[i]) {
            case kI4:
                if (!read(buf, 4)) {
                    return false;
                }
                values[i].nValue = static_cast<int32_t>(Le32(buf));
                break;
            case kR8:
                if (!read(buf, 8)) {
                    return false;
                }
                break;
            case kBool:
                if (!read(buf, 2)) {
                    return false;
                }
                values[i].bValue = (buf[0] | buf[1]) != 0;
                break;
            case kBstr: {
                if (!read(buf, 4)) {
                    return false;
                }
                // The length is in bytes and counts the terminating NUL; an
                // empty first string is written with length 0.
                const uint32_t bytes = Le32(buf);
                if (bytes > kMaxPersistStringBytes || bytes % 2 != 0) {
                    return false;
                }
                std::vector<uint8_t> text(bytes);
                if (bytes > 0 && !read(text.data(), bytes)) {
                    return false;
                }
                for (size_t k = 0; k + 1 < bytes; k += 2) {
                    const char16_t c = static_cast<char16_t>(text[k] | (text[k + 1] << 8));
                    if (c == 0) {
                        break;
                    }
                    values[i].strText.push_back(c);
                }
                break;
            }
        }
    }
    uint8_t extent[8];
    if (!read(extent, sizeof extent)) {
        return false;
    }
    props.strUrl = values[kUrl].strText;
    props.bAutoStart = values[kAutoStart].bValue;
    props.nVolume = values[kVolume].nValue;
    props.bMute = values[kMute].bValue;
    props.strUiMode = values[kUiMode].strText;
    props.bEnableErrorDialogs = values[kErrorDialogs].bValue;
    props.nWidth = static_cast<int32_t>(Le32(extent));
    props.nHeight = static_cast<int32_t>(Le32(extent + 4));
    return true;
}

std::vector<uint8_t> WritePlayerProperties(const CPlayerProperties& props) {
    std::vector<uint8_t> out(kHeader, kHeader + sizeof kHeader);
    for (size_t i = 0; i < kPersistValueCount; ++i) {
        PutLe16(out, kTags[i]);
        switch (kTags[i]) {
            case kI4: {
                int32_t value = 0;
                if (i == kVolume) {
                    value = props.nVolume;
                } else if (i == 5) {
                    value = 1;  // playCount
                }
                PutLe32(out, static_cast<uint32_t>(value));
                break;
            }
            case kR8: {
                const double value = i == 1 ? 1.0 : 0.0;  // rate 1, position 0
                uint64_t bits;
                std::memcpy(&bits, &value, sizeof bits);
                for (int k = 0; k < 8; ++k) {
                    out.push_back(static_cast<uint8_t>(bits >> (8 * k)));
                }
                break;
            }
            case kBool: {
                bool value = false;
                switch (i) {
                    case kAutoStart:
                        value = props.bAutoStart;
                        break;
                    case kMute:
                        value = props.bMute;
                        break;
                    case kErrorDialogs:
                        value = props.bEnableErrorDialogs;
                        break;
                    case 8:   // invokeURLs
                    case 15:  // enabled
                    case 16:  // enableContextMenu
                        value = true;
                        break;
                    default:
                        break;
                }
                PutLe16(out, value ? 0xFFFF : 0);
                break;
            }
            case kBstr: {
                const std::u16string text =
                    i == kUrl ? props.strUrl : (i == kUiMode ? props.strUiMode : u"");
                if (i == kUrl && text.empty()) {
                    PutLe32(out, 0);
                    break;
                }
                PutLe32(out, static_cast<uint32_t>((text.size() + 1) * 2));
                for (char16_t c : text) {
                    PutLe16(out, c);
                }
                PutLe16(out, 0);
                break;
            }
        }
    }
    PutLe32(out, static_cast<uint32_t>(props.nWidth));
    PutLe32(out, static_cast<uint32_t>(props.nHeight));
    return out;
}

}  // namespace radio
