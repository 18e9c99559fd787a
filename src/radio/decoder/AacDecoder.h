// The AAC decoder stage over the system's decoder transform. What the
// transform is told, how frames are fed, what a change of output format and
// a frame it cannot decode do, is decided here, platform-free; the transform
// itself sits behind IAacTransform (Media Foundation on Windows, a fake in
// the tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "radio/decoder/AacFormat.h"
#include "radio/decoder/Decoder.h"

namespace radio {

struct CAacInputType {
    AacPayload payload = AacPayload::Adts;
    int nSampleRate = 0;
    int nChannels = 0;
    std::vector<uint8_t> userData;  // BuildHeAacUserData
};

enum class TransformStatus {
    Ok,            // input taken; or output produced (possibly none yet)
    NeedInput,     // no more output until more input comes
    NotAccepting,  // input refused until the output is drained
    StreamChange,  // the output format changed: set the output type again
    BadData,       // this input could not be decoded; the transform goes on
    Failed,        // the transform no longer works
};

// The few calls of a decoder transform the stage uses.
class IAacTransform {
public:
    virtual ~IAacTransform() = default;
    // False when the transform does not take this input (a payload type it
    // does not know, a configuration it refuses).
    virtual bool SetInputType(const CAacInputType& type) = 0;
    // Chooses 16-bit PCM among the output types the transform offers now;
    // the chosen format in format.
    virtual bool SetPcmOutput(CPcmFormat& format) = 0;
    virtual TransformStatus ProcessInput(const uint8_t* frame, size_t bytes) = 0;
    // Appends decoded interleaved samples (in the format last chosen) to pcm.
    virtual TransformStatus ProcessOutput(std::vector<int16_t>& pcm) = 0;
    // The end of the input: what is held comes out of ProcessOutput.
    virtual void Drain() = 0;
    // Forgets what is held; the types stay.
    virtual void Flush() = 0;
};

// Rate and channels from the StreamMuxConfig of a LOAS frame that carries
// one (audioMuxVersion 0, the form broadcasters use).
struct CLatmConfig {
    int nSampleRate = 0;
    int nChannels = 0;
};
std::optional<CLatmConfig> ParseLatmConfig(const uint8_t* frame, size_t bytes);

// IDecoder for AAC. ADTS and LOAS input may hold several frames, cut at
// their headers; raw input is one access unit per call. A frame the
// transform refuses or cannot decode is skipped; the stage fails (with
// AacDecodeFailed) only when 2 s of stream went in and no sample came out.
class CAacDecoder : public IDecoder {
public:
    static constexpr double kMaxSilentSeconds = 2.0;
    // Stream changes one after another without output: a transform that
    // keeps asking is broken.
    static constexpr int kMaxChangesInARow = 8;

    explicit CAacDecoder(std::unique_ptr<IAacTransform> transform);

    bool Open(const CCodecConfig& config, CRadioFailure& failure) override;
    bool Decode(const uint8_t* frames, size_t bytes, IPcmSink& sink,
                CRadioFailure& failure) override;
    bool Drain(IPcmSink& sink, CRadioFailure& failure) override;
    void Reset() override;

    // Frames skipped because the transform refused or could not decode them.
    int SkippedFrames() const { return m_nSkipped; }
    const CPcmFormat& Format() const { return m_format; }

private:
    // Sets the types once rate and channels are known (from the
    // configuration, or the first frame that says).
    bool Configure(const uint8_t* frame, size_t bytes, CRadioFailure& failure);
    bool DecodeFrame(const uint8_t* frame, size_t bytes, IPcmSink& sink, CRadioFailure& failure);
    // Takes everything the transform has ready and hands it on.
    bool Pull(IPcmSink& sink, CRadioFailure& failure);
    double FrameSeconds(const uint8_t* frame, size_t bytes) const;
    bool Fail(RadioError error, CRadioFailure& failure);

    std::unique_ptr<IAacTransform> m_pTransform;
    CCodecConfig m_config;
    std::optional<AacPayload> m_payload;
    bool m_bOpen = false;
    bool m_bConfigured = false;
    bool m_bFailed = false;
    CPcmFormat m_format;
    std::vector<int16_t> m_pcm;
    double m_dSilentSeconds = 0;  // stream fed since the last sample came out
    int m_nSkipped = 0;
};

// Routes each codec to the factory that makes it: MP3 to one, AAC to the
// other, so that the session keeps one factory.
class CCodecDecoderFactory : public IDecoderFactory {
public:
    CCodecDecoderFactory(std::unique_ptr<IDecoderFactory> mp3, std::unique_ptr<IDecoderFactory> aac)
        : m_pMp3(std::move(mp3)), m_pAac(std::move(aac)) {}
    std::unique_ptr<IDecoder> Create(CodecKind kind, CRadioFailure& failure) override;

private:
    std::unique_ptr<IDecoderFactory> m_pMp3;
    std::unique_ptr<IDecoderFactory> m_pAac;
};

}  // namespace radio
