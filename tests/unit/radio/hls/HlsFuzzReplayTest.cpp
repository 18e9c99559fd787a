// Replays the HLS fuzz corpora (tests/fuzz/corpus/hls_*) and saved inputs
// (tests/fuzz/regressions/hls) through the fuzz targets' own properties
// (tests/fuzz/HlsFuzzCheck.h), and reads the segments ffmpeg made for the
// corpora as a player would. The directories are found from this source
// file's path; where the build runs without them the tests skip.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fuzz/HlsFuzzCheck.h"
#include "radio/AudioFormat.h"
#include "radio/hls/SegmentCrypto.h"
#include "unit/FuzzFiles.h"

namespace {

using test_util::ForEachInput;
using test_util::FuzzDir;
using test_util::ReadFile;
using Check = std::string (*)(const uint8_t*, size_t);

const std::map<std::string, Check> kChecks = {
    {"hls_playlist", hls_fuzz::CheckPlaylist}, {"hls_ts", hls_fuzz::CheckTs},
    {"hls_packed", hls_fuzz::CheckPacked},     {"hls_fmp4", hls_fuzz::CheckFmp4},
    {"hls_id3", hls_fuzz::CheckId3},           {"hls_stream", hls_fuzz::CheckStream},
};

TEST(HlsFuzzReplay, CorporaHoldTheProperties) {
    for (const auto& [name, check] : kChecks) {
        SCOPED_TRACE(name);
        const auto dir = FuzzDir("corpus/" + name);
        if (dir.empty()) {
            GTEST_SKIP() << "corpus not reachable from this build";
        }
        const int seeds =
            ForEachInput(dir, [check = check](const std::string&, const std::vector<uint8_t>& in) {
                EXPECT_EQ(check(in.data(), in.size()), "");
            });
        EXPECT_GE(seeds, 1);
    }
}

// Saved inputs live in regressions/hls/<target>/; README.md says what each was.
TEST(HlsFuzzReplay, RegressionsHoldTheProperties) {
    if (FuzzDir("regressions/hls").empty()) {
        GTEST_SKIP() << "regressions not reachable from this build";
    }
    for (const auto& [name, check] : kChecks) {
        SCOPED_TRACE(name);
        const auto dir = FuzzDir("regressions/hls/" + name);
        if (dir.empty()) {
            continue;
        }
        ForEachInput(dir, [check = check](const std::string&, const std::vector<uint8_t>& in) {
            EXPECT_EQ(check(in.data(), in.size()), "");
        });
    }
}

// The segments ffmpeg made (44.1 kHz stereo AAC at 32 kbit/s, a 440 Hz
// tone; MP3 for the second TS), read whole as the player will.
class FfmpegSegments : public testing::Test {
protected:
    void SetUp() override {
        if (FuzzDir("corpus/hls_ts").empty()) {
            GTEST_SKIP() << "corpus not reachable";
        }
    }
    static std::vector<uint8_t> Seed(const std::string& path) {
        return ReadFile(FuzzDir("corpus") / path);
    }
};

TEST_F(FfmpegSegments, MpegTsAac) {
    const auto ts = Seed("hls_ts/ffmpeg_aac.ts");
    radio::hls::CTsDemuxer demuxer;
    radio::hls::CDemuxOutput out;
    demuxer.Feed(ts, out);
    demuxer.EndSegment(out);
    EXPECT_EQ(out.audio.format, radio::hls::CodedFormat::AdtsAac);
    EXPECT_EQ(out.audio.nSampleRate, 44100);
    EXPECT_EQ(out.audio.nChannels, 2);
    // 2.02 s of 1024-sample frames.
    EXPECT_NEAR(static_cast<double>(out.frames.size()), 2.02 * 44100 / 1024, 2);
    for (size_t i = 1; i < out.frames.size(); ++i) {
        ASSERT_GT(out.frames[i].nPts, out.frames[i - 1].nPts);
    }
    EXPECT_EQ(demuxer.ContinuityErrors(), 0u);
    EXPECT_EQ(demuxer.SyncLosses(), 0u);
}

TEST_F(FfmpegSegments, MpegTsMp3) {
    const auto ts = Seed("hls_ts/ffmpeg_mp3.ts");
    radio::hls::CTsDemuxer demuxer;
    radio::hls::CDemuxOutput out;
    demuxer.Feed(ts, out);
    demuxer.EndSegment(out);
    EXPECT_EQ(out.audio.format, radio::hls::CodedFormat::MpegAudio);
    // What comes out is what the MP3 frame scanner plays.
    radio::CMp3FrameScanner scanner;
    for (const auto& f : out.frames) {
        scanner.Feed(f.bytes);
    }
    scanner.Finish();
    int frames = 0;
    while (scanner.NextFrame()) {
        ++frames;
    }
    EXPECT_TRUE(scanner.Synced());
    EXPECT_EQ(scanner.Info().nSampleRate, 44100);
    EXPECT_GT(frames, 30);
}

TEST_F(FfmpegSegments, PackedAdtsWithId3) {
    const auto segment = Seed("hls_packed/ffmpeg_adts_id3.aac");
    radio::hls::CPackedAudioReader reader;
    radio::hls::CDemuxOutput out;
    reader.Feed(segment, out);
    reader.Finish(out);
    ASSERT_EQ(out.titles.size(), 1u);
    EXPECT_EQ(out.titles[0].strTitle, u"Caf\u00E9 Band - Morning Show");
    EXPECT_EQ(out.audio.format, radio::hls::CodedFormat::AdtsAac);
    EXPECT_NEAR(static_cast<double>(out.frames.size()), 2.0 * 44100 / 1024, 2);
    size_t bytes = 0;
    for (const auto& f : out.frames) {
        bytes += f.bytes.size();
    }
    size_t tag = 0;
    ASSERT_EQ(radio::hls::Id3TagSize(segment, tag), radio::hls::Id3Status::Ok);
    EXPECT_EQ(bytes + tag, segment.size());  // every byte after the tag is audio
}

TEST_F(FfmpegSegments, Fmp4InitAndFragment) {
    const auto init = Seed("hls_fmp4/ffmpeg_init.mp4");
    const auto both = Seed("hls_fmp4/ffmpeg_init_and_fragment.mp4");
    radio::hls::CMp4AudioTrack track;
    ASSERT_EQ(radio::hls::ReadInitSegment(init, track), radio::hls::Mp4Error::None);
    EXPECT_EQ(track.audio.format, radio::hls::CodedFormat::RawAac);
    // AAC-LC, 44.1 kHz, stereo; ffmpeg adds the backward-compatible SBR
    // signal (sync extension 0x2B7) after it.
    ASSERT_GE(track.audio.asc.size(), 2u);
    EXPECT_EQ(track.audio.asc[0], 0x12);
    EXPECT_EQ(track.audio.asc[1], 0x10);
    EXPECT_EQ(track.config.nSampleRate, 44100);
    EXPECT_EQ(track.config.nChannels, 2);
    const std::span<const uint8_t> fragment(both.data() + init.size(), both.size() - init.size());
    radio::hls::CDemuxOutput out;
    ASSERT_EQ(radio::hls::ReadMediaSegment(fragment, track, out), radio::hls::Mp4Error::None);
    // 1.006 s of frames; raw AAC frames never start with an ADTS sync word.
    EXPECT_NEAR(static_cast<double>(out.frames.size()), 1.006 * 44100 / 1024, 2);
    for (const auto& f : out.frames) {
        ASSERT_FALSE(f.bytes.size() >= 2 && f.bytes[0] == 0xFF && (f.bytes[1] & 0xF0) == 0xF0);
    }
    // The fragment's timestamps follow the two segments before it.
    EXPECT_NEAR(static_cast<double>(out.frames.front().nPts) / 90000, 2.02 + 1.997, 0.05);
}

TEST_F(FfmpegSegments, EncryptedPlaylist) {
    const auto text = Seed("hls_playlist/ffmpeg_aes.m3u8");
    const auto p = radio::hls::ParseHlsPlaylist(text, u"http://127.0.0.1:8080/enc/index.m3u8");
    ASSERT_EQ(p.error, radio::hls::HlsError::None);
    ASSERT_EQ(p.media.segments.size(), 2u);
    const auto& key = p.media.segments[0].pKey;
    ASSERT_TRUE(key);
    EXPECT_EQ(radio::hls::ClassifyKey(*key), radio::hls::KeyUse::Aes128);
    EXPECT_EQ(key->strUri, u"http://127.0.0.1:8080/enc/key.bin");
    EXPECT_TRUE(key->iv);
    EXPECT_TRUE(p.media.bEndList);
}

}  // namespace
