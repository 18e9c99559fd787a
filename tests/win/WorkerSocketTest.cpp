// The connection layer with real sockets: a CServerSocket on a free port,
// plain blocking clients as the peers, and a host that records what the
// commands did. The shared limits are lowered per test where reaching the
// real ones would only cost time.
#include "AllocationFailure.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "net/ConnectionLimits.h"
#include "net/EventSender.h"
#include "net/ServerSocket_win.h"
#include "net/WorkerSocket_win.h"

namespace {

using namespace std::chrono_literals;

class CTestHost : public IConnectionHost {
public:
    ConnectionRegistry& Connections() override { return m_connections; }
    void OnLastConnectionClosed() override { ++m_nLastCloses; }
    void OnServerSocketClosed() override {}

    bool HasPlayerDialog() override { return true; }
    void PlayUrl(const std::u16string& url) override {
        m_commands.push_back(u"play " + url);
        if (m_onPlay) {
            m_onPlay();
        }
    }
    void StopPlayback() override { m_commands.push_back(u"stop"); }
    void ApplyVolume(const std::u16string&) override {}
    void ShowTouchKeyboard() override {}
    void StylusShow() override {}
    void StylusHide() override {}
    void OpenUrl(const std::u16string& url) override { m_commands.push_back(u"open " + url); }
    void LauncherMinimize() override {}
    void LauncherClose() override {}

    ConnectionRegistry m_connections;
    int m_nLastCloses = 0;
    std::vector<std::u16string> m_commands;
    std::function<void()> m_onPlay;
};

std::vector<uint8_t> CommandPayload(const std::u16string& type, const std::u16string& data,
                                    size_t padding = 0) {
    CAmfMessage message;
    auto root = std::make_unique<CAmfValue>(&message);
    root->m_nType = AMF_ARRAY;
    root->m_bHasMembers = 1;
    auto text = [&message](const std::u16string& value) {
        auto node = std::make_unique<CAmfValue>(&message);
        node->m_nType = AMF_STRING;
        node->m_strValue = value;
        return node;
    };
    root->SetMember(u"type", text(type));
    root->SetMember(u"data", text(data));
    if (padding > 0) {
        root->SetMember(u"padding", text(std::u16string(padding, u'x')));
    }
    message.AddValue(std::move(root));
    std::vector<uint8_t> bytes;
    message.Encode(bytes);
    return bytes;
}

std::vector<char> InboundFrame(const std::vector<uint8_t>& payload) {
    std::vector<char> frame(4, static_cast<char>(0xDA));
    const auto length = static_cast<uint32_t>(payload.size());
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<char>(length >> shift));
    }
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::vector<char> Text(const std::string& text) {
    return std::vector<char>(text.begin(), text.end());
}

// True once the peer sees the connection end: end of stream or a reset.
bool PeerSeesClose(SOCKET client) {
    u_long nonBlocking = 1;
    ::ioctlsocket(client, FIONBIO, &nonBlocking);
    char buffer[4096];
    for (;;) {
        const int n = ::recv(client, buffer, sizeof(buffer), 0);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            return ::WSAGetLastError() != WSAEWOULDBLOCK;
        }
    }
}

// Sends while the connections are served: a blocking send of more than the
// kernels buffer would wait for reads that only the message loop makes.
// False if the connection ended first.
bool Feed(SOCKET client, const std::vector<char>& data) {
    u_long nonBlocking = 1;
    ::ioctlsocket(client, FIONBIO, &nonBlocking);
    size_t sent = 0;
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    while (sent < data.size() && ::GetTickCount64() < deadline) {
        const int chunk = static_cast<int>(std::min<size_t>(data.size() - sent, 65536));
        const int n = ::send(client, data.data() + sent, chunk, 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (::WSAGetLastError() == WSAEWOULDBLOCK) {
            PumpPosted();
        } else {
            return false;
        }
    }
    return sent == data.size();
}

class WorkerSocketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(AfxSocketInit()); }

    void SetUp() override {
        CConnectionLimits& limits = SharedConnectionLimits();
        m_saved = {limits.partial.GetLimit(), limits.unsent.GetLimit(), limits.nMaxConnections};
        ASSERT_EQ(limits.partial.GetUsed(), 0u);
        ASSERT_EQ(limits.unsent.GetUsed(), 0u);
        ASSERT_TRUE(m_server.Create(0, SOCK_STREAM, kAllSocketEvents, L"127.0.0.1"));
        ASSERT_TRUE(m_server.Listen());
        m_nPort = PortOf(m_server);
    }

    void TearDown() override {
        m_clients.clear();
        EXPECT_TRUE(PumpUntil([this] { return m_host.m_connections.empty(); }));
        PumpPosted();
        // Every connection object is gone, and with it what it held.
        CConnectionLimits& limits = SharedConnectionLimits();
        EXPECT_EQ(limits.partial.GetUsed(), 0u);
        EXPECT_EQ(limits.unsent.GetUsed(), 0u);
        limits.partial.SetLimit(m_saved.partial);
        limits.unsent.SetLimit(m_saved.unsent);
        limits.nMaxConnections = m_saved.nMaxConnections;
        limits.clock = &std::chrono::steady_clock::now;
    }

    // Connects a client and waits until its connection is registered.
    SOCKET Connect() {
        const size_t before = m_host.m_connections.size();
        m_clients.push_back(ConnectClient(m_nPort));
        EXPECT_TRUE(m_clients.back());
        EXPECT_TRUE(PumpUntil([&] { return m_host.m_connections.size() == before + 1; }));
        return m_clients.back().Get();
    }

    bool Registered(size_t count) {
        return PumpUntil([&] { return m_host.m_connections.size() == count; });
    }

    struct {
        size_t partial;
        size_t unsent;
        size_t nMaxConnections;
    } m_saved{};
    CTestHost m_host;
    CServerSocket m_server{&m_host};
    UINT m_nPort = 0;
    std::vector<CSocketHandle> m_clients;
};

// What a page in a browser can make a browser send to the port, its body a
// valid frame: none of it may run, and the connection ends as a closed one
// does (the last one ending tells the host so).
TEST_F(WorkerSocketTest, ForeignRequestEndsTheConnectionAndRunsNothing) {
    std::vector<char> frame = InboundFrame(CommandPayload(u"getURL", u"C:\\windows\\calc.exe"));
    std::vector<char> post =
        Text("POST / HTTP/1.1\r\nHost: 127.0.0.1:33645\r\nContent-Length: " +
             std::to_string(frame.size()) + "\r\nContent-Type: text/plain;charset=UTF-8\r\n\r\n");
    post.insert(post.end(), frame.begin(), frame.end());
    const std::vector<char> upgrade = Text(
        "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:33645\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n");
    for (const auto& request : {post, upgrade}) {
        const SOCKET client = Connect();
        ASSERT_TRUE(SendAll(client, request));
        ASSERT_TRUE(SendAll(client, frame));  // a frame after it is not read either
        EXPECT_TRUE(Registered(0));
        EXPECT_TRUE(PumpUntil([&] { return PeerSeesClose(client); }));
        PumpPosted();
        EXPECT_TRUE(m_host.m_commands.empty());
        m_clients.clear();
    }
    EXPECT_EQ(m_host.m_nLastCloses, 2);

    // With a UI connected the helper goes on serving it.
    const SOCKET ui = Connect();
    const SOCKET page = Connect();
    ASSERT_TRUE(SendAll(page, post));
    EXPECT_TRUE(Registered(1));
    ASSERT_TRUE(SendAll(ui, InboundFrame(CommandPayload(u"getURL", u"http://example.test/"))));
    EXPECT_TRUE(PumpUntil([&] { return !m_host.m_commands.empty(); }));
    EXPECT_EQ(m_host.m_commands, std::vector<std::u16string>{u"open http://example.test/"});
    EXPECT_EQ(m_host.m_nLastCloses, 2);
}

// Every accepted connection sends without Nagle's delay: we gather frames
// into one send ourselves, and a UI that only listens acknowledges late.
TEST_F(WorkerSocketTest, AcceptedConnectionsSendWithoutDelay) {
    Connect();
    Connect();
    ASSERT_EQ(m_host.m_connections.size(), 2u);
    for (const auto& [id, pWorker] : m_host.m_connections) {
        BOOL noDelay = FALSE;
        int size = sizeof(noDelay);
        ASSERT_EQ(::getsockopt(pWorker->m_hSocket, IPPROTO_TCP, TCP_NODELAY,
                               reinterpret_cast<char*>(&noDelay), &size),
                  0);
        EXPECT_TRUE(noDelay);
    }
}

// The 65th connection is accepted and closed at once; the 64 served ones
// and the registry do not notice.
TEST_F(WorkerSocketTest, ConnectionsPastTheCapAreClosedAtOnce) {
    ASSERT_EQ(SharedConnectionLimits().nMaxConnections, 64u);
    for (int i = 0; i < 64; ++i) {
        Connect();
    }
    ConnectionRegistry before = m_host.m_connections;
    CSocketHandle extra = ConnectClient(m_nPort);
    ASSERT_TRUE(extra);
    EXPECT_TRUE(PumpUntil([&] { return PeerSeesClose(extra.Get()); }));
    EXPECT_EQ(m_host.m_connections, before);
    // A served connection still runs its commands; once one closes, a new
    // one is served again.
    ASSERT_TRUE(SendAll(m_clients.back().Get(), InboundFrame(CommandPayload(u"wmpStop", u""))));
    EXPECT_TRUE(PumpUntil([&] { return m_host.m_commands.size() == 1; }));
    m_clients.erase(m_clients.begin());
    EXPECT_TRUE(Registered(63));
    Connect();
    EXPECT_EQ(m_host.m_nLastCloses, 0);
}

// A connection whose object cannot be made is closed at once and leaves
// the registry as it was: no empty entry counts against the cap, and the
// connection already served goes on as if nothing happened.
TEST_F(WorkerSocketTest, ConnectionWithoutAnObjectIsClosedAndLeavesTheRegistryAlone) {
    Connect();
    const ConnectionRegistry before = m_host.m_connections;
    {
        CAllocationFailure failure(sizeof(CWorkerSocket));
        CSocketHandle refused = ConnectClient(m_nPort);
        ASSERT_TRUE(refused);
        EXPECT_TRUE(PumpUntil([&] { return PeerSeesClose(refused.Get()); }));
        EXPECT_GE(CAllocationFailure::GetFailures(), 1);
    }
    EXPECT_EQ(m_host.m_connections, before);
    EXPECT_EQ(m_host.m_nLastCloses, 0);
    ASSERT_TRUE(SendAll(m_clients.back().Get(), InboundFrame(CommandPayload(u"wmpStop", u""))));
    EXPECT_TRUE(PumpUntil([&] { return m_host.m_commands.size() == 1; }));
    Connect();
    EXPECT_TRUE(Registered(2));
}

// Partial payloads of all connections share one budget: the connection
// whose payload would pass it is closed, the one before it finishes its
// frame and is served.
TEST_F(WorkerSocketTest, PartialPayloadPastTheSharedBudgetClosesThatConnection) {
    SharedConnectionLimits().partial.SetLimit(100 * 1024);
    const SOCKET first = Connect();
    const SOCKET second = Connect();
    const std::vector<char> big = InboundFrame(CommandPayload(u"wmpPlay", u"a", 80000));
    const std::vector<char> other = InboundFrame(CommandPayload(u"wmpPlay", u"b", 80000));
    // The first has storage for its whole payload before the second begins.
    ASSERT_TRUE(Feed(first, std::vector<char>(big.begin(), big.begin() + 70000)));
    EXPECT_TRUE(
        PumpUntil([&] { return SharedConnectionLimits().partial.GetUsed() == big.size() - 8; }));
    Feed(second, std::vector<char>(other.begin(), other.begin() + 70000));
    EXPECT_TRUE(Registered(1));
    EXPECT_TRUE(PumpUntil([&] { return PeerSeesClose(second); }));
    EXPECT_LE(SharedConnectionLimits().partial.GetUsed(), 100u * 1024);

    ASSERT_TRUE(Feed(first, std::vector<char>(big.begin() + 70000, big.end())));
    EXPECT_TRUE(PumpUntil([&] { return m_host.m_commands.size() == 1; }));
    EXPECT_EQ(m_host.m_commands, std::vector<std::u16string>{u"play a"});
    EXPECT_EQ(m_host.m_nLastCloses, 0);
}

// Counts the whole frames a peer receives until the connection ends or
// count have come; the connections are served meanwhile.
int ReceiveFrames(SOCKET client, int count) {
    u_long nonBlocking = 1;
    ::ioctlsocket(client, FIONBIO, &nonBlocking);
    std::vector<uint8_t> bytes;
    int frames = 0;
    char buffer[65536];
    PumpUntil(
        [&] {
            int n = 0;
            while ((n = ::recv(client, buffer, sizeof(buffer), 0)) > 0) {
                bytes.insert(bytes.end(), buffer, buffer + n);
            }
            while (bytes.size() >= 8 && bytes[0] == 0xDA && bytes[3] == 0xDA) {
                const size_t length =
                    static_cast<size_t>(bytes[4]) << 24 | bytes[5] << 16 | bytes[6] << 8 | bytes[7];
                if (bytes.size() < 8 + length) {
                    break;
                }
                bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(8 + length));
                ++frames;
            }
            return frames == count || n == 0;
        },
        30000);
    return bytes.empty() ? frames : -1;
}

// Peers that stop reading share one budget for what waits to be sent: the
// connection whose frame would pass it is closed and its bytes freed; the
// others keep every frame queued for them, whole and in order.
TEST_F(WorkerSocketTest, UnsentBytesPastTheSharedBudgetCloseThatConnection) {
    constexpr size_t kLimit = 3u << 20;
    SharedConnectionLimits().unsent.SetLimit(kLimit);
    std::vector<SOCKET> peers = {Connect(), Connect(), Connect()};
    CAmfMessage message;
    auto root = std::make_unique<CAmfValue>(&message);
    root->m_nType = AMF_STRING;
    root->m_strValue = std::u16string(256 * 1024, u'e');
    message.AddValue(std::move(root));
    int events = 0;
    while (m_host.m_connections.size() == 3 && events < 400) {
        BroadcastEvent(m_host.m_connections, message);
        ++events;
        EXPECT_LE(SharedConnectionLimits().unsent.GetUsed(), kLimit);
    }
    // Which connection passes the budget first depends on how much each
    // socket's kernel buffer took; when the first one closed held little
    // unsent, a second can pass it in the same broadcast. Never all of them.
    const size_t kept = m_host.m_connections.size();
    ASSERT_GE(kept, 1u) << events << " events";
    ASSERT_LE(kept, 2u) << events << " events";
    EXPECT_GT(events, 1);
    EXPECT_LE(SharedConnectionLimits().unsent.GetUsed(), kLimit);
    // Every event reached the two that stay, the last one included.
    int closed = 0;
    for (SOCKET peer : peers) {
        const int frames = ReceiveFrames(peer, events);
        if (frames != events) {
            ++closed;
            EXPECT_TRUE(PeerSeesClose(peer));
        }
    }
    EXPECT_EQ(closed, static_cast<int>(peers.size() - kept));
    EXPECT_EQ(m_host.m_connections.size(), kept);
    EXPECT_EQ(m_host.m_nLastCloses, 0);
}

// A frame of which nothing more comes for 60 s ends its connection; an idle
// connection between frames is left alone however long it stays quiet.
TEST_F(WorkerSocketTest, StalledFrameClosesItsConnection) {
    auto now = std::chrono::steady_clock::now();
    SharedConnectionLimits().clock = [&now] { return now; };
    const SOCKET stalled = Connect();
    const SOCKET idle = Connect();
    const std::vector<char> frame = InboundFrame(CommandPayload(u"wmpStop", u""));
    // The header and three payload bytes, all taken (the payload is stored).
    ASSERT_TRUE(SendAll(stalled, std::vector<char>(frame.begin(), frame.begin() + 11)));
    EXPECT_TRUE(PumpUntil([] { return SharedConnectionLimits().partial.GetUsed() >= 3; }));
    ASSERT_TRUE(SendAll(idle, frame));
    EXPECT_TRUE(PumpUntil([&] { return m_host.m_commands.size() == 1; }));

    now += 59s;
    for (const auto& entry : m_host.m_connections) {
        entry.second->OnStallCheck();
    }
    EXPECT_TRUE(Registered(2));
    now += 1s;
    // The connection's own timer notices, well before a minute of real time.
    EXPECT_TRUE(Registered(1));
    EXPECT_TRUE(PumpUntil([&] { return PeerSeesClose(stalled); }));
    now += 3600s;
    ::Sleep(CWorkerSocket::kStallCheckPeriodMs + 200);
    PumpPosted();
    EXPECT_TRUE(Registered(1));
    ASSERT_TRUE(SendAll(idle, frame));
    EXPECT_TRUE(PumpUntil([&] { return m_host.m_commands.size() == 2; }));
}

// However a handler fails for want of memory, the connection ends cleanly:
// unregistered (the last one telling the host), its object deleted (what it
// held is given back), and no other connection touched.
struct CFailureCase {
    const char* name;
    // Sets up the failure on the host; gets the client and the connection.
    std::function<void(CTestHost&, SOCKET)> arrange;
    // What the client sends to set it off.
    std::vector<char> trigger;
};

std::vector<CFailureCase> FailureCases() {
    const std::vector<char> play = InboundFrame(CommandPayload(u"wmpPlay", u"x"));
    std::vector<char> announced4MiB = {'\xDA', '\xDA', '\xDA', '\xDA', 0, 0, 0x40, 0};
    announced4MiB.resize(announced4MiB.size() + 300000, 'p');
    return {
        {"ThrownByACommand",
         [](CTestHost& host, SOCKET) { host.m_onPlay = [] { throw std::bad_alloc(); }; }, play},
        {"GrowingTheReceiveBuffer", [](CTestHost&, SOCKET) {}, announced4MiB},
        {"QueueingAnEventInsideACommand",
         [](CTestHost& host, SOCKET) {
             host.m_onPlay = [&host] {
                 const std::vector<uint8_t> event(2 << 20, 0x06);
                 CWorkerSocket* pWorker = host.m_connections.begin()->second;
                 CAllocationFailure failure(event.size());
                 pWorker->SendFrame(event);
                 EXPECT_EQ(CAllocationFailure::GetFailures(), 1);
                 // Ended, but the command still runs on it: not deleted yet.
                 EXPECT_TRUE(host.m_connections.empty());
                 EXPECT_GT(SharedConnectionLimits().partial.GetUsed(), 0u);
             };
         },
         play},
        {"PeerClosingInsideACommandsMessageLoop",
         [](CTestHost& host, SOCKET client) {
             host.m_onPlay = [&host, client] {
                 ::shutdown(client, SD_BOTH);
                 EXPECT_TRUE(PumpUntil([&host] { return host.m_connections.empty(); }));
                 EXPECT_GT(SharedConnectionLimits().partial.GetUsed(), 0u);
             };
         },
         play},
    };
}

TEST_F(WorkerSocketTest, AllocationFailureEndsTheConnectionCleanly) {
    // The receive buffer's growth reaches this after a few chunks.
    constexpr size_t kFailFrom = 128 * 1024;
    for (const CFailureCase& c : FailureCases()) {
        SCOPED_TRACE(c.name);
        m_host.m_onPlay = nullptr;
        const SOCKET client = Connect();
        c.arrange(m_host, client);
        {
            // Only the receive buffer's case needs the failure armed from
            // outside; the others arm it (or throw) inside the command.
            std::unique_ptr<CAllocationFailure> failure;
            if (c.trigger.size() > kFailFrom) {
                failure = std::make_unique<CAllocationFailure>(kFailFrom);
            }
            Feed(client, c.trigger);
            EXPECT_TRUE(Registered(0));
            if (failure) {
                EXPECT_EQ(CAllocationFailure::GetFailures(), 1);
            }
        }
        EXPECT_TRUE(PumpUntil([] { return SharedConnectionLimits().partial.GetUsed() == 0; }));
        EXPECT_EQ(SharedConnectionLimits().unsent.GetUsed(), 0u);
        m_clients.clear();
    }
    EXPECT_EQ(m_host.m_nLastCloses, 4);
    // The process is fine: a new connection is served.
    m_host.m_onPlay = nullptr;
    ASSERT_TRUE(SendAll(Connect(), InboundFrame(CommandPayload(u"wmpStop", u""))));
    EXPECT_TRUE(PumpUntil([&] { return m_host.m_commands.back() == u"stop"; }));
}

}  // namespace
