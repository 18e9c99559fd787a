#include "radio/decoder/AacDecoder.h"

namespace radio {

namespace {

constexpr int kAscRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                               22050, 16000, 12000, 11025, 8000,  7350};

// MSB-first bits of a bounded buffer; reading past the end gives zeros and
// marks the reader, so that a short frame is refused, never overrun.
class CBitReader {
public:
    CBitReader(const uint8_t* data, size_t bytes) : m_pData(data), m_nBits(bytes * 8) {}
    uint32_t Read(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            value <<= 1;
            if (m_nPos >= m_nBits) {
                m_bOver = true;
                continue;
            }
            value |= (m_pData[m_nPos / 8] >> (7 - m_nPos % 8)) & 1u;
            ++m_nPos;
        }
        return value;
    }
    bool Over() const { return m_bOver; }

private:
    const uint8_t* m_pData;
    size_t m_nBits;
    size_t m_nPos = 0;
    bool m_bOver = false;
};

// audioObjectType, samplingFrequency and channelConfiguration at the head
// of an AudioSpecificConfig.
std::optional<CLatmConfig> ReadAscHead(CBitReader& bits) {
    uint32_t objectType = bits.Read(5);
    if (objectType == 31) {
        objectType = 32 + bits.Read(6);
    }
    const uint32_t rateIndex = bits.Read(4);
    CLatmConfig config;
    if (rateIndex == 0x0F) {
        config.nSampleRate = static_cast<int>(bits.Read(24));
    } else if (rateIndex < 13) {
        config.nSampleRate = kAscRates[rateIndex];
    }
    config.nChannels = static_cast<int>(bits.Read(4));
    if (bits.Over() || objectType == 0 || config.nSampleRate <= 0) {
        return std::nullopt;
    }
    return config;
}

bool IsAac(CodecKind kind) {
    return kind == CodecKind::AacAdts || kind == CodecKind::AacRaw || kind == CodecKind::AacLatm;
}

}  // namespace

std::optional<CLatmConfig> ParseLatmConfig(const uint8_t* frame, size_t bytes) {
    if (bytes <= kLoasHeaderBytes || !ParseLoasFrameBytes(frame)) {
        return std::nullopt;
    }
    CBitReader bits(frame + kLoasHeaderBytes, bytes - kLoasHeaderBytes);
    if (bits.Read(1) != 0) {
        return std::nullopt;  // useSameStreamMux: this frame carries no configuration
    }
    if (bits.Read(1) != 0) {
        return std::nullopt;  // audioMuxVersion 1: not seen on the air
    }
    bits.Read(1);  // allStreamsSameTimeFraming
    bits.Read(6);  // numSubFrames
    bits.Read(4);  // numProgram
    bits.Read(3);  // numLayer
    return ReadAscHead(bits);
}

CAacDecoder::CAacDecoder(std::unique_ptr<IAacTransform> transform)
    : m_pTransform(std::move(transform)) {}

bool CAacDecoder::Fail(RadioError error, CRadioFailure& failure) {
    m_bFailed = true;
    failure = MakeFailure(error);
    return false;
}

bool CAacDecoder::Open(const CCodecConfig& config, CRadioFailure& failure) {
    m_config = config;
    m_payload = AacPayloadFor(config.kind);
    m_bOpen = false;
    m_bConfigured = false;
    m_bFailed = false;
    m_dSilentSeconds = 0;
    m_format = {};
    if (!m_pTransform || !m_payload) {
        return Fail(RadioError::AacDecoderMissing, failure);
    }
    if (*m_payload == AacPayload::Raw) {
        // Raw access units say nothing about themselves: the container's
        // configuration is all there is.
        if (config.audioSpecificConfig.size() < 2) {
            return Fail(RadioError::AacDecodeFailed, failure);
        }
        CBitReader bits(config.audioSpecificConfig.data(), config.audioSpecificConfig.size());
        const auto head = ReadAscHead(bits);
        if (!head) {
            return Fail(RadioError::AacDecodeFailed, failure);
        }
        if (m_config.nSampleRate <= 0) {
            m_config.nSampleRate = head->nSampleRate;
        }
        if (m_config.nChannels <= 0) {
            m_config.nChannels = head->nChannels;
        }
    }
    m_bOpen = true;
    // With rate and configuration known the types are set now, so that a
    // transform that refuses the stream says so before any audio is read.
    if (m_config.nSampleRate > 0 &&
        (*m_payload != AacPayload::Adts || !m_config.audioSpecificConfig.empty())) {
        return Configure(nullptr, 0, failure);
    }
    return true;
}

bool CAacDecoder::Configure(const uint8_t* frame, size_t bytes, CRadioFailure& failure) {
    CAacInputType type;
    type.payload = *m_payload;
    type.nSampleRate = m_config.nSampleRate;
    type.nChannels = m_config.nChannels;
    std::vector<uint8_t> asc = m_config.audioSpecificConfig;
    if (frame != nullptr && type.payload == AacPayload::Adts) {
        const auto header = bytes >= kAdtsHeaderBytes ? ParseAdtsHeader(frame) : std::nullopt;
        if (!header) {
            return true;  // not a frame: wait for one
        }
        type.nSampleRate = header->nSampleRate;
        type.nChannels = header->nChannelConfig;
        asc = AdtsAudioSpecificConfig(*header);
    } else if (frame != nullptr && type.payload == AacPayload::Loas) {
        const auto latm = ParseLatmConfig(frame, bytes);
        if (!latm) {
            return true;  // frames before the first configuration cannot be decoded
        }
        type.nSampleRate = latm->nSampleRate;
        type.nChannels = latm->nChannels;
    }
    // Channel configuration 0 (a program config element inside the stream)
    // is most often stereo; the decoder reports the truth as a stream change.
    if (type.nChannels <= 0 || type.nChannels > 8) {
        type.nChannels = 2;
    }
    type.userData = BuildHeAacUserData(type.payload, asc);
    if (!m_pTransform->SetInputType(type)) {
        return Fail(RadioError::AacDecoderMissing, failure);
    }
    if (!m_pTransform->SetPcmOutput(m_format)) {
        return Fail(RadioError::AacDecoderMissing, failure);
    }
    m_config.nSampleRate = type.nSampleRate;
    m_config.nChannels = type.nChannels;
    m_bConfigured = true;
    return true;
}

double CAacDecoder::FrameSeconds(const uint8_t* frame, size_t bytes) const {
    int samples = kAacSamplesPerBlock;
    int rate = m_config.nSampleRate;
    if (*m_payload == AacPayload::Adts && bytes >= kAdtsHeaderBytes) {
        if (const auto header = ParseAdtsHeader(frame)) {
            samples = kAacSamplesPerBlock * header->nBlocks;
            rate = header->nSampleRate;
        }
    }
    // An unknown rate counts as the slowest common one, so that a stream
    // that never configures still ends in an error rather than silence.
    return static_cast<double>(samples) / (rate > 0 ? rate : 48000);
}

bool CAacDecoder::Decode(const uint8_t* frames, size_t bytes, IPcmSink& sink,
                         CRadioFailure& failure) {
    if (m_bFailed || !m_bOpen) {
        return Fail(m_bOpen ? RadioError::AacDecodeFailed : RadioError::AacDecoderMissing, failure);
    }
    if (*m_payload == AacPayload::Raw) {
        return bytes == 0 || DecodeFrame(frames, bytes, sink, failure);
    }
    // Cut at the headers; a stretch that is not a frame goes to the
    // transform whole and is skipped like any frame it cannot decode.
    size_t pos = 0;
    while (pos < bytes) {
        const size_t left = bytes - pos;
        std::optional<size_t> size;
        if (*m_payload == AacPayload::Adts) {
            if (left >= kAdtsHeaderBytes) {
                if (const auto header = ParseAdtsHeader(frames + pos)) {
                    size = header->nFrameBytes;
                }
            }
        } else if (left >= kLoasHeaderBytes) {
            size = ParseLoasFrameBytes(frames + pos);
        }
        const size_t take = size && *size <= left ? *size : left;
        if (!DecodeFrame(frames + pos, take, sink, failure)) {
            return false;
        }
        pos += take;
    }
    return true;
}

bool CAacDecoder::DecodeFrame(const uint8_t* frame, size_t bytes, IPcmSink& sink,
                              CRadioFailure& failure) {
    if (!m_bConfigured) {
        if (!Configure(frame, bytes, failure)) {
            return false;
        }
    }
    m_dSilentSeconds += FrameSeconds(frame, bytes);
    if (!m_bConfigured) {
        ++m_nSkipped;
    } else {
        TransformStatus status = m_pTransform->ProcessInput(frame, bytes);
        if (status == TransformStatus::NotAccepting) {
            // Full: what it holds must come out before it takes more.
            if (!Pull(sink, failure)) {
                return false;
            }
            status = m_pTransform->ProcessInput(frame, bytes);
        }
        switch (status) {
            case TransformStatus::Ok:
                if (!Pull(sink, failure)) {
                    return false;
                }
                break;
            case TransformStatus::BadData:
                ++m_nSkipped;
                break;
            default:
                return Fail(RadioError::AacDecodeFailed, failure);
        }
    }
    if (m_dSilentSeconds >= kMaxSilentSeconds) {
        return Fail(RadioError::AacDecodeFailed, failure);
    }
    return true;
}

bool CAacDecoder::Pull(IPcmSink& sink, CRadioFailure& failure) {
    int changes = 0;
    while (true) {
        m_pcm.clear();
        switch (m_pTransform->ProcessOutput(m_pcm)) {
            case TransformStatus::Ok:
                if (m_pcm.empty()) {
                    return true;
                }
                changes = 0;
                m_dSilentSeconds = 0;
                if (!sink.OnPcm(m_format, m_pcm.data(), m_pcm.size())) {
                    // Cancelled, or the output failed: the sink said why.
                    return false;
                }
                break;
            case TransformStatus::StreamChange:
                // HE-AAC finds its real rate, PS its second channel, a few
                // frames in. The transform keeps the decoded audio until the
                // new type is set, so nothing is lost across the change.
                if (++changes > kMaxChangesInARow || !m_pTransform->SetPcmOutput(m_format)) {
                    return Fail(RadioError::AacDecodeFailed, failure);
                }
                break;
            case TransformStatus::BadData:
                ++m_nSkipped;
                return true;
            case TransformStatus::NeedInput:
            case TransformStatus::NotAccepting:
                return true;
            case TransformStatus::Failed:
                return Fail(RadioError::AacDecodeFailed, failure);
        }
    }
}

bool CAacDecoder::Drain(IPcmSink& sink, CRadioFailure& failure) {
    if (m_bFailed) {
        return Fail(RadioError::AacDecodeFailed, failure);
    }
    if (!m_bConfigured) {
        return true;
    }
    m_pTransform->Drain();
    return Pull(sink, failure);
}

void CAacDecoder::Reset() {
    if (m_bConfigured) {
        m_pTransform->Flush();
    }
    m_dSilentSeconds = 0;
}

std::unique_ptr<IDecoder> CCodecDecoderFactory::Create(CodecKind kind, CRadioFailure& failure) {
    if (IsAac(kind)) {
        if (!m_pAac) {
            failure = MakeFailure(RadioError::AacDecoderMissing);
            return nullptr;
        }
        return m_pAac->Create(kind, failure);
    }
    if (!m_pMp3) {
        failure = MakeFailure(RadioError::DecoderMissing);
        return nullptr;
    }
    return m_pMp3->Create(kind, failure);
}

}  // namespace radio
