// HLS playlists (RFC 8216): master playlists with their variants and audio
// renditions, and media playlists with their segments, keys and init
// sections. Every URI comes out resolved against the address that served
// the playlist; a playlist from the network may only name http and https
// addresses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace radio::hls {

inline constexpr size_t kMaxHlsPlaylistBytes = 1u << 20;
// All URIs of a playlist together, once resolved: relative ones grow by
// the base address, which a redirect chose.
inline constexpr size_t kMaxHlsUriChars = 4u << 20;
inline constexpr size_t kMaxHlsSegments = 10000;
inline constexpr int64_t kMaxTargetDurationMs = 60 * 1000;
// Variants and renditions a master may list before it counts as hostile.
inline constexpr size_t kMaxHlsVariants = 256;
// Masters that lead to masters: the depth at which the chain is refused.
inline constexpr int kMaxMasterDepth = 3;

enum class HlsError {
    None,
    NotHls,                 // no #EXTM3U on the first line
    TooLarge,               // over kMaxHlsPlaylistBytes, or its URIs over kMaxHlsUriChars
    TooManySegments,        // over kMaxHlsSegments
    TooManyVariants,        // over kMaxHlsVariants
    TargetDurationTooLong,  // over kMaxTargetDurationMs
    NoTargetDuration,       // a media playlist without EXT-X-TARGETDURATION
    MixedPlaylist,          // both variants and segments
    BadByteRange,           // a byte range without offset and no range before it
    ForbiddenUri,           // a network playlist naming something else than http(s)
    Empty,                  // neither variants nor segments
};

// A short English description of the failure, for the error entry.
const char* HlsErrorText(HlsError error);

enum class KeyMethod { None, Aes128, SampleAes, Other };

struct CHlsKey {
    KeyMethod method = KeyMethod::None;
    std::u16string strUri;
    std::optional<std::array<uint8_t, 16>> iv;
    std::string strKeyFormat = "identity";

    bool operator==(const CHlsKey&) const = default;
};

struct CByteRange {
    uint64_t nLength = 0;
    uint64_t nOffset = 0;

    bool operator==(const CByteRange&) const = default;
};

struct CHlsMap {
    std::u16string strUri;
    std::optional<CByteRange> range;

    bool operator==(const CHlsMap&) const = default;
};

struct CHlsSegment {
    std::u16string strUri;
    int64_t nDurationMs = 0;
    std::u16string strTitle;  // EXTINF's title, UTF-8 decoded
    uint64_t nSequence = 0;
    uint64_t nDiscontinuitySequence = 0;
    bool bDiscontinuity = false;  // the decoder starts afresh before this one
    std::optional<CByteRange> range;
    // Shared by the segments they apply to, so that a long key or map URI is
    // held once however many segments follow it. Null: clear, and no init
    // segment.
    std::shared_ptr<const CHlsKey> pKey;
    std::shared_ptr<const CHlsMap> pMap;
};

struct CMediaPlaylist {
    int64_t nTargetDurationMs = 0;
    uint64_t nMediaSequence = 0;
    uint64_t nDiscontinuitySequence = 0;
    bool bEndList = false;
    std::vector<CHlsSegment> segments;
};

struct CHlsVariant {
    std::u16string strUri;
    uint64_t nBandwidth = 0;
    bool bHasCodecs = false;
    std::vector<std::string> codecs;  // as listed, lower case
    std::string strAudioGroup;
};

struct CHlsRendition {
    std::string strType;  // "AUDIO", "VIDEO", "SUBTITLES", "CLOSED-CAPTIONS"
    std::string strGroupId;
    std::u16string strName;
    std::u16string strUri;  // empty: the audio is in the variant itself
    bool bDefault = false;
};

struct CMasterPlaylist {
    std::vector<CHlsVariant> variants;
    std::vector<CHlsRendition> renditions;
};

struct CHlsPlaylist {
    HlsError error = HlsError::None;
    bool bMaster = false;
    CMasterPlaylist master;
    CMediaPlaylist media;
};

// Parses a playlist served from baseUrl (its address after redirects).
CHlsPlaylist ParseHlsPlaylist(std::span<const uint8_t> text, const std::u16string& baseUrl);

// What to play of a master, in the order to try.
struct CHlsChoice {
    std::u16string strUri;
    uint64_t nBandwidth = 0;
    std::u16string strName;  // the rendition's NAME, when one is chosen
};

enum class CodecSupport { Decodable, Undecodable, NotAudio };

// One entry of CODECS: AAC-LC (mp4a.40.2), HE-AAC v1 and v2 (mp4a.40.5,
// mp4a.40.29) and MP3 (mp4a.40.34, mp4a.6b) decode; other audio does not.
CodecSupport ClassifyCodec(std::string_view codec);

// The variants whose CODECS we can decode, highest BANDWIDTH first (audio-
// only ones before those that also carry video), then the ones without
// CODECS in the order listed. A variant whose AUDIO group has renditions
// with a URI plays its default rendition (else the group's first).
std::vector<CHlsChoice> ChooseVariants(const CMasterPlaylist& master);

}  // namespace radio::hls
