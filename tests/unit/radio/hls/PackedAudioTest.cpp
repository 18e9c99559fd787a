#include "radio/hls/PackedAudio.h"

#include <gtest/gtest.h>

#include "HlsTestUtil.h"
#include "radio/hls/Id3Reader.h"

namespace {

using namespace hls_test;
using radio::hls::CPackedAudioReader;

CDemuxOutput ReadInChunks(const Bytes& data, size_t chunk) {
    CPackedAudioReader reader;
    CDemuxOutput out;
    FeedInChunks(reader, data, chunk, out);
    reader.Finish(out);
    EXPECT_FALSE(reader.Failed());
    return out;
}

Bytes PrivTimestamp(uint64_t pts) {
    Bytes priv = B("com.apple.streaming.transportStreamTimestamp");
    priv.push_back(0);
    for (int i = 7; i >= 0; --i) {
        priv.push_back(static_cast<uint8_t>(pts >> (8 * i)));
    }
    return priv;
}

TEST(PackedAudio, SegmentAsServedCutAnywhere) {
    const Bytes head = Id3(4, {{"PRIV", PrivTimestamp(900000)}, {"TIT2", Text(3, B("News"))}});
    const std::vector<Bytes> frames = {Adts(300, 1), Adts(301, 2), Adts(17, 3), Adts(400, 4)};
    Bytes segment = head;
    for (const auto& f : frames) {
        Append(segment, f);
    }
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, size_t{100}, segment.size()}) {
        SCOPED_TRACE(chunk);
        const CDemuxOutput out = ReadInChunks(segment, chunk);
        EXPECT_EQ(out.audio.format, CodedFormat::AdtsAac);
        EXPECT_EQ(out.audio.nSampleRate, 44100);
        EXPECT_EQ(out.audio.nChannels, 2);
        EXPECT_EQ(out.audio.asc, (Bytes{0x12, 0x10}));  // AAC-LC, 44.1 kHz, stereo
        ASSERT_EQ(out.frames.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(out.frames[i].bytes, frames[i]);
            // 1024 samples a frame at 44.1 kHz on the 90 kHz clock.
            EXPECT_EQ(out.frames[i].nPts, 900000 + static_cast<int64_t>(i * 1024 * 90000 / 44100));
        }
        ASSERT_EQ(out.titles.size(), 1u);
        EXPECT_EQ(out.titles[0].strTitle, u"News");
        EXPECT_EQ(out.titles[0].nPts, 900000);
    }
}

TEST(PackedAudio, DamageCostsOnlyWhatItTouches) {
    struct {
        const char* name;
        Bytes stream;
        size_t frames;
        size_t titles;
    } cases[] = {
        {"junk between frames", Concat({Adts(50), Adts(55), B("garbage!"), Adts(60), Adts(70)}), 4,
         0},
        // Sync needs two frames in a row, so junk right after the first costs it.
        {"junk after the first frame", Concat({Adts(50), B("garbage!"), Adts(60), Adts(70)}), 2, 0},
        {"junk before the first frame", Concat({B("\xFF\xF1junk"), Adts(50), Adts(60)}), 2, 0},
        {"tag between frames gives a title",
         Concat({Adts(50), Id3(3, {{"TIT2", Text(0, B("Next"))}}), Adts(60)}), 2, 1},
        {"two tags at the head",
         Concat(
             {Id3(3, {{"TIT2", Text(0, B("A"))}}), Id3(4, {{"TIT2", Text(0, B("B"))}}), Adts(9)}),
         1, 2},
        {"truncated last frame dropped", Concat({Adts(50), Adts(60), Slice(Adts(70), 0, 30)}), 2,
         0},
        {"frame of another sample rate is junk",
         Concat({Adts(50), Adts(55), Adts(40, 0, 3), Adts(60)}), 3, 0},
        {"a lone frame", Adts(10), 1, 0},
        {"an empty segment", Bytes{}, 0, 0},
        {"only a tag", Id3(3, {{"TIT2", Text(0, B("T"))}}), 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t chunk : {size_t{1}, size_t{5}, size_t{4096}}) {
            const CDemuxOutput out = ReadInChunks(c.stream, chunk);
            EXPECT_EQ(out.frames.size(), c.frames) << chunk;
            EXPECT_EQ(out.titles.size(), c.titles) << chunk;
        }
    }
}

TEST(PackedAudio, GivesUpOnNoise) {
    CPackedAudioReader reader;
    CDemuxOutput out;
    const Bytes noise(CPackedAudioReader::kMaxJunk + 16, 0x55);
    reader.Feed(noise, out);
    EXPECT_TRUE(reader.Failed());
    EXPECT_TRUE(out.frames.empty());
}

TEST(PackedAudio, HugeTagIsSkippedUnread) {
    // Cover art larger than what is read: skipped by its size, audio after it.
    const size_t art = radio::hls::kMaxId3ParseBytes + 100;
    Bytes segment = Id3(3, {{"APIC", Bytes(art, 0xAB)}});
    Append(segment, Adts(20));
    Append(segment, Adts(21));
    const CDemuxOutput out = ReadInChunks(segment, 65536);
    EXPECT_EQ(out.frames.size(), 2u);
}

TEST(PackedAudio, PackedMp3IsPassedOn) {
    // Two MPEG-1 layer III frames, 128 kbit/s at 44.1 kHz: 417 bytes each.
    Bytes frame(417, 0);
    frame[0] = 0xFF;
    frame[1] = 0xFB;
    frame[2] = 0x90;
    frame[3] = 0x00;
    const Bytes segment = Concat({Id3(3, {{"TIT2", Text(0, B("M"))}}), frame, frame, frame});
    const CDemuxOutput out = ReadInChunks(segment, 100);
    EXPECT_EQ(out.audio.format, CodedFormat::MpegAudio);
    Bytes joined;
    for (const auto& f : out.frames) {
        Append(joined, f.bytes);
    }
    EXPECT_EQ(joined, Concat({frame, frame, frame}));
    EXPECT_EQ(out.titles.size(), 1u);
}

TEST(PackedAudio, AdtsHeaderFields) {
    const Bytes frame = Adts(100, 0, 3, 1);
    const auto header = radio::hls::ParseAdtsHeader(frame.data());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->nSampleRate, 48000);
    EXPECT_EQ(header->nChannelConfig, 1);
    EXPECT_EQ(header->nFrameBytes, 107u);
    EXPECT_EQ(header->nProfile, 1);
    Bytes bad = frame;
    bad[2] = static_cast<uint8_t>((bad[2] & ~0x3C) | (13 << 2));  // no such sample rate
    EXPECT_FALSE(radio::hls::ParseAdtsHeader(bad.data()));
    bad = frame;
    bad[1] = 0xF3;  // layer 1: not ADTS
    EXPECT_FALSE(radio::hls::ParseAdtsHeader(bad.data()));
    bad = frame;
    bad[3] &= 0xFC;
    bad[4] = 0;
    bad[5] &= 0x1F;  // a frame length shorter than the header
    EXPECT_FALSE(radio::hls::ParseAdtsHeader(bad.data()));
}

}  // namespace
