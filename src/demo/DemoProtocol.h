// The demo UI's side of the wire: command frames out, event frames in, and
// one readable line per event. Platform-free, so it can be tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CAmfMessage;
class CAmfValue;

namespace demo {

// One command as the UI sends it: an array whose "type" member names the
// command and whose "data" member, when given, carries its argument. The
// length in the header is little-endian in this direction. Empty on failure.
std::vector<uint8_t> EncodeCommandFrame(const std::string& type,
                                        const std::optional<std::string>& data);

// Splits the helper's byte stream into payloads. The length in the header is
// big-endian in this direction; the magic is not checked, as the helper does
// not check it either.
class CEventFrameReader {
public:
    // Larger announcements can only be a broken stream.
    static constexpr uint32_t kMaxPayload = 16u * 1024 * 1024;

    void Append(const uint8_t* data, size_t size);
    // Moves the next complete payload into payload. False when none is
    // complete yet, or when the stream is broken (see IsBroken).
    bool Next(std::vector<uint8_t>& payload);
    bool IsBroken() const { return m_bBroken; }

private:
    std::vector<uint8_t> m_buffer;
    size_t m_nConsumed = 0;
    bool m_bBroken = false;
};

// A decoded event, ready to show: the line is "<type> <data>", e.g.
// `wmpStatusEvent 3 (playing)` or `wmpMediaEvent {Title: "Song"}`.
struct CEventText {
    std::string m_strType;  // empty when the payload was not an event
    std::string m_strLine;
    const CAmfValue* m_pData = nullptr;  // the event's data, inside the message
};

// Decodes payload into message, which must be empty and outlive the result.
CEventText DescribeEvent(const std::vector<uint8_t>& payload, CAmfMessage& message);

// A value in the notation of the protocol document: strings quoted,
// associative members as {key: value}, dense elements as [a, b].
std::string DescribeValue(const CAmfValue& value);

// The name of a play state, or an empty text for an unknown one.
const char* PlayStateName(int32_t state);

}  // namespace demo
