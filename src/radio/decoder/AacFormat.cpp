#include "radio/decoder/AacFormat.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "radio/AudioFormat.h"

namespace radio {

namespace {

constexpr int kAdtsRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};

// The size of an ID3v2 tag at p (10 bytes at least), footer included;
// nullopt when p holds no valid tag header.
std::optional<size_t> Id3v2Size(const uint8_t* p) {
    if (std::memcmp(p, "ID3", 3) != 0 || ((p[6] | p[7] | p[8] | p[9]) & 0x80)) {
        return std::nullopt;
    }
    // The size is "synchsafe": 7 bits per byte.
    size_t size = 10 + ((size_t{p[6]} << 21) | (size_t{p[7]} << 14) | (size_t{p[8]} << 7) | p[9]);
    if (p[5] & 0x10) {
        size += 10;
    }
    return size;
}

uint32_t AdtsKey(const CAdtsHeader& h) {
    return static_cast<uint32_t>((h.nProfile << 8) | (h.nSampleRateIndex << 4) | h.nChannelConfig);
}

void PutLe16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// Three frames of one kind in a row from pos: a parser gives a frame's size
// and kind (nullopt when pos holds no header), needing headerBytes.
template <class Parse>
CCodecDetection::Result ChainAt(std::span<const uint8_t> head, size_t pos, size_t headerBytes,
                                bool end, Parse parse) {
    using R = CCodecDetection::Result;
    const auto first = parse(head.data() + pos);
    if (!first) {
        return R::NotFound;
    }
    size_t at = pos + first->first;
    for (int i = 0; i < 2; ++i) {
        if (at + headerBytes > head.size()) {
            if (!end) {
                return R::NeedMore;
            }
            // The data ends with whole frames: as good as it gets.
            return at == head.size() && i > 0 ? R::Found : R::NotFound;
        }
        const auto next = parse(head.data() + at);
        if (!next || next->second != first->second) {
            return R::NotFound;
        }
        at += next->first;
    }
    return R::Found;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace

std::optional<CAdtsHeader> ParseAdtsHeader(const uint8_t* p) {
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) {
        return std::nullopt;
    }
    CAdtsHeader h;
    h.nProfile = p[2] >> 6;
    h.nSampleRateIndex = (p[2] >> 2) & 0x0F;
    if (h.nSampleRateIndex >= 13) {
        return std::nullopt;
    }
    h.nSampleRate = kAdtsRates[h.nSampleRateIndex];
    h.nChannelConfig = ((p[2] & 0x01) << 2) | (p[3] >> 6);
    h.nHeaderBytes = (p[1] & 0x01) ? 7 : 9;
    h.nFrameBytes = (size_t{p[3] & 0x03u} << 11) | (size_t{p[4]} << 3) | (p[5] >> 5);
    h.nBlocks = (p[6] & 0x03) + 1;
    if (h.nFrameBytes <= h.nHeaderBytes) {
        return std::nullopt;
    }
    return h;
}

std::vector<uint8_t> AdtsAudioSpecificConfig(const CAdtsHeader& header) {
    // Object type (5 bits), sample rate index (4), channel configuration (4).
    const int objectType = header.nProfile + 1;
    return {
        static_cast<uint8_t>((objectType << 3) | (header.nSampleRateIndex >> 1)),
        static_cast<uint8_t>(((header.nSampleRateIndex & 1) << 7) | (header.nChannelConfig << 3))};
}

std::optional<size_t> ParseLoasFrameBytes(const uint8_t* p) {
    // AudioSyncStream: syncword 0x2B7 (11 bits), audioMuxLengthBytes (13).
    if (p[0] != 0x56 || (p[1] & 0xE0) != 0xE0) {
        return std::nullopt;
    }
    const size_t length = (size_t{p[1] & 0x1Fu} << 8) | p[2];
    if (length == 0) {
        return std::nullopt;
    }
    return kLoasHeaderBytes + length;
}

std::vector<uint8_t> BuildHeAacUserData(AacPayload payload, std::span<const uint8_t> asc,
                                        uint16_t profileLevel) {
    std::vector<uint8_t> out;
    out.reserve(12 + asc.size());
    PutLe16(out, static_cast<uint16_t>(payload));  // wPayloadType
    PutLe16(out, profileLevel);                    // wAudioProfileLevelIndication
    PutLe16(out, 0);                               // wStructType: HEAACWAVEINFO
    PutLe16(out, 0);                               // wReserved1
    out.insert(out.end(), 4, 0);                   // dwReserved2
    out.insert(out.end(), asc.begin(), asc.end());
    return out;
}

std::optional<AacPayload> AacPayloadFor(CodecKind kind) {
    switch (kind) {
        case CodecKind::AacAdts:
            return AacPayload::Adts;
        case CodecKind::AacRaw:
            return AacPayload::Raw;
        case CodecKind::AacLatm:
            return AacPayload::Loas;
        case CodecKind::Mp3:
            break;
    }
    return std::nullopt;
}

CAacFrameScanner::CAacFrameScanner(CodecKind kind)
    : m_kind(kind == CodecKind::AacLatm ? CodecKind::AacLatm : CodecKind::AacAdts) {}

size_t CAacFrameScanner::HeaderBytes() const {
    return m_kind == CodecKind::AacLatm ? kLoasHeaderBytes : kAdtsHeaderBytes;
}

std::optional<CAacFrameScanner::CFrameKind> CAacFrameScanner::ParseAt(size_t pos) const {
    const uint8_t* p = m_buffer.data() + pos;
    if (m_kind == CodecKind::AacLatm) {
        const auto bytes = ParseLoasFrameBytes(p);
        if (!bytes) {
            return std::nullopt;
        }
        return CFrameKind{*bytes, 0};
    }
    const auto header = ParseAdtsHeader(p);
    if (!header) {
        return std::nullopt;
    }
    return CFrameKind{header->nFrameBytes, AdtsKey(*header)};
}

void CAacFrameScanner::Feed(std::span<const uint8_t> data) {
    // Drop what was consumed before appending, so that the buffer holds only
    // what is still to be read.
    if (m_nPos > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<ptrdiff_t>(m_nPos));
        m_nPos = 0;
    }
    size_t from = 0;
    if (m_nSkip > 0) {
        from = std::min(m_nSkip, data.size());
        m_nSkip -= from;
    }
    m_buffer.insert(m_buffer.end(), data.begin() + static_cast<ptrdiff_t>(from), data.end());
}

std::optional<bool> CAacFrameScanner::Confirm(size_t pos, const CFrameKind& first) const {
    size_t at = pos + first.nBytes;
    for (int i = 0; i < 2; ++i) {
        if (at + HeaderBytes() > m_buffer.size()) {
            if (!m_bFinished) {
                return std::nullopt;
            }
            // At the end of the input a whole frame stands on its own once
            // the stream's kind is known or another frame came before it.
            return at <= m_buffer.size() && (i > 0 || m_bHaveKind);
        }
        const auto next = ParseAt(at);
        if (!next || next->nKey != first.nKey) {
            return false;
        }
        at += next->nBytes;
    }
    return true;
}

std::optional<bool> CAacFrameScanner::FollowerFits(size_t at) const {
    if (at + HeaderBytes() > m_buffer.size()) {
        if (!m_bFinished) {
            return std::nullopt;
        }
        return at <= m_buffer.size();
    }
    if (std::memcmp(m_buffer.data() + at, "ID3", 3) == 0) {
        return true;
    }
    const auto next = ParseAt(at);
    return next && next->nKey == m_nKey;
}

void CAacFrameScanner::Discard(size_t count) {
    m_nPos += count;
    m_nJunk += count;
    m_nSkippedTotal += count;
    if (m_nJunk > kMaxJunk) {
        m_bFailed = true;
    }
}

CAacFrameScanner::TagResult CAacFrameScanner::SkipTag() {
    const size_t left = m_buffer.size() - m_nPos;
    const uint8_t* p = m_buffer.data() + m_nPos;
    if (left < 3 || std::memcmp(p, "ID3", 3) != 0) {
        return TagResult::None;
    }
    if (left < 10) {
        return m_bFinished ? TagResult::None : TagResult::NeedMore;
    }
    const auto size = Id3v2Size(p);
    if (!size) {
        return TagResult::None;
    }
    const size_t here = std::min(*size, left);
    m_nPos += here;
    m_nSkip = *size - here;
    if (m_nSkip > 0) {
        // The rest of the tag arrives later and is dropped in Feed.
        m_buffer.resize(m_nPos);
    }
    return TagResult::Skipped;
}

std::optional<std::span<const uint8_t>> CAacFrameScanner::NextFrame() {
    while (!m_bFailed) {
        const size_t left = m_buffer.size() - m_nPos;
        if (m_nSkip > 0 || left < HeaderBytes()) {
            if (m_bFinished && left > 0 && m_nSkip == 0) {
                Discard(left);
            }
            return std::nullopt;
        }
        const TagResult tag = SkipTag();
        if (tag == TagResult::Skipped) {
            continue;
        }
        if (tag == TagResult::NeedMore) {
            return std::nullopt;
        }
        const auto frame = ParseAt(m_nPos);
        const bool sameKind = frame && (!m_bHaveKind || frame->nKey == m_nKey);
        if (!sameKind) {
            // Frames of another kind would need another decoder
            // configuration: they count as noise.
            if (m_bSynced) {
                ++m_nResyncs;
            }
            m_bSynced = false;
            Discard(1);
            continue;
        }
        if (!m_bSynced) {
            const auto confirmed = Confirm(m_nPos, *frame);
            if (!confirmed.has_value()) {
                return std::nullopt;
            }
            if (!*confirmed) {
                Discard(1);
                continue;
            }
            if (!m_bHaveKind) {
                m_nKey = frame->nKey;
                if (m_kind == CodecKind::AacAdts) {
                    m_adts = *ParseAdtsHeader(m_buffer.data() + m_nPos);
                }
                m_bHaveKind = true;
            }
            m_bSynced = true;
        } else {
            // Inside a run a frame goes out once the next one starts where
            // its length says: a damaged length field would otherwise hand
            // the decoder a stretch of several frames and lose sync after it.
            const auto follows = FollowerFits(m_nPos + frame->nBytes);
            if (!follows.has_value()) {
                return std::nullopt;
            }
            if (!*follows) {
                ++m_nResyncs;
                m_bSynced = false;
                Discard(1);
                continue;
            }
        }
        if (left < frame->nBytes) {
            if (m_bFinished) {
                Discard(left);
            }
            return std::nullopt;
        }
        m_nJunk = 0;
        const std::span<const uint8_t> out(m_buffer.data() + m_nPos, frame->nBytes);
        m_nPos += frame->nBytes;
        return out;
    }
    return std::nullopt;
}

std::optional<CodecKind> CodecForContentType(std::string_view contentType) {
    const size_t semicolon = contentType.find(';');
    std::string type = Lower(contentType.substr(0, semicolon));
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    type.erase(type.begin(), std::find_if(type.begin(), type.end(), notSpace));
    type.erase(std::find_if(type.rbegin(), type.rend(), notSpace).base(), type.end());
    if (type == "audio/aac" || type == "audio/aacp" || type == "audio/x-aac") {
        return CodecKind::AacAdts;
    }
    if (type == "audio/mp4a-latm") {
        return CodecKind::AacLatm;
    }
    if (type == "audio/mpeg" || type == "audio/mp3" || type == "audio/mpeg3" ||
        type == "audio/x-mpeg" || type == "audio/x-mp3") {
        return CodecKind::Mp3;
    }
    return std::nullopt;
}

CCodecDetection DetectCodecByBytes(std::span<const uint8_t> head, bool end) {
    using R = CCodecDetection::Result;
    // A stream that shows nothing of ours in this much is not waited on.
    if (head.size() >= kMaxDetectBytes) {
        head = head.first(kMaxDetectBytes);
        end = true;
    }
    size_t start = 0;
    if (head.size() >= 10) {
        if (const auto tag = Id3v2Size(head.data())) {
            start = *tag;
        }
    } else if (!end && head.size() >= 3 && std::memcmp(head.data(), "ID3", 3) == 0) {
        return {R::NeedMore};
    }
    const auto adts = [](const uint8_t* p) -> std::optional<std::pair<size_t, uint32_t>> {
        const auto h = ParseAdtsHeader(p);
        return h ? std::optional(std::pair(h->nFrameBytes, AdtsKey(*h))) : std::nullopt;
    };
    const auto loas = [](const uint8_t* p) -> std::optional<std::pair<size_t, uint32_t>> {
        const auto bytes = ParseLoasFrameBytes(p);
        return bytes ? std::optional(std::pair(*bytes, 0u)) : std::nullopt;
    };
    const auto mp3 = [](const uint8_t* p) -> std::optional<std::pair<size_t, uint32_t>> {
        const auto info = ParseMp3Header(p);
        if (!info) {
            return std::nullopt;
        }
        const auto key = static_cast<uint32_t>(info->nVersion * 1000000 + info->nSampleRate * 4 +
                                               info->nChannels);
        return std::pair(info->nFrameBytes, key);
    };
    for (size_t pos = start; pos < head.size(); ++pos) {
        struct CCandidate {
            CodecKind kind;
            size_t headerBytes;
            R result;
        };
        const size_t left = head.size() - pos;
        CCandidate candidates[] = {
            {CodecKind::AacAdts, kAdtsHeaderBytes, R::NotFound},
            {CodecKind::AacLatm, kLoasHeaderBytes, R::NotFound},
            {CodecKind::Mp3, 4, R::NotFound},
        };
        for (auto& c : candidates) {
            if (left < c.headerBytes) {
                c.result = end ? R::NotFound : R::NeedMore;
                continue;
            }
            switch (c.kind) {
                case CodecKind::AacAdts:
                    c.result = ChainAt(head, pos, c.headerBytes, end, adts);
                    break;
                case CodecKind::AacLatm:
                    c.result = ChainAt(head, pos, c.headerBytes, end, loas);
                    break;
                default:
                    c.result = ChainAt(head, pos, c.headerBytes, end, mp3);
                    break;
            }
        }
        for (const auto& c : candidates) {
            if (c.result == R::Found) {
                return {R::Found, c.kind, pos};
            }
        }
        // A frame that may begin here decides first: what follows it must
        // arrive before anything later can be taken.
        for (const auto& c : candidates) {
            if (c.result == R::NeedMore && left >= c.headerBytes) {
                return {R::NeedMore};
            }
        }
    }
    return {end ? R::NotFound : R::NeedMore};
}

CCodecDetection DetectCodec(std::string_view contentType, std::span<const uint8_t> head, bool end) {
    CCodecDetection bytes = DetectCodecByBytes(head, end);
    if (bytes.result != CCodecDetection::Result::NotFound) {
        return bytes;
    }
    if (const auto named = CodecForContentType(contentType)) {
        return {CCodecDetection::Result::Found, *named, 0};
    }
    return bytes;
}

std::u16string_view CodecFileType(CodecKind kind) {
    switch (kind) {
        case CodecKind::Mp3:
            return u"mp3";
        case CodecKind::AacAdts:
        case CodecKind::AacRaw:
        case CodecKind::AacLatm:
            return u"aac";
    }
    return u"";
}

void CBitrateMeter::Add(size_t bytes, int samples, int sampleRate) {
    if (samples <= 0 || sampleRate <= 0) {
        return;
    }
    m_nBytes += bytes;
    m_dSeconds += static_cast<double>(samples) / sampleRate;
}

int CBitrateMeter::Kbps(int minMs) const {
    if (m_dSeconds <= 0 || m_dSeconds * 1000.0 < minMs) {
        return 0;
    }
    return static_cast<int>(std::lround(static_cast<double>(m_nBytes) * 8.0 / m_dSeconds / 1000.0));
}

}  // namespace radio
