// The AAC stage over the system's real decoder transform (under Wine, the
// one winegstreamer registers), fed a 5 s 440 Hz ADTS file that ffmpeg made
// at build time; and what a system without Media Foundation, or without the
// transform, gets.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "radio/decoder/AacDecoder_win.h"
#include "radio/decoder/AcmDecoder_win.h"
#include "radio/decoder/AacFormat.h"

namespace {

using radio::CCodecConfig;
using radio::CodecKind;
using radio::CPcmFormat;
using radio::CRadioFailure;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> ToneAac() {
    return ReadFile(std::string(RADIO_TEST_AUDIO) + "/tone.aac");
}

class CCollectingSink : public radio::IPcmSink {
public:
    bool OnPcm(const CPcmFormat& format, const int16_t* samples, size_t count) override {
        formats.push_back(format);
        pcm.insert(pcm.end(), samples, samples + count);
        return true;
    }
    std::vector<CPcmFormat> formats;
    std::vector<int16_t> pcm;
};

// The frequency of the first channel from its upward crossings, with
// hysteresis so that the coding noise of the quiet tail (the encoder pads
// the last frame) does not count, over the tone after the encoder's priming.
double Pitch(const std::vector<int16_t>& pcm, int channels, int rate) {
    const size_t frames = pcm.size() / static_cast<size_t>(channels);
    const size_t from = static_cast<size_t>(rate) / 10;
    constexpr int kHysteresis = 300;
    int crossings = 0;
    size_t first = 0, last = 0;
    bool below = false;
    for (size_t i = from; i < frames; ++i) {
        const int16_t s = pcm[i * static_cast<size_t>(channels)];
        if (s < -kHysteresis) {
            below = true;
        } else if (below && s > kHysteresis) {
            below = false;
            if (crossings++ == 0) {
                first = i;
            }
            last = i;
        }
    }
    // Whole periods between the first and the last crossing.
    return crossings < 2 ? 0 : (crossings - 1) / (static_cast<double>(last - first) / rate);
}

double Rms(const std::vector<int16_t>& pcm) {
    double sum = 0;
    for (int16_t s : pcm) {
        sum += static_cast<double>(s) * s;
    }
    return pcm.empty() ? 0 : std::sqrt(sum / static_cast<double>(pcm.size()));
}

struct CDecoded {
    bool ok = false;
    CRadioFailure failure;
    CCollectingSink sink;
};

// Cuts the stream with the frame scanner, as the session does, and decodes
// it frame by frame. ADTS is configured from its first header, LATM from
// the configuration inside the stream.
void DecodeStream(const std::vector<uint8_t>& stream, CDecoded& out,
                  CodecKind kind = CodecKind::AacAdts) {
    radio::CMfAacDecoderFactory factory;
    auto decoder = factory.Create(kind, out.failure);
    ASSERT_TRUE(decoder) << "no AAC transform: is gstreamer1.0-libav:i386 installed?";
    radio::CAacFrameScanner scanner(kind);
    scanner.Feed(stream);
    scanner.Finish();
    bool opened = false;
    while (auto frame = scanner.NextFrame()) {
        if (!opened) {
            CCodecConfig config;
            config.kind = kind;
            if (kind == CodecKind::AacAdts) {
                config.nSampleRate = scanner.Adts().nSampleRate;
                config.nChannels = scanner.Adts().nChannelConfig;
                config.audioSpecificConfig = radio::AdtsAudioSpecificConfig(scanner.Adts());
            }
            if (!decoder->Open(config, out.failure)) {
                return;
            }
            opened = true;
        }
        if (!decoder->Decode(frame->data(), frame->size(), out.sink, out.failure)) {
            return;
        }
    }
    out.ok = opened && decoder->Drain(out.sink, out.failure);
}

TEST(AacDecoderWin, RealTransformDecodesToneToLengthAndPitch) {
    const auto stream = ToneAac();
    ASSERT_GT(stream.size(), 10000u);
    CDecoded decoded;
    DecodeStream(stream, decoded);
    ASSERT_TRUE(decoded.ok) << std::string(decoded.failure.description.begin(),
                                           decoded.failure.description.end());
    ASSERT_FALSE(decoded.sink.formats.empty());
    const CPcmFormat format = decoded.sink.formats.back();
    EXPECT_EQ(format.nSampleRate, 44100);
    EXPECT_EQ(format.nChannels, 2);
    const double seconds =
        static_cast<double>(decoded.sink.pcm.size()) / format.nChannels / format.nSampleRate;
    // 5 s, plus the encoder's priming and the last frame's padding.
    EXPECT_GE(seconds, 4.95);
    EXPECT_LE(seconds, 5.15);
    EXPECT_NEAR(Pitch(decoded.sink.pcm, format.nChannels, format.nSampleRate), 440.0, 5.0);
    EXPECT_GT(Rms(decoded.sink.pcm), 1000.0);
}

TEST(AacDecoderWin, DamagedBroadcastPlaysOn) {
    // Every 25th frame has bytes of its body flipped, and noise is spliced
    // in twice: the scanner resynchronises, the decoder skips what it
    // cannot decode, and the stream is not given up.
    auto stream = ToneAac();
    ASSERT_GT(stream.size(), 10000u);
    std::vector<uint8_t> damaged;
    size_t pos = 0;
    int index = 0;
    while (pos + 7 <= stream.size()) {
        const auto header = radio::ParseAdtsHeader(stream.data() + pos);
        ASSERT_TRUE(header);
        std::vector<uint8_t> frame(
            stream.begin() + static_cast<ptrdiff_t>(pos),
            stream.begin() + static_cast<ptrdiff_t>(pos + header->nFrameBytes));
        if (++index % 25 == 0) {
            for (size_t i = 9; i < frame.size(); i += 3) {
                frame[i] ^= 0x5A;
            }
        }
        if (index == 60 || index == 140) {
            damaged.insert(damaged.end(), 333, 0xFF);
        }
        damaged.insert(damaged.end(), frame.begin(), frame.end());
        pos += header->nFrameBytes;
    }
    CDecoded decoded;
    DecodeStream(damaged, decoded);
    ASSERT_TRUE(decoded.ok) << std::string(decoded.failure.description.begin(),
                                           decoded.failure.description.end());
    const CPcmFormat format = decoded.sink.formats.back();
    const double seconds =
        static_cast<double>(decoded.sink.pcm.size()) / format.nChannels / format.nSampleRate;
    EXPECT_GE(seconds, 4.5);
    EXPECT_NEAR(Pitch(decoded.sink.pcm, format.nChannels, format.nSampleRate), 440.0, 15.0);
}

struct CMissingCase {
    const char* name;
    radio::CMfAacOptions options;
};

class AacDecoderMissing : public testing::TestWithParam<CMissingCase> {};

TEST_P(AacDecoderMissing, OneClearError) {
    radio::CMfAacDecoderFactory factory(GetParam().options);
    for (CodecKind kind : {CodecKind::AacAdts, CodecKind::AacLatm, CodecKind::AacRaw}) {
        CRadioFailure failure;
        EXPECT_FALSE(factory.Create(kind, failure));
        EXPECT_EQ(failure.code, 0xC00D5212u);
        EXPECT_EQ(failure.description, u"This system has no AAC decoder.");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AacDecoderMissing,
    testing::Values(
        // Windows N and Server editions: no mfplat.dll at all.
        CMissingCase{"no_media_foundation",
                     {L"tunara-no-such-mfplat.dll", radio::kClsidMsAacDecoder}},
        // Media Foundation without the AAC transform registered.
        CMissingCase{
            "no_transform",
            {L"mfplat.dll",
             {0x8d3a1f5e, 0x2b4c, 0x4e11, {0x9a, 0x61, 0x0c, 0x5e, 0x7b, 0x3d, 0x21, 0x44}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AacDecoderWin, Mp3IsNotItsBusiness) {
    radio::CMfAacDecoderFactory factory;
    CRadioFailure failure;
    EXPECT_FALSE(factory.Create(CodecKind::Mp3, failure));
    EXPECT_EQ(failure.code, radio::MakeFailure(radio::RadioError::UnsupportedFormat).code);
}

TEST(AacDecoderWin, TheEnginesFactoryHandsOutBoth) {
    // The factory the session gets: MP3 to ACM, AAC to the transform.
    radio::CWinDecoderFactory factory;
    CRadioFailure failure;
    EXPECT_TRUE(factory.Create(CodecKind::Mp3, failure));
    auto aac = factory.Create(CodecKind::AacAdts, failure);
    ASSERT_TRUE(aac);
    CCodecConfig config;
    config.kind = CodecKind::AacAdts;
    config.nSampleRate = 44100;
    config.nChannels = 2;
    config.audioSpecificConfig = {0x12, 0x10};
    EXPECT_TRUE(aac->Open(config, failure));
}

TEST(AacDecoderWin, LatmPlaysOrIsRefusedClearly) {
    // Whether the transform takes LOAS (payload type 3) depends on the
    // system: it either decodes the tone or says there is no decoder for it,
    // never fails some other way.
    const auto stream = ReadFile(std::string(RADIO_TEST_AUDIO) + "/tone.latm");
    ASSERT_GT(stream.size(), 10000u);
    CDecoded decoded;
    DecodeStream(stream, decoded, CodecKind::AacLatm);
    if (!decoded.ok) {
        EXPECT_EQ(decoded.failure.code, 0xC00D5212u);
        EXPECT_TRUE(decoded.sink.pcm.empty());
        return;
    }
    const CPcmFormat format = decoded.sink.formats.back();
    EXPECT_EQ(format.nSampleRate, 48000);
    const double seconds =
        static_cast<double>(decoded.sink.pcm.size()) / format.nChannels / format.nSampleRate;
    EXPECT_GE(seconds, 4.9);
    EXPECT_NEAR(Pitch(decoded.sink.pcm, format.nChannels, format.nSampleRate), 440.0, 5.0);
}

}  // namespace
