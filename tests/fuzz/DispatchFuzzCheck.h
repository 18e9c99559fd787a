// The properties the dispatcher's fuzz target checks, shared with the unit
// test that replays its seeds and saved inputs (tests/unit/fuzz).
//
// Input: byte 0 holds flags (bit 0: the frame has its player dialog; bit 1:
// the rest is not a payload but UTF-16 text, two bytes a unit, little-endian,
// for the volume scan alone); the rest is an AMF3 payload as the UI sends it.
//
// Properties:
//  - at most one operation runs, and only for a command: one top-level
//    array that carried members, whose "type" text is that operation's name;
//    the argument handed on is the "data" member's text, unchanged; "getURL"
//    never opens an empty text and "wmpPlay" never runs without a player;
//  - every command the table names runs (an independent reading of the
//    envelope says which);
//  - decoding and dispatching the same bytes again gives the same calls;
//  - the volume scan of any text agrees with the C library's strtoll over the
//    same text (saturated to 32 bits), leaves the value alone unless it
//    converts, and a converted value is always within the 32-bit range.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "amf/Amf.h"
#include "net/Dispatch.h"
#include "net/VolumeScan.h"

namespace dispatch_fuzz {

// Records each call with its argument; HasPlayerDialog queries are not calls.
class CRecordingTarget : public ICommandTarget {
public:
    explicit CRecordingTarget(bool hasPlayer) : m_bHasPlayer(hasPlayer) {}

    bool HasPlayerDialog() override { return m_bHasPlayer; }
    void PlayUrl(const std::u16string& url) override { Record("wmpPlay", url); }
    void StopPlayback() override { Record("wmpStop"); }
    void ApplyVolume(const std::u16string& text) override { Record("wmpSetVolume", text); }
    void ShowTouchKeyboard() override { Record("tipShow"); }
    void StylusShow() override { Record("stylusShow"); }
    void StylusHide() override { Record("stylusHide"); }
    void OpenUrl(const std::u16string& url) override { Record("getURL", url); }
    void LauncherMinimize() override { Record("launcherMinimize"); }
    void LauncherClose() override { Record("launcherClose"); }

    struct Call {
        std::u16string command;
        std::u16string argument;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> m_calls;

private:
    void Record(const char* command, const std::u16string& argument = {}) {
        m_calls.push_back(
            {std::u16string(command, command + std::char_traits<char>::length(command)), argument});
    }
    bool m_bHasPlayer;
};

// The call a message should cause, read from the envelope rules directly.
inline std::vector<CRecordingTarget::Call> Expected(const CAmfMessage& message, bool hasPlayer) {
    if (message.m_values.size() != 1)
        return {};
    const CAmfValue& root = *message.m_values.front();
    if (root.m_nType != AMF_ARRAY || !root.m_bHasMembers)
        return {};
    const auto type = root.m_members.find(u"type");
    if (type == root.m_members.end())
        return {};
    const std::u16string& name = type->second->m_strValue;
    const auto data = root.m_members.find(u"data");
    const bool hasData = data != root.m_members.end();
    const std::u16string text = hasData ? data->second->m_strValue : std::u16string();
    if (name == u"wmpPlay") {
        if (hasPlayer && hasData)
            return {{name, text}};
        return {};
    }
    if (name == u"wmpStop")
        return hasPlayer ? std::vector<CRecordingTarget::Call>{{name, {}}}
                         : std::vector<CRecordingTarget::Call>{};
    if (name == u"wmpSetVolume")
        return hasData ? std::vector<CRecordingTarget::Call>{{name, text}}
                       : std::vector<CRecordingTarget::Call>{};
    if (name == u"getURL")
        return hasData && !text.empty() ? std::vector<CRecordingTarget::Call>{{name, text}}
                                        : std::vector<CRecordingTarget::Call>{};
    for (const char16_t* plain :
         {u"tipShow", u"stylusShow", u"stylusHide", u"launcherMinimize", u"launcherClose"}) {
        if (name == plain)
            return {{name, {}}};
    }
    return {};
}

// The scan as the C library does it, on a narrow copy of the text in which
// every unit outside ASCII, and NUL, becomes 'x' (neither space, sign nor
// digit for either reader).
inline std::string CheckVolumeScan(const std::u16string& text) {
    std::string narrow;
    narrow.reserve(text.size());
    bool allSpace = true;
    for (char16_t c : text) {
        const char n = (c == 0 || c >= 0x80) ? 'x' : static_cast<char>(c);
        narrow.push_back(n);
        allSpace = allSpace && (n == ' ' || (n >= '\t' && n <= '\r'));
    }
    const int32_t sentinel = 0x5A5A5A5A;
    int32_t value = sentinel;
    const VolumeScanResult result = ScanVolume(text, value);
    if (allSpace) {
        if (result != VolumeScanResult::EndOfInput)
            return "blank text did not read as end of input";
        return value == sentinel ? "" : "end of input changed the value";
    }
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(narrow.c_str(), &end, 10);
    if (end == narrow.c_str()) {
        if (result != VolumeScanResult::NoConversion)
            return "text without a number converted";
        return value == sentinel ? "" : "a failed conversion changed the value";
    }
    if (result != VolumeScanResult::Converted)
        return "a number was not converted";
    const long long saturated = parsed > INT32_MAX   ? INT32_MAX
                                : parsed < INT32_MIN ? INT32_MIN
                                                     : parsed;
    if (value != saturated) {
        return "scanned " + std::to_string(value) + ", strtoll gives " + std::to_string(saturated);
    }
    return {};
}

inline std::string CheckDispatch(const uint8_t* data, size_t size) {
    if (size == 0)
        return {};
    const bool hasPlayer = (data[0] & 1) != 0;
    if ((data[0] & 2) != 0) {
        std::u16string text;
        for (size_t i = 1; i + 1 < size; i += 2) {
            text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
        }
        return CheckVolumeScan(text);
    }
    const std::vector<uint8_t> payload(data + 1, data + size);
    CRecordingTarget first(hasPlayer);
    std::vector<CRecordingTarget::Call> expected;
    {
        CAmfMessage message;
        if (!message.Decode(payload))
            return {};  // the receive path drops it
        expected = Expected(message, hasPlayer);
        DispatchCommand(message, first);
    }
    if (first.m_calls.size() > 1)
        return "one payload ran more than one operation";
    if (first.m_calls != expected) {
        return first.m_calls.empty() ? "a command ran nothing"
               : expected.empty()    ? "an operation ran for a message that is no command"
                                     : "the wrong operation or argument";
    }
    CRecordingTarget second(hasPlayer);
    {
        CAmfMessage message;
        if (!message.Decode(payload))
            return "the same bytes failed to decode the second time";
        DispatchCommand(message, second);
    }
    if (second.m_calls != first.m_calls)
        return "dispatching the same bytes twice differed";
    for (const auto& call : first.m_calls) {
        if (call.command == u"wmpSetVolume") {
            const std::string why = CheckVolumeScan(call.argument);
            if (!why.empty())
                return "volume: " + why;
        }
    }
    return {};
}

}  // namespace dispatch_fuzz
