// The demo UI's wire side: the command frames it sends, the event frames it
// cuts from the helper's stream, and the lines it shows for them.
#include "demo/DemoProtocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "amf/Amf.h"
#include "player/PlayerEvents.h"
#include "unit/HexText.h"

namespace {

using test_util::Hex;
using test_util::ToHex;

std::vector<uint8_t> Encode(CAmfMessage& message) {
    std::vector<uint8_t> payload;
    EXPECT_TRUE(message.Encode(payload));
    return payload;
}

// The helper's frame header: magic, then the length big-endian.
std::vector<uint8_t> EventHeader(uint32_t length) {
    return {0xDA,
            0xDA,
            0xDA,
            0xDA,
            static_cast<uint8_t>(length >> 24),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length)};
}

std::vector<uint8_t> EventFrame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame = EventHeader(static_cast<uint32_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::string Line(const std::vector<uint8_t>& payload) {
    CAmfMessage message;
    return demo::DescribeEvent(payload, message).m_strLine;
}

// The frames as the helper reads them: magic, little-endian length, then an
// array whose members come in ascending key order.
TEST(DemoProtocol, CommandFramesAreWhatTheHelperReads) {
    struct Case {
        const char* type;
        std::optional<std::string> data;
        const char* frame;
    } cases[] = {
        {"wmpStop", std::nullopt,
         "DA DA DA DA 11 00 00 00 09 01 09 74 79 70 65 06 0F 77 6D 70 53 74 6F 70 01"},
        {"wmpSetVolume", "75",
         "DA DA DA DA 1F 00 00 00 09 01 09 64 61 74 61 06 05 37 35 09 74 79 70 65 06 19 77 6D 70 "
         "53 65 74 56 6F 6C 75 6D 65 01"},
        // An empty argument is still sent, as an empty string.
        {"wmpPlay", "",
         "DA DA DA DA 18 00 00 00 09 01 09 64 61 74 61 06 01 09 74 79 70 65 06 0F 77 6D 70 50 6C "
         "61 79 01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(ToHex(demo::EncodeCommandFrame(c.type, c.data)), ToHex(Hex(c.frame)));
    }
}

TEST(DemoProtocol, NonAsciiDataTravelsAsUtf8) {
    const std::vector<uint8_t> frame = demo::EncodeCommandFrame("getURL", "http://x/\xC3\xA9");
    ASSERT_GT(frame.size(), 8u);
    CAmfMessage message;
    ASSERT_TRUE(message.Decode(std::vector<uint8_t>(frame.begin() + 8, frame.end())));
    const CAmfValue* data = message.FirstValue()->FindMember(u"data");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->m_strValue, u"http://x/\u00e9");
}

TEST(DemoProtocol, FrameReaderCutsAStreamFedByteByByte) {
    auto first = BuildStatusEvent(3);
    auto second = BuildStatusEvent(1);
    std::vector<uint8_t> stream = EventFrame(Encode(*first));
    const std::vector<uint8_t> tail = EventFrame(Encode(*second));
    stream.insert(stream.end(), tail.begin(), tail.end());

    demo::CEventFrameReader reader;
    std::vector<std::string> lines;
    std::vector<uint8_t> payload;
    for (const uint8_t byte : stream) {
        reader.Append(&byte, 1);
        while (reader.Next(payload)) {
            lines.push_back(Line(payload));
        }
    }
    EXPECT_FALSE(reader.IsBroken());
    EXPECT_EQ(lines, (std::vector<std::string>{"wmpStatusEvent 3 (playing)",
                                               "wmpStatusEvent 1 (stopped)"}));
}

TEST(DemoProtocol, FrameReaderTakesSeveralFramesFromOneRead) {
    const std::vector<uint8_t> stream = Hex("DA DA DA DA 00 00 00 01 01  DA DA DA DA 00 00 00 00");
    demo::CEventFrameReader reader;
    reader.Append(stream.data(), stream.size());
    std::vector<uint8_t> payload;
    ASSERT_TRUE(reader.Next(payload));
    EXPECT_EQ(payload, Hex("01"));
    ASSERT_TRUE(reader.Next(payload));  // an empty payload is a frame too
    EXPECT_TRUE(payload.empty());
    EXPECT_FALSE(reader.Next(payload));
}

TEST(DemoProtocol, AnAbsurdLengthBreaksTheStreamForGood) {
    const std::vector<uint8_t> header = EventHeader(demo::CEventFrameReader::kMaxPayload + 1);
    demo::CEventFrameReader reader;
    reader.Append(header.data(), header.size());
    std::vector<uint8_t> payload;
    EXPECT_FALSE(reader.Next(payload));
    EXPECT_TRUE(reader.IsBroken());
    const std::vector<uint8_t> good = EventFrame(Hex("01"));
    reader.Append(good.data(), good.size());
    EXPECT_FALSE(reader.Next(payload));
}

TEST(DemoProtocol, EventLinesOfThePlayerEvents) {
    auto unknownState = BuildStatusEvent(42);
    auto media = BuildMediaEvent({{u"Title", u"Song \"one\""}, {u"WM/Genre", u"Jazz"}});
    auto errors = BuildErrorEvent({{0xC00D1197u, u"abc"}});
    struct Case {
        CAmfMessage* message;
        const char* line;
    } cases[] = {
        // Only known states get a name.
        {unknownState.get(), "wmpStatusEvent 42"},
        // Keys that are not plain words are quoted; text is escaped.
        {media.get(), R"(wmpMediaEvent {Title: "Song \"one\"", "WM/Genre": "Jazz"})"},
        // Error codes arrive as signed doubles.
        {errors.get(), R"(wmpErrorEvent [{code: -1072885353, description: "abc"}])"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Line(Encode(*c.message)), c.line);
    }
}

TEST(DemoProtocol, PayloadsThatAreNoEventsAreShownAsSuch) {
    CAmfMessage message;
    const demo::CEventText broken = demo::DescribeEvent(Hex("0A"), message);
    EXPECT_EQ(broken.m_strType, "");
    EXPECT_EQ(broken.m_strLine, "undecodable payload (1 bytes)");

    CAmfMessage other;
    const demo::CEventText values = demo::DescribeEvent(Hex("04 05 06 05 68 69"), other);
    EXPECT_EQ(values.m_strType, "");
    EXPECT_EQ(values.m_strLine, R"(unexpected payload: 5 "hi")");
    EXPECT_EQ(values.m_pData, nullptr);
}

TEST(DemoProtocol, DeepTreesAreCutShort) {
    CAmfMessage message;
    auto node = std::make_unique<CAmfValue>(&message);
    node->m_nType = AMF_NULL;
    for (int depth = 0; depth < 20; ++depth) {
        auto parent = std::make_unique<CAmfValue>(&message);
        parent->m_nType = AMF_ARRAY;
        parent->AddElement(std::move(node));
        node = std::move(parent);
    }
    const std::string text = demo::DescribeValue(*node);
    EXPECT_EQ(text, std::string(16, '[') + "..." + std::string(16, ']'));
}

TEST(DemoProtocol, PlayStateNamesCoverExactlyTheKnownStates) {
    EXPECT_STREQ(demo::PlayStateName(-1), "");
    EXPECT_STREQ(demo::PlayStateName(0), "undefined");
    EXPECT_STREQ(demo::PlayStateName(3), "playing");
    EXPECT_STREQ(demo::PlayStateName(11), "reconnecting");
    EXPECT_STREQ(demo::PlayStateName(12), "");
}

}  // namespace
