#include "radio/decoder/AacFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/HexText.h"

namespace {

using Bytes = std::vector<uint8_t>;
using radio::CAacFrameScanner;
using radio::CCodecDetection;
using radio::CodecKind;
using test_util::Hex;

// An ADTS frame of `bytes` (header included) whose body is marked with
// index: AAC-LC unless told, no CRC, one raw data block.
Bytes Adts(size_t bytes, uint8_t index, int rateIndex = 4, int channels = 2, int profile = 1) {
    Bytes f(bytes, index);
    f[0] = 0xFF;
    f[1] = 0xF1;
    f[2] = static_cast<uint8_t>((profile << 6) | (rateIndex << 2) | (channels >> 2));
    f[3] = static_cast<uint8_t>(((channels & 3) << 6) | ((bytes >> 11) & 3));
    f[4] = static_cast<uint8_t>((bytes >> 3) & 0xFF);
    f[5] = static_cast<uint8_t>(((bytes & 7) << 5) | 0x1F);
    f[6] = 0xFC;
    return f;
}

// A LOAS frame whose payload is marked with index.
Bytes Loas(size_t payload, uint8_t index) {
    Bytes f(payload + 3, index);
    f[0] = 0x56;
    f[1] = static_cast<uint8_t>(0xE0 | ((payload >> 8) & 0x1F));
    f[2] = static_cast<uint8_t>(payload & 0xFF);
    return f;
}

// Frames of varying size, as a real encoder writes them.
std::vector<Bytes> AdtsRun(int count, uint8_t first = 1) {
    std::vector<Bytes> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back(
            Adts(300 + static_cast<size_t>(i % 5) * 37, static_cast<uint8_t>(first + i)));
    }
    return frames;
}

Bytes Join(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct CScanResult {
    std::vector<Bytes> frames;
    std::vector<int> markers;  // each frame's body byte, to compare readably
    bool failed = false;
    int resyncs = 0;
};

CScanResult Scan(const Bytes& data, size_t chunk, CodecKind kind = CodecKind::AacAdts) {
    CAacFrameScanner scanner(kind);
    CScanResult result;
    auto drain = [&] {
        while (auto frame = scanner.NextFrame()) {
            result.frames.emplace_back(frame->begin(), frame->end());
            result.markers.push_back(frame->size() > 7 ? (*frame)[7] : -1);
        }
    };
    for (size_t pos = 0; pos < data.size(); pos += chunk) {
        scanner.Feed({data.data() + pos, std::min(chunk, data.size() - pos)});
        drain();
    }
    scanner.Finish();
    drain();
    result.failed = scanner.Failed();
    result.resyncs = scanner.Resyncs();
    return result;
}

struct CAdtsHeaderCase {
    const char* name;
    const char* bytes;
    bool valid;
    int profile, rate, channels;
    size_t headerBytes, frameBytes;
    const char* asc;
};

class AdtsHeaders : public testing::TestWithParam<CAdtsHeaderCase> {};

TEST_P(AdtsHeaders, ParsedAndConfigBuilt) {
    const auto& c = GetParam();
    const Bytes bytes = Hex(c.bytes);
    const auto header = radio::ParseAdtsHeader(bytes.data());
    ASSERT_EQ(header.has_value(), c.valid);
    if (!c.valid) {
        return;
    }
    EXPECT_EQ(header->nProfile, c.profile);
    EXPECT_EQ(header->nSampleRate, c.rate);
    EXPECT_EQ(header->nChannelConfig, c.channels);
    EXPECT_EQ(header->nHeaderBytes, c.headerBytes);
    EXPECT_EQ(header->nFrameBytes, c.frameBytes);
    EXPECT_EQ(radio::AdtsAudioSpecificConfig(*header), Hex(c.asc));
}

// The first two are the heads of files ffmpeg's AAC encoder wrote.
INSTANTIATE_TEST_SUITE_P(
    Cases, AdtsHeaders,
    testing::Values(
        CAdtsHeaderCase{"ffmpeg_44k_stereo", "FF F1 50 80 2B 3F FC", true, 1, 44100, 2, 7, 345,
                        "12 10"},
        CAdtsHeaderCase{"ffmpeg_22k_mono", "FF F1 5C 40 20 BF FC", true, 1, 22050, 1, 7, 261,
                        "13 88"},
        CAdtsHeaderCase{"48k_stereo_crc", "FF F0 4C 80 2B 3F FC", true, 1, 48000, 2, 9, 345,
                        "11 90"},
        CAdtsHeaderCase{"8k_mono", "FF F1 6C 40 20 BF FC", true, 1, 8000, 1, 7, 261, "15 88"},
        CAdtsHeaderCase{"mpeg2_id_bit", "FF F9 50 80 2B 3F FC", true, 1, 44100, 2, 7, 345, "12 10"},
        CAdtsHeaderCase{"layer_not_zero", "FF F3 50 80 2B 3F FC", false, 0, 0, 0, 0, 0, ""},
        CAdtsHeaderCase{"mp3_header", "FF FB 90 00 00 00 00", false, 0, 0, 0, 0, 0, ""},
        CAdtsHeaderCase{"reserved_rate", "FF F1 74 80 2B 3F FC", false, 0, 0, 0, 0, 0, ""},
        CAdtsHeaderCase{"length_below_header", "FF F1 50 80 00 DF FC", false, 0, 0, 0, 0, 0, ""},
        CAdtsHeaderCase{"bad_sync", "FF E1 50 80 2B 3F FC", false, 0, 0, 0, 0, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct CUserDataCase {
    const char* name;
    radio::AacPayload payload;
    const char* asc;
    const char* expected;
};

class HeAacUserData : public testing::TestWithParam<CUserDataCase> {};

TEST_P(HeAacUserData, ByteExact) {
    const auto& c = GetParam();
    EXPECT_EQ(radio::BuildHeAacUserData(c.payload, Hex(c.asc)), Hex(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeAacUserData,
    testing::Values(CUserDataCase{"adts_44k_stereo", radio::AacPayload::Adts, "12 10",
                                  "01 00 FE 00 00 00 00 00 00 00 00 00 12 10"},
                    CUserDataCase{"raw_48k_stereo", radio::AacPayload::Raw, "11 90",
                                  "00 00 FE 00 00 00 00 00 00 00 00 00 11 90"},
                    // HE-AAC v1 signalled explicitly: object type 5, 22.05 kHz core, 44.1 kHz out.
                    CUserDataCase{"raw_he_aac", radio::AacPayload::Raw, "2B 92 08 00",
                                  "00 00 FE 00 00 00 00 00 00 00 00 00 2B 92 08 00"},
                    CUserDataCase{"loas", radio::AacPayload::Loas, "",
                                  "03 00 FE 00 00 00 00 00 00 00 00 00"}),
    [](const auto& info) { return std::string(info.param.name); });

// What each codec is fed to the transform as, and the "FileType" it shows.
TEST(CodecKinds, PayloadAndFileType) {
    struct Case {
        CodecKind kind;
        std::optional<radio::AacPayload> payload;
        std::u16string_view fileType;
    };
    const Case cases[] = {
        {CodecKind::AacAdts, radio::AacPayload::Adts, u"aac"},
        {CodecKind::AacRaw, radio::AacPayload::Raw, u"aac"},
        {CodecKind::AacLatm, radio::AacPayload::Loas, u"aac"},
        {CodecKind::Mp3, std::nullopt, u"mp3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        EXPECT_EQ(radio::AacPayloadFor(c.kind), c.payload);
        EXPECT_EQ(radio::CodecFileType(c.kind), c.fileType);
    }
}

TEST(LoasHeader, LengthAndSync) {
    struct Case {
        const char* name;
        const char* bytes;
        std::optional<size_t> frameBytes;
    };
    const Case cases[] = {
        {"ffmpeg's first frame", "56 E1 28", 299},
        {"the longest", "56 FF FF", 3 + 0x1FFF},
        {"empty", "56 E0 00", std::nullopt},
        {"11th sync bit clear", "56 C1 28", std::nullopt},
        {"first byte off", "57 E1 28", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(radio::ParseLoasFrameBytes(Hex(c.bytes).data()), c.frameBytes);
    }
}

// Undamaged streams come out frame for frame however they are cut.
TEST(AacScanner, CleanStreamsAtEveryChunkSize) {
    struct Case {
        const char* name;
        CodecKind kind;
        Bytes junk;  // before the first frame
        std::vector<Bytes> frames;
    };
    std::vector<Bytes> loas;
    for (int i = 0; i < 8; ++i) {
        loas.push_back(Loas(180 + static_cast<size_t>(i) * 3, static_cast<uint8_t>(i + 1)));
    }
    const Case cases[] = {
        {"adts", CodecKind::AacAdts, {}, AdtsRun(12)},
        // Too short for three in a row, but whole frames that end the data.
        {"two adts frames end a file", CodecKind::AacAdts, {}, AdtsRun(2)},
        {"loas after junk", CodecKind::AacLatm, Bytes(50, 0x11), loas},
    };
    for (const Case& c : cases) {
        Bytes data = c.junk;
        const Bytes run = Join(c.frames);
        data.insert(data.end(), run.begin(), run.end());
        for (size_t chunk : {size_t{1}, size_t{7}, size_t{300}, size_t{4096}, data.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", chunk " + std::to_string(chunk));
            const auto result = Scan(data, chunk, c.kind);
            EXPECT_EQ(result.frames, c.frames);
            EXPECT_FALSE(result.failed);
            EXPECT_EQ(result.resyncs, 0);
        }
    }
}

TEST(AacScanner, ReportsTheSyncedKind) {
    CAacFrameScanner scanner;
    const Bytes data = Join({Adts(200, 1, 7, 1), Adts(210, 2, 7, 1), Adts(220, 3, 7, 1)});
    scanner.Feed(data);
    EXPECT_FALSE(scanner.Synced());
    ASSERT_TRUE(scanner.NextFrame());
    EXPECT_TRUE(scanner.Synced());
    EXPECT_EQ(scanner.Adts().nSampleRate, 22050);
    EXPECT_EQ(scanner.Adts().nChannelConfig, 1);
}

struct CDamageCase {
    const char* name;
    // Builds the stream from twelve good frames and says which of them must
    // come out.
    Bytes (*build)(const std::vector<Bytes>& good);
    std::vector<int> expected;  // indexes into the good frames
    int resyncs;
};

class AacScannerDamage : public testing::TestWithParam<CDamageCase> {};

TEST_P(AacScannerDamage, ResynchronisesOnTheNextRun) {
    const auto& c = GetParam();
    const auto good = AdtsRun(12);
    const Bytes data = c.build(good);
    std::vector<int> expected;
    for (int i : c.expected) {
        expected.push_back(good[static_cast<size_t>(i)][7]);
    }
    for (size_t chunk : {size_t{1}, size_t{4096}}) {
        SCOPED_TRACE(chunk);
        const auto result = Scan(data, chunk);
        EXPECT_EQ(result.markers, expected);
        // What comes out is whole frames, never a stretch across damage.
        for (const auto& frame : result.frames) {
            EXPECT_EQ(frame, good[static_cast<size_t>(frame[7] - 1)]);
        }
        EXPECT_EQ(result.resyncs, c.resyncs);
        EXPECT_FALSE(result.failed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AacScannerDamage,
    testing::Values(CDamageCase{"junk_before",
                                [](const std::vector<Bytes>& g) {
                                    Bytes d(333, 0x5A);
                                    // A lone header in the junk is not taken for audio.
                                    const Bytes fake = Adts(40, 0xEE);
                                    d.insert(d.begin() + 100, fake.begin(), fake.begin() + 7);
                                    const Bytes run = Join(g);
                                    d.insert(d.end(), run.begin(), run.end());
                                    return d;
                                },
                                {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                                0},
                    CDamageCase{"length_field_flipped",
                                [](const std::vector<Bytes>& g) {
                                    auto frames = g;
                                    frames[4][4] ^= 0x40;  // frame 4 claims another length
                                    return Join(frames);
                                },
                                // Frame 4 is lost; sync needs frames 5, 6, 7 in a row again.
                                {0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11},
                                1},
                    CDamageCase{"bytes_cut_out",
                                [](const std::vector<Bytes>& g) {
                                    auto frames = g;
                                    frames[6].resize(100);  // a frame half lost in the air
                                    return Join(frames);
                                },
                                {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11},
                                1},
                    CDamageCase{"noise_between_frames",
                                [](const std::vector<Bytes>& g) {
                                    auto frames = g;
                                    frames.insert(frames.begin() + 3, Bytes(77, 0xFF));
                                    return Join(frames);
                                },
                                // Frame 2 is whole, but nothing confirms its length.
                                {0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                                1},
                    CDamageCase{"other_kind_is_noise",
                                [](const std::vector<Bytes>& g) {
                                    auto frames = g;
                                    // A run of mono 22.05 kHz frames inside a stereo 44.1 kHz
                                    // stream.
                                    frames.insert(
                                        frames.begin() + 5,
                                        Join({Adts(200, 0xA0, 7, 1), Adts(200, 0xA1, 7, 1),
                                              Adts(200, 0xA2, 7, 1)}));
                                    return Join(frames);
                                },
                                {0, 1, 2, 3, 5, 6, 7, 8, 9, 10, 11},
                                1},
                    CDamageCase{"id3_tags_skipped",
                                [](const std::vector<Bytes>& g) {
                                    Bytes tag = Hex("49 44 33 04 00 00 00 00 00 0A");
                                    tag.insert(tag.end(), 10, 0xFF);  // a body full of sync bytes
                                    Bytes d = tag;
                                    const Bytes run = Join(g);
                                    d.insert(d.end(), run.begin(), run.end());
                                    return d;
                                },
                                {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                                0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AacScanner, GivesUpOnNoise) {
    const Bytes noise(CAacFrameScanner::kMaxJunk + 10, 0x42);
    const auto result = Scan(noise, 4096);
    EXPECT_TRUE(result.frames.empty());
    EXPECT_TRUE(result.failed);
}

struct CContentTypeCase {
    const char* type;
    std::optional<CodecKind> kind;
};

class ContentTypes : public testing::TestWithParam<CContentTypeCase> {};

TEST_P(ContentTypes, NameTheirCodec) {
    EXPECT_EQ(radio::CodecForContentType(GetParam().type), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(Cases, ContentTypes,
                         testing::Values(CContentTypeCase{"audio/aac", CodecKind::AacAdts},
                                         CContentTypeCase{"audio/aacp", CodecKind::AacAdts},
                                         CContentTypeCase{"audio/x-aac", CodecKind::AacAdts},
                                         CContentTypeCase{"Audio/AACP; charset=utf-8",
                                                          CodecKind::AacAdts},
                                         CContentTypeCase{" audio/aac ", CodecKind::AacAdts},
                                         CContentTypeCase{"audio/mp4a-latm", CodecKind::AacLatm},
                                         CContentTypeCase{"audio/mpeg", CodecKind::Mp3},
                                         CContentTypeCase{"audio/aac-x", std::nullopt},
                                         CContentTypeCase{"text/html", std::nullopt},
                                         CContentTypeCase{"", std::nullopt}));

struct CDetectCase {
    const char* name;
    const char* contentType;
    Bytes (*build)();
    bool end;
    CCodecDetection::Result result;
    CodecKind kind;
    size_t offset;
};

class Detection : public testing::TestWithParam<CDetectCase> {};

TEST_P(Detection, BytesFirstThenTheContentType) {
    const auto& c = GetParam();
    const auto found = radio::DetectCodec(c.contentType, c.build(), c.end);
    EXPECT_EQ(found.result, c.result);
    if (c.result == CCodecDetection::Result::Found) {
        EXPECT_EQ(found.kind, c.kind);
        EXPECT_EQ(found.nOffset, c.offset);
    }
}

Bytes Mp3Run() {
    Bytes out;
    for (int i = 0; i < 3; ++i) {
        Bytes f(417, 0x33);
        f[0] = 0xFF, f[1] = 0xFB, f[2] = 0x90, f[3] = 0x00;
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

using R = CCodecDetection::Result;

INSTANTIATE_TEST_SUITE_P(
    Cases, Detection,
    testing::Values(
        CDetectCase{"adts_unlabelled", "", [] { return Join(AdtsRun(3)); }, false, R::Found,
                    CodecKind::AacAdts, 0},
        CDetectCase{"adts_labelled_mpeg", "audio/mpeg",
                    [] {
                        Bytes d(20, 0);
                        const Bytes run = Join(AdtsRun(4));
                        d.insert(d.end(), run.begin(), run.end());
                        return d;
                    },
                    false, R::Found, CodecKind::AacAdts, 20},
        CDetectCase{"mp3_labelled_aac", "audio/aac", Mp3Run, false, R::Found, CodecKind::Mp3, 0},
        CDetectCase{"loas_labelled_aacp", "audio/aacp",
                    [] {
                        return Join({Loas(200, 1), Loas(190, 2), Loas(210, 3)});
                    },
                    false, R::Found, CodecKind::AacLatm, 0},
        CDetectCase{"after_id3", "",
                    [] {
                        Bytes d = Hex("49 44 33 03 00 00 00 00 00 05 FF F1 50 80 2B");
                        const Bytes run = Join(AdtsRun(3));
                        d.insert(d.end(), run.begin(), run.end());
                        return d;
                    },
                    false, R::Found, CodecKind::AacAdts, 15},
        CDetectCase{"second_frame_not_arrived", "",
                    [] {
                        Bytes d = Join(AdtsRun(1));
                        d.resize(d.size() + 3, 0);
                        return d;
                    },
                    false, R::NeedMore, CodecKind::AacAdts, 0},
        CDetectCase{"noise_labelled_aac_is_left_to_the_scanner", "audio/aac",
                    [] { return Bytes(500, 0x42); }, true, R::Found, CodecKind::AacAdts, 0},
        CDetectCase{"noise_unlabelled", "", [] { return Bytes(500, 0x42); }, true, R::NotFound,
                    CodecKind::Mp3, 0},
        CDetectCase{"html", "text/html",
                    [] {
                        const std::string html = "<html><body>Not here</body></html>";
                        return Bytes(html.begin(), html.end());
                    },
                    true, R::NotFound, CodecKind::Mp3, 0},
        CDetectCase{"endless_noise_is_final", "",
                    [] { return Bytes(radio::kMaxDetectBytes + 1, 0x42); }, false, R::NotFound,
                    CodecKind::Mp3, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BitrateMeter, MeasuredFromTheFrames) {
    radio::CBitrateMeter meter;
    EXPECT_EQ(meter.Kbps(), 0);
    // 372-byte frames of 1024 samples at 44.1 kHz: 128.2 kbit/s.
    for (int i = 0; i < 10; ++i) {
        meter.Add(372, 1024, 44100);
    }
    EXPECT_EQ(meter.Kbps(), 0);  // 232 ms: too little to say
    for (int i = 0; i < 40; ++i) {
        meter.Add(372, 1024, 44100);
    }
    EXPECT_EQ(meter.Kbps(), 128);
    meter.Add(1000, 0, 44100);  // a frame without a duration is not counted
    meter.Add(1000, 1024, 0);
    EXPECT_EQ(meter.Kbps(), 128);
    EXPECT_EQ(radio::ChooseBitrateKbps(96, meter.Kbps()), 96);
    EXPECT_EQ(radio::ChooseBitrateKbps(0, meter.Kbps()), 128);
}

}  // namespace
