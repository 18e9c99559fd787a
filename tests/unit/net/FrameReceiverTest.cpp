#include <gtest/gtest.h>

#include <cstdint>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "net/Frame.h"
#include "net/FrameReceiver.h"
#include "unit/net/FakeByteStream.h"

namespace {

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

// Appends a frame as the UI writes it: length least significant byte first.
void AppendInbound(std::vector<uint8_t>& out, const std::vector<uint8_t>& payload,
                   uint8_t magic = 0xDA) {
    const auto length = static_cast<uint32_t>(payload.size());
    out.insert(out.end(), 4, magic);
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(length >> shift));
    }
    out.insert(out.end(), payload.begin(), payload.end());
}

struct CRecorder : IPayloadHandler {
    void OnPayload(const std::vector<uint8_t>& payload) override { m_payloads.push_back(payload); }
    std::vector<std::vector<uint8_t>> m_payloads;
};

// The socket layer repeats the read notification while unread bytes remain.
void Pump(CFrameReceiver& receiver, CFakeByteStream& stream, IPayloadHandler& handler) {
    size_t before;
    do {
        before = stream.Waiting();
        receiver.OnReceive(stream, handler);
    } while (stream.Waiting() != before);
}

// Frames of awkward lengths arriving in pieces of one size: each payload
// comes out whole, once and in order, and no read asks for over one chunk.
class ChunkedArrival : public ::testing::TestWithParam<size_t> {};

TEST_P(ChunkedArrival, DeliversEveryPayloadWholeAndInOrder) {
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<uint8_t> bytes;
    for (size_t length : {1, 0, 4095, 4096, 4097, 10000, 0, 8}) {
        payloads.push_back(Pattern(length, static_cast<uint8_t>(payloads.size())));
        AppendInbound(bytes, payloads.back());
    }
    // Length bytes 2C 01 00 00 announce 300.
    payloads.push_back(Pattern(300, 9));
    AppendInbound(bytes, payloads.back());
    ASSERT_EQ(bytes[bytes.size() - 304], 0x2C);

    CFrameReceiver receiver;
    CFakeByteStream stream;
    CRecorder handler;
    for (size_t offset = 0; offset < bytes.size(); offset += GetParam()) {
        const size_t end = std::min(bytes.size(), offset + GetParam());
        stream.Arrive({bytes.begin() + offset, bytes.begin() + end});
        Pump(receiver, stream, handler);
    }

    EXPECT_EQ(receiver.GetFault(), FrameFault::None);
    EXPECT_TRUE(handler.m_payloads == payloads);
    EXPECT_FALSE(receiver.IsInFrame());
    EXPECT_LE(*std::max_element(stream.m_readSizes.begin(), stream.m_readSizes.end()), 4096);
    EXPECT_TRUE(stream.m_peekSizes.empty());
}

INSTANTIATE_TEST_SUITE_P(PieceSizes, ChunkedArrival,
                         ::testing::Values(1, 2, 3, 5, 7, 13, 4096, 1 << 20));

TEST(FrameReceiver, PartialHeaderIsTakenAndThePayloadWaitsForTheNextNotification) {
    std::vector<uint8_t> frame;
    AppendInbound(frame, Pattern(10000, 3));
    CFrameReceiver receiver;
    CFakeByteStream stream;
    CRecorder handler;

    // What there is of the header leaves the socket at once: unread bytes
    // would keep the read notifications (and the TCP window) stuck.
    stream.Arrive({frame.begin(), frame.begin() + 3});
    receiver.OnReceive(stream, handler);
    EXPECT_EQ(stream.Waiting(), 0u);
    EXPECT_TRUE(receiver.IsInFrame());
    stream.Arrive({frame.begin() + 3, frame.end()});
    receiver.OnReceive(stream, handler);
    EXPECT_EQ(stream.Waiting(), 10000u);
    EXPECT_TRUE(handler.m_payloads.empty());

    Pump(receiver, stream, handler);
    // The last read finds the socket empty and ends the pumping.
    EXPECT_EQ(stream.m_readSizes, (std::vector<int>{8, 5, 4096, 4096, 1808, 8}));
    ASSERT_EQ(handler.m_payloads.size(), 1u);
    EXPECT_TRUE(handler.m_payloads[0] == Pattern(10000, 3));
}

// Announced lengths over the cap are skipped chunk by chunk, and the stream
// stays in step for the frame after; the cap itself is still accepted.
TEST(FrameReceiver, OversizedPayloadIsSkippedAndNextFrameRead) {
    std::vector<uint8_t> bytes;
    AppendInbound(bytes, std::vector<uint8_t>(kMaxPayload, 0x77));
    AppendInbound(bytes, std::vector<uint8_t>(kMaxPayload + 1, 0x55));
    AppendInbound(bytes, Pattern(12, 6));
    CFrameReceiver receiver;
    CFakeByteStream stream;
    CRecorder handler;
    stream.Arrive(bytes);
    Pump(receiver, stream, handler);

    ASSERT_EQ(handler.m_payloads.size(), 2u);
    EXPECT_EQ(handler.m_payloads[0].size(), kMaxPayload);
    EXPECT_TRUE(handler.m_payloads[1] == Pattern(12, 6));
}

std::vector<uint8_t> Text(const char* text) {
    return std::vector<uint8_t>(text, text + std::strlen(text));
}

// What must end a connection: streams that do not begin every header with
// DA DA DA DA. Each case is a good prefix (frames that must still be
// delivered) and then the foreign bytes; nothing after them may be read
// beyond the header, or delivered, however the stream is cut.
struct CForeignStream {
    const char* name;
    size_t goodFrames;
    std::vector<uint8_t> foreign;
};

std::vector<CForeignStream> ForeignStreams() {
    std::vector<uint8_t> ok;
    AppendInbound(ok, Pattern(3, 1));
    // A fetch() POST from a page, its body a valid frame.
    std::vector<uint8_t> post = Text(
        "POST / HTTP/1.1\r\nHost: 127.0.0.1:33645\r\nConnection: keep-alive\r\n"
        "Content-Length: 20\r\nContent-Type: text/plain;charset=UTF-8\r\n"
        "Origin: http://example.test\r\n\r\n");
    AppendInbound(post, Pattern(12, 5));
    const std::vector<uint8_t> upgrade = Text(
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:33645\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n");
    std::vector<CForeignStream> cases = {
        {"http post", 0, post},
        {"websocket upgrade", 0, upgrade},
        {"first byte wrong", 0, {0xDB, 0xDA, 0xDA, 0xDA, 1, 0, 0, 0, 9}},
        {"fourth byte wrong", 0, {0xDA, 0xDA, 0xDA, 0x00, 1, 0, 0, 0, 9}},
        {"all zero", 0, std::vector<uint8_t>(64, 0)},
    };
    // After a good frame the next header is judged the same way.
    std::vector<uint8_t> second = ok;
    second.insert(second.end(), post.begin(), post.end());
    cases.push_back({"post after a frame", 1, second});
    return cases;
}

TEST(FrameReceiver, ForeignStreamEndsTheConnection) {
    for (const CForeignStream& c : ForeignStreams()) {
        for (size_t piece : {1, 3, 8, 4096}) {
            SCOPED_TRACE(::testing::Message() << c.name << ", pieces of " << piece);
            CFrameReceiver receiver;
            CFakeByteStream stream;
            CRecorder handler;
            bool open = true;
            size_t offset = 0;
            for (; offset < c.foreign.size() && open; offset += piece) {
                const size_t end = std::min(c.foreign.size(), offset + piece);
                stream.Arrive({c.foreign.begin() + offset, c.foreign.begin() + end});
                size_t before;
                do {
                    before = stream.Waiting();
                    open = receiver.OnReceive(stream, handler);
                } while (open && stream.Waiting() != before);
            }
            EXPECT_FALSE(open);
            EXPECT_EQ(receiver.GetFault(), FrameFault::BadMagic);
            EXPECT_EQ(handler.m_payloads.size(), c.goodFrames);
            // The stream is judged on its first foreign bytes: no more than
            // one header's worth of it is ever taken.
            const size_t goodBytes = c.goodFrames == 0 ? 0 : 11;
            EXPECT_LE(stream.m_nReadPos, goodBytes + kFrameHeaderSize);

            // Later notifications read nothing and keep saying "close".
            const size_t reads = stream.m_readSizes.size();
            stream.Arrive(std::vector<uint8_t>(16, kFrameMagicByte));
            EXPECT_FALSE(receiver.OnReceive(stream, handler));
            EXPECT_EQ(stream.m_readSizes.size(), reads);
            EXPECT_EQ(handler.m_payloads.size(), c.goodFrames);
        }
    }
}

// A handler that runs a message loop gets read notifications nested in it.
// They must not read, and the outer call must make up for them afterwards.
struct CReenteringHandler : IPayloadHandler {
    CFrameReceiver m_receiver;
    CFakeByteStream m_stream;
    int m_nNested = 0;
    bool m_bNestedRead = false;
    std::vector<std::vector<uint8_t>> m_payloads;

    void OnPayload(const std::vector<uint8_t>& payload) override {
        m_payloads.push_back(payload);
        const size_t calls = m_stream.m_readSizes.size() + m_stream.m_peekSizes.size();
        for (int i = 0; i < m_nNested; ++i) {
            m_receiver.OnReceive(m_stream, *this);
        }
        m_bNestedRead |= m_stream.m_readSizes.size() + m_stream.m_peekSizes.size() != calls;
    }
};

TEST(FrameReceiver, NestedNotificationIsDeferredNotLost) {
    for (int nested : {1, 3}) {
        CReenteringHandler h;
        h.m_nNested = nested;
        std::vector<uint8_t> bytes;
        AppendInbound(bytes, Pattern(4, 1));
        AppendInbound(bytes, Pattern(5, 2));
        h.m_stream.Arrive(bytes);

        h.m_receiver.OnReceive(h.m_stream, h);  // header 1
        h.m_receiver.OnReceive(h.m_stream, h);  // payload 1, then one deferred pass: header 2
        EXPECT_FALSE(h.m_bNestedRead);
        EXPECT_EQ(h.m_stream.Waiting(), 5u) << "the deferred pass did not run";
        h.m_receiver.OnReceive(h.m_stream, h);
        ASSERT_EQ(h.m_payloads.size(), 2u);
        EXPECT_TRUE(h.m_payloads[1] == Pattern(5, 2));
    }
}

}  // namespace

namespace {

// The foreign header is met in the pass that a nested notification asked
// for: the outer call reports it, and nothing reads on.
TEST(FrameReceiver, ForeignHeaderFoundInADeferredPassIsReported) {
    CReenteringHandler h;
    h.m_nNested = 1;
    std::vector<uint8_t> bytes;
    AppendInbound(bytes, Pattern(4, 1));
    AppendInbound(bytes, Pattern(5, 2), 0x50);
    h.m_stream.Arrive(bytes);

    EXPECT_TRUE(h.m_receiver.OnReceive(h.m_stream, h));   // header 1
    EXPECT_FALSE(h.m_receiver.OnReceive(h.m_stream, h));  // payload 1, then the bad header
    EXPECT_FALSE(h.m_bNestedRead);
    EXPECT_EQ(h.m_payloads.size(), 1u);
    EXPECT_EQ(h.m_stream.Waiting(), 5u);
}

}  // namespace

namespace {

// Two connections share a budget for partial payloads. The one whose next
// chunk would pass it is closed; the other goes on collecting, and what the
// closed one held is free again once it is gone.
TEST(FrameReceiver, PartialPayloadsShareOneBudget) {
    CMemoryBudget budget(40000);
    std::vector<uint8_t> first;
    AppendInbound(first, Pattern(30000, 1));
    std::vector<uint8_t> second;
    AppendInbound(second, Pattern(20000, 2));

    CFrameReceiver a(&budget);
    auto b = std::make_unique<CFrameReceiver>(&budget);
    CFakeByteStream streamA;
    CFakeByteStream streamB;
    CRecorder handlerA;
    CRecorder handlerB;
    // a has 24576 of its 30000 bytes, and storage for all of them; b then
    // gets 8192 and is refused the doubling to 16384.
    streamA.Arrive({first.begin(), first.begin() + 8 + 24576});
    Pump(a, streamA, handlerA);
    EXPECT_EQ(a.GetHeldBytes(), 30000u);
    streamB.Arrive(second);
    bool open = true;
    while (open && streamB.Waiting() > 0) {
        open = b->OnReceive(streamB, handlerB);
    }
    EXPECT_FALSE(open);
    EXPECT_EQ(b->GetFault(), FrameFault::OverBudget);
    EXPECT_TRUE(handlerB.m_payloads.empty());
    EXPECT_EQ(b->GetHeldBytes(), 8192u);
    EXPECT_EQ(streamB.m_nReadPos, 8u + 8192 + 4096) << "the refused chunk is the last read";

    b.reset();
    streamA.Arrive({first.begin() + 8 + 24576, first.end()});
    Pump(a, streamA, handlerA);
    EXPECT_EQ(a.GetFault(), FrameFault::None);
    ASSERT_EQ(handlerA.m_payloads.size(), 1u);
    EXPECT_TRUE(handlerA.m_payloads[0] == Pattern(30000, 1));
}

// Storage is charged as allocated: a payload costs its own length, never
// the doubling a vector would add, and a big frame's storage is given back
// once it has been handled, while small frames reuse theirs.
TEST(FrameReceiver, StorageChargedAsAllocatedAndGivenBackAfterABigFrame) {
    struct Case {
        size_t length;
        size_t heldWhileHandled;
        size_t heldAfter;
    };
    for (const Case& c : {Case{100, 100, 100}, Case{10000, 10000, 10000}, Case{65536, 65536, 65536},
                          Case{65537, 65537, 0}, Case{kMaxPayload, kMaxPayload, 0}}) {
        SCOPED_TRACE(c.length);
        CMemoryBudget budget(SIZE_MAX);
        CFrameReceiver receiver(&budget);
        struct CHeld : IPayloadHandler {
            CMemoryBudget* m_pBudget = nullptr;
            size_t m_nHeld = 0;
            void OnPayload(const std::vector<uint8_t>&) override { m_nHeld = m_pBudget->GetUsed(); }
        } handler;
        handler.m_pBudget = &budget;
        CFakeByteStream stream;
        std::vector<uint8_t> bytes;
        AppendInbound(bytes, std::vector<uint8_t>(c.length, 7));
        stream.Arrive(bytes);
        Pump(receiver, stream, handler);
        EXPECT_EQ(handler.m_nHeld, c.heldWhileHandled);
        EXPECT_EQ(budget.GetUsed(), c.heldAfter);
        EXPECT_EQ(receiver.GetHeldBytes(), c.heldAfter);
    }
}

// A skipped oversized payload is never stored, so it costs the budget nothing.
TEST(FrameReceiver, SkippedPayloadCostsNothing) {
    CMemoryBudget budget(0);
    CFrameReceiver receiver(&budget);
    CFakeByteStream stream;
    CRecorder handler;
    stream.Arrive(std::vector<uint8_t>{0xDA, 0xDA, 0xDA, 0xDA, 1, 0, 0, 1});
    stream.Arrive(std::vector<uint8_t>(100000, 0));
    EXPECT_TRUE(receiver.OnReceive(stream, handler));
    Pump(receiver, stream, handler);
    EXPECT_EQ(receiver.GetFault(), FrameFault::None);
    EXPECT_EQ(budget.GetUsed(), 0u);
}

// Progress is any byte of the frame arriving; only a frame that is partly
// here and then gets nothing for the limit counts as stalled.
TEST(FrameReceiver, StallIsMeasuredFromTheLastByteOfAnUnfinishedFrame) {
    using namespace std::chrono_literals;
    auto now = std::chrono::steady_clock::time_point{} + 1000s;
    CFrameReceiver receiver(nullptr, [&now] { return now; });
    CFakeByteStream stream;
    CRecorder handler;
    std::vector<uint8_t> frame;
    AppendInbound(frame, Pattern(5000, 4));

    struct Step {
        size_t arrive;  // bytes of the frame that arrive now
        std::chrono::seconds wait;
        bool stalled;
    };
    const Step steps[] = {
        {0, 600s, false},                        // nothing begun: an idle connection is no stall
        {3, 59s, false},                         // part of the header
        {0, 1s, true},                           // ... and then nothing for 60 s
        {5, 59s, false},                         // the rest of the header is progress
        {4096, 59s, false},                      // a chunk of payload is progress too
        {0, 1s, true},      {904, 600s, false},  // the frame is complete: nothing is pending
    };
    size_t offset = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(offset);
        if (step.arrive > 0) {
            stream.Arrive({frame.begin() + offset, frame.begin() + offset + step.arrive});
            offset += step.arrive;
            Pump(receiver, stream, handler);
        }
        now += step.wait;
        EXPECT_EQ(receiver.HasStalled(60s), step.stalled);
    }
    EXPECT_EQ(handler.m_payloads.size(), 1u);
}

}  // namespace
