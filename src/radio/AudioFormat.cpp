#include "radio/AudioFormat.h"

#include <cstring>

namespace radio {

namespace {

constexpr int kBitratesV1[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                 112, 128, 160, 192, 224, 256, 320, 0};
constexpr int kBitratesV2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr int kRatesV1[3] = {44100, 48000, 32000};

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

std::optional<CMp3FrameInfo> ParseMp3Header(const uint8_t* h) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) {
        return std::nullopt;
    }
    const int versionBits = (h[1] >> 3) & 3;
    const int layerBits = (h[1] >> 1) & 3;
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (versionBits == 1 || layerBits != 1 || bitrateIndex == 0 || bitrateIndex == 15 ||
        rateIndex == 3 || (h[3] & 3) == 2) {
        return std::nullopt;
    }
    CMp3FrameInfo info;
    info.nVersion = versionBits == 3 ? 1 : (versionBits == 2 ? 2 : 25);
    info.nBitrate = info.nVersion == 1 ? kBitratesV1[bitrateIndex] : kBitratesV2[bitrateIndex];
    info.nSampleRate =
        kRatesV1[rateIndex] / (info.nVersion == 1 ? 1 : (info.nVersion == 2 ? 2 : 4));
    info.nChannels = (h[3] >> 6) == 3 ? 1 : 2;
    info.nSamplesPerFrame = info.nVersion == 1 ? 1152 : 576;
    const int padding = (h[2] >> 1) & 1;
    info.nFrameBytes =
        static_cast<size_t>(info.nSamplesPerFrame / 8 * info.nBitrate * 1000 / info.nSampleRate) +
        padding;
    return info;
}

void CMp3FrameScanner::Feed(std::span<const uint8_t> data) {
    // Drop what was consumed before appending, so that the buffer holds only
    // what is still to be read.
    if (m_nPos > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<ptrdiff_t>(m_nPos));
        m_nPos = 0;
    }
    size_t from = 0;
    if (m_nSkip > 0) {
        from = m_nSkip < data.size() ? m_nSkip : data.size();
        m_nSkip -= from;
    }
    m_buffer.insert(m_buffer.end(), data.begin() + static_cast<ptrdiff_t>(from), data.end());
}

bool CMp3FrameScanner::Compatible(const CMp3FrameInfo& frame) const {
    return frame.nVersion == m_info.nVersion && frame.nSampleRate == m_info.nSampleRate &&
           frame.nChannels == m_info.nChannels;
}

std::optional<bool> CMp3FrameScanner::Confirm(size_t pos, int count) const {
    const auto first = ParseMp3Header(m_buffer.data() + pos);
    if (!first) {
        return false;
    }
    size_t at = pos + first->nFrameBytes;
    for (int i = 0; i < count; ++i) {
        if (at + 4 > m_buffer.size()) {
            if (!m_bFinished) {
                return std::nullopt;
            }
            // At the end of the input a frame that is whole stands on its own
            // once the stream's kind is known or another frame came before.
            return at <= m_buffer.size() && (i > 0 || m_bHaveInfo);
        }
        const auto next = ParseMp3Header(m_buffer.data() + at);
        if (!next || next->nVersion != first->nVersion || next->nSampleRate != first->nSampleRate ||
            next->nChannels != first->nChannels) {
            return false;
        }
        at += next->nFrameBytes;
    }
    return true;
}

void CMp3FrameScanner::Discard(size_t count) {
    m_nPos += count;
    m_nJunk += count;
    if (m_nJunk > kMaxJunk) {
        m_bFailed = true;
    }
}

CMp3FrameScanner::TagResult CMp3FrameScanner::SkipTags() {
    const size_t left = m_buffer.size() - m_nPos;
    const uint8_t* p = m_buffer.data() + m_nPos;
    if (left >= 3 && std::memcmp(p, "ID3", 3) == 0) {
        if (left < 10) {
            return m_bFinished ? TagResult::None : TagResult::NeedMore;
        }
        // The size is "synchsafe": 7 bits per byte.
        if ((p[6] | p[7] | p[8] | p[9]) & 0x80) {
            return TagResult::None;
        }
        size_t size = 10 + ((p[6] << 21) | (p[7] << 14) | (p[8] << 7) | p[9]);
        if (p[5] & 0x10) {
            size += 10;  // footer
        }
        const size_t here = size < left ? size : left;
        m_nPos += here;
        m_nSkip = size - here;
        if (m_nSkip > 0) {
            // The rest of the tag arrives later and is dropped in Feed.
            m_buffer.resize(m_nPos);
        }
        return TagResult::Skipped;
    }
    if (m_bSynced && left >= 3 && std::memcmp(p, "TAG", 3) == 0) {
        if (left < 128) {
            if (!m_bFinished) {
                return TagResult::NeedMore;
            }
            m_nPos += left;
            return TagResult::Skipped;
        }
        m_nPos += 128;
        return TagResult::Skipped;
    }
    return TagResult::None;
}

std::optional<std::span<const uint8_t>> CMp3FrameScanner::NextFrame() {
    while (!m_bFailed) {
        const size_t left = m_buffer.size() - m_nPos;
        if (m_nSkip > 0 || left < 4) {
            if (m_bFinished && left > 0 && m_nSkip == 0) {
                Discard(left);
            }
            return std::nullopt;
        }
        const TagResult tag = SkipTags();
        if (tag == TagResult::Skipped) {
            continue;
        }
        if (tag == TagResult::NeedMore) {
            return std::nullopt;
        }
        const uint8_t* p = m_buffer.data() + m_nPos;
        const auto frame = ParseMp3Header(p);
        if (!frame) {
            m_bSynced = false;
            Discard(1);
            continue;
        }
        if (!m_bSynced || !Compatible(*frame)) {
            // A stream that changed its kind mid-way would need another
            // decoder: frames of another kind count as noise.
            if (m_bHaveInfo && !Compatible(*frame)) {
                m_bSynced = false;
                Discard(1);
                continue;
            }
            const auto confirmed = Confirm(m_nPos, 2);
            if (!confirmed.has_value()) {
                return std::nullopt;
            }
            if (!*confirmed) {
                m_bSynced = false;
                Discard(1);
                continue;
            }
            if (!m_bHaveInfo) {
                m_info = *frame;
                m_bHaveInfo = true;
            }
            m_bSynced = true;
        }
        if (left < frame->nFrameBytes) {
            if (m_bFinished) {
                Discard(left);
            }
            return std::nullopt;
        }
        m_info.nBitrate = frame->nBitrate;
        m_nJunk = 0;
        const std::span<const uint8_t> out(m_buffer.data() + m_nPos, frame->nFrameBytes);
        m_nPos += frame->nFrameBytes;
        return out;
    }
    return std::nullopt;
}

bool LooksLikeWav(std::span<const uint8_t> head) {
    return head.size() >= 12 && std::memcmp(head.data(), "RIFF", 4) == 0 &&
           std::memcmp(head.data() + 8, "WAVE", 4) == 0;
}

WavParse ParseWavHeader(std::span<const uint8_t> head, CWavFormat& format) {
    if (head.size() < 12) {
        return WavParse::NeedMore;
    }
    if (!LooksLikeWav(head)) {
        return WavParse::Unsupported;
    }
    bool haveFormat = false;
    size_t pos = 12;
    while (true) {
        if (pos + 8 > head.size()) {
            return head.size() >= kMaxWavHeaderBytes ? WavParse::Unsupported : WavParse::NeedMore;
        }
        const uint8_t* chunk = head.data() + pos;
        const uint32_t size = Le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16) {
                return WavParse::Unsupported;
            }
            if (pos + 8 + 16 > head.size()) {
                return WavParse::NeedMore;
            }
            const uint8_t* f = chunk + 8;
            uint16_t tag = Le16(f);
            if (tag == 0xFFFE) {
                // WAVE_FORMAT_EXTENSIBLE: the sub-format's first two bytes
                // hold the real tag.
                if (size < 40) {
                    return WavParse::Unsupported;
                }
                if (pos + 8 + 40 > head.size()) {
                    return WavParse::NeedMore;
                }
                tag = Le16(f + 24);
            }
            format.nChannels = Le16(f + 2);
            format.nSampleRate = static_cast<int>(Le32(f + 4));
            format.nBitsPerSample = Le16(f + 14);
            if (tag != 1 || format.nChannels < 1 || format.nChannels > 2 ||
                (format.nBitsPerSample != 8 && format.nBitsPerSample != 16) ||
                format.nSampleRate < 8000 || format.nSampleRate > 192000) {
                return WavParse::Unsupported;
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                return WavParse::Unsupported;
            }
            format.nDataOffset = pos + 8;
            format.nDataBytes = size;
            return WavParse::Ok;
        }
        // Chunks are padded to an even length.
        const uint64_t next = static_cast<uint64_t>(pos) + 8 + size + (size & 1);
        if (next >= kMaxWavHeaderBytes) {
            return WavParse::Unsupported;
        }
        pos = static_cast<size_t>(next);
    }
}

void ScalePcm16(int16_t* samples, size_t count, int volume) {
    const int gain = ClampVolume(volume);
    if (gain == 100) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(samples[i] * gain / 100);
    }
}

void Pcm8To16(const uint8_t* in, size_t count, int16_t* out) {
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<int16_t>((static_cast<int>(in[i]) - 128) * 256);
    }
}

}  // namespace radio
