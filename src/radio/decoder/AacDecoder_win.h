// AAC through the system's Microsoft AAC decoder transform (Media
// Foundation, Windows 7 and later). Media Foundation is loaded when the
// first AAC stream needs it, never through the import table, so that the
// player loads and plays MP3 on systems without it (N and Server editions,
// stripped images); there an AAC stream gets "This system has no AAC
// decoder".
#pragma once

#include <windows.h>

#include <memory>

#include "radio/decoder/Decoder.h"

namespace radio {

// {32D186A7-218F-4C75-8876-DD77273A8999}
inline constexpr CLSID kClsidMsAacDecoder = {
    0x32d186a7, 0x218f, 0x4c75, {0x88, 0x76, 0xdd, 0x77, 0x27, 0x3a, 0x89, 0x99}};

// Where the decoder comes from; the tests point these elsewhere to see what
// a system without Media Foundation or without the transform does.
struct CMfAacOptions {
    const wchar_t* pszMfPlat = L"mfplat.dll";
    CLSID clsid = kClsidMsAacDecoder;
};

class CMfRuntime;

// Makes CAacDecoder stages over the transform. Each decoder belongs to the
// thread that created it (it joins that thread's COM apartment, or enters
// the multithreaded one) and is used and destroyed there.
class CMfAacDecoderFactory : public IDecoderFactory {
public:
    explicit CMfAacDecoderFactory(CMfAacOptions options = {});
    ~CMfAacDecoderFactory() override;
    CMfAacDecoderFactory(const CMfAacDecoderFactory&) = delete;
    CMfAacDecoderFactory& operator=(const CMfAacDecoderFactory&) = delete;

    // Null with AacDecoderMissing when Media Foundation or the transform is
    // not there; null with UnsupportedFormat for a codec that is not AAC.
    std::unique_ptr<IDecoder> Create(CodecKind kind, CRadioFailure& failure) override;

private:
    CMfAacOptions m_options;
    // Loaded once, on the first AAC stream, and kept: loading it again for
    // every station would cost a start-up each time.
    std::shared_ptr<CMfRuntime> m_pRuntime;
    bool m_bTried = false;
};

}  // namespace radio
