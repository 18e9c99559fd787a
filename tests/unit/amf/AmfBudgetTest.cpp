// The decode budget: a payload may decode into at most CAmfReader::kMaxValues
// values and into at most CAmfReader::TextBudget units of text. The hostile
// payloads that used to decode into gigabytes fail after a bounded amount of
// work; payloads exactly at a bound decode as before, one unit or one value
// past it fail as a whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "AmfTestUtil.h"
#include "amf/AmfCodec.h"
#include "fuzz/AmfFuzzCheck.h"

namespace {

using namespace amf_test;

void PutU29(std::vector<uint8_t>& out, uint32_t v) {
    if (v < 0x80) {
        out.push_back(static_cast<uint8_t>(v));
    } else if (v < 0x4000) {
        out.insert(out.end(),
                   {static_cast<uint8_t>((v >> 7) | 0x80), static_cast<uint8_t>(v & 0x7F)});
    } else {
        ASSERT_LT(v, 0x200000u);
        out.insert(out.end(), {static_cast<uint8_t>((v >> 14) | 0x80),
                               static_cast<uint8_t>(((v >> 7) & 0x7F) | 0x80),
                               static_cast<uint8_t>(v & 0x7F)});
    }
}

// An inline string value of length letters (it becomes table entry 0 when it
// is the first string of the payload).
void PutInline(std::vector<uint8_t>& out, uint32_t length) {
    out.push_back(0x06);
    PutU29(out, (length << 1) | 1);
    out.insert(out.end(), length, 'a');
}

// The documented budget, worked out here from the payload's size.
int64_t Budget(const std::vector<uint8_t>& payload) {
    return CAmfReader::kUnitsPerByte * static_cast<int64_t>(payload.size()) +
           CAmfReader::kUnitsBase;
}

// One string of length bytes followed by references to it, the shape of the
// measured amplification payloads.
std::vector<uint8_t> StringReferences(uint32_t length, uint32_t references) {
    std::vector<uint8_t> out;
    PutInline(out, length);
    for (uint32_t i = 0; i < references; ++i)
        out.insert(out.end(), {0x06, 0x00});
    return out;
}

// The payloads measured against the decoder without a budget, where they
// decoded into 260 MiB, 2.1 GiB and 2.4 GiB. Each now fails, and what stays
// in the message (the values before the one that passed the budget) is what
// the budget allows and not one value more.
TEST(DecodeBudget, MeasuredAmplificationPayloadsFail) {
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>()> build;
        size_t kept;  // top-level values left in the message
    };
    const auto keptRefs = [](uint32_t length, uint32_t references) {
        const int64_t budget = Budget(StringReferences(length, references));
        return static_cast<size_t>(budget / length);  // the inline one plus the references
    };
    const Case cases[] = {
        {"16 KiB string referenced 8,192 times (32 KB)",
         [] { return StringReferences(16384, 8192); }, keptRefs(16384, 8192)},
        {"32 KiB string referenced 32,768 times (96 KB)",
         [] { return StringReferences(32768, 32768); }, keptRefs(32768, 32768)},
        {"16 MiB of 00 bytes", [] { return std::vector<uint8_t>(16u << 20, 0x00); },
         static_cast<size_t>(CAmfReader::kMaxValues)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> payload = c.build();
        CAmfMessage message;
        EXPECT_FALSE(message.Decode(payload));
        EXPECT_EQ(message.GetCount(), c.kept);
        EXPECT_EQ(amf_fuzz::CheckBudget(payload, message), "");
    }
    // For the record: the 32 KB payload stops after 8 of its 8,193 strings.
    EXPECT_EQ(keptRefs(16384, 8192), 8u);
}

// Payloads whose values count exactly kMaxValues decode; one more value fails
// the whole payload, wherever the value sits.
TEST(DecodeBudget, ValueCountAtAndPastTheBound) {
    const uint32_t max = static_cast<uint32_t>(CAmfReader::kMaxValues);
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>(uint32_t values)> build;
    };
    const Case cases[] = {
        {"top-level undefined values", [](uint32_t n) { return std::vector<uint8_t>(n, 0x00); }},
        {"dense elements of one array",
         [](uint32_t n) {
             std::vector<uint8_t> out{0x09};
             PutU29(out, ((n - 1) << 1) | 1);
             out.push_back(0x01);
             out.insert(out.end(), n - 1, 0x01);  // null elements
             return out;
         }},
        {"members of one array",
         [](uint32_t n) {
             // Keys k0, k1, ... each new, values null; the array is one value.
             std::vector<uint8_t> out{0x09, 0x01};
             for (uint32_t i = 0; i + 1 < n; ++i) {
                 const std::string key = "k" + std::to_string(i);
                 PutU29(out, static_cast<uint32_t>(key.size() << 1) | 1);
                 out.insert(out.end(), key.begin(), key.end());
                 out.push_back(0x01);
             }
             out.push_back(0x01);
             return out;
         }},
        {"nested arrays of 64 levels",
         [](uint32_t n) {
             // Full trees of 64 nested arrays with one element each (65 values),
             // then undefined values to make up the count.
             std::vector<uint8_t> out;
             uint32_t made = 0;
             while (n - made >= 65) {
                 for (int i = 0; i < 64; ++i)
                     out.insert(out.end(), {0x09, 0x03, 0x01});
                 out.push_back(0x02);
                 made += 65;
             }
             out.insert(out.end(), n - made, 0x00);
             return out;
         }},
    };
    for (const Case& c : cases) {
        for (const uint32_t values : {max, max + 1}) {
            SCOPED_TRACE(::testing::Message() << c.name << ", " << values << " values");
            CAmfMessage message;
            EXPECT_EQ(message.Decode(c.build(values)), values == max);
            // At the bound every value is there; past it, what the failed
            // decode keeps stays within the bound.
            if (values == max) {
                EXPECT_EQ(amf_fuzz::Measure(message).values, max);
            } else {
                EXPECT_LE(amf_fuzz::Measure(message).values, max);
            }
        }
    }
}

// Text exactly at the budget decodes; one unit past it fails. The payloads
// are a string of odd length L (table entry 0), k references to it laid out
// as the layout says, and p undefined values as padding; k and p are searched
// so that the text minus the budget is exactly the target.
TEST(DecodeBudget, TextAtAndPastTheBound) {
    struct Layout {
        const char* name;
        // The bytes after the inline string that make k references to it.
        std::function<std::vector<uint8_t>(uint32_t k)> references;
    };
    const Layout layouts[] = {
        {"references as string values",
         [](uint32_t k) {
             std::vector<uint8_t> out;
             for (uint32_t i = 0; i < k; ++i)
                 out.insert(out.end(), {0x06, 0x00});
             return out;
         }},
        {"references as member keys",
         [](uint32_t k) {
             // Key 00 refers to entry 0, value null; the repeated key keeps
             // only its first value, but every copy of the key is text read.
             std::vector<uint8_t> out{0x09, 0x01};
             for (uint32_t i = 0; i < k; ++i)
                 out.insert(out.end(), {0x00, 0x01});
             out.push_back(0x01);
             return out;
         }},
        {"references inside nested arrays",
         [](uint32_t k) {
             std::vector<uint8_t> out{0x09};
             PutU29(out, (k << 1) | 1);
             out.push_back(0x01);
             for (uint32_t i = 0; i < k; ++i)
                 out.insert(out.end(), {0x09, 0x03, 0x01, 0x06, 0x00});
             return out;
         }},
    };
    for (const Layout& layout : layouts) {
        const auto build = [&layout](uint32_t length, uint32_t k, uint32_t p) {
            std::vector<uint8_t> out;
            PutInline(out, length);
            const std::vector<uint8_t> references = layout.references(k);
            out.insert(out.end(), references.begin(), references.end());
            out.insert(out.end(), p, 0x00);
            return out;
        };
        for (uint32_t length : {4095u, 16383u}) {
            for (int64_t target : {0, 1}) {
                SCOPED_TRACE(::testing::Message() << layout.name << ", length " << length
                                                  << ", text minus budget " << target);
                std::vector<uint8_t> payload;
                bool found = false;
                for (uint32_t k = 1; k < 4096 && !found; ++k) {
                    const int64_t text = int64_t{length} * (1 + k);
                    const int64_t over = text - Budget(build(length, k, 0));
                    // Each padding byte adds kUnitsPerByte to the budget.
                    const int64_t diff = over - target;
                    if (diff >= 0 && diff % CAmfReader::kUnitsPerByte == 0) {
                        payload = build(length, k,
                                        static_cast<uint32_t>(diff / CAmfReader::kUnitsPerByte));
                        ASSERT_EQ(text - Budget(payload), target);
                        found = true;
                    }
                }
                ASSERT_TRUE(found);
                CAmfMessage message;
                EXPECT_EQ(message.Decode(payload), target <= 0);
                EXPECT_EQ(amf_fuzz::CheckBudget(payload, message), "");
            }
        }
    }
}

// Below the bounds nothing changes: the UI's commands, strings referenced a
// few times, and a value decoded on its own, which gets a budget of its own.
TEST(DecodeBudget, OrdinaryPayloadsAndDirectValueDecode) {
    {
        CAmfMessage message;
        ASSERT_TRUE(message.Decode(Hex("09 05 03 61 06 07 61 62 63 01 06 02 06 02")));
        EXPECT_EQ(Dump(message), "+[a:\"abc\"|\"abc\",\"abc\"]");
    }
    {
        // A 2000-character URL sent and referenced 30 times: within the base.
        const std::vector<uint8_t> payload = StringReferences(2000, 30);
        CAmfMessage message;
        EXPECT_TRUE(message.Decode(payload));
        EXPECT_EQ(message.GetCount(), 31u);
    }
    {
        const uint32_t n = static_cast<uint32_t>(CAmfReader::kMaxValues);
        for (uint32_t elements : {n - 1, n}) {
            std::vector<uint8_t> payload{0x09};
            PutU29(payload, (elements << 1) | 1);
            payload.push_back(0x01);
            payload.insert(payload.end(), elements, 0x01);
            CAmfMessage message;
            CAmfValue value(&message);
            int32_t position = 0;
            EXPECT_EQ(value.Decode(payload, position), elements < n);
        }
    }
}

// Found by fuzzing: a tree may be written in fewer bytes than it came in,
// here because its one string is cut at a NUL, and the budget of the shorter
// encoding is too small for the same references. The payload decodes, its
// encoding does not; the fuzz property expects exactly that.
TEST(DecodeBudget, EncodingShorterThanThePayloadFailsToDecodeAgain) {
    std::vector<uint8_t> payload{0x06};
    PutU29(payload, (4096 << 1) | 1);
    payload.insert(payload.end(), 1100, 'a');
    payload.push_back(0x00);  // the string ends here; 2995 bytes follow unread
    payload.insert(payload.end(), 2995, 'b');
    for (int i = 0; i < 64; ++i)
        payload.insert(payload.end(), {0x06, 0x00});
    ASSERT_EQ(payload.size(), 4227u);

    CAmfMessage message;
    ASSERT_TRUE(message.Decode(payload));  // 65 x 1100 units within 2 x 4227 + 64 Ki
    EXPECT_EQ(message.GetCount(), 65u);
    std::vector<uint8_t> out;
    ASSERT_TRUE(message.Encode(out));
    EXPECT_EQ(out.size(), 1231u);
    CAmfMessage again;
    EXPECT_FALSE(again.Decode(out));  // the same text past 2 x 1231 + 64 Ki
    EXPECT_EQ(amf_fuzz::CheckDecode(payload.data(), payload.size()), "");
}

// A message that failed on its budget is destroyed completely (ASan reports
// any leak at exit), and the next payload on the thread decodes normally, with
// a fresh budget.
TEST(DecodeBudget, FailureLeavesNothingBehind) {
    for (int round = 0; round < 2; ++round) {
        {
            CAmfMessage message;
            EXPECT_FALSE(message.Decode(StringReferences(16384, 8192)));
        }
        {
            CAmfMessage message;
            EXPECT_FALSE(message.Decode(std::vector<uint8_t>(CAmfReader::kMaxValues + 1, 0x00)));
        }
        CAmfMessage message;
        ASSERT_TRUE(message.Decode(Hex("09 01 09 74 79 70 65 06 0F 77 6D 70 53 74 6F 70 01")));
        EXPECT_EQ(Dump(message), "+[type:\"wmpStop\"|]");
        // Decoding into the same message again starts a budget of its own.
        EXPECT_TRUE(message.Decode(std::vector<uint8_t>(CAmfReader::kMaxValues, 0x00)));
        EXPECT_EQ(message.GetCount(), 1u + CAmfReader::kMaxValues);
    }
}

}  // namespace
