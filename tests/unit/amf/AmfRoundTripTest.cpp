// Build, encode, decode, compare: trees made with the builders survive the
// wire, and encoding is deterministic.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "AmfTestUtil.h"
#include "fuzz/AmfFuzzCheck.h"

namespace {

using namespace amf_test;

// The event shapes the helper sends (connection and player events) and a few more.
void BuildEvents(CAmfMessage& m) {
    m.AddValue(Envelope(m, u"minimizeEvent", Bool(m, true)));
    m.AddValue(Envelope(m, u"closeEvent", Bool(m, false)));
    m.AddValue(Envelope(m, u"wmpStatusEvent", Int(m, 3)));
    m.AddValue(Envelope(m, u"wmpErrorEvent",
                        Arr(m, Members(Mem(u"code", Int(m, -268435456)),
                                       Mem(u"text", Str(m, u"Cannot \u00e9 connect"))))));
    m.AddValue(Envelope(m, u"wmpMediaEvent",
                        Arr(m, Members(Mem(u"Title", Str(m, u"Morning \U0001F600 Show")),
                                       Mem(u"Author", Str(m, u"")), Mem(u"Duration", Dbl(m, 3.25)),
                                       Mem(u"title", Str(m, u"Title"))))));
    m.AddValue(
        Arr(m, {},
            Elems(Int(m, 268435455), Dbl(m, -0.0), Dbl(m, std::numeric_limits<double>::infinity()),
                  Dbl(m, std::numeric_limits<double>::quiet_NaN()), Undef(m), Null(m),
                  Arr(m, {}, Elems(Arr(m, {}))))));
    m.AddValue(Str(m, u"type"));  // a reference to a key written earlier
}

TEST(RoundTrip, EventsSurviveExactly) {
    CAmfMessage built;
    BuildEvents(built);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(built.Encode(bytes));

    CAmfMessage decoded;
    ASSERT_TRUE(decoded.Decode(bytes));
    ASSERT_EQ(decoded.GetCount(), built.GetCount());
    for (size_t i = 0; i < built.GetCount(); ++i) {
        EXPECT_EQ(
            amf_fuzz::Compare(*built.m_values[i], *decoded.m_values[i], "v" + std::to_string(i)),
            "");
        // m_bHasMembers too: builders set it exactly when members exist.
        EXPECT_EQ(Dump(*decoded.m_values[i]), Dump(*built.m_values[i]));
    }
    std::vector<uint8_t> again;
    ASSERT_TRUE(decoded.Encode(again));
    EXPECT_EQ(again, bytes);
    EXPECT_EQ(amf_fuzz::CheckDecode(bytes.data(), bytes.size()), "");
}

TEST(RoundTrip, NanPayloadBitsSurvive) {
    CAmfMessage built;
    double nan;
    const uint64_t bits = 0xFFF4000000000123ull;
    std::memcpy(&nan, &bits, 8);
    built.AddValue(Dbl(built, nan));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(built.Encode(bytes));
    EXPECT_EQ(ToHex(bytes), "05 FF F4 00 00 00 00 01 23");
    CAmfMessage decoded;
    ASSERT_TRUE(decoded.Decode(bytes));
    uint64_t back;
    std::memcpy(&back, &decoded.FirstValue()->m_dValue, 8);
    EXPECT_EQ(back, bits);
}

TEST(RoundTrip, EncodingTwiceGivesIdenticalBytes) {
    CAmfMessage built;
    BuildEvents(built);
    std::vector<uint8_t> first, second;
    ASSERT_TRUE(built.Encode(first));
    ASSERT_TRUE(built.Encode(second));
    EXPECT_EQ(first, second);
}

// What cannot survive, by design: an empty key ends the member list early.
TEST(RoundTrip, EmptyKeyDoesNotSurvive) {
    CAmfMessage built;
    built.AddValue(Arr(built, Members(Mem(u"", Int(built, 5)), Mem(u"a", Null(built)))));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(built.Encode(bytes));
    EXPECT_EQ(ToHex(bytes), "09 01 01 04 05 03 61 01 01");
    CAmfMessage decoded;
    EXPECT_FALSE(decoded.Decode(bytes));  // ... 03 61 01: "a" is a top-level string, then 01 ...
}

// Strings with a NUL are written whole and read back cut.
TEST(RoundTrip, NulCutOnTheWayBack) {
    CAmfMessage built;
    built.AddValue(Str(built, std::u16string(u"ab\0cd", 5)));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(built.Encode(bytes));
    CAmfMessage decoded;
    ASSERT_TRUE(decoded.Decode(bytes));
    EXPECT_EQ(decoded.FirstValue()->m_strValue, u"ab");
}

}  // namespace
