// Hostile and broken input: truncation at every byte, references past the
// table, huge announced counts, deep nesting. Nothing may crash, hang or
// allocate what a count merely announces.
#include <gtest/gtest.h>

#include <chrono>

#include "AmfTestUtil.h"
#include "amf/AmfCodec.h"
#include "fuzz/AmfFuzzCheck.h"

namespace {

using namespace amf_test;
using Clock = std::chrono::steady_clock;

const char* const kMinimizeEvent =
    "09 01 09 64 61 74 61 03 09 74 79 70 65 06 1B 6D 69 6E 69 6D 69 7A 65 45 76 65 6E 74 01";

// Every prefix of the 29-byte event, worked out from the reader's rules:
//  - 0 bytes: an empty payload. 1 byte (09): a header that reads 0, an array
//    reference. 2 bytes (09 01): the header was the last thing: empty array.
//  - 3..28 bytes: the payload ends inside the member list. Whether the key,
//    its value or a string runs past the end, the next ByteAt is outside the
//    payload and the whole decode fails. (At 14 bytes the lone 06 even reads
//    as a reference to "data", and still the member list cannot end.)
//  - 29 bytes: the whole event.
TEST(Truncation, MinimizeEventEveryPrefix) {
    const std::vector<uint8_t> full = Hex(kMinimizeEvent);
    for (size_t n = 0; n <= full.size(); ++n) {
        const std::vector<uint8_t> prefix(full.begin(),
                                          full.begin() + static_cast<std::ptrdiff_t>(n));
        SCOPED_TRACE(::testing::Message() << "prefix " << n << ": " << ToHex(prefix));
        CAmfMessage message;
        const bool ok = message.Decode(prefix);
        if (n == 0) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(Dump(message), "");
        } else if (n <= 2) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(Dump(message), "[|]");
        } else if (n < full.size()) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(message.GetCount(), 0u);
        } else {
            EXPECT_TRUE(ok);
            EXPECT_EQ(Dump(message), "+[data:T,type:\"minimizeEvent\"|]");
        }
    }
}

// A message whose only array has members before a dense part: once the
// member list is complete, truncation inside the dense part keeps what was
// read and succeeds (the last key was read).
TEST(Truncation, DensePartKeepsWhatWasRead) {
    // {k: "v" | 1, "abc", 2.0}
    const std::vector<uint8_t> full =
        Hex("09 07 03 6B 06 03 76 01 04 01 06 07 61 62 63 05 40 00 00 00 00 00 00 00");
    struct Expect {
        size_t n;
        bool ok;
        const char* dump;
    };
    const Expect expects[] = {
        {8, true, "+[k:\"v\"|]"},
        {9, true, "+[k:\"v\"|i0]"},
        {10, true, "+[k:\"v\"|i1]"},
        {11, true, "+[k:\"v\"|i1,\"k\"]"},  // a lone 06 refers to table entry 0
        {12, true, "+[k:\"v\"|i1,\"\"]"},   // "abc" runs past the end
        {15, true, "+[k:\"v\"|i1,\"abc\"]"},
        {16, true, "+[k:\"v\"|i1,\"abc\"]"},  // the double fails; last key read: success
        // The failed double leaves the position just past its marker, so the
        // payload goes on with a top-level value at 40, an unknown marker.
        {17, false, "+[k:\"v\"|i1,\"abc\"]"},
        {23, false, "+[k:\"v\"|i1,\"abc\"]"},
        {24, true, "+[k:\"v\"|i1,\"abc\",d2]"},
    };
    for (const Expect& e : expects) {
        const std::vector<uint8_t> prefix(full.begin(),
                                          full.begin() + static_cast<std::ptrdiff_t>(e.n));
        SCOPED_TRACE(::testing::Message() << "prefix " << e.n << ": " << ToHex(prefix));
        CAmfMessage message;
        EXPECT_EQ(message.Decode(prefix), e.ok);
        EXPECT_EQ(Dump(message), e.dump);
    }
}

// Every prefix of a set of valid payloads (the fuzz seeds among them): no
// crash, and whatever decodes satisfies the round-trip property.
TEST(Truncation, EveryPrefixOfValidPayloadsHoldsTheProperty) {
    const char* const payloads[] = {
        kMinimizeEvent,
        "09 01 03 61 09 03 03 62 04 01 01 02 01",
        "06 07 61 62 63 06 00 09 07 01 04 01 04 02 04 03",
        "09 05 09 64 61 74 61 09 01 05 43 6F 64 65 04 FF FF FF FF 09 54 65 78 74 06 05 C3 A9 01"
        " 09 74 79 70 65 06 1B 77 6D 70 45 72 72 6F 72 45 76 65 6E 74 01 05 3F F0 00 00 00 00 00 "
        "00 06 00",
    };
    for (const char* hex : payloads) {
        const std::vector<uint8_t> full = Hex(hex);
        for (size_t n = 0; n <= full.size(); ++n) {
            SCOPED_TRACE(::testing::Message() << "prefix " << n << " of " << hex);
            EXPECT_EQ(amf_fuzz::CheckDecode(full.data(), n), "");
        }
    }
}

TEST(References, BeyondTheTable) {
    struct Case {
        const char* hex;
        bool ok;
        const char* dump;
    };
    const Case cases[] = {
        {"06 00", false, ""},
        {"06 03 61 06 00 06 02", false, "\"a\" \"a\""},
        {"06 03 61 06 FF FF FF FE", false, "\"a\""},
        // As a key: the entry is skipped and the member list goes on.
        {"09 01 FF FF FF FE 03 61 02 01", true, "+[a:F|]"},
        // As a member value: the member list is left; no 0x01 follows.
        {"09 01 03 61 06 04 01", true, "[|]"},
        {"09 01 03 61 06 04 02 01", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        CAmfMessage message;
        EXPECT_EQ(message.Decode(Hex(c.hex)), c.ok);
        EXPECT_EQ(Dump(message), c.dump);
    }
}

// Announced counts and lengths are bounds, never allocations.
TEST(HugeCounts, ShortPayloadsAreFastAndSmall) {
    const auto start = Clock::now();
    for (int i = 0; i < 2000; ++i) {
        CAmfMessage message;
        // 268,435,455 elements announced, one present.
        ASSERT_TRUE(message.Decode(Hex("09 FF FF FF FF 01 04 01")));
        ASSERT_EQ(message.FirstValue()->m_elements.size(), 1u);
        EXPECT_LE(message.FirstValue()->m_elements.capacity(), 64u);
        // A 268,435,455-byte string announced, one byte present.
        CAmfMessage text;
        ASSERT_TRUE(text.Decode(Hex("06 FF FF FF FF 61")));
        EXPECT_EQ(Dump(text), "\"\"");
        // Both inside one array, string as key: the decode fails at ByteAt.
        CAmfMessage key;
        EXPECT_FALSE(key.Decode(Hex("09 FF FF FF FF FF FF FF FF 61")));
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(HugeCounts, ManyElementsGrowOnlyWithThePayload) {
    // As many elements as the value budget leaves beside the array itself.
    const size_t elements = CAmfReader::kMaxValues - 1;
    std::vector<uint8_t> payload = Hex("09 FF FF FF FF 01");
    payload.insert(payload.end(), elements, 0x01);
    CAmfMessage message;
    ASSERT_TRUE(message.Decode(payload));
    EXPECT_EQ(message.FirstValue()->m_elements.size(), elements);
    EXPECT_LT(message.FirstValue()->m_elements.capacity(), 3 * elements);
}

std::vector<uint8_t> NestedDense(int depth) {
    std::vector<uint8_t> payload;
    for (int i = 0; i < depth; ++i)
        payload.insert(payload.end(), {0x09, 0x03, 0x01});
    payload.push_back(0x01);  // the innermost array's element
    return payload;
}

std::vector<uint8_t> NestedMembers(int depth) {
    std::vector<uint8_t> payload;
    for (int i = 0; i < depth; ++i)
        payload.insert(payload.end(), {0x09, 0x01, 0x03, 0x61});
    payload.push_back(0x01);  // the innermost member's value
    for (int i = 0; i < depth; ++i)
        payload.push_back(0x01);  // every member list's end
    return payload;
}

TEST(Nesting, UpToTheLimitDecodes) {
    for (auto build : {NestedDense, NestedMembers}) {
        for (int depth : {1, 2, 63, CAmfReader::kMaxArrayDepth}) {
            SCOPED_TRACE(depth);
            CAmfMessage message;
            ASSERT_TRUE(message.Decode(build(depth)));
            ASSERT_EQ(message.GetCount(), 1u);
            std::vector<uint8_t> out;
            ASSERT_TRUE(message.Encode(out));
            CAmfMessage again;  // keys come back as references, so compare trees
            ASSERT_TRUE(again.Decode(out));
            EXPECT_EQ(Dump(again), Dump(message));
        }
    }
}

TEST(Nesting, PastTheLimitFailsTheWholePayload) {
    for (auto build : {NestedDense, NestedMembers}) {
        CAmfMessage message;
        EXPECT_FALSE(message.Decode(build(CAmfReader::kMaxArrayDepth + 1)));
        EXPECT_EQ(message.GetCount(), 0u);
    }
    // Even when the 65th level is only an array reference.
    std::vector<uint8_t> payload;
    for (int i = 0; i < CAmfReader::kMaxArrayDepth; ++i)
        payload.insert(payload.end(), {0x09, 0x03, 0x01});
    payload.insert(payload.end(), {0x09, 0x00});
    CAmfMessage message;
    EXPECT_FALSE(message.Decode(payload));
}

TEST(Nesting, TwoHundredThousandLevelsFailQuickly) {
    std::vector<uint8_t> payload;
    for (int i = 0; i < 200000; ++i)
        payload.insert(payload.end(), {0x09, 0x03, 0x01});
    const auto start = Clock::now();
    CAmfMessage message;
    EXPECT_FALSE(message.Decode(payload));
    EXPECT_EQ(message.GetCount(), 0u);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST(Nesting, SiblingsDoNotAddUp) {
    // 1000 top-level arrays of depth 64 each: depth is per path, not total.
    std::vector<uint8_t> payload;
    for (int i = 0; i < 1000; ++i) {
        const std::vector<uint8_t> one = NestedDense(CAmfReader::kMaxArrayDepth);
        payload.insert(payload.end(), one.begin(), one.end());
    }
    CAmfMessage message;
    EXPECT_TRUE(message.Decode(payload));
    EXPECT_EQ(message.GetCount(), 1000u);
}

// A value decoded on its own (not through the message) after a broken decode
// of the same message starts clean.
TEST(Nesting, DirectValueDecodeAfterBreakStartsClean) {
    CAmfMessage message;
    EXPECT_FALSE(message.Decode(NestedDense(CAmfReader::kMaxArrayDepth + 1)));
    CAmfValue value(&message);
    int32_t position = 0;
    EXPECT_TRUE(value.Decode(Hex("09 01 01"), position));
    EXPECT_EQ(position, 3);
}

}  // namespace
