// The Windows stages on their own: the file source's bounds, the WinHTTP
// source against a socket server of the test's own, the ACM decoder on a
// generated MP3 and the waveOut output's reopening.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "radio/AudioFormat.h"
#include "radio/decoder/AcmDecoder_win.h"
#include "radio/output/WaveOutput_win.h"
#include "radio/session/Session.h"
#include "radio/source/FileSource_win.h"
#include "radio/source/HttpSource_win.h"
#include "radio/source/PlainHttpSource_win.h"
#include "radio/source/SourceOpener_win.h"

namespace radio {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::u16string U16(const std::string& text) {
    return {text.begin(), text.end()};
}

std::u16string WinePathU16(const char* unixPath) {
    std::string path = unixPath;
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    return U16(path);
}

std::vector<uint8_t> ReadWholeFile(const char* path) {
    std::vector<uint8_t> data;
    if (FILE* file = std::fopen(path, "rb")) {
        uint8_t chunk[4096];
        size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            data.insert(data.end(), chunk, chunk + got);
        }
        std::fclose(file);
    }
    return data;
}

// Reads until the source ends or fails, with the given cap per read.
ReadResult Drain(ISource& source, size_t cap, std::vector<uint8_t>& out, int64_t limitMs = 10000) {
    std::vector<uint8_t> buffer(cap);
    const auto start = Clock::now();
    while (MsSince(start) < limitMs) {
        size_t got = 0;
        CRadioFailure failure;
        const ReadResult result = source.Read(buffer.data(), cap, 100, got, failure);
        if (result == ReadResult::Data) {
            EXPECT_GT(got, 0u);
            EXPECT_LE(got, cap);
            out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(got));
        } else if (result != ReadResult::Idle) {
            return result;
        }
    }
    return ReadResult::Idle;
}

// A file source reads exactly the file's bytes, whatever the cap per read.
TEST(FileSourceTest, ReadsTheWholeFileInBoundedPieces) {
    const std::vector<uint8_t> expected = ReadWholeFile(RADIO_TEST_AUDIO "/tone.mp3");
    ASSERT_FALSE(expected.empty());
    for (const size_t cap : {size_t{1}, size_t{1000}, size_t{65536}, size_t{1} << 20}) {
        CFileOpener opener;
        CRadioFailure failure;
        auto source =
            opener.Open(WinePathU16(RADIO_TEST_AUDIO "/tone.mp3"), UrlOrigin::Host, failure);
        ASSERT_TRUE(source) << "cap " << cap;
        EXPECT_FALSE(source->Info().bNetwork);
        EXPECT_EQ(source->Info().nLength, static_cast<int64_t>(expected.size()));
        std::vector<uint8_t> data;
        EXPECT_EQ(Drain(*source, cap, data, cap == 1 ? 60000 : 10000), ReadResult::End);
        EXPECT_EQ(data, expected) << "cap " << cap;
    }
}

TEST(FileSourceTest, RefusesWhatTheNetworkNamesAndWhatIsMissing) {
    struct Case {
        const char* url;
        UrlOrigin origin;
        RadioError error;
    };
    const Case cases[] = {
        {"Z:" RADIO_TEST_AUDIO "/tone.mp3", UrlOrigin::Network, RadioError::UnsupportedScheme},
        {"\\\\.\\pipe\\tunara-anything", UrlOrigin::Network, RadioError::UnsupportedScheme},
        {"\\\\server\\share\\a.mp3", UrlOrigin::Network, RadioError::UnsupportedScheme},
        {"Z:" RADIO_TEST_AUDIO "/missing.mp3", UrlOrigin::Host, RadioError::FileNotFound},
        {"http://127.0.0.1/a.mp3", UrlOrigin::Host, RadioError::UnsupportedScheme},
    };
    for (const Case& c : cases) {
        CFileOpener opener;
        CRadioFailure failure;
        EXPECT_FALSE(opener.Open(U16(c.url), c.origin, failure)) << c.url;
        EXPECT_EQ(failure.code, MakeFailure(c.error).code) << c.url;
    }
}

// A pipe whose writer never writes: reads come back Idle within their wait,
// the stall bound ends them, and an abort ends one at once.
TEST(FileSourceTest, ASilentPipeIsBoundedAndAbortable) {
    const std::wstring name =
        L"\\\\.\\pipe\\tunara-stage-test-" + std::to_wstring(::GetCurrentProcessId());
    CHandle hPipe(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE, 2, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(hPipe);
    const std::u16string url(name.begin(), name.end());
    {
        CFileOpener opener(nullptr, 400);
        CRadioFailure failure;
        auto source = opener.Open(url, UrlOrigin::Host, failure);
        ASSERT_TRUE(source);
        EXPECT_EQ(source->Info().nLength, -1);
        uint8_t buffer[64];
        size_t got = 0;
        const auto start = Clock::now();
        EXPECT_EQ(source->Read(buffer, sizeof buffer, 50, got, failure), ReadResult::Idle);
        EXPECT_LT(MsSince(start), 1000);
        ReadResult result = ReadResult::Idle;
        while (result == ReadResult::Idle && MsSince(start) < 5000) {
            result = source->Read(buffer, sizeof buffer, 50, got, failure);
        }
        EXPECT_EQ(result, ReadResult::Failed);
        EXPECT_EQ(failure.code, MakeFailure(RadioError::ReadFailed).code);
        EXPECT_GE(MsSince(start), 350);
        EXPECT_LT(MsSince(start), 3000);
    }
    // A second instance for the second client.
    CHandle hPipe2(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                      PIPE_TYPE_BYTE, 2, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(hPipe2);
    {
        CFileOpener opener;
        CRadioFailure failure;
        auto source = opener.Open(url, UrlOrigin::Host, failure);
        ASSERT_TRUE(source);
        std::thread stopper([&opener] {
            ::Sleep(200);
            opener.Abort();
        });
        uint8_t buffer[64];
        size_t got = 0;
        const auto start = Clock::now();
        const ReadResult result = source->Read(buffer, sizeof buffer, 10000, got, failure);
        stopper.join();
        EXPECT_EQ(result, ReadResult::Failed);
        EXPECT_LT(MsSince(start), 2000);
    }
}

// A one-connection-at-a-time HTTP server on 127.0.0.1; each connection is
// handed to the test's function with the request already read.
class CTestServer {
public:
    using Handler = std::function<void(SOCKET, const std::string& request)>;

    explicit CTestServer(Handler handler) : m_handler(std::move(handler)) {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_listen = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listen, 4);
        int length = sizeof address;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_nPort = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CTestServer() {
        Join();
        ::WSACleanup();
    }
    // Stops accepting and waits for the connection being served.
    void Join() {
        m_bStop = true;
        ::closesocket(m_listen);
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_nPort) + path;
    }
    int Connections() const { return m_nConnections.load(); }
    bool Stopping() const { return m_bStop.load(); }

    static void Send(SOCKET s, const std::string& text) {
        ::send(s, text.data(), static_cast<int>(text.size()), 0);
    }

private:
    void Serve() {
        while (!m_bStop) {
            SOCKET client = ::accept(m_listen, nullptr, nullptr);
            if (client == INVALID_SOCKET) {
                return;
            }
            ++m_nConnections;
            std::string request;
            char chunk[1024];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const int got = ::recv(client, chunk, sizeof chunk, 0);
                if (got <= 0) {
                    break;
                }
                request.append(chunk, static_cast<size_t>(got));
            }
            m_handler(client, request);
            ::shutdown(client, SD_SEND);
            ::closesocket(client);
        }
    }

    Handler m_handler;
    SOCKET m_listen = INVALID_SOCKET;
    uint16_t m_nPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nConnections{0};
};

TEST(HttpSourceTest, RedirectsThenReadsTheBodyWithIcyHeaders) {
    const std::string body(50000, 'x');
    std::string seen;
    CTestServer server([&](SOCKET s, const std::string& request) {
        seen += request;
        if (request.rfind("GET /start?q=1 ", 0) == 0) {
            CTestServer::Send(
                s, "HTTP/1.1 302 Found\r\nLocation: live?b=2\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        CTestServer::Send(s,
                          "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-metaint: 8192\r\n"
                          "icy-name: Test Radio\r\nicy-br: 128\r\n\r\n" +
                              body);
    });
    CHttpOpener opener;
    CRadioFailure failure;
    auto source = opener.Open(U16(server.Url("/start?q=1")), UrlOrigin::Host, failure);
    ASSERT_TRUE(source) << std::string(failure.description.begin(), failure.description.end());
    const CSourceInfo& info = source->Info();
    EXPECT_TRUE(info.bNetwork);
    EXPECT_EQ(info.strContentType, "audio/mpeg");
    EXPECT_EQ(info.nMetaInt, 8192u);
    EXPECT_EQ(info.nIcyBitrate, 128);
    EXPECT_EQ(info.strName, u"Test Radio");
    EXPECT_EQ(info.strFinalUrl, U16(server.Url("/live?b=2")));
    std::vector<uint8_t> data;
    EXPECT_EQ(Drain(*source, 3000, data), ReadResult::End);
    EXPECT_EQ(std::string(data.begin(), data.end()), body);
    EXPECT_NE(seen.find("Icy-MetaData: 1"), std::string::npos);
    EXPECT_NE(seen.find("GET /live?b=2 "), std::string::npos);
}

// A server that goes quiet: reads are Idle within their wait and the bytes
// that come later still arrive; an abort ends a read at once.
TEST(HttpSourceTest, QuietServerGivesIdleAndAbortEndsTheRead) {
    HANDLE hRelease = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE hDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CTestServer server([&](SOCKET s, const std::string&) {
        CTestServer::Send(s, "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\nfirst");
        ::WaitForSingleObject(hRelease, 3000);
        CTestServer::Send(s, "later");
        ::WaitForSingleObject(hDone, 5000);
    });
    CHttpOpener opener;
    CRadioFailure failure;
    auto source = opener.Open(U16(server.Url("/")), UrlOrigin::Host, failure);
    ASSERT_TRUE(source);
    uint8_t buffer[100];
    size_t got = 0;
    std::string text;
    auto start = Clock::now();
    while (text.size() < 5 && MsSince(start) < 3000) {
        if (source->Read(buffer, sizeof buffer, 100, got, failure) == ReadResult::Data) {
            text.append(reinterpret_cast<char*>(buffer), got);
        }
    }
    EXPECT_EQ(text, "first");
    start = Clock::now();
    EXPECT_EQ(source->Read(buffer, sizeof buffer, 150, got, failure), ReadResult::Idle);
    EXPECT_GE(MsSince(start), 100);
    EXPECT_LT(MsSince(start), 1000);
    ::SetEvent(hRelease);
    start = Clock::now();
    ReadResult result = ReadResult::Idle;
    while (result == ReadResult::Idle && MsSince(start) < 3000) {
        result = source->Read(buffer, sizeof buffer, 100, got, failure);
    }
    ASSERT_EQ(result, ReadResult::Data);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "later");
    std::thread stopper([&opener] {
        ::Sleep(200);
        opener.Abort();
    });
    start = Clock::now();
    result = source->Read(buffer, sizeof buffer, 10000, got, failure);
    stopper.join();
    EXPECT_EQ(result, ReadResult::Failed);
    EXPECT_LT(MsSince(start), 1500);
    source.reset();
    ::SetEvent(hDone);
    server.Join();
    ::CloseHandle(hRelease);
    ::CloseHandle(hDone);
}

TEST(HttpSourceTest, AbortEndsAnOpenThatWaitsForTheAnswer) {
    HANDLE hDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CTestServer server([&](SOCKET, const std::string&) { ::WaitForSingleObject(hDone, 5000); });
    CHttpOpener opener;
    std::thread stopper([&opener] {
        ::Sleep(300);
        opener.Abort();
    });
    CRadioFailure failure;
    const auto start = Clock::now();
    auto source = opener.Open(U16(server.Url("/")), UrlOrigin::Host, failure);
    stopper.join();
    EXPECT_FALSE(source);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_FALSE(opener.Open(U16(server.Url("/")), UrlOrigin::Host, failure));
    ::SetEvent(hDone);
    server.Join();
    ::CloseHandle(hDone);
}

// While an Open waits for a slow answer the caller's idle work runs, on the
// caller's thread, every short while; idle that says stop ends that Open
// as an abort would, and the opener opens again afterwards.
TEST(HttpSourceTest, IdleRunsWhileAnOpenWaitsAndCanEndIt) {
    const struct {
        const char* name;
        int stopAtCall;  // negative: never
        bool opens;
    } cases[] = {
        {"an answer after 600 ms", -1, true},
        {"idle says stop", 4, false},
    };
    const std::string answer =
        "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: 4\r\n\r\nabcd";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE hRelease = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CTestServer server([&](SOCKET s, const std::string&) {
            ::WaitForSingleObject(hRelease, c.opens ? 600 : 5000);
            CTestServer::Send(s, answer);
        });
        CHttpOpener opener;
        int calls = 0;
        bool otherThread = false;
        const DWORD thread = ::GetCurrentThreadId();
        opener.SetIdle([&] {
            otherThread = otherThread || ::GetCurrentThreadId() != thread;
            return ++calls != c.stopAtCall;
        });
        CRadioFailure failure;
        const auto start = Clock::now();
        auto source = opener.Open(U16(server.Url("/")), UrlOrigin::Host, failure);
        const int64_t took = MsSince(start);
        opener.SetIdle({});
        EXPECT_EQ(static_cast<bool>(source), c.opens);
        EXPECT_FALSE(otherThread);
        if (c.opens) {
            // About one call per 50 ms of the wait.
            EXPECT_GE(calls, 5);
            EXPECT_LE(calls, took / 50 + 2);
        } else {
            EXPECT_EQ(calls, c.stopAtCall);
            EXPECT_LT(took, 1500);
            EXPECT_EQ(failure.code, MakeFailure(RadioError::ConnectionLost).code);
        }
        source.reset();
        ::SetEvent(hRelease);
        // Idle taken away: the next Open waits for its answer as before.
        EXPECT_TRUE(opener.Open(U16(server.Url("/")), UrlOrigin::Host, failure));
        server.Join();
        ::CloseHandle(hRelease);
    }
}

// The plain client reads what WinHTTP may refuse: an "ICY 200 OK" answer,
// with a bare-LF head, its ICY fields and a UTF-8 station name.
TEST(PlainHttpSourceTest, PlaysAnIcyServerAfterARedirect) {
    const std::string body(20000, 'b');
    std::string seen;
    CTestServer server([&](SOCKET s, const std::string& request) {
        seen += request;
        if (request.rfind("GET /old ", 0) == 0) {
            CTestServer::Send(s, "HTTP/1.0 301 Moved\r\nLocation: /st%C3%A4tion?x=1\r\n\r\n");
            return;
        }
        CTestServer::Send(s,
                          "ICY 200 OK\nicy-name: R\xC3\xA4"
                          "dio\nicy-metaint: 16000\n"
                          "content-type: audio/mpeg\n\n" +
                              body);
    });
    for (const bool viaWinHttp : {false, true}) {
        seen.clear();
        std::unique_ptr<ISourceOpener> opener;
        if (viaWinHttp) {
            // Where WinHTTP takes the answer itself the plain client is not
            // needed; where it refuses it, the opener falls back. Either way
            // the station plays.
            opener = std::make_unique<CHttpOpener>();
        } else {
            opener = std::make_unique<CPlainHttpOpener>();
        }
        CRadioFailure failure;
        auto source = opener->Open(U16(server.Url("/old")), UrlOrigin::Host, failure);
        ASSERT_TRUE(source) << viaWinHttp;
        EXPECT_EQ(source->Info().nMetaInt, 16000u);
        EXPECT_EQ(source->Info().strContentType, "audio/mpeg");
        EXPECT_EQ(source->Info().strFinalUrl, U16(server.Url("/st%C3%A4tion?x=1")));
        if (!viaWinHttp) {
            EXPECT_EQ(source->Info().strName, u"R\u00E4dio");
            EXPECT_NE(seen.find("GET /old HTTP/1.0\r\n"), std::string::npos) << seen;
            EXPECT_NE(seen.find("\r\nIcy-MetaData: 1\r\n"), std::string::npos);
            EXPECT_NE(seen.find("\r\nUser-Agent: TunaraPlayer/"), std::string::npos);
            EXPECT_NE(seen.find("\r\nHost: 127.0.0.1:"), std::string::npos);
        }
        std::vector<uint8_t> data;
        EXPECT_EQ(Drain(*source, 3000, data), ReadResult::End);
        EXPECT_EQ(std::string(data.begin(), data.end()), body);
    }
}

TEST(PlainHttpSourceTest, BadHeadsGiveOneClearFailure) {
    struct Case {
        const char* name;
        std::string answer;
        RadioError error;
    };
    const Case cases[] = {
        {"endless header line", "ICY 200 OK\r\nicy-name: " + std::string(40000, 'n'),
         RadioError::MetadataTooLarge},
        {"endless status line", "ICY 200 " + std::string(40000, 's'), RadioError::MetadataTooLarge},
        {"closes during the head", "ICY 200 OK\r\nicy-na", RadioError::CannotConnect},
        {"closes at once", "", RadioError::CannotConnect},
        {"not http", "<html>status page</html>\r\n\r\n", RadioError::UnsupportedFormat},
        {"chunked to a 1.0 request", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n",
         RadioError::UnsupportedFormat},
        {"redirect elsewhere", "HTTP/1.0 302 Found\r\nLocation: file:///C:/secret.mp3\r\n\r\n",
         RadioError::UnsupportedScheme},
        {"metaint beyond the bound", "ICY 200 OK\r\nicy-metaint: 99999999\r\n\r\n",
         RadioError::MetadataTooLarge},
    };
    for (const Case& c : cases) {
        CTestServer server([&](SOCKET s, const std::string&) { CTestServer::Send(s, c.answer); });
        CPlainHttpOpener opener;
        CRadioFailure failure;
        const auto start = Clock::now();
        EXPECT_FALSE(opener.Open(U16(server.Url("/")), UrlOrigin::Host, failure)) << c.name;
        EXPECT_EQ(failure.code, MakeFailure(c.error).code) << c.name;
        EXPECT_LT(MsSince(start), 3000) << c.name;
    }
    CPlainHttpOpener opener;
    CRadioFailure failure;
    EXPECT_FALSE(opener.Open(u"https://127.0.0.1:1/", UrlOrigin::Host, failure));
    EXPECT_EQ(failure.code, MakeFailure(RadioError::UnsupportedScheme).code);
}

TEST(PlainHttpSourceTest, QuietServerGivesIdleAndAbortEndsTheRead) {
    HANDLE hDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CTestServer server([&](SOCKET s, const std::string&) {
        CTestServer::Send(s, "ICY 200 OK\r\n\r\nfirst");
        ::WaitForSingleObject(hDone, 5000);
    });
    CPlainHttpOpener opener;
    CRadioFailure failure;
    auto source = opener.Open(U16(server.Url("/")), UrlOrigin::Host, failure);
    ASSERT_TRUE(source);
    uint8_t buffer[100];
    size_t got = 0;
    ASSERT_EQ(source->Read(buffer, sizeof buffer, 100, got, failure), ReadResult::Data);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "first");
    auto start = Clock::now();
    EXPECT_EQ(source->Read(buffer, sizeof buffer, 150, got, failure), ReadResult::Idle);
    EXPECT_GE(MsSince(start), 100);
    EXPECT_LT(MsSince(start), 1000);
    std::thread stopper([&opener] {
        ::Sleep(200);
        opener.Abort();
    });
    start = Clock::now();
    ReadResult result = ReadResult::Idle;
    while (result == ReadResult::Idle && MsSince(start) < 3000) {
        result = source->Read(buffer, sizeof buffer, 1000, got, failure);
    }
    stopper.join();
    EXPECT_EQ(result, ReadResult::Failed);
    EXPECT_LT(MsSince(start), 1500);
    source.reset();
    ::SetEvent(hDone);
    server.Join();
    ::CloseHandle(hDone);
}

// A stream that pauses for longer than an answer may take (5 s) but less
// than the session's stall limit is still open: the session, not the
// source, decides when silence is a drop. Both clients, as the opener
// reaches either.
TEST(HttpSourceTest, APauseShorterThanTheStallLimitIsIdleNotFailed) {
    constexpr DWORD kPauseMs = 6500;
    static_assert(kPauseMs > CHttpOpener::kNetworkTimeoutMs);
    static_assert(kPauseMs < static_cast<DWORD>(CSessionLimits{}.nStallMs));
    struct Case {
        const char* name;
        std::function<std::unique_ptr<ISourceOpener>()> make;
        const char* answer;
    };
    const Case cases[] = {
        {"WinHTTP", [] { return std::make_unique<CHttpOpener>(); },
         "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\nfirst"},
        {"plain socket", [] { return std::make_unique<CPlainHttpOpener>(); },
         "ICY 200 OK\r\ncontent-type: audio/mpeg\r\n\r\nfirst"},
    };
    for (const Case& c : cases) {
        HANDLE hDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CTestServer server([&](SOCKET s, const std::string&) {
            CTestServer::Send(s, c.answer);
            ::Sleep(kPauseMs);
            CTestServer::Send(s, "later");
            ::WaitForSingleObject(hDone, 5000);
        });
        auto opener = c.make();
        CRadioFailure failure;
        auto source = opener->Open(U16(server.Url("/")), UrlOrigin::Host, failure);
        ASSERT_TRUE(source) << c.name;
        uint8_t buffer[100];
        size_t got = 0;
        std::string text;
        std::vector<ReadResult> others;
        const auto start = Clock::now();
        while (text.size() < 10 && MsSince(start) < kPauseMs + 3000) {
            const ReadResult result = source->Read(buffer, sizeof buffer, 100, got, failure);
            if (result == ReadResult::Data) {
                text.append(reinterpret_cast<char*>(buffer), got);
            } else if (result != ReadResult::Idle) {
                others.push_back(result);
                break;
            }
        }
        EXPECT_TRUE(others.empty()) << c.name << ": failed after " << MsSince(start) << " ms";
        EXPECT_EQ(text, "firstlater") << c.name;
        EXPECT_GE(MsSince(start), static_cast<int64_t>(kPauseMs) - 500) << c.name;
        source.reset();
        ::SetEvent(hDone);
        server.Join();
        ::CloseHandle(hDone);
    }
}

// A head that never ends (megabytes of one line, then silence) fails the
// open within the answer's bound, and letting go of it does not wait for
// the network either: the session reports it well before a listener gives
// up.
TEST(HttpSourceTest, AnEndlessHeadFailsWithinTheAnswerBound) {
    const std::string starts[] = {"HTTP/1.0 200 OK\r\nX-Endless: ", "ICY 200 OK"};
    for (const std::string& start : starts) {
        HANDLE hDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CTestServer server([&](SOCKET s, const std::string&) {
            CTestServer::Send(s, start);
            const std::string block(16384, 'a');
            for (int i = 0; i < 256 && ::WaitForSingleObject(hDone, 0) != WAIT_OBJECT_0; ++i) {
                if (::send(s, block.data(), static_cast<int>(block.size()), 0) <= 0) {
                    break;
                }
            }
            ::WaitForSingleObject(hDone, 20000);
        });
        const auto began = Clock::now();
        {
            CHttpOpener opener;
            CRadioFailure failure;
            EXPECT_FALSE(opener.Open(U16(server.Url("/")), UrlOrigin::Host, failure)) << start;
            EXPECT_TRUE(failure.code == MakeFailure(RadioError::MetadataTooLarge).code ||
                        failure.code == MakeFailure(RadioError::Timeout).code)
                << start << ": " << std::hex << failure.code;
        }
        EXPECT_LT(MsSince(began), CHttpOpener::kNetworkTimeoutMs + 2500) << start;
        ::SetEvent(hDone);
        server.Join();
        ::CloseHandle(hDone);
    }
}

TEST(SourceOpenerTest, PicksTheSourceByAddressAndOrigin) {
    CSourceOpener opener;
    CRadioFailure failure;
    EXPECT_TRUE(opener.Open(WinePathU16(RADIO_TEST_AUDIO "/tone.wav"), UrlOrigin::Host, failure));
    EXPECT_FALSE(
        opener.Open(WinePathU16(RADIO_TEST_AUDIO "/tone.wav"), UrlOrigin::Network, failure));
    EXPECT_EQ(failure.code, MakeFailure(RadioError::UnsupportedScheme).code);
    EXPECT_FALSE(opener.Open(u"ftp://127.0.0.1/a.mp3", UrlOrigin::Host, failure));
    EXPECT_EQ(failure.code, MakeFailure(RadioError::UnsupportedScheme).code);
}

struct CCollect : IPcmSink {
    bool OnPcm(const CPcmFormat& format, const int16_t* samples, size_t count) override {
        formats.push_back(format);
        pcm.insert(pcm.end(), samples, samples + count);
        return true;
    }
    std::vector<CPcmFormat> formats;
    std::vector<int16_t> pcm;
};

std::vector<std::vector<uint8_t>> Mp3Frames(CMp3FrameInfo& info) {
    CMp3FrameScanner scanner;
    scanner.Feed(ReadWholeFile(RADIO_TEST_AUDIO "/tone.mp3"));
    scanner.Finish();
    std::vector<std::vector<uint8_t>> frames;
    while (auto frame = scanner.NextFrame()) {
        frames.emplace_back(frame->begin(), frame->end());
    }
    info = scanner.Info();
    return frames;
}

CCodecConfig ConfigOf(const CMp3FrameInfo& info) {
    CCodecConfig config;
    config.kind = CodecKind::Mp3;
    config.nSampleRate = info.nSampleRate;
    config.nChannels = info.nChannels;
    config.nBitrateKbps = info.nBitrate;
    config.nFrameBytes = info.nFrameBytes;
    return config;
}

// The generated tone decodes to about its length, in its format, and twice
// over with the same decoder (opened again without a close in between).
TEST(AcmDecoderTest, DecodesTheToneAndReopens) {
    CMp3FrameInfo info;
    const auto frames = Mp3Frames(info);
    ASSERT_GT(frames.size(), 20u);
    CWinDecoderFactory factory;
    CRadioFailure failure;
    auto decoder = factory.Create(CodecKind::Mp3, failure);
    ASSERT_TRUE(decoder);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(decoder->Open(ConfigOf(info), failure)) << "round " << round;
        CCollect sink;
        for (const auto& frame : frames) {
            ASSERT_TRUE(decoder->Decode(frame.data(), frame.size(), sink, failure));
        }
        ASSERT_TRUE(decoder->Drain(sink, failure));
        const size_t perChannel = sink.pcm.size() / static_cast<size_t>(info.nChannels);
        // The 1.5 s tone, give or take the codec's delay and lame's padding.
        EXPECT_GT(perChannel, static_cast<size_t>(info.nSampleRate) * 13 / 10) << round;
        EXPECT_LT(perChannel, static_cast<size_t>(info.nSampleRate) * 17 / 10) << round;
        for (const CPcmFormat& format : sink.formats) {
            EXPECT_EQ(format, (CPcmFormat{info.nSampleRate, info.nChannels}));
        }
        int peak = 0;
        for (const int16_t sample : sink.pcm) {
            peak = std::max(peak, std::abs(static_cast<int>(sample)));
        }
        EXPECT_GT(peak, 3000) << "the tone is audible";
    }
}

// Reset drops what the decoder held: half a frame before it must not be
// glued to the frames after it.
TEST(AcmDecoderTest, ResetDropsHeldBytes) {
    CMp3FrameInfo info;
    const auto frames = Mp3Frames(info);
    ASSERT_GT(frames.size(), 20u);
    CAcmDecoder decoder;
    CRadioFailure failure;
    ASSERT_TRUE(decoder.Open(ConfigOf(info), failure));
    CCollect sink;
    ASSERT_TRUE(decoder.Decode(frames[5].data(), frames[5].size() / 2, sink, failure));
    decoder.Reset();
    EXPECT_EQ(decoder.Held(), 0u);
    for (size_t i = 10; i < frames.size(); ++i) {
        ASSERT_TRUE(decoder.Decode(frames[i].data(), frames[i].size(), sink, failure));
    }
    ASSERT_TRUE(decoder.Drain(sink, failure));
    EXPECT_GT(sink.pcm.size(), 0u);
}

// The output takes what fits without blocking, counts what is queued and
// opens again for another format.
TEST(WaveOutputTest, WritesWithoutBlockingAndReopensForAnotherFormat) {
    CWaveOutControl control;
    CWaveOutput output(control);
    CRadioFailure failure;
    ASSERT_TRUE(output.Open({44100, 2}, failure));
    EXPECT_EQ(output.Format(), (CPcmFormat{44100, 2}));
    // Two seconds is more than the ring holds: the write takes part of it
    // and returns at once.
    std::vector<int16_t> pcm(44100 * 2 * 2, 1000);
    const auto start = Clock::now();
    const size_t taken = output.Write(pcm.data(), pcm.size());
    EXPECT_LT(MsSince(start), 200);
    EXPECT_GT(taken, 0u);
    EXPECT_LE(taken, 44100u * 2 * CWaveOutput::kBuffers * CWaveOutput::kBufferMs / 1000);
    EXPECT_GT(output.QueuedMs(), 0);
    EXPECT_LE(output.QueuedMs(),
              static_cast<int64_t>(CWaveOutput::kBuffers * CWaveOutput::kBufferMs));
    ASSERT_TRUE(output.Open({22050, 1}, failure));
    EXPECT_EQ(output.Format(), (CPcmFormat{22050, 1}));
    EXPECT_EQ(output.QueuedMs(), 0);
    EXPECT_GT(output.Write(pcm.data(), 22050 / 10), 0u);
    output.Flush();
    EXPECT_GT(output.QueuedMs(), 0);
    // A cancel silences at once: nothing more is taken.
    control.Cancel();
    EXPECT_EQ(output.Write(pcm.data(), pcm.size()), 0u);
    output.Close();
    EXPECT_FALSE(output.IsOpen());
    EXPECT_FALSE(output.Open({0, 2}, failure));
}

}  // namespace
}  // namespace radio
