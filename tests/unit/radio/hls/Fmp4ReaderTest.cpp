#include "radio/hls/Fmp4Reader.h"

#include <gtest/gtest.h>

#include "HlsTestUtil.h"

namespace {

using namespace hls_test;
using radio::hls::CMp4AudioTrack;
using radio::hls::Mp4Error;

constexpr uint32_t kTrackId = kMp4TrackId;

// Where the first box of the type starts.
size_t BoxAt(const Bytes& b, const std::string& type) {
    for (size_t i = 4; i + 4 <= b.size(); ++i) {
        if (std::equal(type.begin(), type.end(), b.begin() + static_cast<std::ptrdiff_t>(i))) {
            return i - 4;
        }
    }
    ADD_FAILURE() << "no " << type;
    return 0;
}

TEST(Fmp4Reader, InitAndFragments) {
    const Bytes init = Init(Trak(Mp4a(Esds(kLcStereo44))));
    CMp4AudioTrack track;
    ASSERT_EQ(radio::hls::ReadInitSegment(init, track), Mp4Error::None);
    EXPECT_EQ(track.nTrackId, kTrackId);
    EXPECT_EQ(track.nTimescale, 44100u);
    EXPECT_EQ(track.audio.format, radio::hls::CodedFormat::RawAac);
    EXPECT_EQ(track.audio.asc, kLcStereo44);
    EXPECT_EQ(track.audio.nSampleRate, 44100);
    EXPECT_EQ(track.audio.nChannels, 2);
    EXPECT_EQ(track.nDefaultDuration, 1024u);

    const std::vector<Bytes> a = {Bytes(300, 1), Bytes(280, 2), Bytes(1, 3)};
    const std::vector<Bytes> b = {Bytes(310, 4)};
    const Bytes segment =
        Concat({Box("styp", B("msdh")), Fragment(a, 44100), Fragment(b, 44100 + 3072)});
    CDemuxOutput out;
    ASSERT_EQ(radio::hls::ReadMediaSegment(segment, track, out), Mp4Error::None);
    ASSERT_EQ(out.frames.size(), 4u);
    EXPECT_EQ(out.frames[0].bytes, a[0]);
    EXPECT_EQ(out.frames[2].bytes, a[2]);
    EXPECT_EQ(out.frames[3].bytes, b[0]);
    EXPECT_EQ(out.frames[0].nPts, 90000);
    EXPECT_EQ(out.frames[1].nPts, 90000 + 1024 * 90000 / 44100);
    EXPECT_EQ(out.audio.asc, kLcStereo44);
    // An init segment and its fragments in one file read the same.
    CDemuxOutput joined;
    ASSERT_EQ(radio::hls::ReadMediaSegment(Concat({init, segment}), track, joined), Mp4Error::None);
    EXPECT_EQ(joined.frames.size(), 4u);
}

TEST(Fmp4Reader, AudioSpecificConfigs) {
    struct {
        Bytes asc;
        int objectType, core, rate, extension, channels;
    } cases[] = {
        {{0x12, 0x10}, 2, 2, 44100, 0, 2},
        {{0x11, 0x88}, 2, 2, 48000, 0, 1},
        // HE-AAC v1 signalled explicitly: 24 kHz core under 48 kHz SBR.
        {{0x2B, 0x11, 0x88, 0x00}, 5, 2, 24000, 48000, 2},
        // HE-AAC v2: parametric stereo over a mono core.
        {{0xEB, 0x8A, 0x08}, 29, 2, 22050, 44100, 1},
        // An explicit sample rate (index 15, 24 bits).
        {{0x17, 0x80, 0x3E, 0x80, 0x10}, 2, 2, 32000, 0, 2},
    };
    for (const auto& c : cases) {
        const auto config = radio::hls::ParseAudioSpecificConfig(c.asc);
        ASSERT_TRUE(config);
        EXPECT_EQ(config->nObjectType, c.objectType);
        EXPECT_EQ(config->nCoreObjectType, c.core);
        EXPECT_EQ(config->nSampleRate, c.rate);
        EXPECT_EQ(config->nExtensionSampleRate, c.extension);
        EXPECT_EQ(config->nChannels, c.channels);
    }
    EXPECT_FALSE(radio::hls::ParseAudioSpecificConfig(Bytes{0x12}));
    EXPECT_FALSE(radio::hls::ParseAudioSpecificConfig(Bytes{0x16, 0x90}));  // sample rate index 13
    EXPECT_FALSE(radio::hls::ParseAudioSpecificConfig(Bytes{0x2B, 0x11}));  // SBR cut short
}

TEST(Fmp4Reader, InitFailures) {
    const Bytes good = Init(Trak(Mp4a(Esds(kLcStereo44))));
    // The moov says it is 1 KiB longer than the file.
    Bytes longMoov = good;
    longMoov[BoxAt(good, "moov") + 2] += 0x04;
    // A child larger than its parent: the trak's first box claims 4 KiB.
    Bytes nested = good;
    nested[BoxAt(good, "tkhd") + 2] = 0x10;
    // A box smaller than its own header.
    Bytes tiny = good;
    tiny[BoxAt(good, "tkhd") + 2] = 0;
    tiny[BoxAt(good, "tkhd") + 3] = 4;
    struct {
        const char* name;
        Bytes init;
        Mp4Error expected;
    } cases[] = {
        {"empty", {}, Mp4Error::NoAudioTrack},
        {"moov longer than the file", longMoov, Mp4Error::Truncated},
        {"child larger than its parent", nested, Mp4Error::Truncated},
        {"box smaller than its header", tiny, Mp4Error::BadBox},
        {"video only", Init(Trak(Box("avc1", Bytes(78, 0)), "vide")), Mp4Error::NoAudioTrack},
        {"encrypted", Init(Trak(Mp4a(Esds(kLcStereo44), "enca"))), Mp4Error::Encrypted},
        {"opus", Init(Trak(Box("Opus", Bytes(40, 0)))), Mp4Error::UnsupportedCodec},
        {"ac-3 in esds", Init(Trak(Mp4a(Esds(kLcStereo44, 0xA5)))), Mp4Error::UnsupportedCodec},
        {"aac main", Init(Trak(Mp4a(Esds({0x0A, 0x10})))), Mp4Error::UnsupportedCodec},
        {"no asc", Init(Trak(Mp4a(Esds({})))), Mp4Error::BadConfig},
        {"no esds", Init(Trak(Mp4a({}))), Mp4Error::BadConfig},
    };
    for (const auto& c : cases) {
        CMp4AudioTrack track;
        EXPECT_EQ(radio::hls::ReadInitSegment(c.init, track), c.expected) << c.name;
    }
    // MP3 in MP4, and an audio track after a video one.
    CMp4AudioTrack track;
    ASSERT_EQ(
        radio::hls::ReadInitSegment(
            Init(Concat({Trak(Box("avc1", Bytes(78, 0)), "vide", 1), Trak(Mp4a(Esds({}, 0x6B)))})),
            track),
        Mp4Error::None);
    EXPECT_EQ(track.audio.format, radio::hls::CodedFormat::MpegAudio);
    EXPECT_EQ(track.nTrackId, kTrackId);
}

TEST(Fmp4Reader, EveryTruncationFailsCleanly) {
    const Bytes init = Init(Trak(Mp4a(Esds(kLcStereo44))));
    for (size_t n = 0; n < init.size(); ++n) {
        CMp4AudioTrack track;
        EXPECT_NE(radio::hls::ReadInitSegment({init.data(), n}, track), Mp4Error::None) << n;
    }
    CMp4AudioTrack track;
    ASSERT_EQ(radio::hls::ReadInitSegment(init, track), Mp4Error::None);
    const Bytes fragment = Fragment({Bytes(100, 1), Bytes(100, 2)}, 0);
    for (size_t n = 1; n < fragment.size(); ++n) {
        CDemuxOutput out;
        const Mp4Error error = radio::hls::ReadMediaSegment({fragment.data(), n}, track, out);
        EXPECT_NE(error, Mp4Error::None) << n;
        EXPECT_TRUE(out.frames.size() <= 2) << n;
    }
}

TEST(Fmp4Reader, FragmentsThatLie) {
    CMp4AudioTrack track;
    ASSERT_EQ(radio::hls::ReadInitSegment(Init(Trak(Mp4a(Esds(kLcStereo44)))), track),
              Mp4Error::None);
    Bytes manySamples = Fragment({Bytes(10, 1)}, 0);
    // The trun's sample count (after its full-box header) claims 2^31 samples.
    const size_t trunCount = BoxAt(manySamples, "trun") + 12;
    manySamples[trunCount] = 0x80;
    struct {
        const char* name;
        Bytes segment;
        Mp4Error expected;
        size_t frames;
    } cases[] = {
        {"samples past the mdat", Fragment({Bytes(10, 1)}, 0, kTrackId, 5), Mp4Error::BadFragment,
         0},
        {"offset before the file", Fragment({Bytes(10, 1)}, 0, kTrackId, -100000),
         Mp4Error::BadFragment, 0},
        {"sample count beyond the run", manySamples, Mp4Error::BadFragment, 0},
        {"another track's fragment", Fragment({Bytes(10, 1)}, 0, 7), Mp4Error::None, 0},
        {"a free box and a large-size box",
         Concat({Box("free", Bytes(3, 0)),
                 {0, 0, 0, 1},
                 B("skip"),
                 {0, 0, 0, 0, 0, 0, 0, 17},
                 {0},
                 Fragment({Bytes(10, 1)}, 0)}),
         Mp4Error::None, 1},
        {"a last box to the end",
         Concat({Fragment({Bytes(10, 1)}, 0), {0, 0, 0, 0}, B("free"), Bytes(9, 0)}),
         Mp4Error::None, 1},
    };
    for (const auto& c : cases) {
        CDemuxOutput out;
        EXPECT_EQ(radio::hls::ReadMediaSegment(c.segment, track, out), c.expected) << c.name;
        EXPECT_EQ(out.frames.size(), c.frames) << c.name;
    }
}

TEST(Fmp4Reader, DefaultsFromTrex) {
    // A trun with neither sizes nor durations takes them from trex.
    Bytes init = Init(Trak(Mp4a(Esds(kLcStereo44))));
    CMp4AudioTrack track;
    ASSERT_EQ(radio::hls::ReadInitSegment(init, track), Mp4Error::None);
    track.nDefaultSize = 4;
    Bytes tfhd;
    Be32(tfhd, kTrackId);
    Bytes trun;
    Be32(trun, 3);
    const Bytes moof = Box(
        "moof", Box("traf", Concat({FullBox("tfhd", 0, 0x020000, tfhd),
                                    FullBox("trun", 0, 0x000001, Concat({trun, {0, 0, 0, 0}}))})));
    // The data offset, the trun's last field, points past the mdat's header.
    Bytes fixed = moof;
    Bytes offset;
    Be32(offset, static_cast<uint32_t>(moof.size() + 8));
    Overwrite(fixed, fixed.size() - 4, offset);
    const Bytes segment = Concat({fixed, Box("mdat", {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3})});
    CDemuxOutput out;
    ASSERT_EQ(radio::hls::ReadMediaSegment(segment, track, out), Mp4Error::None);
    ASSERT_EQ(out.frames.size(), 3u);
    EXPECT_EQ(out.frames[2].bytes, (Bytes{3, 3, 3, 3}));
    EXPECT_EQ(out.frames[0].nPts, radio::hls::kNoPts);  // no tfdt
}

}  // namespace
