#include "radio/RadioUrl.h"

#include <gtest/gtest.h>

namespace {

using radio::SourceKind;

struct CKindCase {
    const char16_t* url;
    SourceKind kind;
};

class Classify : public testing::TestWithParam<CKindCase> {};

TEST_P(Classify, Kind) {
    EXPECT_EQ(radio::ClassifySource(GetParam().url), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(Cases, Classify,
                         testing::Values(CKindCase{u"http://a/b", SourceKind::Http},
                                         CKindCase{u"HTTPS://a", SourceKind::Https},
                                         CKindCase{u"file:///C:/x.mp3", SourceKind::File},
                                         CKindCase{u"C:\\x.mp3", SourceKind::File},
                                         CKindCase{u"\\\\srv\\share\\x.mp3", SourceKind::File},
                                         CKindCase{u"x.mp3", SourceKind::File},
                                         CKindCase{u"mms://a/b", SourceKind::Unsupported},
                                         CKindCase{u"rtsp://a", SourceKind::Unsupported},
                                         CKindCase{u"", SourceKind::Unsupported}));

struct CHttpCase {
    const char16_t* url;
    bool ok;
    bool secure;
    const char16_t* host;
    uint16_t port;
    const char16_t* path;
};

class HttpUrls : public testing::TestWithParam<CHttpCase> {};

TEST_P(HttpUrls, Split) {
    const auto& c = GetParam();
    const auto url = radio::ParseHttpUrl(c.url);
    ASSERT_EQ(url.has_value(), c.ok);
    if (c.ok) {
        EXPECT_EQ(url->bSecure, c.secure);
        EXPECT_EQ(url->strHost, c.host);
        EXPECT_EQ(url->nPort, c.port);
        EXPECT_EQ(url->strPath, c.path);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpUrls,
    testing::Values(CHttpCase{u"http://radio.example/live", true, false, u"radio.example", 80,
                              u"/live"},
                    CHttpCase{u"https://h:8443/a?b=c#frag", true, true, u"h", 8443, u"/a?b=c"},
                    CHttpCase{u"http://h", true, false, u"h", 80, u"/"},
                    CHttpCase{u"http://h?q", true, false, u"h", 80, u"/?q"},
                    CHttpCase{u"http://user:pw@h:81/", true, false, u"h", 81, u"/"},
                    CHttpCase{u"http://[::1]:8000/s", true, false, u"::1", 8000, u"/s"},
                    CHttpCase{u"http://h:0/", false, false, u"", 0, u""},
                    CHttpCase{u"http://h:65536/", false, false, u"", 0, u""},
                    CHttpCase{u"http://h:8x/", false, false, u"", 0, u""},
                    CHttpCase{u"http:///path", false, false, u"", 0, u""},
                    CHttpCase{u"ftp://h/", false, false, u"", 0, u""}));

struct CPair {
    const char16_t* in;
    const char16_t* out;
};

class LocalPaths : public testing::TestWithParam<CPair> {};

TEST_P(LocalPaths, Converted) {
    EXPECT_EQ(radio::ToLocalPath(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalPaths,
    testing::Values(CPair{u"file:///C:/My%20Music/a.mp3", u"C:\\My Music\\a.mp3"},
                    CPair{u"file://localhost/C:/a.mp3", u"C:\\a.mp3"},
                    CPair{u"file:/C:/a.mp3", u"C:\\a.mp3"},
                    CPair{u"file://srv/share/a.mp3", u"\\\\srv\\share\\a.mp3"},
                    CPair{u"file:///C:/M%C3%BCsik/a%2", u"C:\\M\u00FCsik\\a%2"},
                    CPair{u"C:\\plain.wav", u"C:\\plain.wav"}));

struct CResolveCase {
    const char16_t* base;
    const char16_t* ref;
    const char16_t* out;
};

class Resolve : public testing::TestWithParam<CResolveCase> {};

TEST_P(Resolve, Reference) {
    EXPECT_EQ(radio::ResolveReference(GetParam().base, GetParam().ref), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Resolve,
    testing::Values(CResolveCase{u"http://h/a/list.m3u", u"http://o/s", u"http://o/s"},
                    CResolveCase{u"http://h/a/list.m3u", u"//o/s", u"http://o/s"},
                    CResolveCase{u"https://h:81/a/list.m3u?x", u"/s", u"https://h:81/s"},
                    CResolveCase{u"http://h/a/b/list.m3u", u"s.mp3", u"http://h/a/b/s.mp3"},
                    CResolveCase{u"http://h/a/b/list.m3u", u"../s.mp3?q", u"http://h/a/s.mp3?q"},
                    CResolveCase{u"http://h/a/", u"./../../../s", u"http://h/s"},
                    CResolveCase{u"http://h", u"s", u"http://h/s"},
                    CResolveCase{u"http://h/a?x", u"?y", u"http://h/a?y"},
                    CResolveCase{u"C:\\radio\\list.m3u", u"one.mp3", u"C:\\radio\\one.mp3"},
                    CResolveCase{u"C:\\radio\\list.m3u", u"D:\\two.mp3", u"D:\\two.mp3"},
                    CResolveCase{u"file:///C:/radio/list.m3u", u"one.mp3",
                                 u"file:///C:/radio/one.mp3"},
                    // A base whose path does not start with "/" keeps its
                    // host, and a path without an authority its first segment.
                    CResolveCase{u"http://h?x", u"s.mp3", u"http://h/s.mp3"},
                    CResolveCase{u"http://h:8000#f", u"../s", u"http://h:8000/s"},
                    CResolveCase{u"http:list.m3u", u"s.mp3", u"http:s.mp3"},
                    CResolveCase{u"http:a/list.m3u", u"s.mp3", u"http:a/s.mp3"},
                    CResolveCase{u"http://h/a/b", u"", u"http://h/a/b"},
                    CResolveCase{u"https://h/live?q=1", u"http://o/x", u"http://o/x"}));

TEST(UrlExtension, IgnoresQueryAndFolders) {
    EXPECT_EQ(radio::UrlExtension(u"http://h/list.M3U?x=a.mp3"), u"m3u");
    EXPECT_EQ(radio::UrlExtension(u"http://h.example/live"), u"");
    EXPECT_EQ(radio::UrlExtension(u"C:\\a.b\\song.Mp3"), u"mp3");
}

}  // namespace
