// The decoder stage on the system's ACM MP3 codec, and the factory that
// hands out decoders by codec.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>

#include <vector>

#include "framework/Handles.h"
#include "radio/decoder/AacDecoder_win.h"
#include "radio/decoder/Decoder.h"

namespace radio {

struct CAcmStreamTraits {
    using pointer = HACMSTREAM;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::acmStreamClose(h, 0); }
};
using CAcmStreamHandle = CUniqueHandle<CAcmStreamTraits>;

// MP3 frames to 16-bit PCM. Open closes what was open before, so that one
// decoder can serve stream after stream; Reset drops what is held.
class CAcmDecoder : public IDecoder {
public:
    CAcmDecoder() = default;
    CAcmDecoder(const CAcmDecoder&) = delete;
    CAcmDecoder& operator=(const CAcmDecoder&) = delete;
    ~CAcmDecoder() override { Close(); }

    bool Open(const CCodecConfig& config, CRadioFailure& failure) override;
    bool Decode(const uint8_t* frames, size_t bytes, IPcmSink& sink,
                CRadioFailure& failure) override;
    bool Drain(IPcmSink& sink, CRadioFailure& failure) override;
    void Reset() override;
    void Close();
    bool IsOpen() const { return m_bPrepared; }
    // Bytes taken in and not yet decoded.
    size_t Held() const { return m_nFill; }

private:
    static constexpr size_t kSourceBytes = 16 * 1024;

    bool Convert(const uint8_t* data, size_t bytes, bool last, IPcmSink& sink,
                 CRadioFailure& failure);

    CAcmStreamHandle m_hStream;
    ACMSTREAMHEADER m_header{};
    CPcmFormat m_format;
    bool m_bPrepared = false;
    bool m_bStarted = false;
    std::vector<uint8_t> m_source;
    std::vector<uint8_t> m_target;
    size_t m_nFill = 0;
};

// Decoders this system has: MP3 through ACM, AAC through the Media
// Foundation transform (loaded when the first AAC stream asks; without it
// AAC is refused with AacDecoderMissing).
class CWinDecoderFactory : public IDecoderFactory {
public:
    std::unique_ptr<IDecoder> Create(CodecKind kind, CRadioFailure& failure) override;

private:
    CMfAacDecoderFactory m_aac;
};

// Opens and closes an MP3 stream once, so that the codec is loaded before
// the first station needs it.
void WarmUpAcm();

}  // namespace radio
