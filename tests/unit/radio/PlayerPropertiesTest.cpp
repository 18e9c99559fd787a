#include "radio/PlayerProperties.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "radio/MediaInfo.h"

namespace {

using radio::CPlayerProperties;

// The stream that the helper's dialog template carries for the control, built
// from its documented layout independently of the writer.
std::vector<uint8_t> DialogStream() {
    std::vector<uint8_t> s = {0, 0, 0, 0, 0, 3, 0, 0};
    auto le16 = [&](uint16_t v) {
        s.push_back(static_cast<uint8_t>(v));
        s.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto le32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            s.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto str = [&](const char16_t* text) {
        le16(8);
        const size_t n = std::char_traits<char16_t>::length(text);
        le32(static_cast<uint32_t>((n + 1) * 2));
        for (size_t i = 0; i < n; ++i)
            le16(text[i]);
        le16(0);
    };
    auto dbl = [&](double d) {
        le16(5);
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        le32(static_cast<uint32_t>(bits));
        le32(static_cast<uint32_t>(bits >> 32));
    };
    auto i4 = [&](int32_t v) {
        le16(3);
        le32(static_cast<uint32_t>(v));
    };
    auto b = [&](bool v) {
        le16(11);
        le16(v ? 0xFFFF : 0);
    };
    le16(8);
    le32(0);  // URL: the first string has no text at all
    dbl(1.0);
    i4(0);
    dbl(0.0);
    str(u"");
    i4(1);
    b(true);
    i4(0);
    b(true);
    str(u"");
    i4(50);
    b(false);
    str(u"full");
    b(false);
    b(false);
    b(true);
    b(true);
    b(false);
    str(u"");
    str(u"");
    str(u"");
    str(u"");
    b(false);
    le32(11986);
    le32(6376);
    return s;
}

struct CReader {
    const std::vector<uint8_t>& bytes;
    size_t pos = 0;
    bool operator()(uint8_t* out, size_t n) {
        if (n > bytes.size() - pos) {
            return false;
        }
        std::memcpy(out, bytes.data() + pos, n);
        pos += n;
        return true;
    }
};

TEST(PlayerProperties, DialogStreamIsRead) {
    const auto stream = DialogStream();
    ASSERT_EQ(stream.size(), 166u);
    CPlayerProperties props;
    props.nVolume = 7;
    props.bAutoStart = false;
    CReader reader{stream};
    ASSERT_TRUE(radio::ReadPlayerProperties(std::ref(reader), props));
    EXPECT_EQ(reader.pos, 166u);  // exactly the form, nothing beyond
    EXPECT_TRUE(props.bAutoStart);
    EXPECT_EQ(props.nVolume, 50);
    EXPECT_FALSE(props.bEnableErrorDialogs);
    EXPECT_FALSE(props.bMute);
    EXPECT_EQ(props.strUrl, u"");
    EXPECT_EQ(props.strUiMode, u"full");
    EXPECT_EQ(props.nWidth, 11986);
    EXPECT_EQ(props.nHeight, 6376);
}

TEST(PlayerProperties, WriterProducesTheDialogStream) {
    EXPECT_EQ(radio::WritePlayerProperties(CPlayerProperties{}), DialogStream());
}

TEST(PlayerProperties, RoundTrip) {
    CPlayerProperties props;
    props.strUrl = u"http://radio/\u00E9";
    props.nVolume = -3;
    props.bAutoStart = false;
    props.bMute = true;
    props.bEnableErrorDialogs = true;
    const auto bytes = radio::WritePlayerProperties(props);
    CPlayerProperties read;
    CReader reader{bytes};
    ASSERT_TRUE(radio::ReadPlayerProperties(std::ref(reader), read));
    EXPECT_EQ(read.strUrl, props.strUrl);
    EXPECT_EQ(read.nVolume, -3);
    EXPECT_FALSE(read.bAutoStart);
    EXPECT_TRUE(read.bMute);
    EXPECT_TRUE(read.bEnableErrorDialogs);
}

TEST(PlayerProperties, EveryTruncationFailsAndLeavesValuesAlone) {
    const auto stream = DialogStream();
    for (size_t n = 0; n < stream.size(); ++n) {
        const std::vector<uint8_t> cut(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(n));
        CPlayerProperties props;
        props.nVolume = 77;
        CReader reader{cut};
        EXPECT_FALSE(radio::ReadPlayerProperties(std::ref(reader), props)) << n;
        EXPECT_EQ(props.nVolume, 77);
    }
}

TEST(PlayerProperties, BadTagsAndHugeStringsFail) {
    auto wrongTag = DialogStream();
    wrongTag[8 + 6] = 3;  // "rate" tagged as an integer
    auto huge = DialogStream();
    huge[10] = 0, huge[11] = 0, huge[12] = 0, huge[13] = 0x40;  // URL of 1 GiB
    auto odd = DialogStream();
    odd[10] = 3;  // a UTF-16 length must be even
    for (const auto& bytes : {wrongTag, huge, odd}) {
        CPlayerProperties props;
        CReader reader{bytes};
        EXPECT_FALSE(radio::ReadPlayerProperties(std::ref(reader), props));
    }
}

TEST(MediaInfo, AttributesInOrderAndOnlyWhenKnown) {
    radio::CStreamInfo info;
    info.strSourceUrl = u"http://r/s";
    info.strTitle = u"Song";
    info.nBitrate = 128000;
    info.strFileType = u"mp3";
    info.strName = u"Radio";
    info.strHomePage = u"http://r/";
    const radio::CAttributeList expected = {
        {u"SourceURL", u"http://r/s"},  {u"Title", u"Song"},   {u"Bitrate", u"128000"},
        {u"MediaType", u"audio"},       {u"FileType", u"mp3"}, {u"Name", u"Radio"},
        {u"WM/AuthorURL", u"http://r/"}};
    EXPECT_EQ(radio::BuildMediaAttributes(info), expected);
    info.dDuration = 61.5;
    EXPECT_EQ(radio::BuildMediaAttributes(info)[5],
              (std::pair<std::u16string, std::u16string>{u"Duration", u"61.500"}));
}

}  // namespace
