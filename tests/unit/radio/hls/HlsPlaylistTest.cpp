#include "radio/hls/HlsPlaylist.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using radio::hls::CHlsPlaylist;
using radio::hls::HlsError;
using radio::hls::KeyMethod;

const std::u16string kBase = u"https://cdn.example.com/live/radio1/index.m3u8?token=abc";

CHlsPlaylist Parse(const std::string& text, const std::u16string& base = kBase) {
    return radio::hls::ParseHlsPlaylist(
        {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, base);
}

TEST(HlsPlaylist, MediaPlaylistTags) {
    const CHlsPlaylist p = Parse(
        "\xEF\xBB\xBF#EXTM3U\r\n"
        "#EXT-X-VERSION:7\r\n"
        "#EXT-X-TARGETDURATION:6\r\n"
        "#EXT-X-MEDIA-SEQUENCE:1234\r\n"
        "#EXT-X-DISCONTINUITY-SEQUENCE:7\r\n"
        "#EXT-X-PROGRAM-DATE-TIME:2026-12-08T12:00:00.000Z\r\n"
        "#EXT-X-MAP:URI=\"init.mp4\",BYTERANGE=\"720@0\"\r\n"
        "#EXTINF:5.976,Artist - Title, with comma\r\n"
        "seg1234.m4s\r\n"
        "# a comment\r\n"
        "#EXT-X-KEY:METHOD=AES-128,URI=\"../keys/k1.bin\",IV=0x0102030405060708090A0B0C0D0E0F10\r\n"
        "#EXT-X-BYTERANGE:1000@720\r\n"
        "#EXTINF:6,\r\n"
        "media.m4s\r\n"
        "#EXT-X-BYTERANGE:500\r\n"
        "#EXT-X-DISCONTINUITY\r\n"
        "#EXTINF:6.0\r\n"
        "media.m4s\r\n"
        "#EXT-X-KEY:METHOD=NONE\r\n"
        "#EXT-X-SOME-FUTURE-TAG:X=1\r\n"
        "#EXTINF:4.5,\r\n"
        "https://other.example.net/abs.m4s\r\n"
        "#EXT-X-ENDLIST\r\n");
    ASSERT_EQ(p.error, HlsError::None);
    EXPECT_FALSE(p.bMaster);
    const auto& m = p.media;
    EXPECT_EQ(m.nTargetDurationMs, 6000);
    EXPECT_EQ(m.nMediaSequence, 1234u);
    EXPECT_TRUE(m.bEndList);
    ASSERT_EQ(m.segments.size(), 4u);
    const auto& s0 = m.segments[0];
    EXPECT_EQ(s0.strUri, u"https://cdn.example.com/live/radio1/seg1234.m4s");
    EXPECT_EQ(s0.nDurationMs, 5976);
    EXPECT_EQ(s0.strTitle, u"Artist - Title, with comma");
    EXPECT_EQ(s0.nSequence, 1234u);
    EXPECT_EQ(s0.nDiscontinuitySequence, 7u);
    EXPECT_FALSE(s0.pKey);
    ASSERT_TRUE(s0.pMap);
    EXPECT_EQ(s0.pMap->strUri, u"https://cdn.example.com/live/radio1/init.mp4");
    EXPECT_EQ(s0.pMap->range, (radio::hls::CByteRange{720, 0}));
    const auto& s1 = m.segments[1];
    ASSERT_TRUE(s1.pKey);
    EXPECT_EQ(s1.pKey->method, KeyMethod::Aes128);
    EXPECT_EQ(s1.pKey->strUri, u"https://cdn.example.com/live/keys/k1.bin");
    ASSERT_TRUE(s1.pKey->iv);
    EXPECT_EQ((*s1.pKey->iv)[0], 0x01);
    EXPECT_EQ((*s1.pKey->iv)[15], 0x10);
    EXPECT_EQ(s1.pMap, s0.pMap);  // one init section, shared
    EXPECT_EQ(s1.range, (radio::hls::CByteRange{1000, 720}));
    const auto& s2 = m.segments[2];
    EXPECT_TRUE(s2.bDiscontinuity);
    EXPECT_EQ(s2.nDiscontinuitySequence, 8u);
    EXPECT_EQ(s2.range, (radio::hls::CByteRange{500, 1720}));  // follows on from the last range
    EXPECT_EQ(s2.pKey, s1.pKey);                               // a key holds until the next
    EXPECT_EQ(s2.strTitle, u"");
    const auto& s3 = m.segments[3];
    EXPECT_EQ(s3.strUri, u"https://other.example.net/abs.m4s");
    EXPECT_EQ(s3.nDurationMs, 4500);
    EXPECT_EQ(s3.nSequence, 1237u);
    EXPECT_FALSE(s3.pKey);
    EXPECT_FALSE(s3.range);
}

TEST(HlsPlaylist, RelativeAndAbsoluteUris) {
    struct {
        std::u16string base;
        std::string ref;
        std::u16string expected;
    } cases[] = {
        {u"http://h:8000/a/b/list.m3u8", "s.ts", u"http://h:8000/a/b/s.ts"},
        {u"http://h/a/b/list.m3u8", "../c/s.ts", u"http://h/a/c/s.ts"},
        {u"http://h/a/b/list.m3u8", "./s.ts?x=1", u"http://h/a/b/s.ts?x=1"},
        {u"http://h/a/b/list.m3u8", "/root/s.ts", u"http://h/root/s.ts"},
        {u"https://h/a/list.m3u8", "//cdn.net/s.ts", u"https://cdn.net/s.ts"},
        {u"http://h/a/list.m3u8?auth=1", "s.ts", u"http://h/a/s.ts"},
        {u"http://h/a/list.m3u8", "HTTPS://Other/s.ts", u"HTTPS://Other/s.ts"},
        {u"http://h", "s.ts", u"http://h/s.ts"},
        {u"http://h?q", "s.ts", u"http://h/s.ts"},
        {u"http://h/a/list.m3u8", "  s%20b.ts  ", u"http://h/a/s%20b.ts"},
        {u"C:\\radio\\list.m3u8", "s.ts", u"C:\\radio\\s.ts"},
    };
    for (const auto& c : cases) {
        const CHlsPlaylist p =
            Parse("#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n" + c.ref + "\n", c.base);
        ASSERT_EQ(p.error, HlsError::None) << c.ref;
        ASSERT_EQ(p.media.segments.size(), 1u);
        EXPECT_EQ(p.media.segments[0].strUri, c.expected) << c.ref;
    }
}

TEST(HlsPlaylist, Failures) {
    const std::string head = "#EXTM3U\n#EXT-X-TARGETDURATION:6\n";
    std::string many = head;
    for (int i = 0; i <= 10000; ++i) {
        many += "#EXTINF:6,\ns" + std::to_string(i) + ".ts\n";
    }
    std::string big = head + "#" + std::string(radio::hls::kMaxHlsPlaylistBytes, 'x') + "\n";
    std::string variants = "#EXTM3U\n";
    for (int i = 0; i <= 256; ++i) {
        variants += "#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n";
    }
    struct {
        const char* name;
        std::string text;
        HlsError expected;
    } cases[] = {
        {"no header", "#EXT-X-TARGETDURATION:6\n#EXTINF:6,\na.ts\n", HlsError::NotHls},
        {"html", "<html><body>404</body></html>", HlsError::NotHls},
        {"empty", "", HlsError::NotHls},
        {"too large", big, HlsError::TooLarge},
        {"10001 segments", many, HlsError::TooManySegments},
        {"257 variants", variants, HlsError::TooManyVariants},
        {"target 61 s", "#EXTM3U\n#EXT-X-TARGETDURATION:61\n#EXTINF:6,\na.ts\n",
         HlsError::TargetDurationTooLong},
        {"target 10^30 s", "#EXTM3U\n#EXT-X-TARGETDURATION:1000000000000000000000000000000\na.ts\n",
         HlsError::NoTargetDuration},
        {"no target", "#EXTM3U\n#EXTINF:6,\na.ts\n", HlsError::NoTargetDuration},
        {"header alone", "#EXTM3U\n", HlsError::Empty},
        {"variant then segment",
         "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n#EXTINF:6,\na.ts\n",
         HlsError::MixedPlaylist},
        {"segment then variant", head + "#EXTINF:6,\na.ts\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n",
         HlsError::MixedPlaylist},
        {"range without offset first", head + "#EXT-X-BYTERANGE:100\n#EXTINF:6,\na.ts\n",
         HlsError::BadByteRange},
        {"range after another file",
         head + "#EXT-X-BYTERANGE:100@0\n#EXTINF:6,\na.ts\n"
                "#EXT-X-BYTERANGE:100\n#EXTINF:6,\nb.ts\n",
         HlsError::BadByteRange},
        {"range that wraps", head + "#EXT-X-BYTERANGE:18446744073709551615@2\n#EXTINF:6,\na.ts\n",
         HlsError::BadByteRange},
        {"range not a number", head + "#EXT-X-BYTERANGE:abc\n#EXTINF:6,\na.ts\n",
         HlsError::BadByteRange},
        {"segment on a local file", head + "#EXTINF:6,\nfile:///C:/Windows/win.ini\n",
         HlsError::ForbiddenUri},
        {"segment on a share", head + "#EXTINF:6,\n\\\\server\\share\\a.ts\n",
         HlsError::ForbiddenUri},
        {"segment on a drive", head + "#EXTINF:6,\nC:\\a.ts\n", HlsError::ForbiddenUri},
        {"key on a local file",
         head + "#EXT-X-KEY:METHOD=AES-128,URI=\"file:///k\"\n#EXTINF:6,\na.ts\n",
         HlsError::ForbiddenUri},
        {"map on another scheme", head + "#EXT-X-MAP:URI=\"ftp://h/i.mp4\"\n#EXTINF:6,\na.ts\n",
         HlsError::ForbiddenUri},
        {"variant on a pipe", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\n\\\\.\\pipe\\x\n",
         HlsError::ForbiddenUri},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(c.text).error, c.expected) << c.name;
    }
    // A long key URI is held once, however many segments it covers; long
    // relative URIs against a long base are bounded as a whole.
    std::string keyed =
        head + "#EXT-X-KEY:METHOD=AES-128,URI=\"" + std::string(500000, 'k') + "\"\n";
    for (int i = 0; i < 10000; ++i) {
        keyed += "#EXTINF:6,\na\n";
    }
    const CHlsPlaylist shared = Parse(keyed);
    ASSERT_EQ(shared.error, HlsError::None);
    EXPECT_EQ(shared.media.segments.front().pKey, shared.media.segments.back().pKey);
    std::string longRefs = head;
    for (int i = 0; i < 10; ++i) {
        longRefs += "#EXTINF:6,\n" + std::string(90000, 'r') + "\n";
    }
    EXPECT_EQ(Parse(longRefs, u"http://h/" + std::u16string(500000, u'b') + u"/list.m3u8").error,
              HlsError::TooLarge);
    // Exactly at the limits is fine.
    std::string tenThousand = head;
    for (int i = 0; i < 10000; ++i) {
        tenThousand += "#EXTINF:6,\ns.ts\n";
    }
    EXPECT_EQ(Parse(tenThousand).error, HlsError::None);
    EXPECT_EQ(Parse("#EXTM3U\n#EXT-X-TARGETDURATION:60\n#EXTINF:6,\na.ts\n").error, HlsError::None);
}

TEST(HlsPlaylist, SloppyButPlayable) {
    struct {
        const char* name;
        std::string text;
        int64_t duration;
        uint64_t sequence;
    } cases[] = {
        // A missing EXTINF counts as a target duration.
        {"no extinf", "#EXTM3U\n#EXT-X-TARGETDURATION:4\na.ts\n", 4000, 0},
        {"bad extinf", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:abc,\na.ts\n", 4000, 0},
        {"negative extinf", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:-1,\na.ts\n", 4000, 0},
        {"lf only, trailing spaces", "#EXTM3U  \n#EXT-X-TARGETDURATION:4 \n#EXTINF:3.5 ,x\na.ts",
         3500, 0},
        {"sequence after the first segment ignored",
         "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:1,\na.ts\n#EXT-X-MEDIA-SEQUENCE:9\n", 1000, 0},
        {"sequence near the top ignored",
         "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-MEDIA-SEQUENCE:18446744073709551615\n#EXTINF:1,"
         "\na.ts\n",
         1000, 0},
        {"sequence with garbage ignored",
         "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-MEDIA-SEQUENCE:12x\n#EXTINF:1,\na.ts\n", 1000,
         0},
        {"fraction with many digits",
         "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:1.99999999,\na.ts\n", 1999, 0},
    };
    for (const auto& c : cases) {
        const CHlsPlaylist p = Parse(c.text);
        ASSERT_EQ(p.error, HlsError::None) << c.name;
        ASSERT_EQ(p.media.segments.size(), 1u) << c.name;
        EXPECT_EQ(p.media.segments[0].nDurationMs, c.duration) << c.name;
        EXPECT_EQ(p.media.segments[0].nSequence, c.sequence) << c.name;
    }
}

TEST(HlsPlaylist, Keys) {
    struct {
        const char* name;
        std::string tags;
        KeyMethod method;
        std::string format;
        bool iv;
    } cases[] = {
        {"aes without iv", "#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n", KeyMethod::Aes128, "identity",
         false},
        {"short iv padded", "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x1\n", KeyMethod::Aes128,
         "identity", true},
        {"iv too long", "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x" + std::string(33, '1') + "\n",
         KeyMethod::Other, "identity", false},
        {"iv not hex", "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0xZZ\n", KeyMethod::Other,
         "identity", false},
        {"sample aes",
         "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"skd://"
         "x\",KEYFORMAT=\"com.apple.streamingkeydelivery\"\n",
         KeyMethod::SampleAes, "com.apple.streamingkeydelivery", false},
        {"unknown method", "#EXT-X-KEY:METHOD=ROT13\n", KeyMethod::Other, "identity", false},
        // Found by fuzzing: a key without a URI cannot be fetched.
        {"aes without uri", "#EXT-X-KEY:METHOD=AES-128,URH=\"k\"\n", KeyMethod::Other, "identity",
         false},
        // Several keys for one segment: the identity one is ours, whatever the order.
        {"drm key after identity",
         "#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n#EXT-X-KEY:METHOD=AES-128,URI=\"skd://"
         "x\",KEYFORMAT=\"drm\"\n",
         KeyMethod::Aes128, "identity", false},
        {"identity after drm key",
         "#EXT-X-KEY:METHOD=AES-128,URI=\"skd://"
         "x\",KEYFORMAT=\"drm\"\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n",
         KeyMethod::Aes128, "identity", false},
        {"drm alone", "#EXT-X-KEY:METHOD=AES-128,URI=\"skd://x\",KEYFORMAT=\"drm\"\n",
         KeyMethod::Aes128, "drm", false},
        // The list ends at the unterminated quote, so there is no URI to fetch.
        {"unterminated quote ends the list", "#EXT-X-KEY:METHOD=AES-128,URI=\"k\n",
         KeyMethod::Other, "identity", false},
    };
    for (const auto& c : cases) {
        const CHlsPlaylist p =
            Parse("#EXTM3U\n#EXT-X-TARGETDURATION:4\n" + c.tags + "#EXTINF:1,\na.ts\n");
        ASSERT_EQ(p.error, HlsError::None) << c.name;
        const auto& pKey = p.media.segments.at(0).pKey;
        ASSERT_TRUE(pKey) << c.name;
        const auto& key = *pKey;
        EXPECT_EQ(key.method, c.method) << c.name;
        EXPECT_EQ(key.strKeyFormat, c.format) << c.name;
        EXPECT_EQ(key.iv.has_value(), c.iv) << c.name;
    }
}

TEST(HlsPlaylist, MasterPlaylist) {
    const CHlsPlaylist p = Parse(
        "#EXTM3U\n"
        "#EXT-X-INDEPENDENT-SEGMENTS\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"Radio \xC3\xA9, English\",DEFAULT=YES,"
        "URI=\"audio/en.m3u8\"\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"Deutsch\",URI=\"audio/de.m3u8\"\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=128000,AVERAGE-BANDWIDTH=120000,CODECS=\"mp4a.40.2\",AUDIO="
        "\"aac\"\n"
        "v128.m3u8\n"
        "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=1,URI=\"iframe.m3u8\"\n"
        "#EXT-X-STREAM-INF:CODECS=\"avc1.4d401f, mp4a.40.5\",BANDWIDTH=900000,RESOLUTION=640x360\n"
        "video.m3u8\n");
    ASSERT_EQ(p.error, HlsError::None);
    ASSERT_TRUE(p.bMaster);
    ASSERT_EQ(p.master.variants.size(), 2u);
    EXPECT_EQ(p.master.variants[0].nBandwidth, 128000u);
    EXPECT_EQ(p.master.variants[0].strAudioGroup, "aac");
    EXPECT_EQ(p.master.variants[1].codecs, (std::vector<std::string>{"avc1.4d401f", "mp4a.40.5"}));
    EXPECT_EQ(p.master.variants[1].strUri, u"https://cdn.example.com/live/radio1/video.m3u8");
    ASSERT_EQ(p.master.renditions.size(), 2u);
    EXPECT_EQ(p.master.renditions[0].strName, u"Radio \u00E9, English");
    EXPECT_TRUE(p.master.renditions[0].bDefault);
    EXPECT_EQ(p.master.renditions[1].strUri, u"https://cdn.example.com/live/radio1/audio/de.m3u8");
    const auto choices = radio::hls::ChooseVariants(p.master);
    ASSERT_EQ(choices.size(), 2u);
    // Audio-only first, and its group's default rendition is what plays.
    EXPECT_EQ(choices[0].strUri, u"https://cdn.example.com/live/radio1/audio/en.m3u8");
    EXPECT_EQ(choices[0].strName, u"Radio \u00E9, English");
    EXPECT_EQ(choices[0].nBandwidth, 128000u);
    EXPECT_EQ(choices[1].strUri, u"https://cdn.example.com/live/radio1/video.m3u8");
}

TEST(HlsPlaylist, VariantChoice) {
    struct {
        const char* name;
        std::string master;
        std::vector<std::u16string> expected;  // file names, in the order to try
    } cases[] = {
        {"highest bandwidth first",
         "#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.5\"\nlo\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=256000,CODECS=\"mp4a.40.2\"\nhi\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS=\"mp4a.40.29\"\nmid\n",
         {u"hi", u"mid", u"lo"}},
        {"undecodable skipped",
         "#EXT-X-STREAM-INF:BANDWIDTH=384000,CODECS=\"ec-3\"\natmos\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=320000,CODECS=\"opus\"\nopus\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=300000,CODECS=\"mp4a.40.2,ac-3\"\nmixed\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=200000,CODECS=\"mp4a.40.42\"\nxhe\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=96000,CODECS=\"mp4a.40.2\"\naac\n",
         {u"aac"}},
        {"mp3 spellings",
         "#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS=\"mp4a.40.34\"\na\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=2,CODECS=\"MP4A.6B\"\nb\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=3,CODECS=\"mp4a.40.02\"\nc\n",
         {u"c", u"b", u"a"}},
        {"without codecs in order, after those with",
         "#EXT-X-STREAM-INF:BANDWIDTH=500000\nfirst\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=900000\nsecond\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=100000,CODECS=\"mp4a.40.2\"\nknown\n",
         {u"known", u"first", u"second"}},
        {"no bandwidth counts as zero",
         "#EXT-X-STREAM-INF:CODECS=\"mp4a.40.2\"\nnone\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS=\"mp4a.40.2\"\none\n",
         {u"one", u"none"}},
        {"same rendition once",
         "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"Main\",URI=\"main\"\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=2,CODECS=\"avc1.64001f,mp4a.40.2\",AUDIO=\"a\"\nv2\n"
         "#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS=\"avc1.64001f,mp4a.40.2\",AUDIO=\"a\"\nv1\n",
         {u"main"}},
        {"renditions alone, default first",
         "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"One\",URI=\"one\"\n"
         "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"Two\",DEFAULT=YES,URI=\"two\"\n"
         "#EXT-X-MEDIA:TYPE=SUBTITLES,GROUP-ID=\"s\",NAME=\"Subs\",URI=\"subs\"\n",
         {u"two", u"one"}},
        {"nothing decodable", "#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS=\"ac-3\"\na\n", {}},
    };
    const std::u16string dir = u"https://cdn.example.com/live/radio1/";
    for (const auto& c : cases) {
        const CHlsPlaylist p = Parse("#EXTM3U\n" + c.master);
        ASSERT_EQ(p.error, HlsError::None) << c.name;
        const auto choices = radio::hls::ChooseVariants(p.master);
        std::vector<std::u16string> got;
        for (const auto& choice : choices) {
            got.push_back(choice.strUri.substr(dir.size()));
        }
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(HlsPlaylist, CodecClasses) {
    using radio::hls::CodecSupport;
    struct {
        const char* codec;
        CodecSupport expected;
    } cases[] = {
        {"mp4a.40.2", CodecSupport::Decodable},   {"mp4a.40.5", CodecSupport::Decodable},
        {"mp4a.40.29", CodecSupport::Decodable},  {"mp4a.40.34", CodecSupport::Decodable},
        {"mp4a.6B", CodecSupport::Decodable},     {"mp4a.69", CodecSupport::Decodable},
        {"mp4a.40.1", CodecSupport::Undecodable}, {"mp4a.40", CodecSupport::Undecodable},
        {"mp4a.40.x", CodecSupport::Undecodable}, {"mp4a.a5", CodecSupport::Undecodable},
        {"ac-3", CodecSupport::Undecodable},      {"fLaC", CodecSupport::Undecodable},
        {"avc1.42e01e", CodecSupport::NotAudio},  {"hvc1.1.6.L93.B0", CodecSupport::NotAudio},
        {"wvtt", CodecSupport::NotAudio},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(radio::hls::ClassifyCodec(c.codec), c.expected) << c.codec;
    }
}

}  // namespace
