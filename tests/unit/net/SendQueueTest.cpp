#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/Frame.h"
#include "net/SendQueue.h"
#include "unit/net/FakeByteStream.h"

namespace {

std::vector<uint8_t> Payload(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed ^ i);
    }
    return bytes;
}

TEST(SendQueue, HeaderCarriesBigEndianLength) {
    CSendQueue queue;
    CFakeByteStream stream;
    ASSERT_TRUE(queue.SendFrame(stream, Payload(300, 1)));
    ASSERT_TRUE(queue.SendFrame(stream, {}));
    ASSERT_EQ(stream.m_wire.size(), 316u);
    EXPECT_EQ(std::vector<uint8_t>(stream.m_wire.begin(), stream.m_wire.begin() + 8),
              (std::vector<uint8_t>{0xDA, 0xDA, 0xDA, 0xDA, 0x00, 0x00, 0x01, 0x2C}));
    EXPECT_EQ(std::vector<uint8_t>(stream.m_wire.end() - 8, stream.m_wire.end()),
              (std::vector<uint8_t>{0xDA, 0xDA, 0xDA, 0xDA, 0, 0, 0, 0}));
    EXPECT_FALSE(stream.m_bNonZeroSendFlags);
}

// A peer that reads in dribbles while frames keep coming: every frame
// reaches the wire whole and in the order queued.
class SendQueueDribble : public ::testing::TestWithParam<std::pair<size_t, size_t>> {};

TEST_P(SendQueueDribble, FramesLeaveWholeAndInOrder) {
    const auto [maxPerSend, windowPerFrame] = GetParam();
    CSendQueue queue;
    CFakeByteStream stream;
    stream.m_nMaxPerSend = maxPerSend;
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < 3000; ++i) {
        const auto payload = Payload(i % 97, static_cast<uint8_t>(i));
        AppendOutboundHeader(expected, static_cast<uint32_t>(payload.size()));
        expected.insert(expected.end(), payload.begin(), payload.end());
        stream.m_nWindow = windowPerFrame;
        ASSERT_TRUE(queue.SendFrame(stream, payload));
    }
    stream.m_nWindow = SIZE_MAX;
    ASSERT_TRUE(queue.Flush(stream));
    EXPECT_TRUE(stream.m_wire == expected);
    EXPECT_EQ(queue.GetUnsentSize(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Peers, SendQueueDribble,
                         ::testing::Values(std::pair<size_t, size_t>{1, 3}, std::pair{7, 40},
                                           std::pair{4096, 0}, std::pair{13, 50},
                                           std::pair{SIZE_MAX, 53}));

struct OutcomeCase {
    const char* name;
    int failWith;
    bool returnZero;
    bool keepOpen;
};

class SendQueueOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(SendQueueOutcome, ReportsWhetherToKeepTheConnection) {
    const OutcomeCase& c = GetParam();
    CSendQueue queue;
    CFakeByteStream stream;
    stream.m_nFailWith = c.failWith;
    stream.m_bReturnZero = c.returnZero;
    EXPECT_EQ(queue.SendFrame(stream, Payload(20, 3)), c.keepOpen);

    // Once the socket works again a kept queue sends it all; a given-up one
    // sends nothing more and keeps saying so.
    stream.m_nFailWith = 0;
    stream.m_bReturnZero = false;
    EXPECT_EQ(queue.SendFrame(stream, Payload(5, 4)), c.keepOpen);
    EXPECT_EQ(stream.m_wire.size(), c.keepOpen ? 41u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, SendQueueOutcome,
                         ::testing::Values(OutcomeCase{"WouldBlock", kWouldBlock, false, true},
                                           OutcomeCase{"NothingTaken", 0, true, true},
                                           OutcomeCase{"ConnectionReset", 10054, false, false},
                                           OutcomeCase{"NotConnected", 10057, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SendQueue, PeerThatStopsReadingIsGivenUpPastTheCap) {
    CSendQueue queue;
    CFakeByteStream stream;
    stream.m_nWindow = 0;
    ASSERT_TRUE(queue.SendFrame(stream, std::vector<uint8_t>(kMaxUnsent - 8, 1)));
    // Exactly at the cap, and a frame whose flush drains enough first, keep
    // the connection...
    stream.m_nWindow = 10;
    ASSERT_TRUE(queue.SendFrame(stream, Payload(2, 5)));
    EXPECT_EQ(queue.GetUnsentSize(), kMaxUnsent);
    // ...a frame left beyond the cap does not.
    stream.m_nWindow = 0;
    EXPECT_FALSE(queue.SendFrame(stream, {}));
    EXPECT_EQ(queue.GetUnsentSize(), 0u);
}

// Queues of peers that stopped reading share one budget. The queue whose
// frame would pass it is given up and its bytes freed; the other keeps all
// it holds and sends it once its peer reads again.
TEST(SendQueue, QueuesShareOneBudget) {
    CMemoryBudget budget(1000);
    CSendQueue a(&budget);
    CSendQueue b(&budget);
    CFakeByteStream streamA;
    CFakeByteStream streamB;
    streamA.m_nWindow = 0;
    streamB.m_nWindow = 0;
    ASSERT_TRUE(a.SendFrame(streamA, Payload(592, 1)));  // 600 with its header
    EXPECT_EQ(a.GetHeldBytes(), 600u);
    // b's first frame fits; the doubling its second would want does not, so
    // exactly what is needed is taken instead.
    ASSERT_TRUE(b.SendFrame(streamB, Payload(192, 2)));
    ASSERT_TRUE(b.SendFrame(streamB, Payload(192, 3)));
    EXPECT_EQ(b.GetHeldBytes(), 400u);
    EXPECT_EQ(budget.GetUsed(), 1000u);
    EXPECT_FALSE(b.SendFrame(streamB, {}));
    EXPECT_TRUE(b.IsGivenUp());
    EXPECT_EQ(budget.GetUsed(), 600u);

    streamA.m_nWindow = SIZE_MAX;
    ASSERT_TRUE(a.Flush(streamA));
    EXPECT_EQ(streamA.m_wire.size(), 600u);
    EXPECT_TRUE(streamB.m_wire.empty());
}

// Small frames reuse their storage; a burst's storage is given back once
// the peer has taken it all.
TEST(SendQueue, StorageOfABurstIsGivenBackOnceSent) {
    CMemoryBudget budget(SIZE_MAX);
    CSendQueue queue(&budget);
    CFakeByteStream stream;
    ASSERT_TRUE(queue.SendFrame(stream, Payload(100, 1)));
    EXPECT_EQ(budget.GetUsed(), 108u);
    stream.m_nWindow = 0;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(queue.SendFrame(stream, Payload(1000, 2)));
    }
    EXPECT_GE(budget.GetUsed(), 100800u);
    EXPECT_EQ(budget.GetUsed(), queue.GetHeldBytes());
    stream.m_nWindow = SIZE_MAX;
    ASSERT_TRUE(queue.Flush(stream));
    EXPECT_EQ(budget.GetUsed(), 0u);
    EXPECT_EQ(stream.m_wire.size(), 108u + 100 * 1008);
}

}  // namespace
