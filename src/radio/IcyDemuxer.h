// Separates the in-band metadata of an ICY stream from its audio. Every
// metaInt audio bytes the server inserts one length byte (times 16) and that
// many bytes of "key='value';" text, usually padded with NULs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace radio {

// Intervals outside this range are not something a server would send for
// audio; a stream announcing one is treated as broken rather than trusted.
inline constexpr size_t kMinMetaInterval = 1;
inline constexpr size_t kMaxMetaInterval = 1u << 20;

class CIcyDemuxer {
public:
    // metaInt 0 means the stream carries no metadata: everything is audio.
    explicit CIcyDemuxer(size_t metaInt) : m_nMetaInt(metaInt), m_nUntilMeta(metaInt) {}

    // Appends the audio part of data to audio and every completed metadata
    // block (NUL padding removed) to blocks. Data may be cut anywhere.
    void Feed(std::span<const uint8_t> data, std::vector<uint8_t>& audio,
              std::vector<std::string>& blocks);

private:
    enum class Phase { Audio, Length, Meta };

    size_t m_nMetaInt;
    size_t m_nUntilMeta;
    size_t m_nMetaLeft = 0;
    Phase m_phase = Phase::Audio;
    std::string m_strBlock;
};

// The value of StreamTitle in a metadata block, if the block has one. Quotes
// inside the title are kept: a title ends only at "';" or the block's end.
std::optional<std::string> FindStreamTitle(std::string_view block);

// Servers send titles in UTF-8 or, older ones, Latin-1: valid UTF-8 is read
// as such, anything else byte by byte as Latin-1.
std::u16string DecodeMetaText(std::string_view text);

}  // namespace radio
