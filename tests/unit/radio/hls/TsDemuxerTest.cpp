#include "radio/hls/TsDemuxer.h"

#include <gtest/gtest.h>

#include "HlsTestUtil.h"

namespace {

using namespace hls_test;
using radio::hls::CTsDemuxer;

constexpr uint16_t kPmtPid = 0x1000;
constexpr uint16_t kAudioPid = 0x101;
constexpr uint16_t kId3Pid = 0x102;

struct CStream {
    Bytes bytes;
    std::vector<Bytes> frames;  // what should come out, in order
    int patCc = 0;
    int pmtCc = 0;
    int audioCc = 0;
    int id3Cc = 0;

    void Tables(uint8_t audioType = 0x0F, bool id3 = true) {
        Append(bytes, Packets(0, Pat(kPmtPid), patCc, true));
        std::vector<PmtStream> streams = {{audioType, kAudioPid, {}}};
        if (id3) {
            // The metadata descriptor as Apple's timed metadata writes it.
            Bytes descriptor = {0x26, 13, 0xFF, 0xFF};
            Append(descriptor, B("ID3 "));
            Append(descriptor, {0xFF});
            Append(descriptor, B("ID3 "));
            descriptor.push_back(0);
            streams.push_back({0x15, kId3Pid, descriptor});
        }
        Append(bytes, Packets(kPmtPid, Pmt(streams), pmtCc, true));
    }
    void Audio(const std::vector<Bytes>& adts, int64_t pts = -1, bool bounded = true) {
        Bytes payload;
        for (const auto& f : adts) {
            Append(payload, f);
            frames.push_back(f);
        }
        Append(bytes, Packets(kAudioPid, Pes(0xC0, payload, pts, bounded), audioCc));
    }
    void Title(const std::string& title, int64_t pts) {
        Append(bytes,
               Packets(kId3Pid, Pes(0xBD, Id3(4, {{"TIT2", Text(3, B(title))}}), pts), id3Cc));
    }
};

CDemuxOutput Demux(const Bytes& data, size_t chunk, CTsDemuxer& demuxer) {
    CDemuxOutput out;
    FeedInChunks(demuxer, data, chunk, out);
    demuxer.EndSegment(out);
    return out;
}

CStream TypicalSegment() {
    CStream s;
    s.Tables();
    s.Audio({Adts(200, 1), Adts(201, 2)}, 90000);
    s.Title("Artist - Song", 90000);
    // A PES over many packets.
    std::vector<Bytes> many;
    for (int i = 0; i < 12; ++i) {
        many.push_back(Adts(150 + i, static_cast<uint8_t>(10 + i)));
    }
    s.Audio(many, 90000 + 2 * 2090);
    s.Audio({Adts(300, 3)}, -1, false);  // unbounded, ended by the segment
    return s;
}

TEST(TsDemuxer, CutAnywhereGivesTheSameFrames) {
    const CStream s = TypicalSegment();
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{187}, size_t{188}, size_t{189}, size_t{1000},
                         s.bytes.size()}) {
        SCOPED_TRACE(chunk);
        CTsDemuxer demuxer;
        const CDemuxOutput out = Demux(s.bytes, chunk, demuxer);
        EXPECT_EQ(out.audio.format, CodedFormat::AdtsAac);
        ASSERT_EQ(out.frames.size(), s.frames.size());
        for (size_t i = 0; i < s.frames.size(); ++i) {
            EXPECT_EQ(out.frames[i].bytes, s.frames[i]);
        }
        EXPECT_EQ(out.frames[0].nPts, 90000);
        EXPECT_EQ(out.frames[2].nPts, 90000 + 2 * 2090);
        ASSERT_EQ(out.titles.size(), 1u);
        EXPECT_EQ(out.titles[0].strTitle, u"Artist - Song");
        EXPECT_EQ(out.titles[0].nPts, 90000);
        EXPECT_EQ(demuxer.ContinuityErrors(), 0u);
        EXPECT_EQ(demuxer.SyncLosses(), 0u);
        EXPECT_FALSE(demuxer.Failed());
    }
}

TEST(TsDemuxer, MpegAudioStreams) {
    for (uint8_t type : {uint8_t{0x03}, uint8_t{0x04}}) {
        CStream s;
        s.Tables(type, false);
        const Bytes a(500, 0xA5);
        const Bytes b(300, 0x5A);
        Append(s.bytes, Packets(kAudioPid, Pes(0xC0, a, 1000), s.audioCc));
        Append(s.bytes, Packets(kAudioPid, Pes(0xC0, b, 3000), s.audioCc));
        CTsDemuxer demuxer;
        const CDemuxOutput out = Demux(s.bytes, 50, demuxer);
        EXPECT_EQ(out.audio.format, CodedFormat::MpegAudio);
        ASSERT_EQ(out.frames.size(), 2u);
        EXPECT_EQ(out.frames[0].bytes, a);
        EXPECT_EQ(out.frames[0].nPts, 1000);
        EXPECT_EQ(out.frames[1].bytes, b);
        EXPECT_EQ(demuxer.AudioStreamType(), type);
    }
}

// Each case damages the typical segment and says how many frames survive.
struct CDamageCase {
    const char* name;
    void (*damage)(Bytes&);
    size_t frames;
    size_t continuityErrors;
    size_t syncLosses;
};

size_t PacketOf(const Bytes& b, uint16_t pid, int nth) {
    for (size_t i = 0; i + 188 <= b.size(); i += 188) {
        if ((((b[i + 1] & 0x1F) << 8) | b[i + 2]) == pid && nth-- == 0) {
            return i;
        }
    }
    return b.size();
}

const CDamageCase kDamage[] = {
    // The second audio PES starts at the audio PID's second packet; losing
    // its third packet loses that PES only.
    {"lost packet inside a PES", [](Bytes& b) { Erase(b, PacketOf(b, kAudioPid, 4), 188); }, 3, 1,
     0},
    {"repeated packet is taken once",
     [](Bytes& b) {
         const size_t at = PacketOf(b, kAudioPid, 3);
         InsertAt(b, at + 188, Slice(b, at, 188));
     },
     15, 0, 0},
    {"bytes lost mid-packet", [](Bytes& b) { Erase(b, PacketOf(b, kAudioPid, 3) + 50, 40); }, 3, 1,
     1},
    {"garbage between packets",
     [](Bytes& b) { InsertAt(b, PacketOf(b, kAudioPid, 1), Bytes(77, 0x00)); }, 15, 0, 1},
    {"transport error flag drops the packet",
     [](Bytes& b) { b[PacketOf(b, kAudioPid, 3) + 1] |= 0x80; }, 3, 1, 0},
    // The first PES ends in a packet padded by an adaptation field; one too
    // long for the packet drops it, and the PES it would have ended.
    {"adaptation field longer than the packet",
     [](Bytes& b) { b[PacketOf(b, kAudioPid, 2) + 4] = 184; }, 13, 1, 0},
    {"discontinuity indicator excuses a jump",
     [](Bytes& b) {
         const size_t at = PacketOf(b, kAudioPid, 3);
         const Bytes p = Slice(b, at, 188);
         Bytes q{p[0], p[1], p[2], static_cast<uint8_t>(0x30 | ((p[3] + 5) & 0x0F)), 1, 0x80};
         q.insert(q.end(), p.begin() + 4, p.begin() + 186);
         // The two payload bytes that no longer fit cost the frame they
         // belong to; the counters jumping by 5 from here on cost nothing.
         Overwrite(b, at, q);
         for (size_t i = at + 188; i + 188 <= b.size(); i += 188) {
             if ((((b[i + 1] & 0x1F) << 8) | b[i + 2]) == kAudioPid) {
                 b[i + 3] = static_cast<uint8_t>((b[i + 3] & 0xF0) | ((b[i + 3] + 5) & 0x0F));
             }
         }
     },
     14, 0, 0},
    {"PAT with a bad CRC: no program, no audio", [](Bytes& b) { b[5 + 10] ^= 0x01; }, 0, 0, 0},
};

TEST(TsDemuxer, Damage) {
    const CStream s = TypicalSegment();
    ASSERT_EQ(s.frames.size(), 15u);
    for (const auto& c : kDamage) {
        SCOPED_TRACE(c.name);
        Bytes bytes = s.bytes;
        c.damage(bytes);
        for (size_t chunk : {size_t{1}, size_t{188}, size_t{4096}}) {
            CTsDemuxer demuxer;
            const CDemuxOutput out = Demux(bytes, chunk, demuxer);
            EXPECT_EQ(out.frames.size(), c.frames) << chunk;
            EXPECT_EQ(demuxer.ContinuityErrors(), c.continuityErrors) << chunk;
            EXPECT_EQ(demuxer.SyncLosses(), c.syncLosses) << chunk;
            EXPECT_FALSE(demuxer.Failed());
        }
    }
}

TEST(TsDemuxer, TablesOverSeveralPacketsAndSegments) {
    // A PMT whose descriptors make it longer than one packet.
    CStream s;
    Append(s.bytes, Packets(0, Pat(kPmtPid), s.patCc, true));
    Bytes info;
    for (int i = 0; i < 125; ++i) {
        Append(info, {0x0A, 0x00});
    }
    Append(s.bytes,
           Packets(kPmtPid, Pmt({{0x1B, 0x100, info}, {0x0F, kAudioPid, {}}}), s.pmtCc, true));
    s.Audio({Adts(100)}, 0);
    CTsDemuxer demuxer;
    CDemuxOutput out = Demux(s.bytes, 188, demuxer);
    EXPECT_EQ(out.frames.size(), 1u);
    // The next segment continues the stream; its counters follow on.
    CStream next = s;
    next.bytes.clear();
    next.frames.clear();
    next.Audio({Adts(110), Adts(120)}, 0);
    out = Demux(next.bytes, 188, demuxer);
    EXPECT_EQ(out.frames.size(), 2u);
    EXPECT_EQ(demuxer.ContinuityErrors(), 0u);
}

// Segmenters that start every segment's counters at 0: a one-packet title
// PES has the same count in each, and must not be taken for a repeat.
TEST(TsDemuxer, SegmentsWhoseCountersStartAfresh) {
    CTsDemuxer demuxer;
    for (int segment = 0; segment < 4; ++segment) {
        CStream s;
        s.Tables();
        s.Title("Song " + std::to_string(segment), 1000 * segment);
        s.Audio({Adts(100), Adts(100)}, 1000 * segment);
        const CDemuxOutput out = Demux(s.bytes, 188, demuxer);
        ASSERT_EQ(out.titles.size(), 1u) << segment;
        EXPECT_EQ(out.titles[0].strTitle, u"Song " + std::u16string(1, u'0' + segment));
        EXPECT_EQ(out.frames.size(), 2u) << segment;
    }
}

TEST(TsDemuxer, AudioWeCannotDecode) {
    CStream s;
    Append(s.bytes, Packets(0, Pat(kPmtPid), s.patCc, true));
    Append(s.bytes, Packets(kPmtPid, Pmt({{0x81, kAudioPid, {}}}), s.pmtCc, true));
    CTsDemuxer demuxer;
    Demux(s.bytes, 188, demuxer);
    EXPECT_TRUE(demuxer.UnsupportedAudio());
}

TEST(TsDemuxer, GivesUpOnNoise) {
    CTsDemuxer demuxer;
    CDemuxOutput out;
    demuxer.Feed(Bytes(CTsDemuxer::kMaxJunk + 1000, 0x00), out);
    EXPECT_TRUE(demuxer.Failed());
}

TEST(TsDemuxer, Crc) {
    // The check value of the MPEG-2 CRC-32 over "123456789".
    EXPECT_EQ(radio::hls::Crc32Mpeg(B("123456789")), 0x0376E6E7u);
}

}  // namespace
