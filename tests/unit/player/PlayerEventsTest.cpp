#include "player/PlayerEvents.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/HexText.h"

namespace {

std::vector<uint8_t> Encode(CAmfMessage& message) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(message.Encode(out));
    return out;
}

using test_util::Hex;

TEST(PlayerEvents, StatusEventIsTheUisExactPayload) {
    auto message = BuildStatusEvent(3);
    EXPECT_EQ(Encode(*message),
              Hex("09 01 09 64 61 74 61 04 03 09 74 79 70 65 06 1D 77 6D 70 53 74 61 74 75 73 45 "
                  "76 65 6E 74 01"));
}

TEST(PlayerEvents, ErrorEventCarriesTheCodeAsASignedDouble) {
    auto message = BuildErrorEvent({{0xFFFFFFFFu, u"abc"}});
    EXPECT_EQ(Encode(*message),
              Hex("09 01 09 64 61 74 61 09 03 01 09 01 09 63 6F 64 65 05 BF F0 00 00 00 00 00 00 "
                  "17 64 65 73 63 72 69 70 74 69 6F 6E 06 07 61 62 63 01 09 74 79 70 65 06 1B 77 "
                  "6D 70 45 72 72 6F 72 45 76 65 6E 74 01"));
}

TEST(PlayerEvents, ErrorEntriesKeepQueueOrderAndReuseKeys) {
    auto message = BuildErrorEvent({{1, u"one"}, {0xC00D1197u, u"two"}, {3, u"three"}});
    const CAmfValue* data = message->FirstValue()->FindMember(u"data");
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(data->m_elements.size(), 3u);
    EXPECT_TRUE(data->m_members.empty());
    EXPECT_EQ(data->m_bHasMembers, 1);
    const double codes[] = {1, static_cast<int32_t>(0xC00D1197u), 3};
    const char16_t* texts[] = {u"one", u"two", u"three"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(data->m_elements[i]->FindMember(u"code")->m_dValue, codes[i]);
        EXPECT_EQ(data->m_elements[i]->FindMember(u"description")->m_strValue, texts[i]);
    }
    // The second entry's keys go out as references to the first entry's.
    const std::vector<uint8_t> bytes = Encode(*message);
    const std::string wire(bytes.begin(), bytes.end());
    EXPECT_EQ(wire.find("code"), wire.rfind("code"));
    EXPECT_EQ(wire.find("description"), wire.rfind("description"));
}

TEST(PlayerEvents, MediaEventKeepsTheLaterTextOfARepeatedName) {
    auto message =
        BuildMediaEvent({{u"Title", u"first"}, {u"Bitrate", u"128000"}, {u"Title", u"second"}});
    const CAmfValue* data = message->FirstValue()->FindMember(u"data");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->m_members.size(), 2u);
    EXPECT_EQ(data->FindMember(u"Title")->m_strValue, u"second");
    EXPECT_EQ(data->FindMember(u"Bitrate")->m_strValue, u"128000");
    EXPECT_TRUE(data->m_elements.empty());
    CAmfMessage decoded;
    ASSERT_TRUE(decoded.Decode(Encode(*message)));
    EXPECT_EQ(decoded.FirstValue()->FindMember(u"type")->m_strValue, kMediaEvent);
}

}  // namespace
