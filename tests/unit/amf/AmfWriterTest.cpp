// AMF3 encoding: the edge cases as byte-exact tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <limits>

#include "AmfTestUtil.h"
#include "amf/AmfCodec.h"

namespace {

using namespace amf_test;

// Builds the top-level values of a message, encodes it once and compares.
struct EncodeCase {
    const char* name;
    std::function<void(CAmfMessage&)> build;
    bool ok;
    const char* hex;
};

void Add(CAmfMessage& m, Node v) {
    m.AddValue(std::move(v));
}

const EncodeCase kEncodeCases[] = {
    {"minimize_event",  // the UI's 29 bytes: "data" sorts before "type"
     [](CAmfMessage& m) { Add(m, Envelope(m, u"minimizeEvent", Bool(m, true))); }, true,
     "09 01 09 64 61 74 61 03 09 74 79 70 65 06 1B 6D 69 6E 69 6D 69 7A 65 45 76 65 6E 74 01"},
    {"nothing", [](CAmfMessage&) {}, true, ""},
    {"fresh_node_is_undefined", [](CAmfMessage& m) { Add(m, std::make_unique<CAmfValue>(&m)); },
     true, "00"},
    {"null", [](CAmfMessage& m) { Add(m, Null(m)); }, true, "01"},
    {"false", [](CAmfMessage& m) { Add(m, Bool(m, false)); }, true, "02"},
    {"true_any_nonzero",
     [](CAmfMessage& m) {
         auto v = Bool(m, true);
         v->m_bValue = -7;
         Add(m, std::move(v));
     },
     true, "03"},
    {"int_0", [](CAmfMessage& m) { Add(m, Int(m, 0)); }, true, "04 00"},
    {"int_127", [](CAmfMessage& m) { Add(m, Int(m, 127)); }, true, "04 7F"},
    {"int_128", [](CAmfMessage& m) { Add(m, Int(m, 128)); }, true, "04 81 00"},
    {"int_16383", [](CAmfMessage& m) { Add(m, Int(m, 16383)); }, true, "04 FF 7F"},
    {"int_16384", [](CAmfMessage& m) { Add(m, Int(m, 16384)); }, true, "04 81 80 00"},
    {"int_2097151", [](CAmfMessage& m) { Add(m, Int(m, 2097151)); }, true, "04 FF FF 7F"},
    {"int_2097152", [](CAmfMessage& m) { Add(m, Int(m, 2097152)); }, true, "04 80 C0 80 00"},
    {"int_max", [](CAmfMessage& m) { Add(m, Int(m, 268435455)); }, true, "04 BF FF FF FF"},
    {"int_minus_1", [](CAmfMessage& m) { Add(m, Int(m, -1)); }, true, "04 FF FF FF FF"},
    {"int_min", [](CAmfMessage& m) { Add(m, Int(m, -268435456)); }, true, "04 C0 80 80 00"},
    {"int_above_range_marker_only", [](CAmfMessage& m) { Add(m, Int(m, 268435456)); }, false, "04"},
    {"int_below_range_marker_only", [](CAmfMessage& m) { Add(m, Int(m, -268435457)); }, false,
     "04"},
    {"int_failure_stops_message",
     [](CAmfMessage& m) {
         Add(m, Int(m, 1));
         Add(m, Int(m, std::numeric_limits<int32_t>::max()));
         Add(m, Int(m, 2));
     },
     false, "04 01 04"},
    {"double_one", [](CAmfMessage& m) { Add(m, Dbl(m, 1.0)); }, true, "05 3F F0 00 00 00 00 00 00"},
    {"double_minus_zero", [](CAmfMessage& m) { Add(m, Dbl(m, -0.0)); }, true,
     "05 80 00 00 00 00 00 00 00"},
    {"strings_abc_twice",
     [](CAmfMessage& m) {
         Add(m, Str(m, u"abc"));
         Add(m, Str(m, u"abc"));
     },
     true, "06 07 61 62 63 06 00"},
    {"empty_string_inline_never_in_table",
     [](CAmfMessage& m) {
         Add(m, Str(m, u""));
         Add(m, Str(m, u""));
         Add(m, Str(m, u"a"));
         Add(m, Str(m, u"a"));
     },
     true, "06 01 06 01 06 03 61 06 00"},
    {"string_equal_to_key_is_reference",
     [](CAmfMessage& m) {
         Add(m, Arr(m, Members(Mem(u"type", Str(m, u"x")))));
         Add(m, Str(m, u"type"));
     },
     true, "09 01 09 74 79 70 65 06 03 78 01 06 00"},
    {"case_sensitive_table",
     [](CAmfMessage& m) {
         Add(m, Str(m, u"a"));
         Add(m, Str(m, u"A"));
         Add(m, Str(m, u"a"));
     },
     true, "06 03 61 06 03 41 06 00"},
    {"string_multibyte", [](CAmfMessage& m) { Add(m, Str(m, u"a\u00e9\u20ac\U0001F600")); }, true,
     "06 15 61 C3 A9 E2 82 AC F0 9F 98 80"},
    {"string_unpaired_surrogates",
     [](CAmfMessage& m) {
         Add(m, Str(m, std::u16string{0xD800, u'a', 0xDC00}));
     },
     true, "06 0F EF BF BD 61 EF BF BD"},
    {"string_with_nul_written_whole",
     [](CAmfMessage& m) { Add(m, Str(m, std::u16string(u"a\0b", 3))); }, true, "06 07 61 00 62"},
    {"array_empty", [](CAmfMessage& m) { Add(m, Arr(m, {})); }, true, "09 01 01"},
    {"array_three_ints",
     [](CAmfMessage& m) { Add(m, Arr(m, {}, Elems(Int(m, 1), Int(m, 2), Int(m, 3)))); }, true,
     "09 07 01 04 01 04 02 04 03"},
    {"array_members_then_elements",
     [](CAmfMessage& m) {
         Add(m, Arr(m, Members(Mem(u"b", Null(m)), Mem(u"a", Int(m, 1))), Elems(Str(m, u"a"))));
     },
     true, "09 03 03 61 04 01 03 62 01 01 06 00"},
    {"array_key_order_ordinal",
     [](CAmfMessage& m) {
         Add(m, Arr(m, Members(Mem(u"a", Null(m)), Mem(u"Z", Null(m)), Mem(u"ab", Null(m)))));
     },
     true, "09 01 03 5A 01 03 61 01 05 61 62 01 01"},
    {"array_empty_key_written_inline",
     [](CAmfMessage& m) { Add(m, Arr(m, Members(Mem(u"", Int(m, 5))))); }, true,
     "09 01 01 04 05 01"},
    {"array_nested",
     [](CAmfMessage& m) {
         Add(m, Arr(m, Members(Mem(u"a", Arr(m, Members(Mem(u"a", Int(m, 1))))))));
     },
     true, "09 01 03 61 09 01 00 04 01 01 01"},
    {"array_failing_member_keeps_prefix",
     [](CAmfMessage& m) { Add(m, Arr(m, Members(Mem(u"a", Int(m, 1)), Mem(u"b", Make(m, 3))))); },
     false, "09 01 03 61 04 01 03 62"},
    {"array_failing_element_keeps_prefix",
     [](CAmfMessage& m) { Add(m, Arr(m, {}, Elems(Int(m, 1), Make(m, AMF_OBJECT), Int(m, 2)))); },
     false, "09 07 01 04 01"},
    {"code_3_fails_writing_nothing", [](CAmfMessage& m) { Add(m, Make(m, 3)); }, false, ""},
    {"code_7_fails", [](CAmfMessage& m) { Add(m, Make(m, AMF_XML_DOC)); }, false, ""},
    {"code_8_fails", [](CAmfMessage& m) { Add(m, Make(m, AMF_DATE)); }, false, ""},
    {"code_10_fails", [](CAmfMessage& m) { Add(m, Make(m, AMF_OBJECT)); }, false, ""},
    {"code_11_fails", [](CAmfMessage& m) { Add(m, Make(m, AMF_XML)); }, false, ""},
    {"code_12_fails", [](CAmfMessage& m) { Add(m, Make(m, AMF_BYTE_ARRAY)); }, false, ""},
    {"code_13_fails", [](CAmfMessage& m) { Add(m, Make(m, 13)); }, false, ""},
    {"code_negative_fails", [](CAmfMessage& m) { Add(m, Make(m, -1)); }, false, ""},
    {"unknown_code_after_value",
     [](CAmfMessage& m) {
         Add(m, Null(m));
         Add(m, Make(m, 200));
         Add(m, Null(m));
     },
     false, "01"},
};

void PrintTo(const EncodeCase& c, std::ostream* os) {
    *os << c.name;
}

class Encode : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Encode, MatchesSpec) {
    const EncodeCase& c = GetParam();
    CAmfMessage message;
    c.build(message);
    std::vector<uint8_t> out;
    EXPECT_EQ(message.Encode(out), c.ok);
    EXPECT_EQ(ToHex(out), ToHex(Hex(c.hex)));
    EXPECT_TRUE(message.m_writeStrings.empty());  // emptied, success or not
    // Encoding again gives the same bytes (and appends to what is there).
    std::vector<uint8_t> twice = out;
    EXPECT_EQ(message.Encode(twice), c.ok);
    std::vector<uint8_t> expected = out;
    expected.insert(expected.end(), out.begin(), out.end());
    EXPECT_EQ(ToHex(twice), ToHex(expected));
}

INSTANTIATE_TEST_SUITE_P(Part1_3, Encode, ::testing::ValuesIn(kEncodeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WriteU29, Table) {
    struct Case {
        int64_t value;
        bool asHeader;
        bool isReference;
        bool ok;
        const char* hex;
    };
    const Case cases[] = {
        {0, false, false, true, "00"},
        {127, false, false, true, "7F"},
        {128, false, false, true, "81 00"},
        {0x3FFF, false, false, true, "FF 7F"},
        {0x4000, false, false, true, "81 80 00"},
        {0x1FFFFF, false, false, true, "FF FF 7F"},
        {0x200000, false, false, true, "80 C0 80 00"},
        {0x0FFFFFFF, false, false, true, "BF FF FF FF"},
        {0x10000000, false, false, false, ""},
        {-1, false, false, true, "FF FF FF FF"},
        {-0x10000000, false, false, true, "C0 80 80 00"},
        {-0x10000001, false, false, false, ""},
        {0, true, false, true, "01"},
        {0, true, true, true, "00"},
        {3, true, true, true, "06"},
        {63, true, false, true, "7F"},
        {64, true, false, true, "81 01"},
        {0x0FFFFFFF, true, false, true, "FF FF FF FF"},
        {0x0FFFFFFF, true, true, true, "FF FF FF FE"},
        {0x10000000, true, false, false, ""},
        {-1, true, false, false, ""},
        {int64_t{1} << 40, true, false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.value << " header=" << c.asHeader << " ref=" << c.isReference);
        std::vector<uint8_t> out{0xAA};
        EXPECT_EQ(CAmfWriter::WriteU29(c.value, out, c.asHeader, c.isReference), c.ok);
        EXPECT_EQ(ToHex(out), ToHex(Hex(std::string("AA ") + c.hex)));
    }
}

// WriteU29 and ReadU29 agree on every width boundary and a sweep between.
TEST(WriteU29, RoundTripsThroughReader) {
    std::vector<int32_t> values;
    for (int32_t v = -70000; v <= 70000; ++v)
        values.push_back(v);
    for (int32_t b : {0x1FFFFF, 0x200000, 0x0FFFFFFF, -0x10000000, 0x7FFFFF, 0x1234567})
        for (int32_t d = -3; d <= 3; ++d)
            if (b + d <= 0x0FFFFFFF && b + d >= -0x10000000)
                values.push_back(b + d);
    std::vector<uint8_t> out;
    for (int32_t v : values)
        ASSERT_TRUE(CAmfWriter::WriteU29(v, out, false, false));
    CAmfMessage message;
    CAmfReader reader(out, message);
    for (int32_t v : values)
        ASSERT_EQ(reader.ReadU29Integer(), v);
    EXPECT_EQ(reader.Position(), static_cast<int32_t>(out.size()));
}

// Direct CAmfValue::Encode calls share the table until a message run empties it.
TEST(WriteString, TableLivesUntilMessageEncode) {
    CAmfMessage message;
    auto s = Str(message, u"abc");
    std::vector<uint8_t> out;
    ASSERT_TRUE(s->Encode(out));
    ASSERT_TRUE(s->Encode(out));
    EXPECT_EQ(ToHex(out), "06 07 61 62 63 06 00");
    ASSERT_EQ(message.m_writeStrings.size(), 1u);
    message.AddValue(std::move(s));
    out.clear();
    ASSERT_TRUE(message.Encode(out));
    EXPECT_EQ(ToHex(out), "06 00");  // still in the table from the direct calls
    out.clear();
    ASSERT_TRUE(message.Encode(out));
    EXPECT_EQ(ToHex(out), "06 07 61 62 63");
}

// Past the linear-search size the hash index takes over; references must keep
// first-appearance order, and a table emptied from outside is honoured.
TEST(WriteString, ManyStringsKeepFirstAppearanceOrder) {
    const int n = 40;
    CAmfMessage message;
    std::vector<uint8_t> expected;
    auto text = [](int i) { return u"s" + std::u16string(1, static_cast<char16_t>(u'A' + i)); };
    for (int i = 0; i < n; ++i) {
        message.AddValue(Str(message, text(i)));
        expected.insert(expected.end(), {0x06, 0x05, 0x73, static_cast<uint8_t>('A' + i)});
    }
    for (int i = n - 1; i >= 0; --i) {
        message.AddValue(Str(message, text(i)));
        expected.insert(expected.end(), {0x06, static_cast<uint8_t>(i * 2)});
    }
    std::vector<uint8_t> out;
    ASSERT_TRUE(message.Encode(out));
    EXPECT_EQ(ToHex(out), ToHex(expected));
    out.clear();
    ASSERT_TRUE(message.Encode(out));
    EXPECT_EQ(ToHex(out), ToHex(expected));

    // Direct value encodes, with the table emptied by hand in between.
    std::vector<uint8_t> direct;
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(message.m_values[i]->Encode(direct));
    message.m_writeStrings.clear();
    std::vector<uint8_t> fresh;
    ASSERT_TRUE(message.m_values[n - 1]->Encode(fresh));
    EXPECT_EQ(ToHex(fresh), "06 05 73 " + ToHex({static_cast<uint8_t>('A' + n - 1)}));
}

// The writer's lookup must not be quadratic: 30000 distinct strings and the
// same again as references. A linear search would make ~10^9 comparisons.
TEST(WriteString, TenThousandsOfStringsIsNotQuadratic) {
    const int n = 30000;
    CAmfMessage message;
    std::vector<std::unique_ptr<CAmfValue>> elements;
    for (int i = 0; i < 2 * n; ++i) {
        std::string ascii = "string-" + std::to_string(i % n);
        elements.push_back(Str(message, std::u16string(ascii.begin(), ascii.end())));
    }
    message.AddValue(Arr(message, {}, std::move(elements)));
    // Processor time, so a loaded machine does not fail the test: about
    // 0.1 s under ASan for the hashed lookup, many seconds for a linear one.
    const std::clock_t start = std::clock();
    std::vector<uint8_t> out;
    ASSERT_TRUE(message.Encode(out));
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    EXPECT_LT(seconds, 3.0);
    std::printf("encoding %d strings took %.3f s of processor time\n", 2 * n, seconds);
    CAmfMessage back;
    ASSERT_TRUE(back.Decode(out));
    ASSERT_EQ(back.FirstValue()->m_elements.size(), static_cast<size_t>(2 * n));
    EXPECT_EQ(back.FirstValue()->m_elements[2 * n - 1]->m_strValue, u"string-29999");
    EXPECT_EQ(back.m_readStrings.size(), static_cast<size_t>(n));
}

// Strings longer than a U29 length can hold fail after the marker.
TEST(WriteString, LongerThanU29Fails) {
    // 89,478,486 three-byte characters are 268,435,458 UTF-8 bytes.
    CAmfMessage message;
    message.AddValue(Str(message, std::u16string(89478486, u'\u4E00')));
    std::vector<uint8_t> out;
    EXPECT_FALSE(message.Encode(out));
    EXPECT_EQ(ToHex(out), "06");
    EXPECT_TRUE(message.m_writeStrings.empty());
}

TEST(WriteString, HeaderWidths) {
    for (size_t n : {size_t{63}, size_t{64}, size_t{8191}, size_t{8192}}) {
        CAmfMessage message;
        message.AddValue(Str(message, std::u16string(n, u'x')));
        std::vector<uint8_t> out;
        ASSERT_TRUE(message.Encode(out));
        std::vector<uint8_t> expected{0x06};
        ASSERT_TRUE(CAmfWriter::WriteU29(static_cast<int64_t>(n), expected, true, false));
        expected.insert(expected.end(), n, 'x');
        EXPECT_EQ(out, expected);
    }
    std::vector<uint8_t> header;
    ASSERT_TRUE(CAmfWriter::WriteU29(64, header, true, false));
    EXPECT_EQ(ToHex(header), "81 01");
}

TEST(WriteString, LongestU29LengthHeader) {
    // Just the header logic at the limit, without a 256 MiB string: the
    // header for 268,435,455 bytes is FF FF FF FF.
    std::vector<uint8_t> out;
    ASSERT_TRUE(CAmfWriter::WriteU29(268435455, out, true, false));
    EXPECT_EQ(ToHex(out), "FF FF FF FF");
}

}  // namespace
