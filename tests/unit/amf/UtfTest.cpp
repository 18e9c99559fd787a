// The codec's own UTF-8 <-> UTF-16 conversion (Utf.h), and its effect on
// decoded and encoded strings.
#include <gtest/gtest.h>

#include <random>

#include "AmfTestUtil.h"
#include "amf/Utf.h"

namespace {

using namespace amf_test;

std::string Bytes(const char* hex) {
    const std::vector<uint8_t> b = Hex(hex);
    return std::string(b.begin(), b.end());
}

struct Utf8Case {
    const char* hex;
    std::u16string text;
};

// Valid text, then malformed sequences: one U+FFFD per maximal invalid
// subsequence (the Unicode "maximal subpart" practice).
const Utf8Case kUtf8Cases[] = {
    {"", u""},
    {"61 62 63", u"abc"},
    {"C3 A9", u"\u00e9"},
    {"DF BF", u"\u07ff"},
    {"E0 A0 80", u"\u0800"},
    {"E2 82 AC", u"\u20ac"},
    {"EF BF BD", u"\ufffd"},
    {"EF BF BF", u"\uffff"},
    {"ED 9F BF", u"\ud7ff"},
    {"EE 80 80", u"\ue000"},
    {"F0 90 80 80", u"\U00010000"},
    {"F0 9F 98 80", u"\U0001F600"},
    {"F4 8F BF BF", u"\U0010FFFF"},
    {"61 C3 A9 E2 82 AC F0 9F 98 80", u"a\u00e9\u20ac\U0001F600"},
    // Lone continuation bytes and bytes that start nothing.
    {"80", u"\ufffd"},
    {"BF 80", u"\ufffd\ufffd"},
    {"C0 80", u"\ufffd\ufffd"},  // overlong NUL
    {"C1 BF", u"\ufffd\ufffd"},
    {"F5 80 80 80", u"\ufffd\ufffd\ufffd\ufffd"},
    {"FF", u"\ufffd"},
    {"FE 61",
     u"\ufffd"
     u"a"},
    // Cut-short sequences: the maximal subpart is one U+FFFD.
    {"C2", u"\ufffd"},
    {"C2 41",
     u"\ufffd"
     u"A"},
    {"E2 82", u"\ufffd"},
    {"E2 82 41",
     u"\ufffd"
     u"A"},
    {"F0 9F 98", u"\ufffd"},
    {"F0 9F 98 41",
     u"\ufffd"
     u"A"},
    {"F0 9F", u"\ufffd"},
    {"E2 82 E2 82 AC", u"\ufffd\u20ac"},
    // Second-byte ranges: overlongs, surrogates, past U+10FFFF.
    {"E0 80 80", u"\ufffd\ufffd\ufffd"},
    {"E0 9F BF", u"\ufffd\ufffd\ufffd"},
    {"ED A0 80", u"\ufffd\ufffd\ufffd"},  // encoded surrogate D800
    {"ED BF BF", u"\ufffd\ufffd\ufffd"},
    {"F0 80 80 80", u"\ufffd\ufffd\ufffd\ufffd"},
    {"F0 8F BF BF", u"\ufffd\ufffd\ufffd\ufffd"},
    {"F4 90 80 80", u"\ufffd\ufffd\ufffd\ufffd"},
    // The Unicode standard's own example (Table 3-8 style).
    {"61 F1 80 80 E1 80 C2 62 80 63 80 BF 64",
     u"a\ufffd\ufffd\ufffd"
     u"b\ufffd"
     u"c\ufffd\ufffd"
     u"d"},
    // NUL is an ordinary character for the converter.
    {"61 00 62", std::u16string(u"a\0b", 3)},
};

TEST(Utf8ToUtf16, Table) {
    for (const Utf8Case& c : kUtf8Cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(Text(amf::Utf8ToUtf16(Bytes(c.hex))), Text(c.text));
    }
}

TEST(Utf8ToUtf16, NeverMoreUnitsThanBytesAndNeverNothing) {
    std::mt19937 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        std::string bytes(1 + rng() % 12, '\0');
        for (char& b : bytes)
            b = static_cast<char>(rng() % 4 == 0 ? 0x80 | (rng() & 0x7F) : rng() & 0xFF);
        const std::u16string text = amf::Utf8ToUtf16(bytes);
        EXPECT_GE(text.size(), 1u);
        EXPECT_LE(text.size(), bytes.size());
        // Whatever came out is well-formed and round-trips through UTF-8.
        EXPECT_EQ(amf::Utf8ToUtf16(amf::Utf16ToUtf8(text)), text);
    }
}

// The reader's variant: cut at the first NUL byte, on both the short-text
// and the vectorised path, ASCII or not.
TEST(Utf8ToUtf16UntilNul, CutsAtFirstNul) {
    struct Case {
        std::string bytes;
        std::u16string text;
    };
    const std::string longAscii(40, 'x');
    const Case cases[] = {
        {"abc", u"abc"},
        {std::string("a\0b", 3), u"a"},
        {std::string("\0ab", 3), u""},
        {"\xC3\xA9t\xC3", u"\u00e9t\ufffd"},
        {std::string("\xE2\x82\0\xAC", 4), u"\ufffd"},
        {longAscii, std::u16string(40, u'x')},
        {longAscii + std::string("\0", 1) + "yz", std::u16string(40, u'x')},
        {longAscii + "\xF0\x9F\x98\x80", std::u16string(40, u'x') + u"\U0001F600"},
        {std::string("\0", 1) + longAscii, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        std::u16string out(c.bytes.size(), u'?');
        out.resize(amf::Utf8ToUtf16UntilNul(reinterpret_cast<const uint8_t*>(c.bytes.data()),
                                            c.bytes.size(), out.data()));
        EXPECT_EQ(Text(out), Text(c.text));
    }
}

// The ASCII fast paths check whole words (8, then 4 bytes) and widen them
// without looking at single bytes: one byte that is not plain ASCII, at any
// place in or next to a word, must send the text down the full path. Every
// length up to past the vectorised threshold, every place, against the
// plain converter on the bytes before the first NUL.
TEST(Utf8ToUtf16UntilNul, FastPathsMeetOtherBytesAnywhere) {
    const std::string others[] = {
        std::string("\0", 1),  // NUL: the text ends here
        "\x80",                // a lone continuation byte
        "\xFF",                // starts nothing
        "\xC3\xA9",            // a whole two-byte character
        "\xE2\x82\xAC",        // three bytes, across a word border for some places
        "\xF0\x9F\x98",        // cut short
        "\x01\x7F",            // the ends of plain ASCII: no detour taken
    };
    for (const std::string& other : others) {
        for (size_t length = 1; length <= 20; ++length) {
            for (size_t at = 0; at < length; ++at) {
                std::string bytes(length, 'a');
                for (size_t k = 0; k < length; ++k)
                    bytes[k] = static_cast<char>('a' + k % 26);
                bytes.replace(at, 1, other);
                SCOPED_TRACE(ToHex(std::vector<uint8_t>(bytes.begin(), bytes.end())));
                const std::string kept = bytes.substr(0, bytes.find('\0'));
                std::u16string out(bytes.size(), u'?');
                out.resize(amf::Utf8ToUtf16UntilNul(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                    bytes.size(), out.data()));
                ASSERT_EQ(Text(out), Text(amf::Utf8ToUtf16(kept)));
            }
        }
    }
}

TEST(Utf16ToUtf8, Table) {
    struct Case {
        std::u16string text;
        const char* hex;
    };
    const Case cases[] = {
        {u"", ""},
        {u"abc", "61 62 63"},
        {u"\u007f", "7F"},
        {u"\u0080", "C2 80"},
        {u"\u07ff", "DF BF"},
        {u"\u0800", "E0 A0 80"},
        {u"\uffff", "EF BF BF"},
        {u"\U00010000", "F0 90 80 80"},
        {u"\U0010FFFF", "F4 8F BF BF"},
        {std::u16string(1, u'\0'), "00"},
        // Unpaired surrogates become U+FFFD.
        {std::u16string{0xD800}, "EF BF BD"},
        {std::u16string{0xDC00}, "EF BF BD"},
        {std::u16string{0xD83D, u'a'}, "EF BF BD 61"},
        {std::u16string{0xDE00, 0xD83D}, "EF BF BD EF BF BD"},
        {std::u16string{0xD83D, 0xD83D, 0xDE00}, "EF BF BD F0 9F 98 80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Text(c.text));
        const std::string bytes = amf::Utf16ToUtf8(c.text);
        EXPECT_EQ(ToHex(std::vector<uint8_t>(bytes.begin(), bytes.end())), ToHex(Hex(c.hex)));
        EXPECT_EQ(amf::Utf8Length(c.text), bytes.size());
    }
}

// Every scalar value there is, there and back.
TEST(Utf, EveryScalarValueRoundTrips) {
    std::u16string all;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        if (cp < 0x10000) {
            all.push_back(static_cast<char16_t>(cp));
        } else {
            all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    const std::string bytes = amf::Utf16ToUtf8(all);
    EXPECT_EQ(bytes.size(),
              0x80u * 1 + 0x780u * 2 + (0x10000u - 0x800u - 0x800u) * 3 + 0x100000u * 4);
    EXPECT_EQ(amf::Utf8ToUtf16(bytes), all);
}

// Through the codec: decoded strings are cut at NUL; malformed bytes become
// U+FFFD and the read still succeeds; unpaired surrogates are written as
// U+FFFD.
TEST(Utf, ThroughTheCodec) {
    CAmfMessage message;
    ASSERT_TRUE(message.Decode(Hex("06 0D 61 C0 80 62 00 63 06 07 E2 82 41 06 05 00 00")));
    EXPECT_EQ(Dump(message), "\"a\\u{FFFD}\\u{FFFD}b\" \"\\u{FFFD}A\" \"\"");
    CAmfMessage out;
    out.AddValue(Str(out, std::u16string{0xD800, u'x'}));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(out.Encode(bytes));
    EXPECT_EQ(ToHex(bytes), "06 09 EF BF BD 78");
}

}  // namespace
