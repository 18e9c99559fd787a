#include "radio/AudioFormat.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using radio::CMp3FrameScanner;

struct CHeaderCase {
    uint8_t bytes[4];
    bool valid;
    int version, bitrate, rate, channels;
    size_t frameBytes;
};

class Mp3Headers : public testing::TestWithParam<CHeaderCase> {};

TEST_P(Mp3Headers, Parsed) {
    const auto& c = GetParam();
    const auto info = radio::ParseMp3Header(c.bytes);
    ASSERT_EQ(info.has_value(), c.valid);
    if (c.valid) {
        EXPECT_EQ(info->nVersion, c.version);
        EXPECT_EQ(info->nBitrate, c.bitrate);
        EXPECT_EQ(info->nSampleRate, c.rate);
        EXPECT_EQ(info->nChannels, c.channels);
        EXPECT_EQ(info->nFrameBytes, c.frameBytes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mp3Headers,
    testing::Values(
        CHeaderCase{{0xFF, 0xFB, 0x90, 0x00}, true, 1, 128, 44100, 2, 417},
        CHeaderCase{{0xFF, 0xFB, 0x92, 0xC0}, true, 1, 128, 44100, 1, 418},  // padded, mono
        CHeaderCase{{0xFF, 0xFB, 0xE4, 0x00}, true, 1, 320, 48000, 2, 960},
        CHeaderCase{{0xFF, 0xF3, 0x80, 0x00}, true, 2, 64, 22050, 2, 208},
        CHeaderCase{{0xFF, 0xE3, 0x18, 0x00}, true, 25, 8, 8000, 2, 72},
        CHeaderCase{{0xFF, 0xFB, 0x00, 0x00}, false, 0, 0, 0, 0, 0},  // free format
        CHeaderCase{{0xFF, 0xFB, 0xF0, 0x00}, false, 0, 0, 0, 0, 0},  // bad bitrate
        CHeaderCase{{0xFF, 0xFB, 0x9C, 0x00}, false, 0, 0, 0, 0, 0},  // reserved rate
        CHeaderCase{{0xFF, 0xFD, 0x90, 0x00}, false, 0, 0, 0, 0, 0},  // layer II
        CHeaderCase{{0xFF, 0xEB, 0x90, 0x00}, false, 0, 0, 0, 0, 0},  // reserved version
        CHeaderCase{{0xFF, 0xFB, 0x90, 0x02}, false, 0, 0, 0, 0, 0},  // reserved emphasis
        CHeaderCase{{0xFE, 0xFB, 0x90, 0x00}, false, 0, 0, 0, 0, 0}));

// A 128 kbit/s 44.1 kHz stereo frame whose body is marked with its index.
std::vector<uint8_t> Frame(uint8_t index) {
    std::vector<uint8_t> frame(417, index);
    frame[0] = 0xFF, frame[1] = 0xFB, frame[2] = 0x90, frame[3] = 0x00;
    return frame;
}

std::vector<uint8_t> Frames(int count, uint8_t first = 1) {
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) {
        const auto f = Frame(static_cast<uint8_t>(first + i));
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

std::vector<uint8_t> Id3v2(size_t bodyBytes) {
    std::vector<uint8_t> tag = {'I', 'D', '3', 4, 0, 0};
    tag.push_back(static_cast<uint8_t>((bodyBytes >> 21) & 0x7F));
    tag.push_back(static_cast<uint8_t>((bodyBytes >> 14) & 0x7F));
    tag.push_back(static_cast<uint8_t>((bodyBytes >> 7) & 0x7F));
    tag.push_back(static_cast<uint8_t>(bodyBytes & 0x7F));
    // A body full of frame headers, which must not be taken for audio.
    for (size_t i = 0; i < bodyBytes; ++i) {
        tag.push_back(i % 4 == 0 ? 0xFF : 0xFB);
    }
    return tag;
}

// Feeds the input in chunks and returns the index byte of each frame.
std::vector<uint8_t> Scan(const std::vector<uint8_t>& input, size_t chunk, bool finish,
                          CMp3FrameScanner& scanner) {
    std::vector<uint8_t> indices;
    for (size_t pos = 0; pos < input.size(); pos += chunk) {
        scanner.Feed({input.data() + pos, std::min(chunk, input.size() - pos)});
        while (auto frame = scanner.NextFrame()) {
            EXPECT_EQ(frame->size(), 417u);
            indices.push_back((*frame)[100]);
        }
    }
    if (finish) {
        scanner.Finish();
        while (auto frame = scanner.NextFrame()) {
            indices.push_back((*frame)[100]);
        }
    }
    return indices;
}

class ScannerChunks : public testing::TestWithParam<size_t> {};

TEST_P(ScannerChunks, JunkAndTagsAreSkipped) {
    std::vector<uint8_t> input = Id3v2(3000);
    input.insert(input.end(), {'j', 0xFF, 0xFB, 'u', 'n', 'k'});
    const auto frames = Frames(5);
    input.insert(input.end(), frames.begin(), frames.end());
    // An ID3v1 tag between frames, then more frames.
    input.insert(input.end(), {'T', 'A', 'G'});
    input.insert(input.end(), 125, 'x');
    const auto more = Frames(3, 6);
    input.insert(input.end(), more.begin(), more.end());
    CMp3FrameScanner scanner;
    EXPECT_EQ(Scan(input, GetParam(), true, scanner),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(scanner.Failed());
    EXPECT_EQ(scanner.Info().nSampleRate, 44100);
}

INSTANTIATE_TEST_SUITE_P(Split, ScannerChunks, testing::Values(1, 3, 7, 100, 417, 4096, 100000));

TEST(Mp3Scanner, SyncWaitsForThreeFramesThenFramesFlow) {
    CMp3FrameScanner scanner;
    EXPECT_TRUE(Scan(Frames(2), 4096, false, scanner).empty());
    EXPECT_EQ(Scan(Frames(2, 3), 4096, false, scanner), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(Mp3Scanner, LoneHeadersInNoiseAreNotSync) {
    std::vector<uint8_t> input(2000, 0);
    input[10] = 0xFF, input[11] = 0xFB, input[12] = 0x90, input[13] = 0x00;
    // A second header where the first frame would end, but not a third.
    input[427] = 0xFF, input[428] = 0xFB, input[429] = 0x90, input[430] = 0x00;
    CMp3FrameScanner scanner;
    EXPECT_TRUE(Scan(input, 64, true, scanner).empty());
    EXPECT_FALSE(scanner.Synced());
}

TEST(Mp3Scanner, NoiseFailsAfterTheJunkBound) {
    std::mt19937 random(7);
    std::vector<uint8_t> noise(CMp3FrameScanner::kMaxJunk + 8192);
    for (auto& b : noise) {
        b = static_cast<uint8_t>(random());
    }
    CMp3FrameScanner scanner;
    Scan(noise, 4096, false, scanner);
    EXPECT_TRUE(scanner.Failed());
    // Memory stays bounded while it searches.
    EXPECT_LT(scanner.Buffered(), 8192u);
}

TEST(Mp3Scanner, AFrameOfAnotherKindMidStreamIsNoise) {
    std::vector<uint8_t> input = Frames(3);
    std::vector<uint8_t> other(208, 0x55);
    other[0] = 0xFF, other[1] = 0xF3, other[2] = 0x80, other[3] = 0x00;  // MPEG-2 22.05 kHz
    input.insert(input.end(), other.begin(), other.end());
    const auto more = Frames(3, 4);
    input.insert(input.end(), more.begin(), more.end());
    CMp3FrameScanner scanner;
    EXPECT_EQ(Scan(input, 50, true, scanner), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

std::vector<uint8_t> Wav(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits,
                         bool extraChunk = false) {
    std::vector<uint8_t> w;
    auto put = [&](const char* text) { w.insert(w.end(), text, text + 4); };
    auto le32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            w.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto le16 = [&](uint16_t v) {
        w.push_back(static_cast<uint8_t>(v));
        w.push_back(static_cast<uint8_t>(v >> 8));
    };
    put("RIFF");
    le32(0);
    put("WAVE");
    if (extraChunk) {
        put("LIST");
        le32(3);
        w.insert(w.end(), {'a', 'b', 'c', 0});  // odd size, padded
    }
    put("fmt ");
    le32(16);
    le16(tag);
    le16(channels);
    le32(rate);
    le32(rate * channels * bits / 8);
    le16(static_cast<uint16_t>(channels * bits / 8));
    le16(bits);
    put("data");
    le32(1000);
    return w;
}

std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

struct CWavCase {
    std::vector<uint8_t> bytes;
    radio::WavParse expected;
    size_t dataOffset;
};

class WavHeaders : public testing::TestWithParam<CWavCase> {};

TEST_P(WavHeaders, Parsed) {
    radio::CWavFormat format;
    EXPECT_EQ(radio::ParseWavHeader(GetParam().bytes, format), GetParam().expected);
    if (GetParam().expected == radio::WavParse::Ok) {
        EXPECT_EQ(format.nDataOffset, GetParam().dataOffset);
        EXPECT_EQ(format.nDataBytes, 1000u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WavHeaders,
    testing::Values(CWavCase{Wav(1, 2, 44100, 16), radio::WavParse::Ok, 44},
                    CWavCase{Wav(1, 1, 8000, 8, true), radio::WavParse::Ok, 56},
                    CWavCase{Cut(Wav(1, 2, 44100, 16), 30), radio::WavParse::NeedMore, 0},
                    CWavCase{Wav(3, 2, 44100, 32), radio::WavParse::Unsupported, 0},  // float
                    CWavCase{Wav(1, 6, 44100, 16), radio::WavParse::Unsupported, 0},
                    CWavCase{Wav(1, 2, 44100, 24), radio::WavParse::Unsupported, 0},
                    CWavCase{Wav(1, 2, 1000, 16), radio::WavParse::Unsupported, 0},
                    CWavCase{{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '},
                             radio::WavParse::Unsupported,
                             0}));

TEST(WavHeaders, HugeChunkBeforeTheFormatIsRefused) {
    std::vector<uint8_t> w = {'R', 'I', 'F', 'F', 0,   0,   0,    0,    'W',  'A',
                              'V', 'E', 'j', 'u', 'n', 'k', 0xFF, 0xFF, 0xFF, 0xFF};
    radio::CWavFormat format;
    EXPECT_EQ(radio::ParseWavHeader(w, format), radio::WavParse::Unsupported);
}

TEST(Pcm, VolumeScalesAndClamps) {
    struct {
        int volume;
        int16_t in, out;
    } cases[] = {{100, 32767, 32767}, {50, 32767, 16383}, {50, -32768, -16384}, {0, 1000, 0},
                 {-5, 1000, 0},       {150, 1000, 1000},  {1, 32767, 327}};
    for (const auto& c : cases) {
        int16_t sample = c.in;
        radio::ScalePcm16(&sample, 1, c.volume);
        EXPECT_EQ(sample, c.out) << "volume " << c.volume;
    }
    const uint8_t in[3] = {0, 128, 255};
    int16_t out[3];
    radio::Pcm8To16(in, 3, out);
    EXPECT_EQ(out[0], -32768);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 32512);
}

}  // namespace
