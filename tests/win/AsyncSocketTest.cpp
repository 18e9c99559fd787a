#include "TestSupport.h"

#include <gtest/gtest.h>

#include <ws2tcpip.h>

#include <algorithm>
#include <memory>
#include <set>

namespace {

// Objects alive now; a notification for any other is a use after free.
std::set<const CAsyncSocket*> g_liveSockets;
int g_nCallsOnDeadSockets = 0;

// What a test socket saw; outlives the socket, which may delete itself.
// Messages dispatched so far by the test's pump: its done() predicate runs
// after each one, and counts them. OnReceive calls that see the same count
// ran in a row, inside one notification.
int g_nDispatches = 0;

void CountedPump(DWORD milliseconds) {
    PumpUntil(
        [] {
            ++g_nDispatches;
            return false;
        },
        milliseconds);
}

struct CSocketRecord {
    std::vector<int> passMarks;        // g_nMarksSeen at each OnReceive
    std::vector<size_t> flushedAfter;  // nReceives at each OnDeferredSend
    std::vector<bool> deferred;        // whether each OnReceive's DeferSend held
    std::string events;                // A accept, R bytes read, C close, F deferred send
    std::vector<char> data;
    int nReceives = 0;
    int nSends = 0;
    bool bDeleted = false;
    bool bWaited = false;
    bool bFlushedInWait = false;
};

class CTestSocket : public CAsyncSocket {
public:
    CTestSocket() { g_liveSockets.insert(this); }
    ~CTestSocket() override { g_liveSockets.erase(this); }

    int m_nReadSize = 4096;
    // Reads nothing until this many bytes wait, like a reader of fixed headers.
    u_long m_nMinAvailable = 0;
    int m_nDeleteOnReceive = 0;      // deletes itself in that OnReceive (1-based)
    bool m_bDeferInReceive = false;  // asks for a deferred send in each OnReceive
    // After the first deferral that holds, runs a message loop of its own
    // until the deferred send comes (or a second passes), as a command that
    // waits for another program would.
    bool m_bWaitAfterDefer = false;
    bool m_bDeleteOnClose = false;
    std::function<void()> m_onAccept;
    std::function<void()> m_onSend;
    // Told of each read's result, inside OnReceive, right after the read.
    std::function<void(int)> m_onRead;
    std::function<void()> m_onDeferredSend;
    std::shared_ptr<CSocketRecord> m_pRecord = std::make_shared<CSocketRecord>();

protected:
    static bool Alive(const CAsyncSocket* pSocket) {
        if (g_liveSockets.count(pSocket) != 0) {
            return true;
        }
        ++g_nCallsOnDeadSockets;
        return false;
    }
    void OnAccept(int) override {
        if (Alive(this) && m_onAccept) {
            m_pRecord->events += 'A';
            m_onAccept();
        }
    }
    void OnReceive(int) override {
        if (!Alive(this)) {
            return;
        }
        CSocketRecord& record = *m_pRecord;
        ++record.nReceives;
        u_long available = 0;
        ::ioctlsocket(m_hSocket, FIONREAD, &available);
        if (available >= m_nMinAvailable) {
            std::vector<char> buffer(static_cast<size_t>(m_nReadSize));
            const int n = Receive(buffer.data(), m_nReadSize);
            if (m_onRead) {
                m_onRead(n);
            }
            if (n > 0) {
                record.data.insert(record.data.end(), buffer.begin(), buffer.begin() + n);
                record.events += 'R';
            }
        }
        record.passMarks.push_back(g_nDispatches);
        record.deferred.push_back(m_bDeferInReceive && DeferSend());
        if (m_bWaitAfterDefer && record.deferred.back() && !record.bWaited) {
            record.bWaited = true;
            record.bFlushedInWait =
                PumpUntil([&record] { return !record.flushedAfter.empty(); }, 1000);
        }
        if (record.nReceives == m_nDeleteOnReceive) {
            record.bDeleted = true;
            delete this;
        }
    }
    void OnDeferredSend() override {
        if (Alive(this)) {
            m_pRecord->events += 'F';
            m_pRecord->flushedAfter.push_back(m_pRecord->nReceives);
            if (m_onDeferredSend) {
                m_onDeferredSend();
            }
        }
    }

public:
    using CAsyncSocket::DeferSend;
    void OnSend(int) override {
        if (Alive(this)) {
            ++m_pRecord->nSends;
            if (m_onSend) {
                m_onSend();
            }
        }
    }
    void OnClose(int) override {
        if (!Alive(this)) {
            return;
        }
        m_pRecord->events += 'C';
        if (m_bDeleteOnClose) {
            m_pRecord->bDeleted = true;
            delete this;
        }
    }
};

std::vector<char> Pattern(size_t size) {
    std::vector<char> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 31 + i / 251) & 0xFF);
    }
    return data;
}

class AsyncSocketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(AfxSocketInit()); }

    void SetUp() override {
        g_nCallsOnDeadSockets = 0;
        // All events, as the program registers its listener: accepted sockets
        // inherit them until Accept registers them on their own.
        ASSERT_TRUE(m_listener.Create(0, SOCK_STREAM, kAllSocketEvents, L"127.0.0.1"));
        ASSERT_TRUE(m_listener.Listen());
        m_nPort = PortOf(m_listener);
        m_listener.m_onAccept = [this] {
            m_pWorker = new CTestSocket;
            m_pWorkerRecord = m_pWorker->m_pRecord;
            if (m_configureWorker) {
                m_configureWorker(*m_pWorker);
            }
            EXPECT_TRUE(m_listener.Accept(*m_pWorker));
        };
    }

    void TearDown() override {
        if (m_pWorker != nullptr && !m_pWorkerRecord->bDeleted) {
            delete m_pWorker;
        }
        PumpPosted();
        EXPECT_EQ(g_nCallsOnDeadSockets, 0);
        // Accepted sockets start out on the listener's registration; what
        // arrives for them there must not reach the listener.
        const CSocketRecord& listener = *m_listener.m_pRecord;
        EXPECT_EQ(listener.events.find_first_not_of('A'), std::string::npos) << listener.events;
        EXPECT_EQ(listener.nReceives + listener.nSends, 0);
    }

    bool WaitForWorker() {
        return PumpUntil([this] { return m_pWorker != nullptr; });
    }

    CTestSocket m_listener;
    UINT m_nPort = 0;
    std::function<void(CTestSocket&)> m_configureWorker;
    CTestSocket* m_pWorker = nullptr;  // deletes itself in some tests
    std::shared_ptr<CSocketRecord> m_pWorkerRecord;
};

struct CReceiveCase {
    const char* name;
    size_t nBytes;
    int nReadSize;
    bool bPeerCloses;
    bool bPeerDoneBeforeAccept;
    int nDeleteOnReceive;  // the worker deletes itself in that OnReceive
    bool bDeleteOnClose;
    size_t nBytesExpected;
    size_t nReadAhead = 0;  // the worker's read-ahead buffer; 0: none
};

class AsyncSocketReceiveTest : public AsyncSocketTest,
                               public ::testing::WithParamInterface<CReceiveCase> {};

TEST_P(AsyncSocketReceiveTest, BytesArriveInOrderThenOneClose) {
    const CReceiveCase& c = GetParam();
    m_configureWorker = [&c](CTestSocket& worker) {
        worker.m_nReadSize = c.nReadSize;
        worker.m_nDeleteOnReceive = c.nDeleteOnReceive;
        worker.m_bDeleteOnClose = c.bDeleteOnClose;
        EXPECT_TRUE(worker.SetReadAhead(c.nReadAhead));
    };
    CSocketHandle client = ConnectClient(m_nPort);
    ASSERT_TRUE(client);
    if (!c.bPeerDoneBeforeAccept) {
        ASSERT_TRUE(WaitForWorker());
    }
    const std::vector<char> data = Pattern(c.nBytes);
    ASSERT_TRUE(SendAll(client.Get(), data));
    if (c.bPeerCloses) {
        client.Close();
    }
    const bool bExpectClose = c.bPeerCloses && c.nDeleteOnReceive == 0;
    const bool bDone = PumpUntil(
        [&] {
            if (!m_pWorkerRecord) {
                return false;
            }
            const CSocketRecord& record = *m_pWorkerRecord;
            return record.data.size() == c.nBytesExpected &&
                   (!bExpectClose || record.events.find('C') != std::string::npos) &&
                   record.bDeleted == (c.nDeleteOnReceive != 0 || c.bDeleteOnClose);
        },
        10000);
    ASSERT_TRUE(m_pWorkerRecord);
    // Whatever is still queued for a closed or deleted socket goes nowhere.
    ASSERT_TRUE(PumpPosted());
    ASSERT_TRUE(PumpPosted());
    const CSocketRecord& record = *m_pWorkerRecord;
    EXPECT_TRUE(bDone) << record.data.size() << " bytes, events " << record.events;
    EXPECT_TRUE(std::equal(record.data.begin(), record.data.end(), data.begin(),
                           data.begin() + static_cast<ptrdiff_t>(c.nBytesExpected)));
    EXPECT_EQ(record.data.size(), c.nBytesExpected);
    EXPECT_EQ(std::count(record.events.begin(), record.events.end(), 'C'), bExpectClose ? 1 : 0);
    if (bExpectClose) {
        EXPECT_EQ(record.events.back(), 'C') << record.events;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AsyncSocket, AsyncSocketReceiveTest,
    ::testing::Values(
        // Needs Winsock to re-post FD_READ after each partial read.
        CReceiveCase{"ReadsRepostedWhileOpen", 20, 3, false, false, 0, false, 20},
        CReceiveCase{"ThreeBytesThenClose", 100, 3, true, false, 0, false, 100},
        CReceiveCase{"LargeChunksThenClose", 100000, 4096, true, false, 0, false, 100000},
        // Notifications raised before Accept re-registers the socket.
        CReceiveCase{"PeerDoneBeforeAccept", 100, 3, true, true, 0, false, 100},
        CReceiveCase{"DeletedInOnClose", 30, 3, true, false, 0, true, 30},
        CReceiveCase{"DeletedInOnReceiveWithMoreQueued", 30, 3, true, false, 2, false, 6},
        // Through a read-ahead buffer: reads far smaller than what one recv
        // takes, reads larger than the buffer, a peer gone before the accept,
        // and a reader deleted with bytes still in the buffer.
        CReceiveCase{"ReadAheadSmallReadsThenClose", 100000, 3, true, false, 0, false, 100000,
                     65536},
        CReceiveCase{"ReadAheadSmallerThanReadsThenClose", 100000, 4096, true, false, 0, false,
                     100000, 10},
        CReceiveCase{"ReadAheadPeerDoneBeforeAccept", 100, 3, true, true, 0, false, 100, 65536},
        CReceiveCase{"ReadAheadDeletedWithBytesBuffered", 30, 3, true, false, 2, false, 6, 65536}),
    [](const auto& info) { return std::string(info.param.name); });

// Waits, without dispatching, until a notification for socket is first in
// the queue, and returns it.
bool WaitForQueuedNotification(SOCKET socket, MSG& msg) {
    const ULONGLONG deadline = ::GetTickCount64() + 5000;
    while (::GetTickCount64() < deadline) {
        if (::PeekMessageW(&msg, nullptr, WM_USER, 0x7FFF, PM_NOREMOVE) &&
            static_cast<SOCKET>(msg.wParam) == socket) {
            return true;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_POSTMESSAGE);
    }
    return false;
}

struct CEarlyCloseCase {
    const char* name;
    size_t nBytes;
    int nReadSize;
    u_long nMinAvailable;
    int nDeleteOnReceive;
    size_t nBytesExpected;
};

class AsyncSocketEarlyCloseTest : public AsyncSocketTest,
                                  public ::testing::WithParamInterface<CEarlyCloseCase> {};

// Windows may post FD_CLOSE while bytes are unread (Wine waits until they
// are read), so the close is posted here by hand behind the first FD_READ.
TEST_P(AsyncSocketEarlyCloseTest, UnreadBytesGoToOnReceiveFirst) {
    const CEarlyCloseCase& c = GetParam();
    m_configureWorker = [&c](CTestSocket& worker) {
        worker.m_nReadSize = c.nReadSize;
        worker.m_nMinAvailable = c.nMinAvailable;
        worker.m_nDeleteOnReceive = c.nDeleteOnReceive;
    };
    CSocketHandle client = ConnectClient(m_nPort);
    ASSERT_TRUE(WaitForWorker());
    ASSERT_TRUE(PumpPosted());
    ASSERT_TRUE(SendAll(client.Get(), Pattern(c.nBytes)));
    MSG msg{};
    ASSERT_TRUE(WaitForQueuedNotification(m_pWorker->m_hSocket, msg));
    ::PostMessageW(msg.hwnd, msg.message, msg.wParam, WSAMAKESELECTREPLY(FD_CLOSE, 0));

    const CSocketRecord& record = *m_pWorkerRecord;
    EXPECT_TRUE(
        PumpUntil([&] { return record.bDeleted || record.events.find('C') != std::string::npos; }));
    ASSERT_TRUE(PumpPosted());
    EXPECT_EQ(record.data.size(), c.nBytesExpected) << record.events;
    EXPECT_EQ(std::count(record.events.begin(), record.events.end(), 'C'),
              c.nDeleteOnReceive == 0 ? 1 : 0);
    if (c.nDeleteOnReceive == 0) {
        EXPECT_EQ(record.events.back(), 'C') << record.events;
    }
    EXPECT_LT(record.nReceives, 20);  // a reader that stops is not polled forever
}

INSTANTIATE_TEST_SUITE_P(
    AsyncSocket, AsyncSocketEarlyCloseTest,
    ::testing::Values(CEarlyCloseCase{"ReaderTakesEverything", 20, 3, 0, 0, 20},
                      // Waits for a header that never completes.
                      CEarlyCloseCase{"ReaderTakesNothing", 5, 8, 8, 0, 0},
                      // Deleted by the read that the close hands it.
                      CEarlyCloseCase{"ReaderDeletedWhileDraining", 20, 3, 0, 2, 6}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AsyncSocketTest, QueuedNotificationsDieWithClose) {
    CSocketHandle client = ConnectClient(m_nPort);
    ASSERT_TRUE(WaitForWorker());
    ASSERT_TRUE(PumpPosted());
    const SOCKET hOld = m_pWorker->m_hSocket;
    ASSERT_TRUE(SendAll(client.Get(), Pattern(10)));

    MSG msg{};
    ASSERT_TRUE(WaitForQueuedNotification(hOld, msg));

    m_pWorker->Close();
    EXPECT_FALSE(::PeekMessageW(&msg, msg.hwnd, msg.message, msg.message, PM_NOREMOVE));
    // On Windows a socket made now may well get the same handle value.
    CTestSocket successor;
    ASSERT_TRUE(successor.Create(0, SOCK_STREAM, kAllSocketEvents, L"127.0.0.1"));
    RecordProperty("HandleValueReused", successor.m_hSocket == hOld ? "yes" : "no");
    ASSERT_TRUE(PumpPosted());
    EXPECT_EQ(m_pWorkerRecord->nReceives, 0);
    EXPECT_EQ(successor.m_pRecord->nReceives, 0);
    EXPECT_EQ(successor.m_pRecord->events, "");
}

TEST_F(AsyncSocketTest, SendResumesOnSendAfterWouldBlock) {
    CSocketHandle client = ConnectClient(m_nPort);
    ASSERT_TRUE(WaitForWorker());
    u_long nonBlocking = 1;
    ASSERT_EQ(::ioctlsocket(client.Get(), FIONBIO, &nonBlocking), 0);

    // More than loopback buffers hold, so Send must hit would-block.
    const std::vector<char> data = Pattern(24 << 20);
    size_t nSent = 0;
    bool bWouldBlock = false;
    auto flush = [&] {
        while (nSent < data.size()) {
            const int chunk = static_cast<int>(std::min<size_t>(data.size() - nSent, 65536));
            const int n = m_pWorker->Send(data.data() + nSent, chunk);
            if (n <= 0) {
                bWouldBlock = bWouldBlock || CAsyncSocket::GetLastError() == WSAEWOULDBLOCK;
                return;
            }
            nSent += static_cast<size_t>(n);
        }
    };
    m_pWorker->m_onSend = flush;
    flush();
    EXPECT_TRUE(bWouldBlock);

    std::vector<char> received;
    received.reserve(data.size());
    std::vector<char> buffer(65536);
    const bool bDone = PumpUntil(
        [&] {
            int n = 0;
            while ((n = ::recv(client.Get(), buffer.data(), static_cast<int>(buffer.size()), 0)) >
                   0) {
                received.insert(received.end(), buffer.begin(), buffer.begin() + n);
            }
            return received.size() == data.size();
        },
        30000);
    EXPECT_TRUE(bDone) << received.size() << " of " << data.size();
    EXPECT_TRUE(received == data);
    EXPECT_GE(m_pWorkerRecord->nSends, 1);
}

// The longest run of OnReceive calls made within one notification.
size_t LongestPassRun(const std::vector<int>& marks) {
    size_t longest = 0;
    for (size_t i = 0, run = 0; i < marks.size(); ++i) {
        run = i > 0 && marks[i] == marks[i - 1] ? run + 1 : 1;
        longest = std::max(longest, run);
    }
    return longest;
}

struct CPassCase {
    const char* name;
    size_t nBytes;
    int nReadSize;
    u_long nMinAvailable;
    size_t nLongestRunMin;
    size_t nLongestRunMax;
};

class AsyncSocketPassTest : public AsyncSocketTest,
                            public ::testing::WithParamInterface<CPassCase> {};

TEST_P(AsyncSocketPassTest, PassesInARowAreBounded) {
    const CPassCase& c = GetParam();
    m_configureWorker = [&c](CTestSocket& worker) {
        worker.m_nReadSize = c.nReadSize;
        worker.m_nMinAvailable = c.nMinAvailable;
    };
    CSocketHandle client = ConnectClient(m_nPort);
    ASSERT_TRUE(WaitForWorker());
    ASSERT_TRUE(PumpPosted());
    const std::vector<char> data = Pattern(c.nBytes);
    ASSERT_TRUE(SendAll(client.Get(), data));
    const CSocketRecord& record = *m_pWorkerRecord;
    const size_t nExpected = c.nMinAvailable > c.nBytes ? 0 : c.nBytes;
    PumpUntil(
        [&] {
            ++g_nDispatches;
            return record.data.size() == nExpected;
        },
        20000);
    CountedPump(200);  // what is still queued, counted too
    EXPECT_EQ(record.data.size(), nExpected);
    EXPECT_TRUE(std::equal(record.data.begin(), record.data.end(), data.begin()));
    const size_t longest = LongestPassRun(record.passMarks);
    EXPECT_GE(longest, c.nLongestRunMin);
    EXPECT_LE(longest, c.nLongestRunMax);
}

INSTANTIATE_TEST_SUITE_P(
    AsyncSocket, AsyncSocketPassTest,
    ::testing::Values(
        // Far more waiting than one read takes: passes follow each other, but
        // the socket gives way after kMaxReadPasses of them.
        CPassCase{"ManyPiecesWaiting", 200000, 8, 0, 2, CAsyncSocket::kMaxReadPasses},
        CPassCase{"ChunksWaiting", 200000, 4096, 0, 2, CAsyncSocket::kMaxReadPasses},
        // A few pieces: all of them in one notification, and the read that
        // finds the socket empty ends it.
        CPassCase{"FewBytesWaiting", 12, 3, 0, 4, 5},
        // A reader that takes nothing is not asked again in a row.
        CPassCase{"ReaderTakesNothing", 5000, 8, 6000, 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Waits, without dispatching anything, until count bytes wait in socket.
bool WaitForPending(SOCKET socket, u_long count) {
    const ULONGLONG deadline = ::GetTickCount64() + 5000;
    u_long pending = 0;
    while (::ioctlsocket(socket, FIONREAD, &pending) == 0 && pending < count &&
           ::GetTickCount64() < deadline) {
        ::Sleep(1);
    }
    return pending >= count;
}

// Bytes that come while a streaming socket has its read notifications off,
// after its last read and before they are on again, must still be read:
// selecting FD_READ again does not announce them by itself.
TEST_F(AsyncSocketTest, BytesArrivingWhileReadsAreOffAreNotLeftUnread) {
    SOCKET hClient = INVALID_SOCKET;
    bool bTailSent = false;
    const std::vector<char> head = Pattern(4 * 4096);
    const std::vector<char> tail(10, 'T');
    m_configureWorker = [&](CTestSocket& worker) {
        worker.m_nReadSize = 4096;
        // The first read that finds the socket empty happens in passes in a
        // row, with notifications off; the peer's tail comes right after it.
        worker.m_onRead = [&](int n) {
            if (n < 4096 && !bTailSent) {
                bTailSent = true;
                EXPECT_TRUE(SendAll(hClient, tail));
            }
        };
    };
    CSocketHandle client = ConnectClient(m_nPort);
    hClient = client.Get();
    ASSERT_TRUE(WaitForWorker());
    ASSERT_TRUE(PumpPosted());
    ASSERT_TRUE(SendAll(client.Get(), head));
    ASSERT_TRUE(WaitForPending(m_pWorker->m_hSocket, static_cast<u_long>(head.size())));
    const CSocketRecord& record = *m_pWorkerRecord;
    PumpUntil([&] { return record.data.size() == head.size() + tail.size(); }, 3000);
    EXPECT_TRUE(bTailSent);
    EXPECT_EQ(record.data.size(), head.size() + tail.size());
}

TEST_F(AsyncSocketTest, DeferredSendComesOnceAfterTheNotification) {
    m_configureWorker = [](CTestSocket& worker) {
        worker.m_nReadSize = 8;
        worker.m_bDeferInReceive = true;
    };
    CSocketHandle client = ConnectClient(m_nPort);
    ASSERT_TRUE(WaitForWorker());
    ASSERT_TRUE(PumpPosted());
    // Outside a read notification there is nothing to wait for.
    EXPECT_FALSE(m_pWorker->DeferSend());
    ASSERT_TRUE(SendAll(client.Get(), Pattern(100000)));
    const CSocketRecord& record = *m_pWorkerRecord;
    PumpUntil(
        [&] {
            ++g_nDispatches;
            return record.data.size() == 100000;
        },
        20000);
    CountedPump(200);
    ASSERT_EQ(record.data.size(), 100000u);
    // Passes in a row held their sends back, a lone pass did not; each run
    // that held any got one deferred send, after its last pass.
    const std::vector<int>& marks = record.passMarks;
    std::vector<size_t> runEnds;  // nReceives after the last pass of a holding run
    bool bRunHeld = false;
    for (size_t i = 0; i < marks.size(); ++i) {
        const bool bFirst = i == 0 || marks[i] != marks[i - 1];
        const bool bLast = i + 1 == marks.size() || marks[i + 1] != marks[i];
        bRunHeld = (bFirst ? false : bRunHeld) || record.deferred[i];
        if (bFirst && bLast) {
            EXPECT_FALSE(record.deferred[i]) << "pass " << i;
        }
        if (bLast && bRunHeld) {
            runEnds.push_back(i + 1);
        }
    }
    EXPECT_FALSE(runEnds.empty());
    EXPECT_EQ(record.flushedAfter, runEnds);
}

// A command that waits in a message loop of its own must not hold back what
// the passes before it queued until it returns.
TEST_F(AsyncSocketTest, DeferredSendLeavesFromANestedMessageLoop) {
    m_configureWorker = [](CTestSocket& worker) {
        worker.m_nReadSize = 8;
        worker.m_bDeferInReceive = true;
        worker.m_bWaitAfterDefer = true;
    };
    CSocketHandle client = ConnectClient(m_nPort);
    ASSERT_TRUE(WaitForWorker());
    ASSERT_TRUE(PumpPosted());
    ASSERT_TRUE(SendAll(client.Get(), Pattern(10000)));
    const CSocketRecord& record = *m_pWorkerRecord;
    PumpUntil([&] { return record.data.size() == 10000; }, 10000);
    ASSERT_TRUE(PumpPosted());
    EXPECT_EQ(record.data.size(), 10000u);
    ASSERT_TRUE(record.bWaited);
    EXPECT_TRUE(record.bFlushedInWait);
}

// Two accepted connections: a reader whose every read queues a frame for
// the other, a listener, as a command's event goes to every UI.
class AsyncSocketHoldTest : public AsyncSocketTest {
protected:
    void SetUp() override {
        AsyncSocketTest::SetUp();
        m_listener.m_onAccept = [this] {
            auto pWorker = std::make_unique<CTestSocket>();
            EXPECT_TRUE(m_listener.Accept(*pWorker));
            m_workers.push_back(std::move(pWorker));
        };
    }
    void TearDown() override {
        m_workers.clear();
        AsyncSocketTest::TearDown();
    }

    // Connects the listeners' clients, then the reader's; false if one was
    // not accepted. By default each read queues a frame for the first
    // listener.
    bool ConnectBoth(size_t nListeners = 1) {
        for (size_t i = 0; i <= nListeners; ++i) {
            m_clients.push_back(ConnectClient(m_nPort));
            if (!PumpUntil([this, i] { return m_workers.size() == i + 1; })) {
                return false;
            }
        }
        if (!PumpPosted()) {
            return false;
        }
        Listener().m_onDeferredSend = [this] { m_releasedAfter.push_back(m_held.size()); };
        Reader().m_nReadSize = 1;
        Reader().m_onRead = [this](int n) {
            if (n > 0) {
                m_held.push_back(Listener().DeferSend(m_nBytesPerFrame));
            }
        };
        m_readerClient = m_clients.back().Get();
        return Reader().SetReadAhead(65536);
    }

    CTestSocket& Listener(size_t i = 0) { return *m_workers[i]; }
    CTestSocket& Reader() { return *m_workers.back(); }

    std::vector<std::unique_ptr<CTestSocket>> m_workers;
    std::vector<CSocketHandle> m_clients;
    SOCKET m_readerClient = INVALID_SOCKET;
    size_t m_nBytesPerFrame = 1;
    std::vector<bool> m_held;             // each DeferSend's result
    std::vector<size_t> m_releasedAfter;  // frames queued by then, at each OnDeferredSend
};

struct CHoldCase {
    const char* name;
    size_t nFrames;  // bytes the reader's peer sends at once: a frame each
    size_t nBytesPerFrame;
    size_t nMinReleases;
    // Frames queued between two releases at most: a bound reached in one
    // pass is acted on when the notification's passes end.
    size_t nMaxBetweenReleases;
};

class AsyncSocketHoldCaseTest : public AsyncSocketHoldTest,
                                public ::testing::WithParamInterface<CHoldCase> {};

TEST_P(AsyncSocketHoldCaseTest, ListenerFramesAreHeldWithinBounds) {
    const CHoldCase& c = GetParam();
    m_nBytesPerFrame = c.nBytesPerFrame;
    ASSERT_TRUE(ConnectBoth());
    // Outside a read notification nothing waits.
    EXPECT_FALSE(Listener().DeferSend(1));
    ASSERT_TRUE(SendAll(m_readerClient, Pattern(c.nFrames)));
    ASSERT_TRUE(PumpUntil([&] { return m_held.size() == c.nFrames; }, 10000));
    // Whatever is held goes without anything more arriving: on the timer.
    EXPECT_TRUE(PumpUntil(
        [&] { return !m_releasedAfter.empty() && m_releasedAfter.back() == c.nFrames; }, 2000));
    CountedPump(100);
    // The first read may find only part of the bytes there, and so no input
    // waiting behind it; every later frame is held.
    EXPECT_GE(std::count(m_held.begin(), m_held.end(), true),
              static_cast<ptrdiff_t>(c.nFrames) - 1);
    EXPECT_GE(m_releasedAfter.size(), c.nMinReleases);
    size_t last = 0;
    for (size_t queued : m_releasedAfter) {
        EXPECT_GT(queued, last) << "a release with nothing held";
        EXPECT_LE(queued - last, c.nMaxBetweenReleases);
        last = queued;
    }
    EXPECT_EQ(Listener().m_pRecord->nReceives, 0);
}

INSTANTIATE_TEST_SUITE_P(AsyncSocket, AsyncSocketHoldCaseTest,
                         ::testing::Values(
                             // Fewer than any bound: all of them leave once the link is quiet.
                             CHoldCase{"QuietLinkReleasesOnTimer", 100, 1, 1, 100},
                             // Bytes bound: four frames reach it, the notification's passes end.
                             CHoldCase{"ByteBound", 300, CAsyncSocket::kMaxHeldBytes / 4, 4,
                                       CAsyncSocket::kMaxReadPasses},
                             // Frame bound, then the rest on the timer.
                             CHoldCase{
                                 "FrameBound", 2 * CAsyncSocket::kMaxHeldFrames + 88, 1, 3,
                                 CAsyncSocket::kMaxHeldFrames + CAsyncSocket::kMaxReadPasses - 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A lone frame (nothing read before it, nothing waiting behind) is the
// listener's to send at once.
TEST_F(AsyncSocketHoldTest, LoneFrameIsNotHeld) {
    ASSERT_TRUE(ConnectBoth());
    ASSERT_TRUE(SendAll(m_readerClient, Pattern(1)));
    ASSERT_TRUE(PumpUntil([&] { return m_held.size() == 1; }));
    CountedPump(100);
    EXPECT_EQ(m_held, std::vector<bool>{false});
    EXPECT_TRUE(m_releasedAfter.empty());
}

// Code about to wait without dispatching messages sends what is held first,
// at once. The batch's last frame, with nothing behind it and no stream
// before it, is sent at once, and takes the frames held since along: the
// socket is not told to send them again.
TEST_F(AsyncSocketHoldTest, HeldFramesLeaveOnRequestOrWithAFrameSentAtOnce) {
    ASSERT_TRUE(ConnectBoth());
    bool bReleasedAtOnce = false;
    Reader().m_onRead = [&](int n) {
        if (n <= 0) {
            return;
        }
        m_held.push_back(Listener().DeferSend(1));
        if (m_held.size() == 50) {
            AfxSocketReleaseHeld();
            bReleasedAtOnce = m_releasedAfter == std::vector<size_t>{50};
        }
    };
    // Fewer than one notification's passes: all in the first.
    ASSERT_TRUE(SendAll(m_readerClient, Pattern(60)));
    ASSERT_TRUE(PumpUntil([&] { return m_held.size() == 60; }, 10000));
    CountedPump(200);
    EXPECT_TRUE(bReleasedAtOnce);
    EXPECT_EQ(m_releasedAfter, std::vector<size_t>{50});
    ASSERT_EQ(m_held.size(), 60u);
    EXPECT_FALSE(m_held.back());
    EXPECT_GE(std::count(m_held.begin(), m_held.end(), true), 58);
}

// While the reader streams, the listeners' holds all begin with its first
// frame and end at the same time; they are let go one per notification (or
// timer tick), so that no one command waits behind every listener's send.
TEST_F(AsyncSocketHoldTest, ListenersAreReleasedOneAtATimeWhileTheReaderStreams) {
    constexpr size_t kListeners = 3;
    constexpr size_t kFrames = 60;
    ASSERT_TRUE(ConnectBoth(kListeners));
    std::vector<std::vector<size_t>> releases(kListeners);
    for (size_t i = 0; i < kListeners; ++i) {
        Listener(i).m_onDeferredSend = [this, &releases, i] {
            releases[i].push_back(m_held.size());
        };
    }
    // One frame at a time, each a millisecond after the last was read: the
    // stream lasts several hold times.
    Reader().m_onRead = [&](int n) {
        if (n <= 0) {
            return;
        }
        for (size_t i = 0; i < kListeners; ++i) {
            m_held.push_back(Listener(i).DeferSend(1));
        }
        if (m_held.size() < kFrames * kListeners) {
            ::Sleep(1);
            EXPECT_TRUE(SendAll(m_readerClient, Pattern(1)));
        }
    };
    ASSERT_TRUE(SendAll(m_readerClient, Pattern(1)));
    ASSERT_TRUE(PumpUntil([&] { return m_held.size() == kFrames * kListeners; }, 10000));
    ASSERT_TRUE(PumpUntil(
        [&] {
            return std::all_of(releases.begin(), releases.end(), [&](const auto& r) {
                return !r.empty() && r.back() == kFrames * kListeners;
            });
        },
        2000));
    // Held from the second frame on (the first came alone).
    EXPECT_GE(std::count(m_held.begin(), m_held.end(), true),
              static_cast<ptrdiff_t>((kFrames - 1) * kListeners));
    std::vector<size_t> all;
    for (const auto& r : releases) {
        EXPECT_GE(r.size(), 2u) << "released only once the stream ended";
        all.insert(all.end(), r.begin(), r.end() - 1);  // the last: once the link was quiet
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end())
        << "two listeners let go at the same point of the stream";
}

TEST_F(AsyncSocketTest, FailedCreateLeavesNoSocket) {
    const struct {
        UINT port;
        LPCWSTR address;
        int nError;
    } cases[] = {{0, L"localhost", WSAEINVAL},
                 {70000, nullptr, WSAEINVAL},
                 {m_nPort, L"127.0.0.1", WSAEADDRINUSE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        CTestSocket socket;
        EXPECT_FALSE(socket.Create(c.port, SOCK_STREAM, kAllSocketEvents, c.address));
        EXPECT_EQ(CAsyncSocket::GetLastError(), c.nError);
        EXPECT_EQ(socket.m_hSocket, INVALID_SOCKET);
    }
}

}  // namespace
