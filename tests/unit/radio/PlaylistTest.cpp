#include "radio/Playlist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using radio::PlaylistKind;

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

struct CDetectCase {
    const char* type;
    const char16_t* extension;
    std::string head;
    PlaylistKind expected;
};

class DetectPlaylist : public testing::TestWithParam<CDetectCase> {};

TEST_P(DetectPlaylist, Decides) {
    const auto& c = GetParam();
    EXPECT_EQ(radio::DetectPlaylist(c.type, c.extension, Bytes(c.head)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectPlaylist,
    testing::Values(
        CDetectCase{"audio/mpeg", u"", "#EXTM3U\nhttp://a/b\n", PlaylistKind::M3u},
        CDetectCase{"text/plain", u"", "\xEF\xBB\xBF[Playlist]\nFile1=x\n", PlaylistKind::Pls},
        CDetectCase{"audio/x-mpegurl; charset=utf-8", u"", "http://a/b\n", PlaylistKind::M3u},
        CDetectCase{"AUDIO/X-SCPLS", u"", "File1=http://a\n", PlaylistKind::Pls},
        CDetectCase{"", u"m3u8", "stream.mp3\n", PlaylistKind::M3u},
        CDetectCase{"", u"pls", "File1=a\n", PlaylistKind::Pls},
        CDetectCase{"text/plain", u"", "  https://radio/live\r\n", PlaylistKind::M3u},
        // Audio labelled as a playlist is still audio.
        CDetectCase{"audio/x-mpegurl", u"m3u", std::string("\xFF\xFB\x90\x00\x00", 5),
                    PlaylistKind::None},
        CDetectCase{"audio/mpeg", u"mp3", "ID3", PlaylistKind::None},
        CDetectCase{"text/html", u"", "<html>", PlaylistKind::None},
        CDetectCase{"", u"m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:6\nseg1.ts\n", PlaylistKind::Hls},
        CDetectCase{"application/vnd.apple.mpegurl", u"",
                    "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlow.m3u8\n", PlaylistKind::Hls}));

TEST(ParsePlaylist, M3uSkipsCommentsAndBlankLines) {
    const auto entries = radio::ParsePlaylist(
        Bytes(
            "\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:-1,Radio\r\n\r\n  http://a/one  \r\nrel/two.mp3\n#x\n"),
        PlaylistKind::M3u);
    EXPECT_EQ(entries, (std::vector<std::u16string>{u"http://a/one", u"rel/two.mp3"}));
}

TEST(ParsePlaylist, PlsIsOrderedByNumber) {
    const auto entries = radio::ParsePlaylist(Bytes("[playlist]\nNumberOfEntries=3\nFile10=ten\n"
                                                    "Title1=One\nfile2=two\nFile1=one\nFileX=no\n"
                                                    "File3=\nLength1=-1\n"),
                                              PlaylistKind::Pls);
    EXPECT_EQ(entries, (std::vector<std::u16string>{u"one", u"two", u"ten"}));
}

TEST(ParsePlaylist, EntriesAreBounded) {
    std::string text;
    for (int i = 0; i < 500; ++i) {
        text += "http://host/" + std::to_string(i) + "\n";
    }
    EXPECT_EQ(radio::ParsePlaylist(Bytes(text), PlaylistKind::M3u).size(),
              radio::kMaxPlaylistEntries);
}

TEST(ParsePlaylist, Latin1EntriesAreDecoded) {
    const auto entries = radio::ParsePlaylist(Bytes("C:\\M\xFCsik\\a.mp3\n"), PlaylistKind::M3u);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], u"C:\\M\u00FCsik\\a.mp3");
}

}  // namespace

namespace {

const char kIcecastXspf[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<playlist xmlns=\"http://xspf.org/ns/0/\" version=\"1\">\n"
    "  <title/>\n  <creator/>\n  <trackList>\n"
    "    <!-- <track><location>http://old/gone</location></track> -->\n"
    "    <track>\n      <location>http://127.0.0.1:8000/live.mp3?a=1&amp;b=2</location>\n"
    "      <title>Caf&#xE9; &amp; &#8364;</title>\n    </track>\n"
    "    <track><location>  <![CDATA[http://h/x&y]]>  </location></track>\n"
    "    <track><location></location></track>\n"
    "  </trackList>\n</playlist>\n";

TEST(Xspf, IsDetectedByBytesTypeOrExtension) {
    struct CCase {
        const char* type;
        const char16_t* extension;
        std::string head;
        PlaylistKind expected;
    };
    const CCase cases[] = {
        {"text/xml", u"", kIcecastXspf, PlaylistKind::Xspf},
        {"application/xspf+xml", u"", "<playlist><trackList/></playlist>", PlaylistKind::Xspf},
        {"", u"xspf", "<playlist/>", PlaylistKind::Xspf},
        {"text/xml", u"xml", "<?xml version=\"1.0\"?><rss/>", PlaylistKind::None},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(radio::DetectPlaylist(c.type, c.extension, Bytes(c.head)), c.expected) << c.head;
    }
}

TEST(Xspf, LocationsInOrderWithEscapesResolved) {
    const auto entries = radio::ParsePlaylist(Bytes(kIcecastXspf), PlaylistKind::Xspf);
    EXPECT_EQ(entries, (std::vector<std::u16string>{u"http://127.0.0.1:8000/live.mp3?a=1&b=2",
                                                    u"http://h/x&y"}));
}

TEST(Xspf, EntriesAreBoundedAndBrokenMarkupEndsTheList) {
    std::string text = "<playlist xmlns=\"http://xspf.org/ns/0/\"><trackList>";
    for (int i = 0; i < 100; ++i) {
        text += "<track><location>http://h/" + std::to_string(i) + "</location></track>";
    }
    EXPECT_EQ(radio::ParsePlaylist(Bytes(text), PlaylistKind::Xspf).size(),
              radio::kMaxPlaylistEntries);
    EXPECT_EQ(radio::ParsePlaylist(Bytes("<playlist><location>http://h/a"), PlaylistKind::Xspf),
              std::vector<std::u16string>{});
    // Numeric references outside Unicode stay as written.
    EXPECT_EQ(
        radio::ParsePlaylist(Bytes("<location>a&#x110000;&bogus;</location>"), PlaylistKind::Xspf),
        (std::vector<std::u16string>{u"a&#x110000;&bogus;"}));
}

}  // namespace
