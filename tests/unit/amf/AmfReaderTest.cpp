// AMF3 decoding: every edge case as byte-exact tables.
#include <gtest/gtest.h>

#include "amf/AmfCodec.h"
#include <cstring>

#include "AmfTestUtil.h"

namespace {

using namespace amf_test;

// A whole payload through CAmfMessage::Decode: the result and the dump of
// every value left in m_values (values appended before a failure stay).
struct MessageCase {
    const char* name;
    const char* hex;
    bool ok;
    const char* dump;
};

const MessageCase kMessageCases[] = {
    // Control case: the 29-byte minimizeEvent must decode.
    {"minimize_event",
     "09 01 09 64 61 74 61 03 09 74 79 70 65 06 1B 6D 69 6E 69 6D 69 7A 65 45 76 65 6E 74 01", true,
     "+[data:T,type:\"minimizeEvent\"|]"},
    {"empty_payload", "", true, ""},
    // Scalars.
    {"undefined_null_bools", "00 01 02 03", true, "U N F T"},
    {"int_minus_one", "04 FF FF FF FF", true, "i-1"},
    {"int_max", "04 BF FF FF FF", true, "i268435455"},
    {"int_min", "04 C0 80 80 00", true, "i-268435456"},
    {"int_128", "04 81 00", true, "i128"},
    {"int_truncated_after_first_byte", "04 81", true, "i1"},
    {"int_lone_marker", "04", true, "i0"},
    {"int_three_byte_truncated", "04 FF FF", true, "i16383"},
    {"int_fifth_byte_is_next_marker", "04 FF FF FF FF 01", true, "i-1 N"},
    {"double_one", "05 3F F0 00 00 00 00 00 00", true, "d1"},
    {"double_truncated", "05 3F F0", false, ""},
    {"double_lone_marker", "05", false, ""},
    // Strings and the read table.
    {"string_then_reference", "06 07 61 62 63 06 00", true, "\"abc\" \"abc\""},
    {"reference_empty_table", "06 02", false, ""},
    {"empty_string_not_in_table", "06 01 06 00", false, "\"\""},
    {"lone_string_marker_is_reference_0", "06 03 61 06", true, "\"a\" \"a\""},
    {"lone_string_marker_empty_table", "06", false, ""},
    {"reference_past_table", "06 03 61 06 02", false, "\"a\""},
    {"string_past_end_top_level", "06 07 61", true, "\"\""},
    {"string_past_end_after_value", "04 01 06 09 61", true, "i1 \"\""},
    {"string_past_end_not_in_table", "06 09 61 62", true, "\"\""},
    {"string_nul_cut", "06 07 61 00 62 06 00", true, "\"a\" \"a\""},
    // A conversion cut to nothing still enters the table (it yielded a NUL).
    {"string_nul_first_enters_table", "06 05 00 61 06 00", true, "\"\" \"\""},
    {"string_utf8", "06 15 61 C3 A9 E2 82 AC F0 9F 98 80", true,
     "\"a\\u{00E9}\\u{20AC}\\u{D83D}\\u{DE00}\""},
    {"string_malformed_utf8", "06 07 61 FF 62", true, "\"a\\u{FFFD}b\""},
    {"string_huge_length", "06 FF FF FF FF", true, "\"\""},
    // Arrays.
    {"array_empty", "09 01 01", true, "[|]"},
    {"array_reference", "09 00", true, "[|]"},
    {"array_lone_marker_is_reference", "09", true, "[|]"},
    {"array_header_last", "09 03", true, "[|]"},
    {"array_header_truncated_last", "09 83", true, "[|]"},
    {"array_three_ints", "09 07 01 04 01 04 02 04 03", true, "[|i1,i2,i3]"},
    {"array_dense_short", "09 05 01 06 01", true, "[|\"\"]"},
    {"array_dense_short_after_key", "09 05 03 61 02 01 06 01", true, "+[a:F|\"\"]"},
    {"array_duplicate_key_first_stays", "09 01 03 61 04 01 00 04 02 01", true, "+[a:i1|]"},
    {"array_key_reference", "06 03 61 09 01 00 04 05 01", true, "\"a\" +[a:i5|]"},
    {"array_value_refers_to_key", "09 01 03 61 06 00 01", true, "+[a:\"a\"|]"},
    {"array_keys_sorted", "09 01 03 62 01 03 61 01 03 5A 01 01", true, "+[Z:N,a:N,b:N|]"},
    {"array_nested", "09 01 03 61 09 03 03 62 04 01 01 02 01", true, "+[a:+[b:i1|F]|]"},
    {"array_skipped_key", "09 01 02 01", true, "+[|]"},
    {"array_skipped_key_then_member", "09 01 04 03 61 01 01", true, "+[a:N|]"},
    // Short dense part after a failed last key read: the array fails.
    {"array_skipped_key_dense_short", "09 05 02 01 06 01", false, ""},
    {"array_skipped_key_dense_complete", "09 03 02 01 06 01", true, "+[|\"\"]"},
    // Refused member value: the array fails unless 0x01 follows the marker.
    {"array_member_refused_then_other", "09 01 03 61 0A 02 01", false, ""},
    {"array_member_refused_then_end", "09 01 03 61 0A 01", true, "[|]"},
    {"array_member_refused_then_end_keeps_earlier", "09 01 03 61 01 03 62 0A 01", true, "+[a:N|]"},
    // Refused element: the array keeps what it read and the parent goes on
    // just past the refused marker.
    {"array_element_refused", "09 05 01 0A 01", true, "[|] N"},
    {"array_element_refused_after_one", "09 05 01 04 07 0C", true, "[|i7]"},
    {"array_element_unknown_marker", "09 05 01 04 07 FF 02", true, "[|i7] F"},
    {"array_string_past_end_as_element", "09 03 01 06 09", true, "[|\"\"]"},
    // ByteAt outside the payload ends the whole decode.
    {"array_payload_ends_in_member_list", "09 01 03 61 04 05", false, ""},
    {"array_earlier_values_stay", "04 01 09 01 03 61 04 05", false, "i1"},
    {"array_string_past_end_in_member_list", "09 01 03 61 06 09 62", false, ""},
    {"array_key_past_end", "09 01 07 61", false, ""},
    {"array_member_list_missing_end", "09 01", true, "[|]"},
    {"array_member_list_missing_end_in_array", "09 03 01 09 01", true, "[|[|]]"},
    {"array_nested_member_list_runs_out", "09 03 01 09 01 03 61 02", false, ""},
    {"array_skipped_key_at_end", "09 01 02", false, ""},
    {"array_key_not_terminated", "09 01 03 61 04 01 02", false, ""},
    // Refused and unknown markers at top level.
    {"object_refused", "0A 0B 01", false, ""},
    {"date_refused", "08 01", false, ""},
    {"unknown_marker", "0D", false, ""},
    {"unknown_marker_after_values", "01 02 FF", false, "N F"},
};

void PrintTo(const MessageCase& c, std::ostream* os) {
    *os << c.name;
}

class MessageDecode : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageDecode, MatchesSpec) {
    const MessageCase& c = GetParam();
    const std::vector<uint8_t> payload = Hex(c.hex);
    SCOPED_TRACE(::testing::Message() << "payload: " << ToHex(payload));
    CAmfMessage message;
    EXPECT_EQ(message.Decode(payload), c.ok);
    EXPECT_EQ(Dump(message), c.dump);
}

INSTANTIATE_TEST_SUITE_P(Part1_2, MessageDecode, ::testing::ValuesIn(kMessageCases),
                         [](const auto& info) { return std::string(info.param.name); });

// One value through CAmfValue::Decode: result, type, dump and the position
// it stops at (the bytes it consumed).
struct ValueCase {
    const char* name;
    const char* hex;
    bool ok;
    int32_t type;
    const char* dump;
    int32_t position;
};

const ValueCase kValueCases[] = {
    {"control_true", "03", true, AMF_BOOLEAN, "T", 1},
    {"int_minus_one", "04 FF FF FF FF", true, AMF_INTEGER, "i-1", 5},
    {"int_four_bytes_max", "04 FF FF FF FF FF", true, AMF_INTEGER, "i-1", 5},
    {"int_one_byte", "04 7F 01", true, AMF_INTEGER, "i127", 2},
    {"int_truncated", "04 81", true, AMF_INTEGER, "i1", 2},
    {"int_lone", "04", true, AMF_INTEGER, "i0", 1},
    {"int_2097152", "04 80 C0 80 00", true, AMF_INTEGER, "i2097152", 5},
    {"double_truncated_stays", "05 3F F0", false, AMF_DOUBLE, "d0", 1},
    {"double", "05 3F F0 00 00 00 00 00 00 01", true, AMF_DOUBLE, "d1", 9},
    {"string_ref_fails_past_header", "06 02 01", false, AMF_STRING, "\"\"", 2},
    {"string_past_end_moves_past", "06 09 61", true, AMF_STRING, "\"\"", 6},
    {"string_huge_past_end", "06 FF FF FF FF", true, AMF_STRING, "\"\"", 5 + 268435455},
    {"array_reference", "09 04 01", true, AMF_ARRAY, "[|]", 2},
    {"array_element_refused_stops_past_marker", "09 05 01 0A 01", true, AMF_ARRAY, "[|]", 4},
    {"array_member_refused_fails", "09 01 03 61 0A 02 01", false, AMF_ARRAY, "[|]", 5},
    {"xml_doc", "07 01", false, AMF_XML_DOC, "?7", 1},
    {"date", "08", false, AMF_DATE, "?8", 1},
    {"object", "0A", false, AMF_OBJECT, "?10", 1},
    {"xml", "0B", false, AMF_XML, "?11", 1},
    {"byte_array", "0C", false, AMF_BYTE_ARRAY, "?12", 1},
    {"marker_0d", "0D", false, AMF_UNDEFINED, "U", 1},
    {"marker_ff", "FF 01", false, AMF_UNDEFINED, "U", 1},
};

void PrintTo(const ValueCase& c, std::ostream* os) {
    *os << c.name;
}

class ValueDecode : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ValueDecode, MatchesSpec) {
    const ValueCase& c = GetParam();
    const std::vector<uint8_t> payload = Hex(c.hex);
    SCOPED_TRACE(::testing::Message() << "payload: " << ToHex(payload));
    CAmfMessage message;
    CAmfValue value(&message);
    int32_t position = 0;
    EXPECT_EQ(value.Decode(payload, position), c.ok);
    EXPECT_EQ(value.m_nType, c.type);
    EXPECT_EQ(Dump(value), c.dump);
    EXPECT_EQ(position, c.position);
}

INSTANTIATE_TEST_SUITE_P(Part1_2, ValueDecode, ::testing::ValuesIn(kValueCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ValueDecode, AtOrPastEndFailsWithoutMoving) {
    CAmfMessage message;
    const std::vector<uint8_t> payload = Hex("01");
    for (int32_t start : {1, 2, 1000}) {
        CAmfValue value(&message);
        int32_t position = start;
        EXPECT_FALSE(value.Decode(payload, position));
        EXPECT_EQ(position, start);
        EXPECT_EQ(value.m_nType, AMF_UNDEFINED);
    }
}

// Every single-byte payload against the type table.
TEST(ValueDecode, EveryMarkerByte) {
    for (int marker = 0; marker < 256; ++marker) {
        SCOPED_TRACE(marker);
        CAmfMessage message;
        CAmfValue value(&message);
        int32_t position = 0;
        const bool ok = value.Decode({static_cast<uint8_t>(marker)}, position);
        EXPECT_EQ(position, 1);
        const bool accepted = marker <= 4 || marker == 9;  // 06 alone refers to an empty table
        EXPECT_EQ(ok, accepted);
        int32_t type = marker;
        if (marker == 3)
            type = AMF_BOOLEAN;
        if (marker > 12)
            type = AMF_UNDEFINED;
        EXPECT_EQ(value.m_nType, type);
    }
}

TEST(ReadString, TableFilledInOrderAndSharedAcrossValues) {
    CAmfMessage message;
    ASSERT_TRUE(message.Decode(Hex("06 03 61 09 01 03 62 06 05 63 64 01 06 02 06 04 06 00")));
    EXPECT_EQ(Dump(message), "\"a\" +[b:\"cd\"|] \"b\" \"cd\" \"a\"");
    ASSERT_EQ(message.m_readStrings.size(), 3u);
    EXPECT_EQ(message.m_readStrings[0], u"a");
    EXPECT_EQ(message.m_readStrings[1], u"b");
    EXPECT_EQ(message.m_readStrings[2], u"cd");
}

TEST(ReadString, EmptyAndPastEndStayOutOfTable) {
    CAmfMessage message;
    ASSERT_TRUE(message.Decode(Hex("06 01 06 09 61")));
    EXPECT_TRUE(message.m_readStrings.empty());
}

TEST(ReadU29, HeaderAndIntegerViews) {
    struct Case {
        const char* hex;
        uint32_t raw;
        int32_t asInteger;
        bool isReference;
        uint32_t index;
        int32_t position;
    };
    const Case cases[] = {
        {"00", 0, 0, true, 0, 1},
        {"01", 1, 1, false, 0, 1},
        {"7F", 127, 127, false, 63, 1},
        {"81 00", 128, 128, true, 64, 2},
        {"FF 7F", 16383, 16383, false, 8191, 2},
        {"FF FF 7F", 2097151, 2097151, false, 1048575, 3},
        {"80 C0 80 00", 0x200000, 0x200000, true, 0x100000, 4},
        {"BF FF FF FF", 0x0FFFFFFF, 0x0FFFFFFF, false, 0x07FFFFFF, 4},
        {"C0 80 80 00", 0x10000000, -0x10000000, true, 0x08000000, 4},
        {"FF FF FF FF", 0x1FFFFFFF, -1, false, 0x0FFFFFFF, 4},
        {"FF FF FF FF FF", 0x1FFFFFFF, -1, false, 0x0FFFFFFF, 4},
        {"", 0, 0, true, 0, 0},
        {"81", 1, 1, false, 0, 1},
        {"FF FF", 16383, 16383, false, 8191, 2},
        {"FF FF FF", 0x1FFFFF, 0x1FFFFF, false, 0xFFFFF, 3},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> payload = Hex(c.hex);
        SCOPED_TRACE(c.hex);
        CAmfMessage message;
        CAmfReader raw(payload, message), integer(payload, message), header(payload, message);
        EXPECT_EQ(raw.ReadU29(), c.raw);
        EXPECT_EQ(integer.ReadU29Integer(), c.asInteger);
        bool isReference = false;
        EXPECT_EQ(header.ReadU29Header(isReference), c.index);
        EXPECT_EQ(isReference, c.isReference);
        EXPECT_EQ(raw.Position(), c.position);
        EXPECT_EQ(integer.Position(), c.position);
        EXPECT_EQ(header.Position(), c.position);
    }
}

TEST(ReadDouble, BigEndianBitsExactly) {
    const std::vector<uint8_t> payload = Hex("7F F8 00 00 00 00 00 01 80 00 00 00 00 00 00 00");
    CAmfMessage message;
    CAmfReader reader(payload, message);
    double d = 0;
    ASSERT_TRUE(reader.ReadDouble(d));
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    EXPECT_EQ(bits, 0x7FF8000000000001ull);
    ASSERT_TRUE(reader.ReadDouble(d));
    std::memcpy(&bits, &d, 8);
    EXPECT_EQ(bits, 0x8000000000000000ull);
    EXPECT_EQ(reader.Position(), 16);
    EXPECT_FALSE(reader.ReadDouble(d));
    EXPECT_EQ(reader.Position(), 16);
}

TEST(ByteAt, OutsideBreaksTheDecode) {
    CAmfMessage message;
    uint8_t byte = 0;
    const std::vector<uint8_t> payload = Hex("AB");
    CAmfReader inside(payload, message);
    EXPECT_TRUE(inside.ByteAt(byte));
    EXPECT_EQ(byte, 0xAB);
    EXPECT_EQ(inside.Position(), 0);  // a look, not a read
    EXPECT_FALSE(inside.IsBroken());
    CAmfReader past(payload, message, 1);
    EXPECT_FALSE(past.ByteAt(byte));
    EXPECT_TRUE(past.IsBroken());
}

// A break inside a nested array fails every level up to the message, even
// where a plain element failure would let the parent succeed.
TEST(ByteAt, BreakInsideDenseElementFailsEveryLevel) {
    CAmfMessage message;
    // Outer array: one dense element, an array whose member list runs out.
    EXPECT_FALSE(message.Decode(Hex("09 03 01 09 01 03 61 01")));
    EXPECT_EQ(message.GetCount(), 0u);
    // The same message object decodes a good payload afterwards.
    EXPECT_TRUE(message.Decode(Hex("03")));
    EXPECT_EQ(Dump(message), "T");
}

TEST(MessageDecode, AppendsToExistingValues) {
    CAmfMessage message;
    ASSERT_TRUE(message.Decode(Hex("06 03 61")));
    ASSERT_TRUE(message.Decode(Hex("06 00")));  // the read table lives on
    EXPECT_EQ(Dump(message), "\"a\" \"a\"");
}

}  // namespace
