// What the segment readers hand to the decoder stage: compressed audio in
// one of three shapes, with timed titles beside it. Platform-free, so that a
// decoder can take it without knowing which container it came from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "radio/decoder/Decoder.h"

namespace radio::hls {

enum class CodedFormat {
    None,
    AdtsAac,    // each frame is one whole ADTS frame, header included
    RawAac,     // each frame is one raw access unit; CCodedAudio::asc configures it
    MpegAudio,  // elementary MPEG audio bytes, to be cut by the MP3 frame scanner
};

// Timestamps are on the 90 kHz clock of MPEG-TS; kNoPts where none is known.
inline constexpr int64_t kNoPts = -1;

struct CCodedAudio {
    CodedFormat format = CodedFormat::None;
    // The AudioSpecificConfig: RawAac's from the container, AdtsAac's built
    // from the first frame's header.
    std::vector<uint8_t> asc;
    int nSampleRate = 0;  // 0 when the container does not say
    int nChannels = 0;
};

struct CCodedFrame {
    std::vector<uint8_t> bytes;
    int64_t nPts = kNoPts;
};

struct CTimedTitle {
    std::u16string strTitle;  // "artist - title", or the title alone
    int64_t nPts = kNoPts;
};

// What reading (part of) one segment gave. The readers append to it.
struct CDemuxOutput {
    CCodedAudio audio;
    std::vector<CCodedFrame> frames;
    std::vector<CTimedTitle> titles;
};

// What the decoder stage is opened with; nullopt before the format is known.
inline std::optional<CCodecConfig> CodecConfigFor(const CCodedAudio& audio) {
    CCodecConfig config;
    switch (audio.format) {
        case CodedFormat::None:
            return std::nullopt;
        case CodedFormat::AdtsAac:
            config.kind = CodecKind::AacAdts;
            break;
        case CodedFormat::RawAac:
            config.kind = CodecKind::AacRaw;
            break;
        case CodedFormat::MpegAudio:
            config.kind = CodecKind::Mp3;
            break;
    }
    config.nSampleRate = audio.nSampleRate;
    config.nChannels = audio.nChannels;
    config.audioSpecificConfig = audio.asc;
    return config;
}

}  // namespace radio::hls
