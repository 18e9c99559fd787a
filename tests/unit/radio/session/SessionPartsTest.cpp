// The session's helpers on their own: the notice queue, the read-ahead,
// the overlap matcher and the stream-format step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SessionFakes.h"
#include "unit/radio/hls/HlsTestUtil.h"
#include "radio/session/CompressedBuffer.h"
#include "radio/session/Notice.h"
#include "radio/session/OverlapMatcher.h"
#include "radio/session/StreamFormat.h"

namespace {

using namespace session_fakes;
using radio::CCodedUnit;
using radio::CNotice;
using radio::NoticeKind;

CNotice Media(const char16_t* title) {
    CNotice notice;
    notice.kind = NoticeKind::Media;
    notice.media.strTitle = title;
    return notice;
}

CNotice State(NoticeKind kind) {
    CNotice notice;
    notice.kind = kind;
    return notice;
}

TEST(NoticeQueue, KeepsOnePendingMediaNoticeAndWakesOnce) {
    radio::CNoticeQueue queue;
    EXPECT_TRUE(queue.Push(State(NoticeKind::Started)));
    EXPECT_FALSE(queue.Push(Media(u"a")));
    for (int i = 0; i < 1000; ++i) {
        EXPECT_FALSE(queue.Push(Media(u"b")));
    }
    EXPECT_FALSE(queue.Push(Media(u"c")));
    EXPECT_FALSE(queue.Push(State(NoticeKind::Stalled)));
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(queue.Take()->kind, NoticeKind::Started);
    const auto media = queue.Take();
    EXPECT_EQ(media->kind, NoticeKind::Media);
    EXPECT_EQ(media->media.strTitle, u"c");
    EXPECT_EQ(queue.Take()->kind, NoticeKind::Stalled);
    EXPECT_FALSE(queue.Take());
    // Once taken, the next media notice is queued (and wakes) again.
    EXPECT_TRUE(queue.Push(Media(u"d")));
}

TEST(CompressedBuffer, IsBoundedInBytesAndCountsTime) {
    radio::CCompressedBuffer buffer(1000);
    EXPECT_TRUE(buffer.Push({Bytes(600), 26000, false, {}}));
    EXPECT_FALSE(buffer.Push({Bytes(401), 26000, false, {}}));
    EXPECT_TRUE(buffer.Push({Bytes(400), 26000, false, {}}));
    EXPECT_EQ(buffer.Bytes(), 1000u);
    EXPECT_EQ(buffer.Room(), 0u);
    EXPECT_EQ(buffer.DurationMs(), 52);
    buffer.Pop();
    EXPECT_EQ(buffer.Bytes(), 400u);
    EXPECT_EQ(buffer.DurationMs(), 26);
}

// What the read-ahead refuses stays with the caller, whole, to be offered
// again once there is room: a refusal must not lose a frame.
TEST(CompressedBuffer, RefusedUnitIsLeftIntact) {
    radio::CCompressedBuffer buffer(1000);
    ASSERT_TRUE(buffer.Push({Bytes(900, 1), 26000, false, {}}));
    CCodedUnit waiting{Bytes(200, 7), 26000, true, u"Next"};
    EXPECT_FALSE(buffer.Push(std::move(waiting)));
    EXPECT_EQ(waiting.bytes, Bytes(200, 7));
    EXPECT_EQ(waiting.strTitle, u"Next");
    buffer.Pop();
    ASSERT_TRUE(buffer.Push(std::move(waiting)));
    EXPECT_EQ(buffer.Front().bytes, Bytes(200, 7));
    EXPECT_TRUE(buffer.Front().bDiscontinuity);
}

CCodedUnit Unit(uint32_t n) {
    return {Frame(n), kFrameUs, false, {}};
}

struct CMatchCase {
    const char* name;
    uint32_t historyEnd;   // frames 0..historyEnd-1 were taken
    uint32_t newStart;     // the new connection starts here
    uint32_t firstPlayed;  // the first frame handed out after the reconnect
    bool discontinuity;
};

class OverlapMatch : public testing::TestWithParam<CMatchCase> {};

TEST_P(OverlapMatch, SkipsWhatRepeats) {
    const auto& c = GetParam();
    radio::COverlapMatcher matcher(64);
    std::vector<CCodedUnit> out;
    for (uint32_t n = 0; n < c.historyEnd; ++n) {
        matcher.Offer(Unit(n), out);
    }
    out.clear();
    matcher.Start();
    for (uint32_t n = c.newStart; n < c.newStart + 100; ++n) {
        matcher.Offer(Unit(n), out);
    }
    ASSERT_FALSE(out.empty());
    uint32_t first = 0;
    std::memcpy(&first, out.front().bytes.data() + 4, 4);
    EXPECT_EQ(first, c.firstPlayed);
    EXPECT_EQ(out.front().bDiscontinuity, c.discontinuity);
    EXPECT_EQ(out.size(), c.newStart + 100 - c.firstPlayed);
    for (size_t i = 1; i < out.size(); ++i) {
        EXPECT_FALSE(out[i].bDiscontinuity);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OverlapMatch,
                         testing::Values(CMatchCase{"burst of ten", 200, 190, 200, false},
                                         CMatchCase{"one frame repeated", 200, 199, 200, false},
                                         CMatchCase{"frames were lost", 200, 195, 200, false},
                                         CMatchCase{"server went on", 200, 210, 210, true},
                                         CMatchCase{"older than the history", 200, 100, 100, true},
                                         CMatchCase{"nothing taken before", 0, 5, 5, true}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

TEST(OverlapMatch, ARepeatThatStopsMatchingPlaysWholeAfterAGap) {
    radio::COverlapMatcher matcher(64);
    std::vector<CCodedUnit> out;
    for (uint32_t n = 0; n < 50; ++n) {
        matcher.Offer(Unit(n), out);
    }
    out.clear();
    matcher.Start();
    for (uint32_t n : {45u, 46u, 47u, 900u, 901u}) {
        matcher.Offer(Unit(n), out);
    }
    ASSERT_EQ(out.size(), 5u);
    EXPECT_TRUE(out.front().bDiscontinuity);
    EXPECT_FALSE(matcher.Matching());
}

TEST(MetaReader, TakesOnlyTheNewestTitleOfARead) {
    Bytes stream;
    for (int i = 0; i < 50; ++i) {
        stream.insert(stream.end(), 4, static_cast<uint8_t>('a'));
        std::string meta = "StreamTitle='t" + std::to_string(i) + "';";
        meta.resize((meta.size() + 15) / 16 * 16, '\0');
        stream.push_back(static_cast<uint8_t>(meta.size() / 16));
        stream.insert(stream.end(), meta.begin(), meta.end());
    }
    for (size_t chunk : {size_t{1}, size_t{7}, stream.size()}) {
        radio::CMetaReader reader(4);
        Bytes audio;
        std::u16string last;
        int titles = 0;
        for (size_t pos = 0; pos < stream.size(); pos += chunk) {
            const size_t n = std::min(chunk, stream.size() - pos);
            if (auto title = reader.Feed({stream.data() + pos, n}, audio)) {
                last = *title;
                ++titles;
            }
        }
        EXPECT_EQ(last, u"t49");
        EXPECT_EQ(audio.size(), 200u);
        if (chunk == stream.size()) {
            EXPECT_EQ(titles, 1);
        }
    }
}

Bytes Wav(int channels, int bits, uint32_t dataBytes, size_t actual) {
    Bytes w = B("RIFF");
    auto le32 = [&w](uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            w.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    };
    auto le16 = [&w](uint32_t v) {
        w.push_back(static_cast<uint8_t>(v));
        w.push_back(static_cast<uint8_t>(v >> 8));
    };
    le32(36 + dataBytes);
    const Bytes wave = B("WAVEfmt ");
    w.insert(w.end(), wave.begin(), wave.end());
    le32(16);
    le16(1);
    le16(static_cast<uint32_t>(channels));
    le32(8000);
    le32(static_cast<uint32_t>(8000 * channels * bits / 8));
    le16(static_cast<uint32_t>(channels * bits / 8));
    le16(static_cast<uint32_t>(bits));
    const Bytes data = B("data");
    w.insert(w.end(), data.begin(), data.end());
    le32(dataBytes);
    for (size_t i = 0; i < actual; ++i) {
        w.push_back(static_cast<uint8_t>(i));
    }
    return w;
}

TEST(AudioFramer, WavGivesWholeSampleFramesUpToTheDataLength) {
    struct CCase {
        int channels, bits;
        uint32_t dataBytes;
        size_t actual;
        size_t expected;
    };
    const CCase cases[] = {
        {2, 16, 4000, 5000, 4000},      // bytes after the data chunk are not audio
        {2, 16, 0, 4002, 4000},         // no length: to the end, whole frames only
        {1, 8, 0xFFFFFFFFu, 999, 999},  // a streamed header
    };
    for (const auto& c : cases) {
        for (size_t chunk : {size_t{1}, size_t{7}, size_t{4096}}) {
            const Bytes wav = Wav(c.channels, c.bits, c.dataBytes, c.actual);
            EXPECT_EQ(radio::SniffAudio("audio/wav", wav, false), radio::AudioKind::Wav);
            radio::CAudioFramer framer(radio::AudioKind::Wav);
            size_t total = 0;
            CCodedUnit unit;
            for (size_t pos = 0; pos < wav.size(); pos += chunk) {
                framer.Feed({wav.data() + pos, std::min(chunk, wav.size() - pos)});
                while (framer.Next(unit) == radio::CAudioFramer::Step::Unit) {
                    EXPECT_EQ(unit.bytes.size() % static_cast<size_t>(c.channels * c.bits / 8), 0u);
                    total += unit.bytes.size();
                }
            }
            framer.Finish();
            while (framer.Next(unit) == radio::CAudioFramer::Step::Unit) {
                total += unit.bytes.size();
            }
            EXPECT_EQ(total, c.expected) << chunk;
            EXPECT_EQ(framer.Bitrate(), 8000 * c.channels * c.bits);
        }
    }
}

TEST(AudioFramer, AdtsFramesAreCutAndConfigureTheDecoder) {
    Bytes stream;
    for (int i = 0; i < 20; ++i) {
        const Bytes frame = hls_test::Adts(200 + static_cast<size_t>(i));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    // The bytes decide over a wrong label; the label decides for bytes that
    // show nothing yet.
    EXPECT_EQ(radio::SniffAudio("audio/mpeg", stream, false), radio::AudioKind::AacAdts);
    EXPECT_EQ(radio::SniffAudio("audio/aacp", {stream.data(), 3}, false),
              radio::AudioKind::AacAdts);
    EXPECT_EQ(radio::SniffAudio("audio/mpeg", Frames(0, 5), false), radio::AudioKind::Mp3);
    for (size_t chunk : {size_t{1}, size_t{7}, stream.size()}) {
        radio::CAudioFramer framer(radio::AudioKind::AacAdts);
        std::vector<size_t> sizes;
        CCodedUnit unit;
        for (size_t pos = 0; pos < stream.size(); pos += chunk) {
            framer.Feed({stream.data() + pos, std::min(chunk, stream.size() - pos)});
            while (framer.Next(unit) == radio::CAudioFramer::Step::Unit) {
                sizes.push_back(unit.bytes.size());
                EXPECT_EQ(unit.nDurationUs, 1024 * 1000000 / 44100);
            }
        }
        framer.Finish();
        while (framer.Next(unit) == radio::CAudioFramer::Step::Unit) {
            sizes.push_back(unit.bytes.size());
        }
        ASSERT_EQ(sizes.size(), 20u) << chunk;
        EXPECT_EQ(sizes.front(), 207u);
        const radio::CCodecConfig config = framer.Config();
        EXPECT_EQ(config.kind, radio::CodecKind::AacAdts);
        EXPECT_EQ(config.nSampleRate, 44100);
        EXPECT_EQ(config.nChannels, 2);
        EXPECT_EQ(config.audioSpecificConfig, (Bytes{0x12, 0x10}));
        // 20 frames are 464 ms: too few to say the rate of.
        EXPECT_EQ(framer.Bitrate(), 0);
    }
    EXPECT_EQ(std::u16string(radio::FileTypeFor(radio::AudioKind::AacAdts)), u"aac");
}

// Frames differ in size: the rate is bytes over time once half a second of
// frames was taken, and 0 before, not one frame's guess.
TEST(AudioFramer, AacBitrateIsMeasuredOverHalfASecond) {
    struct Case {
        const char* name;
        std::vector<size_t> frames;  // their sizes, header included
        int bitrate;
    };
    const auto run = [](size_t first, size_t count, size_t rest) {
        std::vector<size_t> sizes{first};
        sizes.insert(sizes.end(), count - 1, rest);
        return sizes;
    };
    const Case cases[] = {
        {"two frames are no measure", {2000, 2000}, 0},
        {"21 frames are 488 ms", run(400, 21, 400), 0},
        // 22 frames of 1024 samples: 0.511 s; 8800 bytes: 137.8 kbit/s.
        {"22 frames", run(400, 22, 400), 138000},
        // A large first frame weighs only its share: 10,000 bytes in 0.952 s.
        {"a large first frame", run(2000, 41, 200), 84000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        radio::CAudioFramer framer(radio::AudioKind::AacAdts);
        for (size_t size : c.frames) {
            const Bytes frame = hls_test::Adts(size - 7);
            framer.Feed(frame);
        }
        framer.Finish();
        CCodedUnit unit;
        size_t taken = 0;
        while (framer.Next(unit) == radio::CAudioFramer::Step::Unit) {
            ++taken;
        }
        ASSERT_EQ(taken, c.frames.size());
        EXPECT_EQ(framer.Bitrate(), c.bitrate);
    }
}

TEST(AudioFramer, TextIsNotAudio) {
    radio::CAudioFramer framer(radio::AudioKind::Mp3);
    const Bytes text(70 * 1024, 'x');
    framer.Feed(text);
    CCodedUnit unit;
    EXPECT_EQ(framer.Next(unit), radio::CAudioFramer::Step::NotAudio);
}

}  // namespace
