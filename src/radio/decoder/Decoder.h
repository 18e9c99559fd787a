// The decoder stage: compressed frames in, 16-bit PCM out. The session owns
// one decoder per stream and never knows which codec is behind it, so that a
// new codec is a new class here and nothing else changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "radio/RadioErrors.h"

namespace radio {

enum class CodecKind {
    Mp3,      // MPEG audio layer III frames
    AacAdts,  // AAC frames, each with its ADTS header
    AacRaw,   // raw AAC frames; the AudioSpecificConfig says what they are
    AacLatm,  // LATM/LOAS: the configuration travels in the stream
};

// What the stream says about its audio before the first frame is decoded.
// The decoder may find out otherwise (HE-AAC doubles the rate, PS makes mono
// stereo) and says so through the format of the PCM it hands on.
struct CCodecConfig {
    CodecKind kind = CodecKind::Mp3;
    int nSampleRate = 0;
    int nChannels = 0;
    int nBitrateKbps = 0;    // MP3: as the first frame says
    size_t nFrameBytes = 0;  // MP3: the first frame's size, for the decoder's block size
    std::vector<uint8_t> audioSpecificConfig;  // AacRaw (and AacAdts, built from the header)
};

struct CPcmFormat {
    int nSampleRate = 0;
    int nChannels = 0;
    bool operator==(const CPcmFormat&) const = default;
};

// Where decoded audio goes. A format that differs from the previous call's
// means the output must be reopened before these samples are played; no
// sample is lost across such a change.
class IPcmSink {
public:
    virtual ~IPcmSink() = default;
    // count interleaved samples (frames * channels). False stops decoding:
    // the session was cancelled or the output failed.
    virtual bool OnPcm(const CPcmFormat& format, const int16_t* samples, size_t count) = 0;
};

class IDecoder {
public:
    virtual ~IDecoder() = default;
    virtual bool Open(const CCodecConfig& config, CRadioFailure& failure) = 0;
    // One or more whole frames. The decoder may hold some input back until
    // more arrives. A frame it cannot decode is skipped, not fatal; failure
    // is for a decoder that no longer works at all.
    virtual bool Decode(const uint8_t* frames, size_t bytes, IPcmSink& sink,
                        CRadioFailure& failure) = 0;
    // The end of the stream: hands on what the decoder still holds.
    virtual bool Drain(IPcmSink& sink, CRadioFailure& failure) = 0;
    // A discontinuity (a reconnect, a new segment sequence): forget what is
    // held, keep the configuration.
    virtual void Reset() = 0;
};

// Makes the decoder for a codec. Null, with the failure set, when this
// system cannot decode it (no ACM MP3 codec, no AAC transform).
class IDecoderFactory {
public:
    virtual ~IDecoderFactory() = default;
    virtual std::unique_ptr<IDecoder> Create(CodecKind kind, CRadioFailure& failure) = 0;
};

}  // namespace radio
