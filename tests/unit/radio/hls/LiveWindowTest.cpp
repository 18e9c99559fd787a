#include "radio/hls/LiveWindow.h"

#include <gtest/gtest.h>

namespace {

using radio::hls::CLiveWindow;
using radio::hls::CMediaPlaylist;

// A live window of count segments of durationMs from sequence first.
CMediaPlaylist Window(uint64_t first, size_t count, int64_t targetMs = 4000,
                      int64_t durationMs = 4000, bool ended = false) {
    CMediaPlaylist p;
    p.nTargetDurationMs = targetMs;
    p.nMediaSequence = first;
    p.bEndList = ended;
    for (size_t i = 0; i < count; ++i) {
        radio::hls::CHlsSegment s;
        s.nSequence = first + i;
        s.nDurationMs = durationMs;
        s.strUri = u"s" + std::u16string(1, static_cast<char16_t>(u'0' + (first + i) % 10));
        p.segments.push_back(s);
    }
    return p;
}

std::vector<uint64_t> Sequences(const CLiveWindow::CUpdate& u) {
    std::vector<uint64_t> out;
    for (const auto& s : u.segments) {
        out.push_back(s.nSequence);
    }
    return out;
}

TEST(LiveWindow, StartsThreeTargetDurationsFromTheEnd) {
    struct {
        const char* name;
        CMediaPlaylist playlist;
        std::vector<uint64_t> expected;
    } cases[] = {
        {"six of 4 s", Window(100, 6), {103, 104, 105}},
        {"exactly three", Window(100, 3), {100, 101, 102}},
        {"fewer than three", Window(100, 2), {100, 101}},
        {"2 s segments, 4 s target", Window(0, 10, 4000, 2000), {4, 5, 6, 7, 8, 9}},
        // 3.9 s segments under a 4 s target: three are not quite 12 s.
        {"short segments", Window(0, 6, 4000, 3900), {2, 3, 4, 5}},
        {"ended plays from the start", Window(7, 5, 4000, 4000, true), {7, 8, 9, 10, 11}},
        {"empty", Window(5, 0), {}},
    };
    for (const auto& c : cases) {
        CLiveWindow window;
        EXPECT_EQ(Sequences(window.Update(c.playlist, 0)), c.expected) << c.name;
    }
}

// Each step: the window the server shows and what the tracker must hand out.
struct CStep {
    uint64_t first;
    size_t count;
    std::vector<uint64_t> expected;
    uint64_t skipped;
    bool restarted;
};

TEST(LiveWindow, FollowsTheSequenceAcrossReloads) {
    struct {
        const char* name;
        std::vector<CStep> steps;
    } cases[] = {
        {"steady sliding window",
         {{10, 5, {12, 13, 14}, 0, false}, {11, 5, {15}, 0, false}, {12, 5, {16}, 0, false}}},
        {"reload with nothing new",
         {{10, 5, {12, 13, 14}, 0, false}, {10, 5, {}, 0, false}, {11, 5, {15}, 0, false}}},
        {"two new at once", {{0, 3, {0, 1, 2}, 0, false}, {2, 3, {3, 4}, 0, false}}},
        {"window slid past us",
         {{10, 5, {12, 13, 14}, 0, false}, {20, 5, {20, 21, 22, 23, 24}, 5, false}}},
        {"older copy from a cache",
         {{10, 5, {12, 13, 14}, 0, false},
          {11, 5, {15}, 0, false},
          {10, 5, {}, 0, false},
          {12, 5, {16}, 0, false}}},
        {"numbering starts over",
         {{1000, 5, {1002, 1003, 1004}, 0, false},
          {0, 4, {1, 2, 3}, 0, true},
          {1, 4, {4}, 0, false}}},
        {"growing event playlist",
         {{0, 1, {0}, 0, false}, {0, 2, {1}, 0, false}, {0, 3, {2}, 0, false}}},
        {"empty then filled", {{0, 0, {}, 0, false}, {0, 2, {0, 1}, 0, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CLiveWindow window;
        int64_t now = 0;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const CStep& step = c.steps[i];
            const auto update = window.Update(Window(step.first, step.count), now);
            EXPECT_EQ(Sequences(update), step.expected) << "step " << i;
            EXPECT_EQ(update.nSkipped, step.skipped) << "step " << i;
            EXPECT_EQ(update.bRestarted, step.restarted) << "step " << i;
            now += 4000;
        }
    }
}

TEST(LiveWindow, ReloadIntervalAndStall) {
    CLiveWindow window;
    // Loaded at t=1000: new segments, so the next reload is a target later.
    window.Update(Window(0, 5), 1000);
    EXPECT_EQ(window.NextReloadMs(), 5000);
    EXPECT_FALSE(window.Stalled(1000 + 11999));
    // Nothing new: half a target.
    window.Update(Window(0, 5), 5000);
    EXPECT_EQ(window.NextReloadMs(), 7000);
    window.Update(Window(0, 5), 7000);
    EXPECT_EQ(window.NextReloadMs(), 9000);
    EXPECT_FALSE(window.Stalled(12999));
    // Three target durations after the last load that brought something.
    EXPECT_TRUE(window.Stalled(13000));
    // A new segment ends the stall.
    window.Update(Window(1, 5), 13000);
    EXPECT_FALSE(window.Stalled(13000));
    EXPECT_EQ(window.NextReloadMs(), 17000);
}

TEST(LiveWindow, EndListStopsReloadsAndStalls) {
    CLiveWindow window;
    window.Update(Window(0, 5), 0);
    const auto last = window.Update(Window(1, 5, 4000, 4000, true), 4000);
    EXPECT_EQ(Sequences(last), (std::vector<uint64_t>{5}));
    EXPECT_TRUE(window.Ended());
    EXPECT_FALSE(window.Stalled(1000000));
}

TEST(LiveWindow, TinyTargetDurationsDoNotSpin) {
    CLiveWindow window;
    window.Update(Window(0, 3, 0, 0), 0);
    EXPECT_GE(window.NextReloadMs(), CLiveWindow::kMinReloadMs);
    EXPECT_FALSE(window.Stalled(CLiveWindow::kMinReloadMs));
}

// Never a segment twice, never a gap that is not reported, over a long run
// of windows that slide by varying steps and sometimes repeat.
TEST(LiveWindow, NoRepeatsNoSilentGaps) {
    CLiveWindow window;
    uint64_t first = 50;
    uint64_t expectedNext = 0;
    bool started = false;
    uint32_t seed = 12345;
    for (int i = 0; i < 2000; ++i) {
        seed = seed * 1103515245 + 12345;
        const uint64_t step = (seed >> 16) % 4;  // 0 to 3 new segments
        first += step;
        const auto update = window.Update(Window(first, 6), i * 2000);
        if (!update.segments.empty()) {
            if (started) {
                EXPECT_EQ(update.segments.front().nSequence, expectedNext + update.nSkipped);
            }
            for (size_t k = 1; k < update.segments.size(); ++k) {
                EXPECT_EQ(update.segments[k].nSequence, update.segments[k - 1].nSequence + 1);
            }
            expectedNext = update.segments.back().nSequence + 1;
            started = true;
        }
    }
}

}  // namespace
