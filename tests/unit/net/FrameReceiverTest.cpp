#include <gtest/gtest.h>

#include <cstdint>
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
    // Length bytes 2C 01 00 00 announce 300; the magic is not checked.
    payloads.push_back(Pattern(300, 9));
    AppendInbound(bytes, payloads.back(), 0x11);
    ASSERT_EQ(bytes[bytes.size() - 304], 0x2C);

    CFrameReceiver receiver;
    CFakeByteStream stream;
    CRecorder handler;
    for (size_t offset = 0; offset < bytes.size(); offset += GetParam()) {
        const size_t end = std::min(bytes.size(), offset + GetParam());
        stream.Arrive({bytes.begin() + offset, bytes.begin() + end});
        Pump(receiver, stream, handler);
    }

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
