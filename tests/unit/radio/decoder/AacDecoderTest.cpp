#include "radio/decoder/AacDecoder.h"

#include <gtest/gtest.h>

#include <deque>
#include <set>
#include <vector>

#include "unit/HexText.h"

namespace {

using Bytes = std::vector<uint8_t>;
using radio::CAacDecoder;
using radio::CAacInputType;
using radio::CCodecConfig;
using radio::CodecKind;
using radio::CPcmFormat;
using radio::CRadioFailure;
using radio::RadioError;
using radio::TransformStatus;
using test_util::Hex;

Bytes Adts(size_t bytes, uint8_t index, int rateIndex = 4, int channels = 2) {
    Bytes f(bytes, index);
    f[0] = 0xFF;
    f[1] = 0xF1;
    f[2] = static_cast<uint8_t>((1 << 6) | (rateIndex << 2) | (channels >> 2));
    f[3] = static_cast<uint8_t>(((channels & 3) << 6) | ((bytes >> 11) & 3));
    f[4] = static_cast<uint8_t>((bytes >> 3) & 0xFF);
    f[5] = static_cast<uint8_t>(((bytes & 7) << 5) | 0x1F);
    f[6] = 0xFC;
    return f;
}

// A stand-in for the system's transform. Every frame it takes decodes to
// 1024 samples per channel at the format it currently produces, each
// sample the frame's marker byte, so that a test sees which frames came out
// and in which format. It can change that format after a given frame (as
// HE-AAC does once SBR and PS are found), refuse frames, fail, or hold its
// output until it is read.
struct CFakeState {
    std::vector<CAacInputType> inputTypes;
    int outputTypesSet = 0;
    int flushes = 0;
    int drains = 0;
    bool refuseInput = false;
    bool refuseOutput = false;
    bool neverOutput = false;     // takes frames and decodes none
    bool changeForever = false;   // every read reports a change
    std::set<uint8_t> badInput;   // frames ProcessInput refuses
    std::set<uint8_t> badOutput;  // frames that fail in ProcessOutput
    uint8_t failAt = 0;           // a frame that kills the transform
    uint8_t changeAfter = 0;      // the format changes after this frame
    CPcmFormat first{22050, 1};
    CPcmFormat later{44100, 2};
    size_t capacity = 1;  // frames held before it stops accepting
};

class CFakeTransform : public radio::IAacTransform {
public:
    explicit CFakeTransform(CFakeState& state) : m_state(state) {}

    bool SetInputType(const CAacInputType& type) override {
        m_state.inputTypes.push_back(type);
        return !m_state.refuseInput;
    }
    bool SetPcmOutput(CPcmFormat& format) override {
        if (m_state.refuseOutput) {
            return false;
        }
        ++m_state.outputTypesSet;
        m_bPendingChange = false;
        m_current = m_bChanged ? m_state.later : m_state.first;
        format = m_current;
        return true;
    }
    TransformStatus ProcessInput(const uint8_t* frame, size_t bytes) override {
        const uint8_t marker = bytes > 7 ? frame[7] : 0;
        if (m_held.size() >= m_state.capacity) {
            return TransformStatus::NotAccepting;
        }
        if (marker == m_state.failAt && m_state.failAt != 0) {
            return TransformStatus::Failed;
        }
        if (m_state.badInput.count(marker)) {
            return TransformStatus::BadData;
        }
        if (!m_state.neverOutput) {
            m_held.push_back(marker);
        }
        return TransformStatus::Ok;
    }
    TransformStatus ProcessOutput(std::vector<int16_t>& pcm) override {
        if (m_state.changeForever) {
            return TransformStatus::StreamChange;
        }
        if (m_bPendingChange) {
            return TransformStatus::StreamChange;
        }
        if (m_held.empty()) {
            return TransformStatus::NeedInput;
        }
        const uint8_t marker = m_held.front();
        if (m_state.badOutput.count(marker)) {
            m_held.pop_front();
            return TransformStatus::BadData;
        }
        // The frame after the change is decoded in the new format, which the
        // client must accept first; until then the frame stays held.
        if (!m_bChanged && m_state.changeAfter != 0 && m_bPassedChange) {
            m_bChanged = true;
            m_bPendingChange = true;
            return TransformStatus::StreamChange;
        }
        m_held.pop_front();
        pcm.assign(static_cast<size_t>(1024 * m_current.nChannels), marker);
        if (marker == m_state.changeAfter) {
            m_bPassedChange = true;
        }
        return TransformStatus::Ok;
    }
    void Drain() override { ++m_state.drains; }
    void Flush() override {
        ++m_state.flushes;
        m_held.clear();
    }

private:
    CFakeState& m_state;
    std::deque<uint8_t> m_held;
    CPcmFormat m_current;
    bool m_bChanged = false;
    bool m_bPendingChange = false;
    bool m_bPassedChange = false;
};

struct CSinkCall {
    CPcmFormat format;
    size_t count;
    int16_t marker;
};

class CRecordingSink : public radio::IPcmSink {
public:
    bool OnPcm(const CPcmFormat& format, const int16_t* samples, size_t count) override {
        calls.push_back({format, count, count ? samples[0] : int16_t{-1}});
        return accept;
    }
    std::vector<CSinkCall> calls;
    bool accept = true;
};

CCodecConfig AdtsConfig() {
    CCodecConfig config;
    config.kind = CodecKind::AacAdts;
    return config;
}

struct CRun {
    bool ok = true;
    CRadioFailure failure;
    int framesFed = 0;
};

// Feeds frames 1..count (44.1 kHz stereo ADTS), stopping at the first failure.
CRun FeedFrames(CAacDecoder& decoder, CRecordingSink& sink, int count, bool batch = false) {
    CRun run;
    Bytes batched;
    for (int i = 1; i <= count; ++i) {
        const Bytes frame = Adts(200 + static_cast<size_t>(i % 3), static_cast<uint8_t>(i));
        if (batch) {
            batched.insert(batched.end(), frame.begin(), frame.end());
            continue;
        }
        ++run.framesFed;
        if (!decoder.Decode(frame.data(), frame.size(), sink, run.failure)) {
            run.ok = false;
            return run;
        }
    }
    if (batch) {
        run.framesFed = count;
        run.ok = decoder.Decode(batched.data(), batched.size(), sink, run.failure);
    }
    return run;
}

std::vector<int16_t> Markers(const CRecordingSink& sink) {
    std::vector<int16_t> out;
    for (const auto& call : sink.calls) {
        out.push_back(call.marker);
    }
    return out;
}

std::vector<int16_t> Range(int from, int to) {
    std::vector<int16_t> out;
    for (int i = from; i <= to; ++i) {
        out.push_back(static_cast<int16_t>(i));
    }
    return out;
}

TEST(AacDecoder, ConfiguresFromTheFirstAdtsFrame) {
    CFakeState state;
    CAacDecoder decoder(std::make_unique<CFakeTransform>(state));
    CRadioFailure failure;
    ASSERT_TRUE(decoder.Open(AdtsConfig(), failure));
    EXPECT_TRUE(state.inputTypes.empty());  // nothing known yet
    CRecordingSink sink;
    ASSERT_TRUE(FeedFrames(decoder, sink, 3).ok);
    ASSERT_EQ(state.inputTypes.size(), 1u);
    const CAacInputType& type = state.inputTypes[0];
    EXPECT_EQ(type.payload, radio::AacPayload::Adts);
    EXPECT_EQ(type.nSampleRate, 44100);
    EXPECT_EQ(type.nChannels, 2);
    EXPECT_EQ(type.userData, Hex("01 00 FE 00 00 00 00 00 00 00 00 00 12 10"));
}

TEST(AacDecoder, RawFramesWithTheContainersConfig) {
    CFakeState state;
    CAacDecoder decoder(std::make_unique<CFakeTransform>(state));
    CCodecConfig config;
    config.kind = CodecKind::AacRaw;
    config.audioSpecificConfig = Hex("11 90");  // 48 kHz stereo, rate from the config
    CRadioFailure failure;
    ASSERT_TRUE(decoder.Open(config, failure));
    ASSERT_EQ(state.inputTypes.size(), 1u);  // set at once: everything is known
    EXPECT_EQ(state.inputTypes[0].payload, radio::AacPayload::Raw);
    EXPECT_EQ(state.inputTypes[0].nSampleRate, 48000);
    EXPECT_EQ(state.inputTypes[0].nChannels, 2);
    EXPECT_EQ(state.inputTypes[0].userData, Hex("00 00 FE 00 00 00 00 00 00 00 00 00 11 90"));

    CAacDecoder without(std::make_unique<CFakeTransform>(state));
    config.audioSpecificConfig.clear();
    EXPECT_FALSE(without.Open(config, failure));
    EXPECT_EQ(failure.code, radio::MakeFailure(RadioError::AacDecodeFailed).code);
}

TEST(AacDecoder, LatmConfiguredFromTheStreamMuxConfig) {
    CFakeState state;
    CAacDecoder decoder(std::make_unique<CFakeTransform>(state));
    CCodecConfig config;
    config.kind = CodecKind::AacLatm;
    CRadioFailure failure;
    ASSERT_TRUE(decoder.Open(config, failure));
    // ffmpeg's first LATM frame: 48 kHz stereo AAC-LC. A frame that uses
    // the previous configuration comes first and cannot be decoded yet.
    Bytes same = Hex("56 E0 0A 80 00 00 00 00 00 00 00 00 00");
    Bytes first = Hex("56 E0 0A 20 00 11 90 1F E7 F9 0E F0 10");
    CRecordingSink sink;
    ASSERT_TRUE(decoder.Decode(same.data(), same.size(), sink, failure));
    EXPECT_TRUE(state.inputTypes.empty());
    ASSERT_TRUE(decoder.Decode(first.data(), first.size(), sink, failure));
    ASSERT_EQ(state.inputTypes.size(), 1u);
    EXPECT_EQ(state.inputTypes[0].payload, radio::AacPayload::Loas);
    EXPECT_EQ(state.inputTypes[0].nSampleRate, 48000);
    EXPECT_EQ(state.inputTypes[0].nChannels, 2);
    EXPECT_EQ(decoder.SkippedFrames(), 1);
}

TEST(AacDecoder, StreamChangeRenegotiatesAndLosesNothing) {
    for (bool batch : {false, true}) {
        SCOPED_TRACE(batch);
        CFakeState state;
        state.changeAfter = 4;
        state.capacity = 3;
        CAacDecoder decoder(std::make_unique<CFakeTransform>(state));
        CRadioFailure failure;
        ASSERT_TRUE(decoder.Open(AdtsConfig(), failure));
        CRecordingSink sink;
        ASSERT_TRUE(FeedFrames(decoder, sink, 10, batch).ok);
        ASSERT_TRUE(decoder.Drain(sink, failure));
        // Every frame came out once, in order: 1..4 at the first format,
        // 5..10 at the new one.
        EXPECT_EQ(Markers(sink), Range(1, 10));
        for (const auto& call : sink.calls) {
            const bool later = call.marker > 4;
            EXPECT_EQ(call.format, later ? state.later : state.first) << call.marker;
            EXPECT_EQ(call.count, later ? 2048u : 1024u) << call.marker;
        }
        EXPECT_EQ(state.outputTypesSet, 2);
        EXPECT_EQ(decoder.Format(), state.later);
    }
}

TEST(AacDecoder, TransformFullIsDrainedNotDropped) {
    CFakeState state;
    state.capacity = 1;
    CAacDecoder decoder(std::make_unique<CFakeTransform>(state));
    CRadioFailure failure;
    ASSERT_TRUE(decoder.Open(AdtsConfig(), failure));
    CRecordingSink sink;
    ASSERT_TRUE(FeedFrames(decoder, sink, 20, true).ok);
    EXPECT_EQ(Markers(sink), Range(1, 20));
}

struct CFaultCase {
    const char* name;
    void (*arrange)(CFakeState&);
    int frames;
    bool ok;
    RadioError error;
    int failsAtFrame;  // 0 when it does not fail
    std::vector<int16_t> decoded;
};

class AacDecoderFaults : public testing::TestWithParam<CFaultCase> {};

TEST_P(AacDecoderFaults, SkipOrFailOnce) {
    const auto& c = GetParam();
    CFakeState state;
    c.arrange(state);
    CAacDecoder decoder(std::make_unique<CFakeTransform>(state));
    CRadioFailure failure;
    ASSERT_TRUE(decoder.Open(AdtsConfig(), failure));
    CRecordingSink sink;
    const CRun run = FeedFrames(decoder, sink, c.frames);
    EXPECT_EQ(run.ok, c.ok);
    if (!c.ok) {
        EXPECT_EQ(run.failure.code, radio::MakeFailure(c.error).code);
        EXPECT_EQ(run.framesFed, c.failsAtFrame);
        // A failed stage stays failed: the session gets no audio after it.
        CRadioFailure again;
        const Bytes frame = Adts(200, 99);
        EXPECT_FALSE(decoder.Decode(frame.data(), frame.size(), sink, again));
    }
    EXPECT_EQ(Markers(sink), c.decoded);
}

// 2 s at 44.1 kHz is 86.13 frames of 1024 samples: the 87th frame without
// output is the one that fails.
INSTANTIATE_TEST_SUITE_P(
    Cases, AacDecoderFaults,
    testing::Values(CFaultCase{"corrupt_frames_skipped",
                               [](CFakeState& s) {
                                   s.badInput = {3, 4, 9};
                               },
                               12, true, RadioError::AacDecodeFailed, 0,
                               std::vector<int16_t>{1, 2, 5, 6, 7, 8, 10, 11, 12}},
                    CFaultCase{"bad_output_skipped",
                               [](CFakeState& s) {
                                   s.badOutput = {2, 7};
                               },
                               8, true, RadioError::AacDecodeFailed, 0,
                               std::vector<int16_t>{1, 3, 4, 5, 6, 8}},
                    CFaultCase{"everything_refused_for_2s",
                               [](CFakeState& s) {
                                   for (int i = 1; i < 256; ++i) {
                                       s.badInput.insert(static_cast<uint8_t>(i));
                                   }
                               },
                               200, false, RadioError::AacDecodeFailed, 87, std::vector<int16_t>{}},
                    CFaultCase{"silent_transform_is_not_playing",
                               [](CFakeState& s) { s.neverOutput = true; }, 200, false,
                               RadioError::AacDecodeFailed, 87, std::vector<int16_t>{}},
                    CFaultCase{"dies_mid_stream", [](CFakeState& s) { s.failAt = 5; }, 10, false,
                               RadioError::AacDecodeFailed, 5, Range(1, 4)},
                    CFaultCase{"changes_forever", [](CFakeState& s) { s.changeForever = true; }, 10,
                               false, RadioError::AacDecodeFailed, 1, std::vector<int16_t>{}},
                    CFaultCase{"input_type_refused", [](CFakeState& s) { s.refuseInput = true; }, 3,
                               false, RadioError::AacDecoderMissing, 1, std::vector<int16_t>{}},
                    CFaultCase{"no_pcm_output_type", [](CFakeState& s) { s.refuseOutput = true; },
                               3, false, RadioError::AacDecoderMissing, 1, std::vector<int16_t>{}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AacDecoder, SilenceBudgetRefilledByOutput) {
    // 80 frames refused (1.86 s), one decoded, 80 refused again: never 2 s
    // in a row without audio, so no error.
    CFakeState state;
    for (int i = 1; i <= 80; ++i) {
        state.badInput.insert(static_cast<uint8_t>(i));
    }
    for (int i = 82; i <= 161; ++i) {
        state.badInput.insert(static_cast<uint8_t>(i));
    }
    CAacDecoder decoder(std::make_unique<CFakeTransform>(state));
    CRadioFailure failure;
    ASSERT_TRUE(decoder.Open(AdtsConfig(), failure));
    CRecordingSink sink;
    EXPECT_TRUE(FeedFrames(decoder, sink, 161).ok);
    EXPECT_EQ(Markers(sink), std::vector<int16_t>{81});
    EXPECT_EQ(decoder.SkippedFrames(), 160);
}

TEST(AacDecoder, SinkStopsDecoding) {
    CFakeState state;
    CAacDecoder decoder(std::make_unique<CFakeTransform>(state));
    CRadioFailure failure;
    ASSERT_TRUE(decoder.Open(AdtsConfig(), failure));
    CRecordingSink sink;
    sink.accept = false;
    const CRun run = FeedFrames(decoder, sink, 5);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.framesFed, 1);
    EXPECT_EQ(run.failure.code, 0u);  // the sink's reason is the session's to give
}

TEST(AacDecoder, ResetFlushesAndKeepsTheTypes) {
    CFakeState state;
    state.capacity = 4;
    state.neverOutput = false;
    CAacDecoder decoder(std::make_unique<CFakeTransform>(state));
    CRadioFailure failure;
    ASSERT_TRUE(decoder.Open(AdtsConfig(), failure));
    CRecordingSink sink;
    ASSERT_TRUE(FeedFrames(decoder, sink, 3).ok);
    decoder.Reset();
    EXPECT_EQ(state.flushes, 1);
    ASSERT_TRUE(FeedFrames(decoder, sink, 2).ok);
    EXPECT_EQ(state.inputTypes.size(), 1u);
    EXPECT_EQ(Markers(sink), (std::vector<int16_t>{1, 2, 3, 1, 2}));
}

class CStubFactory : public radio::IDecoderFactory {
public:
    explicit CStubFactory(int& made) : m_made(made) {}
    std::unique_ptr<radio::IDecoder> Create(CodecKind, CRadioFailure&) override {
        ++m_made;
        return std::make_unique<CAacDecoder>(
            std::make_unique<CFakeTransform>(m_states.emplace_back()));
    }

private:
    int& m_made;
    std::deque<CFakeState> m_states;  // outlive the decoders made here
};

TEST(CodecDecoderFactory, RoutesByCodec) {
    int mp3 = 0, aac = 0;
    radio::CCodecDecoderFactory both(std::make_unique<CStubFactory>(mp3),
                                     std::make_unique<CStubFactory>(aac));
    CRadioFailure failure;
    EXPECT_TRUE(both.Create(CodecKind::Mp3, failure));
    EXPECT_TRUE(both.Create(CodecKind::AacAdts, failure));
    EXPECT_TRUE(both.Create(CodecKind::AacLatm, failure));
    EXPECT_EQ(mp3, 1);
    EXPECT_EQ(aac, 2);

    radio::CCodecDecoderFactory mp3Only(std::make_unique<CStubFactory>(mp3), nullptr);
    EXPECT_FALSE(mp3Only.Create(CodecKind::AacAdts, failure));
    EXPECT_EQ(failure.code, 0xC00D5212u);
    EXPECT_EQ(failure.description, u"This system has no AAC decoder.");
}

}  // namespace
