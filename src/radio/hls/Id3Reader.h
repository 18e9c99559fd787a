// ID3v2 tags as HLS carries them: timed metadata in an MPEG-TS stream, and
// the tag at the head of every packed-audio segment. Only what makes a title
// is read (TIT2, TPE1, and Apple's PRIV timestamp that places packed audio on
// the TS clock); everything else is skipped by its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace radio::hls {

inline constexpr size_t kId3HeaderBytes = 10;
// A tag larger than this is skipped without being read: titles are short,
// and only cover art makes tags big.
inline constexpr size_t kMaxId3ParseBytes = 1u << 20;

enum class Id3Status { NotId3, NeedMore, Ok, Invalid };

struct CId3Tag {
    size_t nTagBytes = 0;  // header, body and footer: what to skip
    std::optional<std::u16string> title;
    std::optional<std::u16string> artist;
    // The 33-bit MPEG-TS timestamp of com.apple.streaming.transportStreamTimestamp.
    std::optional<int64_t> pts;
};

// The whole size of the tag that starts data, from its 10-byte header:
// NotId3 when data does not start with a tag header, NeedMore with fewer
// than 10 bytes, Invalid for a header with a bad version or size.
Id3Status Id3TagSize(std::span<const uint8_t> data, size_t& tagBytes);

// Reads the tag at the start of data. NeedMore until the whole tag is there
// (tag.nTagBytes then says how much that is). A frame that is damaged ends
// the reading but keeps what was read before it.
Id3Status ReadId3(std::span<const uint8_t> data, CId3Tag& tag);

// "artist - title" when both are there, the title alone otherwise, nullopt
// without a title.
std::optional<std::u16string> Id3DisplayTitle(const CId3Tag& tag);

}  // namespace radio::hls
