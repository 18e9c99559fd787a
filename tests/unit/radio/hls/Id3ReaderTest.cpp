#include "radio/hls/Id3Reader.h"

#include <gtest/gtest.h>

#include "HlsTestUtil.h"

namespace {

using namespace hls_test;
using radio::hls::CId3Tag;
using radio::hls::Id3Status;

struct CTitleCase {
    const char* name;
    Bytes tag;
    std::u16string expected;  // empty: no title
};

Bytes Utf16Le(const std::u16string& s, bool bom) {
    Bytes b;
    if (bom) {
        b = {0xFF, 0xFE};
    }
    for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    return b;
}

Bytes Utf16Be(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) {
        Be16(b, c);
    }
    return b;
}

std::vector<CTitleCase> TitleCases() {
    const Bytes extended23 = {0, 0, 0, 6, 0, 0, 0, 0, 0, 0};  // size 6 excludes itself
    const Bytes extended24 = {0, 0, 0, 6, 1, 0};              // size 6 includes itself
    // "\xFF\xE0" in Latin-1, which unsynchronisation writes as FF 00 E0.
    Bytes unsyncTag = Id3(3, {{"TIT2", Text(0, {'A', 0xFF, 0xE0})}});
    {
        Bytes body(unsyncTag.begin() + 10, unsyncTag.end());
        Bytes stuffed;
        for (size_t i = 0; i < body.size(); ++i) {
            stuffed.push_back(body[i]);
            if (body[i] == 0xFF) {
                stuffed.push_back(0);
            }
        }
        unsyncTag = B("ID3");
        Append(unsyncTag, {3, 0, 0x80});
        SyncSafe(unsyncTag, static_cast<uint32_t>(stuffed.size()));
        Append(unsyncTag, stuffed);
    }
    // Some writers put a plain size into a v2.4 frame: 0x81 is no sync-safe
    // byte, so it can only be meant plainly.
    const Bytes plainFrame = Concat({B("TIT2"), {0, 0, 0, 0x81}, {0, 0}, Text(0, Bytes(128, 'q'))});
    Bytes plainSize = Concat({B("ID3"), {4, 0, 0}});
    SyncSafe(plainSize, static_cast<uint32_t>(plainFrame.size()));
    Append(plainSize, plainFrame);
    Bytes frameUnsync = Id3(4, {{"TIT2", Text(0, {'B', 0xFF, 0x00, 0xE1}), 0x0002}});
    return {
        {"v23 latin1", Id3(3, {{"TIT2", Text(0, B("Caf\xE9"))}}), u"Caf\u00E9"},
        {"v24 utf8 artist and title",
         Id3(4, {{"TPE1", Text(3, B("Bj\xC3\xB6rk"))}, {"TIT2", Text(3, B("Joga"))}}),
         u"Bj\u00F6rk - Joga"},
        {"utf16 with bom", Id3(3, {{"TIT2", Text(1, Utf16Le(u"\u00C5se", true))}}), u"\u00C5se"},
        {"utf16 big endian", Id3(4, {{"TIT2", Text(2, Utf16Be(u"\u4E2D\u6587"))}}),
         u"\u4E2D\u6587"},
        {"utf16 surrogate pair", Id3(4, {{"TIT2", Text(2, Utf16Be(u"a\U0001F600"))}}),
         u"a\U0001F600"},
        {"utf16 lone surrogate replaced", Id3(4, {{"TIT2", Text(2, Utf16Be(u"a\xD800z"))}}),
         u"a\uFFFDz"},
        {"utf16 odd byte dropped", Id3(4, {{"TIT2", Text(2, {0, 'x', 0})}}), u"x"},
        {"nul terminated", Id3(3, {{"TIT2", Text(0, {'T', 'i', 0})}}), u"Ti"},
        {"v24 several values",
         Id3(4, {{"TPE1", Text(3, {'A', 0, 'B'})}, {"TIT2", Text(3, B("S"))}}), u"A/B - S"},
        {"v22 frames", Id3(2, {{"TT2", Text(0, B("Old"))}, {"TP1", Text(0, B("Band"))}}),
         u"Band - Old"},
        {"v23 whole-tag unsync", unsyncTag, u"A\u00FF\u00E0"},
        {"v24 frame unsync", frameUnsync, u"B\u00FF\u00E1"},
        {"v23 extended header", Id3(3, {{"TIT2", Text(0, B("X"))}}, 0x40, extended23), u"X"},
        {"v24 extended header", Id3(4, {{"TIT2", Text(0, B("Y"))}}, 0x40, extended24), u"Y"},
        {"padding after frames", Id3(3, {{"TIT2", Text(0, B("P"))}}, 0, {}, 64), u"P"},
        {"artist alone is no title", Id3(3, {{"TPE1", Text(0, B("Only"))}}), u""},
        {"bad encoding byte", Id3(3, {{"TIT2", Text(7, B("Z"))}}), u""},
        {"empty text", Id3(3, {{"TIT2", Text(3, {})}}), u""},
        {"compressed frame skipped", Id3(3, {{"TIT2", Text(0, B("C")), 0x0080}}), u""},
        {"v24 grouping and length indicator",
         Id3(4, {{"TIT2", Concat({{0x01}, {0, 0, 0, 2}, Text(0, B("G"))}), 0x0041}}), u"G"},
        {"v24 plain size read as such", plainSize, std::u16string(0x80, u'q')},
    };
}

TEST(Id3Reader, Titles) {
    for (const auto& c : TitleCases()) {
        SCOPED_TRACE(c.name);
        CId3Tag tag;
        ASSERT_EQ(radio::hls::ReadId3(c.tag, tag), Id3Status::Ok);
        EXPECT_EQ(tag.nTagBytes, c.tag.size());
        const auto title = radio::hls::Id3DisplayTitle(tag);
        EXPECT_EQ(title.value_or(u""), c.expected);
    }
}

TEST(Id3Reader, FrameSizeThatLiesKeepsWhatCameBefore) {
    Bytes tag = Id3(3, {{"TIT2", Text(0, B("Kept"))}, {"TPE1", Text(0, B("Lost"))}});
    // The second frame's size now points past the tag.
    const size_t second = 10 + 10 + 5;
    tag[second + 4] = 0x7F;
    CId3Tag parsed;
    ASSERT_EQ(radio::hls::ReadId3(tag, parsed), Id3Status::Ok);
    EXPECT_EQ(parsed.title.value_or(u""), u"Kept");
    EXPECT_FALSE(parsed.artist);
}

TEST(Id3Reader, Headers) {
    struct {
        const char* name;
        Bytes head;
        Id3Status expected;
        size_t bytes;
    } cases[] = {
        {"not a tag", B("ABCDEFGHIJ"), Id3Status::NotId3, 0},
        {"short", B("ID3\x04"), Id3Status::NeedMore, 0},
        {"prefix of the magic", B("I"), Id3Status::NeedMore, 0},
        {"version 5", Concat({B("ID3"), {5, 0, 0, 0, 0, 0, 0}}), Id3Status::Invalid, 0},
        {"size not sync-safe", Concat({B("ID3"), {3, 0, 0, 0x80, 0, 0, 0}}), Id3Status::Invalid, 0},
        {"largest size", Concat({B("ID3"), {4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F}}), Id3Status::Ok,
         10 + 0x0FFFFFFF},
        {"footer counted", Concat({B("ID3"), {4, 0, 0x10, 0, 0, 0, 5}}), Id3Status::Ok, 25},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        size_t bytes = 0;
        EXPECT_EQ(radio::hls::Id3TagSize(c.head, bytes), c.expected);
        if (c.expected == Id3Status::Ok) {
            EXPECT_EQ(bytes, c.bytes);
        }
    }
}

TEST(Id3Reader, WholeTagNeededAndPrefixesNeverRead) {
    const Bytes tag = Id3(4, {{"TIT2", Text(3, B("Title"))}});
    for (size_t n = 0; n < tag.size(); ++n) {
        CId3Tag parsed;
        const Id3Status status = radio::hls::ReadId3({tag.data(), n}, parsed);
        EXPECT_EQ(status, Id3Status::NeedMore) << n;
    }
}

TEST(Id3Reader, TransportStreamTimestamp) {
    Bytes priv = B("com.apple.streaming.transportStreamTimestamp");
    priv.push_back(0);
    Append(priv, {0, 0, 0, 1, 0x23, 0x45, 0x67, 0x89});  // 33 bits: 0x123456789
    CId3Tag tag;
    ASSERT_EQ(radio::hls::ReadId3(Id3(4, {{"PRIV", priv}}), tag), Id3Status::Ok);
    EXPECT_EQ(tag.pts.value_or(-1), 0x123456789LL);
    // Another owner, or the wrong length, is not a timestamp.
    priv[0] = 'x';
    ASSERT_EQ(radio::hls::ReadId3(Id3(4, {{"PRIV", priv}}), tag), Id3Status::Ok);
    EXPECT_FALSE(tag.pts);
}

}  // namespace
