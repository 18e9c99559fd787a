#include "radio/IcyDemuxer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using radio::CIcyDemuxer;

struct CDemuxed {
    std::vector<uint8_t> audio;
    std::vector<std::string> blocks;
};

CDemuxed Demux(size_t metaInt, const std::vector<uint8_t>& wire, size_t chunk) {
    CIcyDemuxer demuxer(metaInt);
    CDemuxed out;
    for (size_t pos = 0; pos < wire.size(); pos += chunk) {
        const size_t n = std::min(chunk, wire.size() - pos);
        demuxer.Feed({wire.data() + pos, n}, out.audio, out.blocks);
    }
    return out;
}

// Audio bytes 0,1,2,... with a metadata block after every metaInt bytes:
// the i-th block is `texts[i]` padded to a multiple of 16 (or an empty
// block when the text is empty).
std::vector<uint8_t> Wire(size_t metaInt, size_t audioBytes, const std::vector<std::string>& texts,
                          std::vector<uint8_t>& audio) {
    std::vector<uint8_t> wire;
    size_t block = 0;
    for (size_t i = 0; i < audioBytes; ++i) {
        const auto byte = static_cast<uint8_t>(i * 7);
        wire.push_back(byte);
        audio.push_back(byte);
        if ((i + 1) % metaInt == 0) {
            const std::string& text = texts[block++ % texts.size()];
            const size_t units = (text.size() + 15) / 16;
            wire.push_back(static_cast<uint8_t>(units));
            wire.insert(wire.end(), text.begin(), text.end());
            wire.insert(wire.end(), units * 16 - text.size(), 0);
        }
    }
    return wire;
}

class IcyChunks : public testing::TestWithParam<size_t> {};

TEST_P(IcyChunks, AudioAndBlocksSurviveAnySplit) {
    std::vector<uint8_t> audio;
    const std::vector<std::string> texts = {"StreamTitle='One';", "",
                                            "StreamTitle='Two';StreamUrl='';"};
    const auto wire = Wire(100, 1000, texts, audio);
    const CDemuxed out = Demux(100, wire, GetParam());
    EXPECT_EQ(out.audio, audio);
    // Empty blocks (length byte 0) carry nothing and are not reported.
    ASSERT_EQ(out.blocks.size(), 7u);
    EXPECT_EQ(out.blocks[0], texts[0]);
    EXPECT_EQ(out.blocks[1], texts[2]);
}

INSTANTIATE_TEST_SUITE_P(Split, IcyChunks, testing::Values(1, 2, 3, 5, 7, 13, 101, 4096));

TEST(IcyDemuxer, WithoutIntervalEverythingIsAudio) {
    const std::vector<uint8_t> wire = {1, 2, 3, 0, 16, 'x'};
    const CDemuxed out = Demux(0, wire, 4);
    EXPECT_EQ(out.audio, wire);
    EXPECT_TRUE(out.blocks.empty());
}

TEST(IcyDemuxer, LargestBlockIsKeptWhole) {
    std::vector<uint8_t> audio;
    const std::string text = "StreamTitle='" + std::string(4080 - 15, 'a') + "';";
    ASSERT_EQ(text.size(), 4080u);
    const auto wire = Wire(16, 32, {text}, audio);
    const CDemuxed out = Demux(16, wire, 1000);
    ASSERT_EQ(out.blocks.size(), 2u);
    EXPECT_EQ(out.blocks[0], text);
    EXPECT_EQ(out.audio, audio);
}

struct CTitleCase {
    const char* block;
    const char* title;  // nullptr: no title
};

class StreamTitles : public testing::TestWithParam<CTitleCase> {};

TEST_P(StreamTitles, Found) {
    const auto title = radio::FindStreamTitle(GetParam().block);
    if (GetParam().title == nullptr) {
        EXPECT_FALSE(title.has_value());
    } else {
        ASSERT_TRUE(title.has_value());
        EXPECT_EQ(*title, GetParam().title);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, StreamTitles,
    testing::Values(CTitleCase{"StreamTitle='Artist - Song';", "Artist - Song"},
                    CTitleCase{"StreamTitle='It's here';StreamUrl='x';", "It's here"},
                    CTitleCase{"StreamUrl='u';StreamTitle='B';", "B"},
                    CTitleCase{"StreamTitle='';", ""},
                    CTitleCase{"StreamTitle='cut off", "cut off"},
                    CTitleCase{"StreamTitle='quoted end'", "quoted end"},
                    CTitleCase{"XStreamTitle='no';", nullptr},
                    CTitleCase{"StreamUrl='only';", nullptr}, CTitleCase{"", nullptr}));

TEST(MetaText, Utf8IsDecodedAndOtherBytesAreLatin1) {
    EXPECT_EQ(radio::DecodeMetaText("Caf\xC3\xA9"), u"Caf\u00E9");
    EXPECT_EQ(radio::DecodeMetaText("Caf\xE9"), u"Caf\u00E9");
    EXPECT_EQ(radio::DecodeMetaText("\xF0\x9F\x8E\xB5"), u"\U0001F3B5");
    // A cut-off sequence at the end is not UTF-8.
    EXPECT_EQ(radio::DecodeMetaText("a\xC3"), u"a\u00C3");
}

}  // namespace
