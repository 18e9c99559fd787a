#include "radio/hls/Fmp4Reader.h"

namespace radio::hls {

namespace {

constexpr uint32_t FourCc(const char (&s)[5]) {
    return (uint32_t{static_cast<uint8_t>(s[0])} << 24) |
           (uint32_t{static_cast<uint8_t>(s[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[2])} << 8) | static_cast<uint8_t>(s[3]);
}

uint32_t Be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t Be64(const uint8_t* p) {
    return (uint64_t{Be32(p)} << 32) | Be32(p + 4);
}

struct CBox {
    uint32_t nType = 0;
    size_t nStart = 0;  // offset of the box's first byte in what was walked
    std::span<const uint8_t> payload;
};

// Walks the boxes of one level. Next() is false at the end or on an error,
// which Error() then tells.
class CBoxWalker {
public:
    explicit CBoxWalker(std::span<const uint8_t> data) : m_data(data) {}

    bool Next(CBox& box) {
        if (m_error != Mp4Error::None || m_nPos >= m_data.size()) {
            return false;
        }
        const size_t left = m_data.size() - m_nPos;
        if (left < 8) {
            m_error = Mp4Error::Truncated;
            return false;
        }
        const uint8_t* p = m_data.data() + m_nPos;
        uint64_t size = Be32(p);
        size_t header = 8;
        if (size == 1) {
            if (left < 16) {
                m_error = Mp4Error::Truncated;
                return false;
            }
            size = Be64(p + 8);
            header = 16;
        } else if (size == 0) {
            size = left;  // to the end of what holds it
        }
        box.nType = Be32(p + 4);
        if (box.nType == FourCc("uuid")) {
            header += 16;
        }
        if (size < header) {
            m_error = Mp4Error::BadBox;
            return false;
        }
        if (size > left) {
            m_error = Mp4Error::Truncated;
            return false;
        }
        box.nStart = m_nPos;
        box.payload = m_data.subspan(m_nPos + header, static_cast<size_t>(size) - header);
        m_nPos += static_cast<size_t>(size);
        return true;
    }

    Mp4Error Error() const { return m_error; }

private:
    std::span<const uint8_t> m_data;
    size_t m_nPos = 0;
    Mp4Error m_error = Mp4Error::None;
};

// The first child of the given type; an error in the walk is returned too.
std::optional<std::span<const uint8_t>> Child(std::span<const uint8_t> data, uint32_t type,
                                              Mp4Error& error) {
    CBoxWalker walker(data);
    CBox box;
    while (walker.Next(box)) {
        if (box.nType == type) {
            return box.payload;
        }
    }
    error = walker.Error();
    return std::nullopt;
}

class CBitReader {
public:
    explicit CBitReader(std::span<const uint8_t> data) : m_data(data) {}
    // nullopt past the end.
    std::optional<uint32_t> Read(int bits) {
        uint32_t value = 0;
        for (int i = 0; i < bits; ++i) {
            if (m_nBit >= m_data.size() * 8) {
                return std::nullopt;
            }
            value = (value << 1) | ((m_data[m_nBit / 8] >> (7 - m_nBit % 8)) & 1u);
            ++m_nBit;
        }
        return value;
    }

private:
    std::span<const uint8_t> m_data;
    size_t m_nBit = 0;
};

constexpr int kAacRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                               22050, 16000, 12000, 11025, 8000,  7350};

std::optional<int> ReadObjectType(CBitReader& bits) {
    const auto aot = bits.Read(5);
    if (!aot) {
        return std::nullopt;
    }
    if (*aot != 31) {
        return static_cast<int>(*aot);
    }
    const auto more = bits.Read(6);
    if (!more) {
        return std::nullopt;
    }
    return 32 + static_cast<int>(*more);
}

std::optional<int> ReadSampleRate(CBitReader& bits) {
    const auto index = bits.Read(4);
    if (!index) {
        return std::nullopt;
    }
    if (*index == 15) {
        const auto explicitRate = bits.Read(24);
        if (!explicitRate || *explicitRate == 0) {
            return std::nullopt;
        }
        return static_cast<int>(*explicitRate);
    }
    if (*index >= 13) {
        return std::nullopt;
    }
    return kAacRates[*index];
}

// An MPEG-4 descriptor's tag and length (up to four bytes of seven bits);
// the descriptor's body comes back in body, the rest stays in data.
bool Descriptor(std::span<const uint8_t>& data, uint8_t& tag, std::span<const uint8_t>& body) {
    if (data.empty()) {
        return false;
    }
    tag = data[0];
    size_t pos = 1;
    size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        if (pos >= data.size()) {
            return false;
        }
        const uint8_t b = data[pos++];
        length = (length << 7) | (b & 0x7F);
        if (!(b & 0x80)) {
            break;
        }
        if (i == 3) {
            return false;
        }
    }
    if (length > data.size() - pos) {
        return false;
    }
    body = data.subspan(pos, length);
    data = data.subspan(pos + length);
    return true;
}

// Finds, inside the descriptors of data, the first one with the tag.
std::optional<std::span<const uint8_t>> FindDescriptor(std::span<const uint8_t> data,
                                                       uint8_t wanted) {
    uint8_t tag;
    std::span<const uint8_t> body;
    while (Descriptor(data, tag, body)) {
        if (tag == wanted) {
            return body;
        }
    }
    return std::nullopt;
}

Mp4Error ReadEsds(std::span<const uint8_t> esds, CMp4AudioTrack& track) {
    if (esds.size() < 4) {
        return Mp4Error::BadConfig;
    }
    auto es = FindDescriptor(esds.subspan(4), 0x03);
    if (!es || es->size() < 3) {
        return Mp4Error::BadConfig;
    }
    const uint8_t flags = (*es)[2];
    size_t skip = 3;
    if (flags & 0x80) {
        skip += 2;  // depends on another stream
    }
    if (flags & 0x40) {  // a URL, with its length first
        if (es->size() <= skip) {
            return Mp4Error::BadConfig;
        }
        skip += 1 + (*es)[skip];
    }
    if (flags & 0x20) {
        skip += 2;  // OCR stream
    }
    if (skip > es->size()) {
        return Mp4Error::BadConfig;
    }
    auto config = FindDescriptor(es->subspan(skip), 0x04);
    if (!config || config->size() < 13) {
        return Mp4Error::BadConfig;
    }
    const uint8_t objectType = (*config)[0];
    if (objectType == 0x6B || objectType == 0x69) {
        track.audio.format = CodedFormat::MpegAudio;
        return Mp4Error::None;
    }
    if (objectType != 0x40 && objectType != 0x67) {  // MPEG-4 audio, MPEG-2 AAC LC
        return Mp4Error::UnsupportedCodec;
    }
    auto specific = FindDescriptor(config->subspan(13), 0x05);
    if (!specific || specific->empty()) {
        return Mp4Error::BadConfig;
    }
    const auto asc = ParseAudioSpecificConfig(*specific);
    if (!asc) {
        return Mp4Error::BadConfig;
    }
    if (asc->nCoreObjectType != 2) {
        return Mp4Error::UnsupportedCodec;
    }
    track.config = *asc;
    track.audio.format = CodedFormat::RawAac;
    track.audio.asc.assign(specific->begin(), specific->end());
    track.audio.nSampleRate =
        asc->nExtensionSampleRate ? asc->nExtensionSampleRate : asc->nSampleRate;
    if (asc->nChannels > 0) {
        track.audio.nChannels = asc->nChannels;
    }
    return Mp4Error::None;
}

// One sample entry of stsd: mp4a (or enca, which we refuse).
Mp4Error ReadSampleEntry(const CBox& entry, CMp4AudioTrack& track) {
    if (entry.nType == FourCc("enca")) {
        return Mp4Error::Encrypted;
    }
    if (entry.nType != FourCc("mp4a")) {
        return Mp4Error::UnsupportedCodec;
    }
    const auto p = entry.payload;
    if (p.size() < 28) {
        return Mp4Error::BadBox;
    }
    const uint16_t version = static_cast<uint16_t>((p[8] << 8) | p[9]);
    track.audio.nChannels = (p[16] << 8) | p[17];
    track.audio.nSampleRate = static_cast<int>(Be32(p.data() + 24) >> 16);
    size_t children = 28;
    if (version == 1) {
        children += 16;
    }
    if (version == 2) {
        children += 36;
    }
    if (children > p.size()) {
        return Mp4Error::BadBox;
    }
    Mp4Error error = Mp4Error::None;
    const auto esds = Child(p.subspan(children), FourCc("esds"), error);
    if (!esds) {
        return error != Mp4Error::None ? error : Mp4Error::BadConfig;
    }
    return ReadEsds(*esds, track);
}

// One trak: an audio handler and an mp4a sample entry make it ours.
Mp4Error ReadTrack(std::span<const uint8_t> trak, CMp4AudioTrack& track) {
    Mp4Error error = Mp4Error::None;
    const auto tkhd = Child(trak, FourCc("tkhd"), error);
    if (!tkhd || tkhd->size() < 4) {
        return error != Mp4Error::None ? error : Mp4Error::BadBox;
    }
    const size_t idAt = (*tkhd)[0] == 1 ? 20 : 12;
    if (tkhd->size() < idAt + 4) {
        return Mp4Error::BadBox;
    }
    track.nTrackId = Be32(tkhd->data() + idAt);
    const auto mdia = Child(trak, FourCc("mdia"), error);
    if (!mdia) {
        return error != Mp4Error::None ? error : Mp4Error::NoAudioTrack;
    }
    const auto hdlr = Child(*mdia, FourCc("hdlr"), error);
    if (!hdlr || hdlr->size() < 12) {
        return error != Mp4Error::None ? error : Mp4Error::BadBox;
    }
    if (Be32(hdlr->data() + 8) != FourCc("soun")) {
        return Mp4Error::NoAudioTrack;
    }
    const auto mdhd = Child(*mdia, FourCc("mdhd"), error);
    if (!mdhd || mdhd->size() < 4) {
        return error != Mp4Error::None ? error : Mp4Error::BadBox;
    }
    const size_t scaleAt = (*mdhd)[0] == 1 ? 20 : 12;
    if (mdhd->size() < scaleAt + 4) {
        return Mp4Error::BadBox;
    }
    track.nTimescale = Be32(mdhd->data() + scaleAt);
    const auto minf = Child(*mdia, FourCc("minf"), error);
    const auto stbl = minf ? Child(*minf, FourCc("stbl"), error) : std::nullopt;
    const auto stsd = stbl ? Child(*stbl, FourCc("stsd"), error) : std::nullopt;
    if (!stsd) {
        return error != Mp4Error::None ? error : Mp4Error::NoAudioTrack;
    }
    if (stsd->size() < 8) {
        return Mp4Error::BadBox;
    }
    CBoxWalker entries(stsd->subspan(8));
    CBox entry;
    if (!entries.Next(entry)) {
        return entries.Error() != Mp4Error::None ? entries.Error() : Mp4Error::NoAudioTrack;
    }
    return ReadSampleEntry(entry, track);
}

uint64_t To90k(uint64_t t, uint32_t timescale) {
    return (t / timescale) * 90000 + (t % timescale) * 90000 / timescale;
}

// What one media segment may still give: no more sample bytes than the
// segment holds (samples that overlap would multiply it), and a bounded
// number of samples (empty ones cost work too).
struct CBudget {
    size_t nSamples = kMaxMp4SamplesPerSegment;
    size_t nBytes = 0;
};

struct CTrafDefaults {
    uint64_t nBase = 0;
    uint32_t nDuration = 0;
    uint32_t nSize = 0;
};

// One traf of a moof that starts at moofStart in data. prevEnd carries the
// end of the previous traf's data, where a traf without a base goes on.
Mp4Error ReadTraf(std::span<const uint8_t> traf, std::span<const uint8_t> data, size_t moofStart,
                  bool firstTraf, uint64_t& prevEnd, const CMp4AudioTrack& track, CBudget& budget,
                  CDemuxOutput& out) {
    Mp4Error error = Mp4Error::None;
    const auto tfhd = Child(traf, FourCc("tfhd"), error);
    if (!tfhd || tfhd->size() < 8) {
        return error != Mp4Error::None ? error : Mp4Error::BadBox;
    }
    const uint32_t flags = Be32(tfhd->data()) & 0xFFFFFF;
    if (Be32(tfhd->data() + 4) != track.nTrackId) {
        return Mp4Error::None;  // another track
    }
    CTrafDefaults defaults{firstTraf ? moofStart : prevEnd, track.nDefaultDuration,
                           track.nDefaultSize};
    size_t pos = 8;
    auto field = [&](size_t bytes, uint64_t& value) {
        if (pos + bytes > tfhd->size()) {
            return false;
        }
        value = bytes == 8 ? Be64(tfhd->data() + pos) : Be32(tfhd->data() + pos);
        pos += bytes;
        return true;
    };
    uint64_t value = 0;
    if (flags & 0x01) {
        if (!field(8, value)) {
            return Mp4Error::BadBox;
        }
        defaults.nBase = value;
    } else if (flags & 0x020000) {
        defaults.nBase = moofStart;  // default-base-is-moof
    }
    if (flags & 0x02 && !field(4, value)) {
        return Mp4Error::BadBox;
    }
    if (flags & 0x08) {
        if (!field(4, value)) {
            return Mp4Error::BadBox;
        }
        defaults.nDuration = static_cast<uint32_t>(value);
    }
    if (flags & 0x10) {
        if (!field(4, value)) {
            return Mp4Error::BadBox;
        }
        defaults.nSize = static_cast<uint32_t>(value);
    }
    uint64_t decodeTime = 0;
    bool haveTime = false;
    if (const auto tfdt = Child(traf, FourCc("tfdt"), error); tfdt && tfdt->size() >= 8) {
        decodeTime =
            (*tfdt)[0] == 1 && tfdt->size() >= 12 ? Be64(tfdt->data() + 4) : Be32(tfdt->data() + 4);
        haveTime = track.nTimescale != 0;
    }
    CBoxWalker walker(traf);
    CBox box;
    uint64_t next = defaults.nBase;
    while (walker.Next(box)) {
        if (box.nType != FourCc("trun")) {
            continue;
        }
        const auto run = box.payload;
        if (run.size() < 8) {
            return Mp4Error::BadBox;
        }
        const uint32_t runFlags = Be32(run.data()) & 0xFFFFFF;
        const uint32_t count = Be32(run.data() + 4);
        if (count > budget.nSamples) {
            return Mp4Error::BadFragment;
        }
        budget.nSamples -= count;
        size_t at = 8;
        if (runFlags & 0x01) {
            if (at + 4 > run.size()) {
                return Mp4Error::BadBox;
            }
            const int32_t offset = static_cast<int32_t>(Be32(run.data() + at));
            at += 4;
            const int64_t start = static_cast<int64_t>(defaults.nBase) + offset;
            if (start < 0) {
                return Mp4Error::BadFragment;
            }
            next = static_cast<uint64_t>(start);
        }  // without an offset a run goes on where the previous one ended
        if (runFlags & 0x04) {
            at += 4;
        }
        const size_t perSample = 4 * (((runFlags & 0x100) != 0) + ((runFlags & 0x200) != 0) +
                                      ((runFlags & 0x400) != 0) + ((runFlags & 0x800) != 0));
        if (at > run.size() || (perSample > 0 && (run.size() - at) / perSample < count)) {
            return Mp4Error::Truncated;
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t duration = defaults.nDuration;
            uint32_t size = defaults.nSize;
            const uint8_t* s = run.data() + at + i * perSample;
            if (runFlags & 0x100) {
                duration = Be32(s);
                s += 4;
            }
            if (runFlags & 0x200) {
                size = Be32(s);
            }
            if (size > kMaxMp4SampleBytes || next > data.size() || size > data.size() - next ||
                size > budget.nBytes) {
                return Mp4Error::BadFragment;
            }
            budget.nBytes -= size;
            if (size > 0) {
                CCodedFrame frame;
                const uint8_t* from = data.data() + next;
                frame.bytes.assign(from, from + size);
                if (haveTime) {
                    frame.nPts = static_cast<int64_t>(To90k(decodeTime, track.nTimescale));
                }
                out.frames.push_back(std::move(frame));
            }
            next += size;
            decodeTime += duration;
        }
    }
    prevEnd = next;
    return walker.Error();
}

}  // namespace

std::optional<CAudioSpecificConfig> ParseAudioSpecificConfig(std::span<const uint8_t> asc) {
    CBitReader bits(asc);
    CAudioSpecificConfig config;
    const auto aot = ReadObjectType(bits);
    const auto rate = aot ? ReadSampleRate(bits) : std::nullopt;
    const auto channels = rate ? bits.Read(4) : std::nullopt;
    if (!channels) {
        return std::nullopt;
    }
    config.nObjectType = *aot;
    config.nCoreObjectType = *aot;
    config.nSampleRate = *rate;
    config.nChannels = static_cast<int>(*channels);
    if (*aot == 5 || *aot == 29) {
        const auto extension = ReadSampleRate(bits);
        const auto core = extension ? ReadObjectType(bits) : std::nullopt;
        if (!core) {
            return std::nullopt;
        }
        config.nExtensionSampleRate = *extension;
        config.nCoreObjectType = *core;
    }
    return config;
}

Mp4Error ReadInitSegment(std::span<const uint8_t> data, CMp4AudioTrack& track) {
    track = CMp4AudioTrack{};
    Mp4Error error = Mp4Error::None;
    const auto moov = Child(data, FourCc("moov"), error);
    if (!moov) {
        return error != Mp4Error::None ? error : Mp4Error::NoAudioTrack;
    }
    Mp4Error result = Mp4Error::NoAudioTrack;
    CBoxWalker walker(*moov);
    CBox box;
    while (walker.Next(box)) {
        if (box.nType != FourCc("trak")) {
            continue;
        }
        CMp4AudioTrack candidate;
        const Mp4Error trackError = ReadTrack(box.payload, candidate);
        if (trackError == Mp4Error::None) {
            track = std::move(candidate);
            result = Mp4Error::None;
            break;
        }
        // Remember why an audio track failed, rather than "no audio".
        if (trackError != Mp4Error::NoAudioTrack) {
            result = trackError;
        }
    }
    if (result == Mp4Error::None) {
        if (const auto mvex = Child(*moov, FourCc("mvex"), error)) {
            CBoxWalker extends(*mvex);
            while (extends.Next(box)) {
                if (box.nType == FourCc("trex") && box.payload.size() >= 24 &&
                    Be32(box.payload.data() + 4) == track.nTrackId) {
                    track.nDefaultDuration = Be32(box.payload.data() + 12);
                    track.nDefaultSize = Be32(box.payload.data() + 16);
                }
            }
        }
        return Mp4Error::None;
    }
    return walker.Error() != Mp4Error::None ? walker.Error() : result;
}

Mp4Error ReadMediaSegment(std::span<const uint8_t> data, const CMp4AudioTrack& track,
                          CDemuxOutput& out) {
    out.audio = track.audio;
    CBudget budget;
    budget.nBytes = data.size();
    CBoxWalker walker(data);
    CBox box;
    while (walker.Next(box)) {
        if (box.nType != FourCc("moof")) {
            continue;
        }
        CBoxWalker fragments(box.payload);
        CBox traf;
        bool first = true;
        uint64_t prevEnd = box.nStart;
        while (fragments.Next(traf)) {
            if (traf.nType != FourCc("traf")) {
                continue;
            }
            const Mp4Error error =
                ReadTraf(traf.payload, data, box.nStart, first, prevEnd, track, budget, out);
            if (error != Mp4Error::None) {
                return error;
            }
            first = false;
        }
        if (fragments.Error() != Mp4Error::None) {
            return fragments.Error();
        }
    }
    return walker.Error();
}

}  // namespace radio::hls
