#include "radio/source/HttpResponse.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace radio {
namespace {

struct CFed {
    HeadParse result = HeadParse::NeedMore;
    CHttpResponseHead head;
    CRadioFailure failure;
    std::string body;  // what followed the head
};

// Feeds text in pieces of `piece` bytes, as a socket may hand it over.
CFed FeedInPieces(const std::string& text, size_t piece) {
    CHttpHeadParser parser;
    CFed fed;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t take = std::min(piece, text.size() - pos);
        size_t consumed = 0;
        fed.result =
            parser.Feed({reinterpret_cast<const uint8_t*>(text.data()) + pos, take}, consumed);
        EXPECT_LE(consumed, take);
        if (fed.result == HeadParse::Done) {
            fed.body = text.substr(pos + consumed);
            break;
        }
        if (fed.result == HeadParse::Failed) {
            break;
        }
        EXPECT_EQ(consumed, take);
        pos += take;
    }
    fed.head = parser.Head();
    fed.failure = parser.Failure();
    return fed;
}

constexpr size_t kPieces[] = {1, 2, 7, 64, 1u << 20};

TEST(HttpHeadParserTest, ReadsStatusHeadersAndLeavesTheBody) {
    struct Case {
        const char* name;
        std::string text;
        int status;
        bool icy;
        std::map<std::string, std::string> headers;
        std::string body;
    };
    const Case cases[] = {
        {"icy",
         "ICY 200 OK\r\nicy-name: Radio One\r\nicy-metaint:8192\r\nContent-Type: audio/mpeg\r\n\r\n"
         "\xFF\xFB data",
         200,
         true,
         {{"icy-name", "Radio One"}, {"icy-metaint", "8192"}, {"content-type", "audio/mpeg"}},
         "\xFF\xFB data"},
        {"http/1.0 with bare LF",
         "HTTP/1.0 200 OK\nServer: x\n\nbody",
         200,
         false,
         {{"server", "x"}},
         "body"},
        {"redirect",
         "HTTP/1.1 302 Found\r\nLOCATION:  /next?q=1 \r\n\r\n",
         302,
         false,
         {{"location", "/next?q=1"}},
         ""},
        {"folded header and a line without a colon",
         "HTTP/1.1 200 OK\r\nicy-name: Long\r\n  Name\r\nnonsense\r\n\r\n",
         200,
         false,
         {{"icy-name", "Long Name"}},
         ""},
        {"status without reason", "ICY 404\r\n\r\n", 404, true, {}, ""},
    };
    for (const Case& c : cases) {
        for (const size_t piece : kPieces) {
            const CFed fed = FeedInPieces(c.text, piece);
            SCOPED_TRACE(std::string(c.name) + " in pieces of " + std::to_string(piece));
            ASSERT_EQ(fed.result, HeadParse::Done);
            EXPECT_EQ(fed.head.nStatus, c.status);
            EXPECT_EQ(fed.head.bIcy, c.icy);
            EXPECT_EQ(fed.head.headers.size(), c.headers.size());
            for (const auto& [name, value] : c.headers) {
                const std::string* found = fed.head.Find(name);
                ASSERT_NE(found, nullptr) << name;
                EXPECT_EQ(*found, value);
            }
            EXPECT_EQ(fed.body, c.body);
        }
    }
}

TEST(HttpHeadParserTest, RefusesBadStatusLinesAndEndlessHeads) {
    struct Case {
        const char* name;
        std::string text;
        RadioError error;
    };
    const Case cases[] = {
        {"html", "<html><body>hello</body></html>\r\n", RadioError::UnsupportedFormat},
        {"no status", "HTTP/1.1 OK\r\n\r\n", RadioError::UnsupportedFormat},
        {"short status", "ICY 20\r\n\r\n", RadioError::UnsupportedFormat},
        {"status glued to text", "HTTP/1.0 200OK\r\n\r\n", RadioError::UnsupportedFormat},
        {"endless status line", "ICY 200 " + std::string(kMaxHeaderBytes, 'x'),
         RadioError::MetadataTooLarge},
        {"endless header line", "HTTP/1.0 200 OK\r\nicy-name: " + std::string(kMaxHeaderBytes, 'y'),
         RadioError::MetadataTooLarge},
        {"endless list of headers",
         [] {
             std::string text = "ICY 200 OK\r\n";
             while (text.size() <= kMaxHeaderBytes) {
                 text += "x-filler: 0123456789\r\n";
             }
             return text + "\r\n";
         }(),
         RadioError::MetadataTooLarge},
    };
    for (const Case& c : cases) {
        for (const size_t piece : kPieces) {
            const CFed fed = FeedInPieces(c.text, piece);
            SCOPED_TRACE(std::string(c.name) + " in pieces of " + std::to_string(piece));
            EXPECT_EQ(fed.result, HeadParse::Failed);
            EXPECT_EQ(fed.failure.code, MakeFailure(c.error).code);
        }
    }
}

// A head of exactly the bound is still a head; one byte more is not.
TEST(HttpHeadParserTest, TheBoundIsInBytesAsSent) {
    const std::string start = "ICY 200 OK\r\nx-pad: ";
    const std::string end = "\r\n\r\n";
    const std::string fits =
        start + std::string(kMaxHeaderBytes - start.size() - end.size(), 'p') + end;
    ASSERT_EQ(fits.size(), kMaxHeaderBytes);
    EXPECT_EQ(FeedInPieces(fits + "body", 4096).result, HeadParse::Done);
    const std::string over =
        start + std::string(kMaxHeaderBytes - start.size() - end.size() + 1, 'p') + end;
    EXPECT_EQ(FeedInPieces(over, 4096).result, HeadParse::Failed);
}

TEST(ApplyStreamHeadersTest, TakesTheStreamFieldsWithTheirBounds) {
    struct Case {
        const char* name;
        std::map<std::string, std::u16string> headers;
        bool ok;
        size_t metaInt;
        int64_t length;
        int bitrate;
    };
    const Case cases[] = {
        {"all",
         {{"icy-metaint", u"16000"}, {"content-length", u"1234"}, {"icy-br", u"128"}},
         true,
         16000,
         1234,
         128},
        {"none", {}, true, 0, -1, 0},
        {"metaint zero", {{"icy-metaint", u"0"}}, true, 0, -1, 0},
        {"metaint at the bound", {{"icy-metaint", u"1048576"}}, true, 1048576, -1, 0},
        {"metaint beyond", {{"icy-metaint", u"1048577"}}, false, 0, -1, 0},
        {"metaint overflowing", {{"icy-metaint", u"99999999999999999999999"}}, false, 0, -1, 0},
        {"metaint not a number", {{"icy-metaint", u"lots"}}, true, 0, -1, 0},
        {"negative length", {{"content-length", u"-5"}}, true, 0, -1, 0},
        {"bitrate out of range", {{"icy-br", u"100000"}}, true, 0, -1, 0},
        {"bitrate list", {{"icy-br", u"128,128"}}, true, 0, -1, 128},
    };
    for (const Case& c : cases) {
        CSourceInfo info;
        CRadioFailure failure;
        const bool ok = ApplyStreamHeaders(
            [&](std::string_view name) -> std::optional<std::u16string> {
                const auto found = c.headers.find(std::string(name));
                if (found == c.headers.end()) {
                    return std::nullopt;
                }
                return found->second;
            },
            info, failure);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ok, c.ok);
        if (!c.ok) {
            EXPECT_EQ(failure.code, MakeFailure(RadioError::MetadataTooLarge).code);
            continue;
        }
        EXPECT_EQ(info.nMetaInt, c.metaInt);
        EXPECT_EQ(info.nLength, c.length);
        EXPECT_EQ(info.nIcyBitrate, c.bitrate);
    }
    CSourceInfo info;
    CRadioFailure failure;
    const std::u16string longName(1000, u'n');
    ASSERT_TRUE(ApplyStreamHeaders(
        [&](std::string_view name) -> std::optional<std::u16string> {
            if (name == "icy-name" || name == "icy-genre" || name == "icy-url") {
                return longName;
            }
            return std::nullopt;
        },
        info, failure));
    EXPECT_EQ(info.strName.size(), kMaxHeaderFieldChars);
    EXPECT_EQ(info.strGenre.size(), kMaxHeaderFieldChars);
    EXPECT_EQ(info.strHomePage.size(), kMaxHeaderFieldChars);
}

}  // namespace
}  // namespace radio

namespace radio {
namespace {

class CFakeSource : public ISource {
public:
    explicit CFakeSource(std::u16string url) { m_info.strFinalUrl = std::move(url); }
    const CSourceInfo& Info() const override { return m_info; }
    ReadResult Read(uint8_t*, size_t, int, size_t& got, CRadioFailure&) override {
        got = 0;
        return ReadResult::End;
    }

private:
    CSourceInfo m_info;
};

// Servers as a table: address -> (status, location). An address not in
// the table plays.
struct CFakeWeb {
    std::map<std::u16string, std::pair<int, std::u16string>> redirects;
    std::vector<std::u16string> asked;

    std::unique_ptr<ISource> Open(const std::u16string& url, CRadioFailure& failure) {
        return FollowRedirects(
            url,
            [this](const std::u16string& address, const CHttpUrl&, CHttpHop& hop, CRadioFailure&) {
                asked.push_back(address);
                const auto found = redirects.find(address);
                if (found == redirects.end()) {
                    hop.nStatus = 200;
                    hop.pSource = std::make_unique<CFakeSource>(address);
                } else {
                    hop.nStatus = found->second.first;
                    hop.strLocation = found->second.second;
                }
                return true;
            },
            failure);
    }
};

TEST(FollowRedirectsTest, FollowsChainsAcrossSchemesAndPorts) {
    CFakeWeb web;
    web.redirects = {
        {u"http://a.example/start?x=1", {302, u"https://b.example:8443/live?token=abc"}},
        {u"https://b.example:8443/live?token=abc", {307, u"/mounts/one?q=2"}},
        {u"https://b.example:8443/mounts/one?q=2", {301, u"two.mp3?k=v"}},
    };
    CRadioFailure failure;
    auto source = web.Open(u"http://a.example/start?x=1", failure);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->Info().strFinalUrl, u"https://b.example:8443/mounts/two.mp3?k=v");
    EXPECT_EQ(web.asked.size(), 4u);
}

TEST(FollowRedirectsTest, RefusesWhatARedirectMayNotDo) {
    struct Case {
        const char* name;
        std::u16string location;
        uint32_t code;
    };
    const Case cases[] = {
        {"downgrade to http", u"http://plain.example/", MakeHttpFailure(302).code},
        {"a local file", u"file:///C:/secret.mp3", MakeFailure(RadioError::UnsupportedScheme).code},
        {"a share", u"\\\\server\\share\\a.mp3", MakeFailure(RadioError::UnsupportedScheme).code},
        {"another scheme", u"ftp://x.example/a", MakeFailure(RadioError::UnsupportedScheme).code},
        {"no location", u"", MakeHttpFailure(302).code},
    };
    for (const Case& c : cases) {
        CFakeWeb web;
        web.redirects = {{u"https://secure.example/", {302, c.location}}};
        CRadioFailure failure;
        EXPECT_FALSE(web.Open(u"https://secure.example/", failure)) << c.name;
        EXPECT_EQ(failure.code, c.code) << c.name;
        EXPECT_EQ(web.asked.size(), 1u) << c.name;
    }
}

TEST(FollowRedirectsTest, EndsLoopsAfterEightHops) {
    for (const int hops : {8, 9}) {
        CFakeWeb web;
        for (int i = 0; i < hops; ++i) {
            web.redirects[u"http://h.example/" +
                          std::u16string(1, static_cast<char16_t>(u'a' + i))] = {
                302, u"/" + std::u16string(1, static_cast<char16_t>(u'a' + i + 1))};
        }
        CRadioFailure failure;
        const bool played = web.Open(u"http://h.example/a", failure) != nullptr;
        EXPECT_EQ(played, hops == kMaxRedirects) << hops;
        if (!played) {
            EXPECT_EQ(failure.code, MakeFailure(RadioError::TooManyRedirects).code);
        }
    }
    CFakeWeb loop;
    loop.redirects = {{u"http://l.example/", {302, u"/"}}};
    CRadioFailure failure;
    EXPECT_FALSE(loop.Open(u"http://l.example/", failure));
    EXPECT_EQ(loop.asked.size(), static_cast<size_t>(kMaxRedirects + 1));
}

}  // namespace
}  // namespace radio
