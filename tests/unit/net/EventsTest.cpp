#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "amf/Amf.h"
#include "net/Events.h"
#include "net/SendQueue.h"
#include "unit/net/FakeByteStream.h"

namespace {

struct EventCase {
    const char* name;
    std::unique_ptr<CAmfMessage> (*build)();
    std::vector<uint8_t> frame;  // header and payload as the UI receives them
};

std::unique_ptr<CAmfMessage> Minimize() {
    return BuildBooleanEvent(kMinimizeEvent);
}

std::unique_ptr<CAmfMessage> Close() {
    return BuildBooleanEvent(kCloseEvent);
}

// An array holding only elements must still carry the members flag, and the
// entry arrays inside it must too.
std::unique_ptr<CAmfMessage> Error() {
    auto message = std::make_unique<CAmfMessage>();
    auto entry = MakeArray(*message);
    entry->SetMember(u"code", MakeDouble(*message, -1.0));
    entry->SetMember(u"description", MakeString(*message, u"abc"));
    auto list = MakeArray(*message);
    list->AddElement(std::move(entry));
    BuildEventEnvelope(*message, u"wmpErrorEvent", std::move(list));
    return message;
}

class EventFrames : public ::testing::TestWithParam<EventCase> {};

TEST_P(EventFrames, MatchTheWireByteForByte) {
    const EventCase& c = GetParam();
    auto message = c.build();
    ASSERT_EQ(message->GetCount(), 1u);

    // Encoded once per connection: every run must give the same frame.
    for (int connection = 0; connection < 2; ++connection) {
        std::vector<uint8_t> payload;
        ASSERT_TRUE(message->Encode(payload));
        CSendQueue queue;
        CFakeByteStream stream;
        ASSERT_TRUE(queue.SendFrame(stream, payload));
        EXPECT_EQ(stream.m_wire, c.frame) << "connection " << connection;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Events, EventFrames,
    ::testing::Values(
        EventCase{"minimizeEvent",
                  Minimize,
                  {0xDA, 0xDA, 0xDA, 0xDA, 0x00, 0x00, 0x00, 0x1D, 0x09, 0x01, 0x09, 0x64, 0x61,
                   0x74, 0x61, 0x03, 0x09, 0x74, 0x79, 0x70, 0x65, 0x06, 0x1B, 0x6D, 0x69, 0x6E,
                   0x69, 0x6D, 0x69, 0x7A, 0x65, 0x45, 0x76, 0x65, 0x6E, 0x74, 0x01}},
        EventCase{"closeEvent", Close, {0xDA, 0xDA, 0xDA, 0xDA, 0x00, 0x00, 0x00, 0x1A, 0x09,
                                        0x01, 0x09, 0x64, 0x61, 0x74, 0x61, 0x03, 0x09, 0x74,
                                        0x79, 0x70, 0x65, 0x06, 0x15, 0x63, 0x6C, 0x6F, 0x73,
                                        0x65, 0x45, 0x76, 0x65, 0x6E, 0x74, 0x01}},
        EventCase{"wmpErrorEvent",
                  Error,
                  {0xDA, 0xDA, 0xDA, 0xDA, 0x00, 0x00, 0x00, 0x41, 0x09, 0x01, 0x09, 0x64, 0x61,
                   0x74, 0x61, 0x09, 0x03, 0x01, 0x09, 0x01, 0x09, 0x63, 0x6F, 0x64, 0x65, 0x05,
                   0xBF, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x17, 0x64, 0x65, 0x73, 0x63,
                   0x72, 0x69, 0x70, 0x74, 0x69, 0x6F, 0x6E, 0x06, 0x07, 0x61, 0x62, 0x63, 0x01,
                   0x09, 0x74, 0x79, 0x70, 0x65, 0x06, 0x1B, 0x77, 0x6D, 0x70, 0x45, 0x72, 0x72,
                   0x6F, 0x72, 0x45, 0x76, 0x65, 0x6E, 0x74, 0x01}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
