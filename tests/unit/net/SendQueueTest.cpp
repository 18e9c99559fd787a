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

}  // namespace
