#include "radio/decoder/AcmDecoder_win.h"

#include <algorithm>
#include <cstring>

namespace radio {

bool CAcmDecoder::Open(const CCodecConfig& config, CRadioFailure& failure) {
    // A decoder reused for the next stream must not leak the last stream's
    // handle or carry its bytes over.
    Close();
    failure = MakeFailure(RadioError::DecoderMissing);
    if (config.kind != CodecKind::Mp3 || config.nSampleRate <= 0 || config.nChannels <= 0 ||
        config.nChannels > 2 || config.nFrameBytes == 0 || config.nFrameBytes > 0xFFFF) {
        return false;
    }
    MPEGLAYER3WAVEFORMAT source{};
    source.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    source.wfx.nChannels = static_cast<WORD>(config.nChannels);
    source.wfx.nSamplesPerSec = static_cast<DWORD>(config.nSampleRate);
    source.wfx.nAvgBytesPerSec = static_cast<DWORD>(config.nBitrateKbps * 1000 / 8);
    source.wfx.nBlockAlign = 1;
    source.wfx.wBitsPerSample = 0;
    source.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
    source.wID = MPEGLAYER3_ID_MPEG;
    source.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
    source.nBlockSize = static_cast<WORD>(config.nFrameBytes);
    source.nFramesPerBlock = 1;
    source.nCodecDelay = 0;
    WAVEFORMATEX target{};
    target.wFormatTag = WAVE_FORMAT_PCM;
    target.nChannels = static_cast<WORD>(config.nChannels);
    target.nSamplesPerSec = static_cast<DWORD>(config.nSampleRate);
    target.wBitsPerSample = 16;
    target.nBlockAlign = static_cast<WORD>(config.nChannels * 2);
    target.nAvgBytesPerSec = target.nSamplesPerSec * target.nBlockAlign;
    HACMSTREAM hStream = nullptr;
    if (::acmStreamOpen(&hStream, nullptr, &source.wfx, &target, nullptr, 0, 0,
                        ACM_STREAMOPENF_NONREALTIME) != MMSYSERR_NOERROR) {
        return false;
    }
    m_hStream.Attach(hStream);
    m_source.resize(kSourceBytes);
    // Room for every frame the source buffer can hold, with the largest
    // frames (1152 samples) and some slack for the decoder's delay.
    m_target.resize((kSourceBytes / 96 + 4) * 1152 * target.nBlockAlign);
    m_header = {};
    m_header.cbStruct = sizeof m_header;
    m_header.pbSrc = m_source.data();
    m_header.cbSrcLength = static_cast<DWORD>(m_source.size());
    m_header.pbDst = m_target.data();
    m_header.cbDstLength = static_cast<DWORD>(m_target.size());
    if (::acmStreamPrepareHeader(m_hStream.Get(), &m_header, 0) != MMSYSERR_NOERROR) {
        m_hStream.Close();
        return false;
    }
    m_bPrepared = true;
    m_bStarted = false;
    m_nFill = 0;
    m_format = {config.nSampleRate, config.nChannels};
    failure = {};
    return true;
}

bool CAcmDecoder::Decode(const uint8_t* frames, size_t bytes, IPcmSink& sink,
                         CRadioFailure& failure) {
    return Convert(frames, bytes, false, sink, failure);
}

bool CAcmDecoder::Drain(IPcmSink& sink, CRadioFailure& failure) {
    return Convert(nullptr, 0, true, sink, failure);
}

void CAcmDecoder::Reset() {
    m_nFill = 0;
    // The codec keeps the previous frame's overlap; starting afresh keeps it
    // from being mixed into the first frame after the gap.
    m_bStarted = false;
}

bool CAcmDecoder::Convert(const uint8_t* data, size_t bytes, bool last, IPcmSink& sink,
                          CRadioFailure& failure) {
    if (!m_bPrepared) {
        failure = MakeFailure(RadioError::DecoderMissing);
        return false;
    }
    size_t pos = 0;
    while (pos < bytes || (last && m_nFill > 0)) {
        const size_t take = std::min(bytes - pos, m_source.size() - m_nFill);
        if (take > 0) {
            std::memcpy(m_source.data() + m_nFill, data + pos, take);
        }
        m_nFill += take;
        pos += take;
        m_header.cbSrcLength = static_cast<DWORD>(m_nFill);
        m_header.cbDstLength = static_cast<DWORD>(m_target.size());
        DWORD flags = ACM_STREAMCONVERTF_BLOCKALIGN;
        if (!m_bStarted) {
            flags |= ACM_STREAMCONVERTF_START;
        }
        if (last && pos == bytes) {
            flags = (flags & ~ACM_STREAMCONVERTF_BLOCKALIGN) | ACM_STREAMCONVERTF_END;
        }
        if (::acmStreamConvert(m_hStream.Get(), &m_header, flags) != MMSYSERR_NOERROR) {
            failure = MakeFailure(RadioError::DecoderMissing);
            return false;
        }
        m_bStarted = true;
        const size_t used = std::min<size_t>(m_header.cbSrcLengthUsed, m_nFill);
        const size_t samples =
            std::min<size_t>(m_header.cbDstLengthUsed, m_target.size()) / sizeof(int16_t);
        const auto* out = reinterpret_cast<const int16_t*>(m_target.data());
        if (samples > 0 && !sink.OnPcm(m_format, out, samples)) {
            // The sink stopped us; what it refused is not ours to keep.
            m_nFill = 0;
            return false;
        }
        std::memmove(m_source.data(), m_source.data() + used, m_nFill - used);
        m_nFill -= used;
        if (used == 0 && samples == 0) {
            // Nothing taken and nothing given: with a full buffer the decoder
            // is stuck; otherwise it waits for more input.
            if (m_nFill == m_source.size()) {
                failure = MakeFailure(RadioError::DecoderMissing);
                return false;
            }
            if (last && pos == bytes) {
                m_nFill = 0;
            }
            if (pos == bytes) {
                break;
            }
        }
    }
    return true;
}

void CAcmDecoder::Close() {
    if (m_bPrepared) {
        // Unpreparing wants the lengths the header was prepared with.
        m_header.cbSrcLength = static_cast<DWORD>(m_source.size());
        m_header.cbDstLength = static_cast<DWORD>(m_target.size());
        ::acmStreamUnprepareHeader(m_hStream.Get(), &m_header, 0);
        m_bPrepared = false;
    }
    m_hStream.Close();
    m_nFill = 0;
    m_bStarted = false;
}

std::unique_ptr<IDecoder> CWinDecoderFactory::Create(CodecKind kind, CRadioFailure& failure) {
    if (kind == CodecKind::Mp3) {
        return std::make_unique<CAcmDecoder>();
    }
    return m_aac.Create(kind, failure);
}

void WarmUpAcm() {
    CCodecConfig config;
    config.kind = CodecKind::Mp3;
    config.nSampleRate = 44100;
    config.nChannels = 2;
    config.nBitrateKbps = 128;
    config.nFrameBytes = 417;
    CAcmDecoder decoder;
    CRadioFailure failure;
    decoder.Open(config, failure);
}

}  // namespace radio
