// Replays the seeds (tests/fuzz/corpus/<target>) and the saved inputs
// (tests/fuzz/regressions/<target>) of every fuzz target but the AMF3
// decoder's (tests/unit/amf/AmfRegressionTest.cpp) through the target's own
// property. Saved inputs are also embedded below, so the Windows build under
// Wine replays them without the directories; natively the test insists that
// every saved file has its embedded copy.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "unit/FuzzFiles.h"
#include "unit/amf/AmfTestUtil.h"
#include "fuzz/AacFuzzCheck.h"
#include "fuzz/DispatchFuzzCheck.h"
#include "fuzz/FrameReaderFuzzCheck.h"
#include "fuzz/LauncherFuzzCheck.h"
#include "fuzz/SendQueueFuzzCheck.h"
#include "fuzz/TouchFuzzCheck.h"

namespace {

using amf_test::Hex;
using amf_test::ToHex;
using test_util::ForEachInput;
using test_util::FuzzDir;

using Check = std::function<std::string(const uint8_t*, size_t)>;

struct Target {
    const char* name;  // fuzz_<name>, corpus/<name>, regressions/<name>
    Check check;
};

const Target kTargets[] = {
    {"frame_reader", frame_fuzz::CheckStream}, {"dispatch", dispatch_fuzz::CheckDispatch},
    {"send_queue", send_fuzz::CheckSendQueue}, {"launcher", launcher_fuzz::CheckLauncher},
    {"touch", touch_fuzz::CheckTouch},         {"aac", aac_fuzz::CheckAac},
};

struct Saved {
    const char* target;
    const char* name;  // its file name under tests/fuzz/regressions/<target>
    const char* hex;
};

// Inputs found by the fuzzing campaigns (docs/robustness.md), minimised.
const std::vector<Saved> kSaved = {
    {"send_queue", "slow-unit-megabytes-a-byte-a-send", "fd 00 00 ff 01 00 00 ad 00 ff"},
    {"send_queue", "slow-unit-long-frames-a-byte-a-send",
     "01 00 00 ff ff f8 ff ff ff ff ff 0f ff 0a 00"},
};

const Target* FindTarget(const std::string& name) {
    for (const Target& t : kTargets) {
        if (name == t.name)
            return &t;
    }
    return nullptr;
}

TEST(FuzzTargets, SeedsHoldTheProperty) {
    if (FuzzDir("corpus").empty())
        GTEST_SKIP() << "corpus directory not reachable from this build";
    for (const Target& target : kTargets) {
        SCOPED_TRACE(target.name);
        const auto dir = FuzzDir(std::string("corpus/") + target.name);
        ASSERT_FALSE(dir.empty());
        const int seeds =
            ForEachInput(dir, [&](const std::string&, const std::vector<uint8_t>& in) {
                EXPECT_EQ(target.check(in.data(), in.size()), "");
            });
        EXPECT_GE(seeds, 7);
    }
}

TEST(FuzzTargets, SavedInputsHoldTheProperty) {
    for (const Saved& saved : kSaved) {
        SCOPED_TRACE(std::string(saved.target) + "/" + saved.name);
        const Target* target = FindTarget(saved.target);
        ASSERT_NE(target, nullptr);
        const std::vector<uint8_t> input = Hex(saved.hex);
        EXPECT_EQ(target->check(input.data(), input.size()), "");
    }
}

TEST(FuzzTargets, EverySavedFileIsEmbedded) {
    if (FuzzDir("regressions").empty())
        GTEST_SKIP() << "regressions not reachable from this build";
    for (const Target& target : kTargets) {
        SCOPED_TRACE(target.name);
        const auto dir = FuzzDir(std::string("regressions/") + target.name);
        if (dir.empty())
            continue;
        ForEachInput(dir, [&](const std::string& name, const std::vector<uint8_t>& input) {
            const Saved* found = nullptr;
            for (const Saved& saved : kSaved) {
                if (saved.target == std::string(target.name) && name == saved.name)
                    found = &saved;
            }
            ASSERT_NE(found, nullptr) << "add it to kSaved";
            EXPECT_EQ(ToHex(Hex(found->hex)), ToHex(input)) << "embedded copy differs";
        });
    }
}

// The frame reader's reference parse is the decided behaviour itself: a
// request of another protocol is refused at its first byte, and a foreign
// header after good frames keeps what came before it.
TEST(FuzzTargets, FrameReferenceRefusesForeignHeaders) {
    struct Case {
        const char* name;
        std::vector<uint8_t> stream;
        size_t payloads;
        bool fault;
        size_t faultHeader;
    };
    const std::vector<uint8_t> good = Hex("DA DA DA DA 02 00 00 00 06 01");
    std::vector<uint8_t> goodThenBad = good;
    for (uint8_t b : Hex("DA DA 00 DA 00 00 00 00"))
        goodThenBad.push_back(b);
    goodThenBad.insert(goodThenBad.end(), good.begin(), good.end());
    const std::string post = "POST / HTTP/1.1\r\nHost: 127.0.0.1:33645\r\n\r\n";
    const Case cases[] = {
        {"HTTP POST", std::vector<uint8_t>(post.begin(), post.end()), 0, true, 0},
        {"good frame", good, 1, false, 0},
        {"good, then a foreign header, then good", goodThenBad, 1, true, good.size()},
        {"three magic bytes only", Hex("DA DA DA"), 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const frame_fuzz::Reference r = frame_fuzz::Parse(c.stream);
        EXPECT_EQ(r.payloads.size(), c.payloads);
        EXPECT_EQ(r.fault, c.fault);
        if (c.fault) {
            EXPECT_EQ(r.faultHeader, c.faultHeader);
        }
        // And the reader itself agrees, cut into single bytes.
        std::vector<uint8_t> input{1, 0};
        input.insert(input.end(), c.stream.begin(), c.stream.end());
        EXPECT_EQ(frame_fuzz::CheckStream(input.data(), input.size()), "");
    }
}

// The AAC property has teeth: scans that a faulty scanner would give are
// refused, each for its own reason.
TEST(FuzzTargets, AacPropertyRefusesFaultyScans) {
    const std::vector<uint8_t> frame = Hex("FF F1 50 80 01 3F FC AA AA");  // 9 bytes, LC 44.1k
    std::vector<uint8_t> stream = frame;
    stream.insert(stream.end(), frame.begin(), frame.end());
    struct Case {
        const char* name;
        radio::CodecKind kind;
        aac_fuzz::Scan scan;
        const char* why;  // empty: the scan is sound
    };
    std::vector<uint8_t> otherRate = frame;
    otherRate[2] = 0x4C;                                              // 48 kHz
    stream.insert(stream.end(), otherRate.begin(), otherRate.end());  // 27 bytes in all
    std::vector<uint8_t> notInStream = frame;
    notInStream.back() = 0xAB;
    const Case cases[] = {
        {"both frames", radio::CodecKind::AacAdts, {{frame, frame}, 0, 0, false}, ""},
        {"one frame, nine bytes skipped", radio::CodecKind::AacAdts, {{frame}, 9, 1, false}, ""},
        {"a frame cut short",
         radio::CodecKind::AacAdts,
         {{std::vector<uint8_t>(frame.begin(), frame.end() - 1)}, 0, 0, false},
         "an ADTS frame that is not one ADTS frame"},
        {"a frame from nowhere",
         radio::CodecKind::AacAdts,
         {{notInStream}, 0, 0, false},
         "a frame that is not a later piece of the stream"},
        {"the same bytes given twice",
         radio::CodecKind::AacAdts,
         {{frame, frame, frame}, 0, 0, false},
         "a frame that is not a later piece of the stream"},
        {"a second configuration",
         radio::CodecKind::AacAdts,
         {{frame, otherRate}, 0, 0, false},
         "ADTS frames of another configuration in one run"},
        {"more skipped than there was",
         radio::CodecKind::AacAdts,
         {{frame}, 19, 0, false},
         "frames and skipped bytes add up to more than was fed"},
        {"a resync for free",
         radio::CodecKind::AacAdts,
         {{frame, frame}, 0, 1, false},
         "a resync that skipped nothing"},
        {"failed on little junk",
         radio::CodecKind::AacAdts,
         {{}, 18, 0, true},
         "failed before kMaxJunk bytes of junk"},
        {"ADTS taken for LOAS",
         radio::CodecKind::AacLatm,
         {{frame}, 0, 0, false},
         "a LATM frame that is not one LOAS frame"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(aac_fuzz::CheckFrames(c.kind, c.scan, stream), c.why);
    }
}

}  // namespace
