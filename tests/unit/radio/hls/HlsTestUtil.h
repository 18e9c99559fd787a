// Builders for the byte formats the HLS readers take: ID3 tags, ADTS frames,
// MPEG-TS packets and tables, MP4 boxes. Written from the formats' own
// descriptions, independently of the readers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "radio/hls/TsDemuxer.h"

namespace hls_test {

using Bytes = std::vector<uint8_t>;
using radio::hls::CDemuxOutput;
using radio::hls::CodedFormat;

inline Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline void Append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

inline void Be16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

inline void Be32(Bytes& b, uint32_t v) {
    Be16(b, v >> 16);
    Be16(b, v & 0xFFFF);
}

// Byte edits for damaging a built stream: n bytes from at, taken out, copied
// or overwritten; what goes in goes before the byte at.
inline Bytes Slice(const Bytes& b, size_t at, size_t n) {
    const auto first = b.begin() + static_cast<std::ptrdiff_t>(at);
    return Bytes(first, first + static_cast<std::ptrdiff_t>(n));
}

inline void Erase(Bytes& b, size_t at, size_t n) {
    const auto first = b.begin() + static_cast<std::ptrdiff_t>(at);
    b.erase(first, first + static_cast<std::ptrdiff_t>(n));
}

inline void InsertAt(Bytes& b, size_t at, const Bytes& what) {
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), what.begin(), what.end());
}

inline void Overwrite(Bytes& b, size_t at, const Bytes& what) {
    std::copy(what.begin(), what.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

// Hands data to a reader chunk bytes at a time, as the network may cut it.
template <typename Reader>
void FeedInChunks(Reader& reader, const Bytes& data, size_t chunk, CDemuxOutput& out) {
    for (size_t pos = 0; pos < data.size(); pos += chunk) {
        reader.Feed({data.data() + pos, std::min(chunk, data.size() - pos)}, out);
    }
}

inline void SyncSafe(Bytes& b, uint32_t v) {
    for (int shift = 21; shift >= 0; shift -= 7) {
        b.push_back(static_cast<uint8_t>((v >> shift) & 0x7F));
    }
}

struct Id3Frame {
    std::string id;
    Bytes body;
    uint16_t flags = 0;
};

// A text frame body: encoding byte, then the bytes as given.
inline Bytes Text(uint8_t encoding, const Bytes& text) {
    Bytes b{encoding};
    Append(b, text);
    return b;
}

inline Bytes Id3(int version, const std::vector<Id3Frame>& frames, uint8_t flags = 0,
                 const Bytes& extended = {}, size_t padding = 0) {
    Bytes body = extended;
    for (const auto& f : frames) {
        Append(body, B(f.id));
        if (version == 2) {
            body.push_back(static_cast<uint8_t>(f.body.size() >> 16));
            Be16(body, static_cast<uint32_t>(f.body.size() & 0xFFFF));
        } else {
            if (version == 4) {
                SyncSafe(body, static_cast<uint32_t>(f.body.size()));
            } else {
                Be32(body, static_cast<uint32_t>(f.body.size()));
            }
            Be16(body, f.flags);
        }
        Append(body, f.body);
    }
    body.resize(body.size() + padding, 0);
    Bytes tag = B("ID3");
    tag.push_back(static_cast<uint8_t>(version));
    tag.push_back(0);
    tag.push_back(flags);
    SyncSafe(tag, static_cast<uint32_t>(body.size()));
    Append(tag, body);
    return tag;
}

// An ADTS frame (no CRC) of 44.1 kHz stereo AAC-LC with payloadBytes of fill.
inline Bytes Adts(size_t payloadBytes, uint8_t fill = 0x21, int rateIndex = 4, int channels = 2) {
    const size_t length = 7 + payloadBytes;
    Bytes b{0xFF,
            0xF1,
            static_cast<uint8_t>((1 << 6) | (rateIndex << 2) | ((channels >> 2) & 1)),
            static_cast<uint8_t>(((channels & 3) << 6) | ((length >> 11) & 3)),
            static_cast<uint8_t>((length >> 3) & 0xFF),
            static_cast<uint8_t>(((length & 7) << 5) | 0x1F),
            0xFC};
    b.resize(length, fill);
    return b;
}

// A section with the long syntax, CRC appended.
inline Bytes Section(uint8_t tableId, uint16_t idExtension, const Bytes& body) {
    Bytes s{tableId};
    Be16(s, 0xB000 | static_cast<uint32_t>(5 + body.size() + 4));
    Be16(s, idExtension);
    s.push_back(0xC1);  // version 0, current
    s.push_back(0);
    s.push_back(0);
    Append(s, body);
    Be32(s, radio::hls::Crc32Mpeg(s));
    return s;
}

inline Bytes Pat(uint16_t pmtPid) {
    Bytes body;
    Be16(body, 1);
    Be16(body, 0xE000 | pmtPid);
    return Section(0x00, 1, body);
}

struct PmtStream {
    uint8_t type;
    uint16_t pid;
    Bytes info;
};

inline Bytes Pmt(const std::vector<PmtStream>& streams, uint16_t pcrPid = 0x100) {
    Bytes body;
    Be16(body, 0xE000 | pcrPid);
    Be16(body, 0xF000);
    for (const auto& s : streams) {
        body.push_back(s.type);
        Be16(body, 0xE000 | s.pid);
        Be16(body, 0xF000 | static_cast<uint32_t>(s.info.size()));
        Append(body, s.info);
    }
    return Section(0x02, 1, body);
}

inline Bytes Pes(uint8_t streamId, const Bytes& payload, int64_t pts = -1, bool bounded = true) {
    Bytes p{0, 0, 1, streamId};
    const size_t header = pts >= 0 ? 5 : 0;
    const size_t length = 3 + header + payload.size();
    Be16(p, bounded ? static_cast<uint32_t>(length) : 0);
    p.push_back(0x80);
    p.push_back(pts >= 0 ? 0x80 : 0);
    p.push_back(static_cast<uint8_t>(header));
    if (pts >= 0) {
        p.push_back(static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E)));
        p.push_back(static_cast<uint8_t>(pts >> 22));
        p.push_back(static_cast<uint8_t>(0x01 | ((pts >> 14) & 0xFE)));
        p.push_back(static_cast<uint8_t>(pts >> 7));
        p.push_back(static_cast<uint8_t>(0x01 | ((pts << 1) & 0xFE)));
    }
    Append(p, payload);
    return p;
}

// Cuts a PES or a section (with its pointer field) into packets on one PID,
// padding the last one with an adaptation field. cc counts on.
inline Bytes Packets(uint16_t pid, const Bytes& data, int& cc, bool section = false) {
    Bytes unit = data;
    if (section) {
        unit.insert(unit.begin(), 0);  // pointer field
    }
    Bytes out;
    size_t pos = 0;
    bool first = true;
    while (pos < unit.size() || first) {
        const size_t left = unit.size() - pos;
        Bytes p{0x47, static_cast<uint8_t>((first ? 0x40 : 0) | (pid >> 8)),
                static_cast<uint8_t>(pid & 0xFF), 0};
        if (left >= 184) {
            p[3] = static_cast<uint8_t>(0x10 | (cc & 0x0F));
            p.insert(p.end(), unit.begin() + static_cast<std::ptrdiff_t>(pos),
                     unit.begin() + static_cast<std::ptrdiff_t>(pos + 184));
            pos += 184;
        } else if (section) {
            p[3] = static_cast<uint8_t>(0x10 | (cc & 0x0F));
            p.insert(p.end(), unit.begin() + static_cast<std::ptrdiff_t>(pos), unit.end());
            p.resize(188, 0xFF);
            pos = unit.size();
        } else {
            // Stuffing goes into an adaptation field in front of the payload.
            p[3] = static_cast<uint8_t>(0x30 | (cc & 0x0F));
            const size_t afLength = 183 - left;
            p.push_back(static_cast<uint8_t>(afLength));
            if (afLength > 0) {
                p.push_back(0x00);
                p.resize(p.size() + afLength - 1, 0xFF);
            }
            p.insert(p.end(), unit.begin() + static_cast<std::ptrdiff_t>(pos), unit.end());
            pos = unit.size();
        }
        cc = (cc + 1) & 0x0F;
        first = false;
        Append(out, p);
    }
    return out;
}

// An MP4 box, and a full box with version and flags in front of payload.
inline Bytes Box(const std::string& type, const Bytes& payload) {
    Bytes b;
    Be32(b, static_cast<uint32_t>(8 + payload.size()));
    Append(b, B(type));
    Append(b, payload);
    return b;
}

inline Bytes FullBox(const std::string& type, uint8_t version, uint32_t flags,
                     const Bytes& payload) {
    Bytes body{version, static_cast<uint8_t>(flags >> 16), static_cast<uint8_t>(flags >> 8),
               static_cast<uint8_t>(flags)};
    Append(body, payload);
    return Box(type, body);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        Append(out, p);
    }
    return out;
}

// MP4 boxes of an audio track: the init segment and fragments.
// The track the builders below describe.
constexpr uint32_t kMp4TrackId = 2;

inline Bytes Descriptor(uint8_t tag, const Bytes& body) {
    // Lengths in the four-byte form encoders like to write.
    Bytes d{tag, 0x80, 0x80, 0x80, static_cast<uint8_t>(body.size())};
    Append(d, body);
    return d;
}

inline Bytes Esds(const Bytes& asc, uint8_t objectType = 0x40) {
    Bytes config{objectType, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Append(config, Descriptor(0x05, asc));
    Bytes es{0, 1, 0};
    Append(es, Descriptor(0x04, config));
    Append(es, Descriptor(0x06, {0x02}));
    return FullBox("esds", 0, 0, Descriptor(0x03, es));
}

inline Bytes Mp4a(const Bytes& esds, const std::string& type = "mp4a") {
    Bytes p(6, 0);
    Be16(p, 1);       // data reference index
    p.resize(16, 0);  // version, revision, vendor
    Be16(p, 2);       // channels
    Be16(p, 16);      // sample size
    Be32(p, 0);       // pre-defined, reserved
    Be32(p, 44100u << 16);
    Append(p, esds);
    return Box(type, p);
}

inline Bytes Trak(const Bytes& sampleEntry, const std::string& handler = "soun",
                  uint32_t id = kMp4TrackId) {
    Bytes tkhd(8, 0);
    Be32(tkhd, id);
    tkhd.resize(80, 0);
    Bytes mdhd(8, 0);
    Be32(mdhd, 44100);
    mdhd.resize(20, 0);
    Bytes hdlr(4, 0);
    Append(hdlr, B(handler));
    hdlr.resize(21, 0);
    Bytes stsd;
    Be32(stsd, 1);
    Append(stsd, sampleEntry);
    const Bytes stbl = Box("stbl", FullBox("stsd", 0, 0, stsd));
    return Box("trak",
               Concat({FullBox("tkhd", 0, 3, tkhd),
                       Box("mdia", Concat({FullBox("mdhd", 0, 0, mdhd), FullBox("hdlr", 0, 0, hdlr),
                                           Box("minf", stbl)}))}));
}

inline Bytes Trex(uint32_t duration, uint32_t size) {
    Bytes t;
    Be32(t, kMp4TrackId);
    Be32(t, 1);
    Be32(t, duration);
    Be32(t, size);
    Be32(t, 0);
    return FullBox("trex", 0, 0, t);
}

inline const Bytes kLcStereo44 = {0x12, 0x10};

inline Bytes Init(const Bytes& traks, const Bytes& extra = {}) {
    return Concat({Box("ftyp", Concat({B("iso6"), {0, 0, 0, 0}})),
                   Box("moov", Concat({FullBox("mvhd", 0, 0, Bytes(96, 0)), traks,
                                       Box("mvex", Trex(1024, 0)), extra}))});
}

// A fragment of the given samples, sizes and durations in trun, data offset
// from the moof (default-base-is-moof).
inline Bytes Fragment(const std::vector<Bytes>& samples, uint64_t decodeTime,
                      uint32_t trackId = kMp4TrackId, int32_t offsetDelta = 0) {
    auto build = [&](uint32_t dataOffset) {
        Bytes tfhd;
        Be32(tfhd, trackId);
        Bytes tfdt;
        Be32(tfdt, static_cast<uint32_t>(decodeTime >> 32));
        Be32(tfdt, static_cast<uint32_t>(decodeTime));
        Bytes trun;
        Be32(trun, static_cast<uint32_t>(samples.size()));
        Be32(trun, dataOffset);
        for (const auto& s : samples) {
            Be32(trun, 1024);
            Be32(trun, static_cast<uint32_t>(s.size()));
        }
        const Bytes traf =
            Box("traf", Concat({FullBox("tfhd", 0, 0x020000, tfhd), FullBox("tfdt", 1, 0, tfdt),
                                FullBox("trun", 0, 0x000301, trun)}));
        Bytes mfhd;
        Be32(mfhd, 1);
        return Box("moof", Concat({FullBox("mfhd", 0, 0, mfhd), traf}));
    };
    const size_t moofSize = build(0).size();
    Bytes mdat;
    for (const auto& s : samples) {
        Append(mdat, s);
    }
    return Concat({build(static_cast<uint32_t>(static_cast<int64_t>(moofSize) + 8 + offsetDelta)),
                   Box("mdat", mdat)});
}

}  // namespace hls_test
