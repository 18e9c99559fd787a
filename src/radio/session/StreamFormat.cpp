#include "radio/session/StreamFormat.h"

#include <algorithm>
#include <utility>

namespace radio {

std::u16string BoundedField(std::u16string text) {
    if (text.size() > kMaxFieldChars) {
        text.resize(kMaxFieldChars);
    }
    return text;
}

std::optional<std::u16string> CMetaReader::Feed(std::span<const uint8_t> data,
                                                std::vector<uint8_t>& audio) {
    m_blocks.clear();
    m_demuxer.Feed(data, audio, m_blocks);
    for (auto it = m_blocks.rbegin(); it != m_blocks.rend(); ++it) {
        if (const auto title = FindStreamTitle(*it)) {
            return BoundedField(DecodeMetaText(*title));
        }
    }
    return std::nullopt;
}

AudioKind SniffAudio(std::string_view contentType, std::span<const uint8_t> head, bool end) {
    if (LooksLikeWav(head)) {
        return AudioKind::Wav;
    }
    CCodecDetection detection = DetectCodec(contentType, head, end);
    if (detection.result != CCodecDetection::Result::Found) {
        // Frames that have not shown their followers yet: the label decides.
        if (const auto named = CodecForContentType(contentType)) {
            detection.kind = *named;
        }
    }
    switch (detection.kind) {
        case CodecKind::AacAdts:
        case CodecKind::AacRaw:
            return AudioKind::AacAdts;
        case CodecKind::AacLatm:
            return AudioKind::AacLatm;
        case CodecKind::Mp3:
            break;
    }
    return AudioKind::Mp3;
}

const char16_t* FileTypeFor(AudioKind kind) {
    switch (kind) {
        case AudioKind::Mp3:
            return u"mp3";
        case AudioKind::AacAdts:
        case AudioKind::AacLatm:
            return u"aac";
        case AudioKind::Wav:
            return u"wav";
    }
    return u"";
}

void CAudioFramer::Feed(std::span<const uint8_t> data) {
    if (m_kind == AudioKind::Mp3) {
        m_scanner.Feed(data);
        return;
    }
    if (m_kind != AudioKind::Wav) {
        m_aac.Feed(data);
        return;
    }
    if (m_nPos > 0 && m_nPos * 2 >= m_pending.size()) {
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<ptrdiff_t>(m_nPos));
        m_nPos = 0;
    }
    m_pending.insert(m_pending.end(), data.begin(), data.end());
}

void CAudioFramer::Finish() {
    m_bFinished = true;
    m_scanner.Finish();
    m_aac.Finish();
}

CAudioFramer::Step CAudioFramer::Next(CCodedUnit& unit) {
    switch (m_kind) {
        case AudioKind::Mp3:
            return NextMp3(unit);
        case AudioKind::Wav:
            return NextWav(unit);
        case AudioKind::AacAdts:
        case AudioKind::AacLatm:
            break;
    }
    return NextAac(unit);
}

CAudioFramer::Step CAudioFramer::NextAac(CCodedUnit& unit) {
    const auto frame = m_aac.NextFrame();
    if (!frame) {
        return m_aac.Failed() ? Step::NotAudio : Step::NeedMore;
    }
    m_bReady = true;
    unit.bytes.assign(frame->begin(), frame->end());
    // LATM carries its rate inside; a typical frame's time is near enough
    // for counting the read-ahead.
    int64_t us = int64_t{kAacSamplesPerBlock} * 1000000 / 44100;
    if (m_kind == AudioKind::AacAdts && frame->size() >= kAdtsHeaderBytes) {
        if (const auto header = ParseAdtsHeader(frame->data())) {
            us = int64_t{kAacSamplesPerBlock} * header->nBlocks * 1000000 / header->nSampleRate;
            m_aacMeter.Add(frame->size(), kAacSamplesPerBlock * header->nBlocks,
                           header->nSampleRate);
        }
    }
    unit.nDurationUs = us;
    unit.bDiscontinuity = false;
    return Step::Unit;
}

CAudioFramer::Step CAudioFramer::NextMp3(CCodedUnit& unit) {
    const auto frame = m_scanner.NextFrame();
    if (!frame) {
        return m_scanner.Failed() ? Step::NotAudio : Step::NeedMore;
    }
    const CMp3FrameInfo& info = m_scanner.Info();
    m_bReady = true;
    unit.bytes.assign(frame->begin(), frame->end());
    unit.nDurationUs =
        info.nSampleRate > 0 ? int64_t{info.nSamplesPerFrame} * 1000000 / info.nSampleRate : 0;
    unit.bDiscontinuity = false;
    return Step::Unit;
}

CAudioFramer::Step CAudioFramer::NextWav(CCodedUnit& unit) {
    const std::span<const uint8_t> held(m_pending.data() + m_nPos, m_pending.size() - m_nPos);
    if (!m_bReady) {
        const WavParse parse = ParseWavHeader(held, m_wav);
        if (parse == WavParse::Unsupported) {
            return Step::NotAudio;
        }
        if (parse == WavParse::NeedMore) {
            return m_bFinished || held.size() > kMaxWavHeaderBytes ? Step::NotAudio
                                                                   : Step::NeedMore;
        }
        m_bReady = true;
        const bool bounded = m_wav.nDataBytes != 0 && m_wav.nDataBytes != 0xFFFFFFFFu;
        m_nWavLeft = bounded ? m_wav.nDataBytes : UINT64_MAX;
        m_nPos += std::min(m_wav.nDataOffset, held.size());
        return NextWav(unit);
    }
    const size_t frameBytes =
        static_cast<size_t>(m_wav.nBitsPerSample / 8) * static_cast<size_t>(m_wav.nChannels);
    // Blocks of about 100 ms: small enough to start quickly, large enough
    // not to cost a unit per sample.
    const size_t block =
        std::max<size_t>(frameBytes, static_cast<size_t>(m_wav.nSampleRate / 10) * frameBytes);
    size_t take = static_cast<size_t>(std::min<uint64_t>(held.size(), m_nWavLeft));
    if (take < block && !m_bFinished && take < m_nWavLeft) {
        return Step::NeedMore;
    }
    take = std::min(take, block);
    take -= take % frameBytes;
    if (take == 0) {
        return Step::NeedMore;
    }
    unit.bytes.assign(held.begin(), held.begin() + static_cast<ptrdiff_t>(take));
    unit.nDurationUs = static_cast<int64_t>(take / frameBytes) * 1000000 / m_wav.nSampleRate;
    unit.bDiscontinuity = false;
    m_nPos += take;
    m_nWavLeft -= take;
    return Step::Unit;
}

CCodecConfig CAudioFramer::Config() const {
    CCodecConfig config;
    if (m_kind == AudioKind::AacAdts || m_kind == AudioKind::AacLatm) {
        config.kind = m_kind == AudioKind::AacAdts ? CodecKind::AacAdts : CodecKind::AacLatm;
        if (m_kind == AudioKind::AacAdts) {
            const CAdtsHeader& header = m_aac.Adts();
            config.nSampleRate = header.nSampleRate;
            config.nChannels = header.nChannelConfig;
            config.audioSpecificConfig = AdtsAudioSpecificConfig(header);
        }
        return config;
    }
    config.kind = CodecKind::Mp3;
    const CMp3FrameInfo& info = m_scanner.Info();
    config.nSampleRate = info.nSampleRate;
    config.nChannels = info.nChannels;
    config.nBitrateKbps = info.nBitrate;
    config.nFrameBytes = info.nFrameBytes;
    return config;
}

int CAudioFramer::Bitrate() const {
    if (m_kind == AudioKind::Mp3) {
        return m_scanner.Info().nBitrate * 1000;
    }
    if (m_kind != AudioKind::Wav) {
        // What the frames so far measure; a station's icy-br is preferred.
        return m_aacMeter.Kbps() * 1000;
    }
    return m_wav.nSampleRate * m_wav.nChannels * m_wav.nBitsPerSample;
}

}  // namespace radio
