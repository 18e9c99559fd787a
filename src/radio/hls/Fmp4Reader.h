// Fragmented MP4 (CMAF) audio: the init segment that EXT-X-MAP names (moov,
// down to the AudioSpecificConfig in esds), then media segments of moof and
// mdat boxes, out of which come raw AAC frames with their sizes. Sizes are
// checked against what holds them at every level, so a box that lies about
// its size fails the segment instead of reading past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "radio/hls/CodedAudio.h"

namespace radio::hls {

enum class Mp4Error {
    None,
    Truncated,         // a box says it is larger than what holds it
    BadBox,            // a box smaller than its own header, or fields missing
    NoAudioTrack,      // no track with an mp4a sample entry
    Encrypted,         // an encrypted sample entry (enca): sample encryption
    UnsupportedCodec,  // audio, but not AAC-LC, HE-AAC or MPEG audio
    BadConfig,         // an esds without a usable AudioSpecificConfig
    BadFragment,       // samples outside the segment, or too many of them
};

struct CAudioSpecificConfig {
    int nObjectType = 0;           // as signalled first: 2 AAC-LC, 5 SBR, 29 PS
    int nCoreObjectType = 0;       // the object type under SBR or PS
    int nSampleRate = 0;           // of the core
    int nExtensionSampleRate = 0;  // of SBR, when signalled explicitly
    int nChannels = 0;             // 0: given by a program config element
};

std::optional<CAudioSpecificConfig> ParseAudioSpecificConfig(std::span<const uint8_t> asc);

struct CMp4AudioTrack {
    uint32_t nTrackId = 0;
    uint32_t nTimescale = 0;
    CCodedAudio audio;  // RawAac with its config, or MpegAudio
    CAudioSpecificConfig config;
    uint32_t nDefaultDuration = 0;  // from trex, for fragments that give none
    uint32_t nDefaultSize = 0;
};

inline constexpr size_t kMaxMp4SampleBytes = 1u << 20;
// Far more than any segment holds: 65536 AAC frames are 25 minutes at 44.1 kHz.
inline constexpr size_t kMaxMp4SamplesPerSegment = 1u << 16;

Mp4Error ReadInitSegment(std::span<const uint8_t> data, CMp4AudioTrack& track);

// Appends the track's samples of every moof/mdat pair in data to out, in
// order, and sets out.audio from the track. Samples must lie inside data,
// and together be no more than data. Other top-level boxes (styp,
// sidx, prft, emsg, an init segment's own boxes) are passed over.
Mp4Error ReadMediaSegment(std::span<const uint8_t> data, const CMp4AudioTrack& track,
                          CDemuxOutput& out);

}  // namespace radio::hls
