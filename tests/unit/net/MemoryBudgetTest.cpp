#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/MemoryBudget.h"

namespace {

// Two holders sharing a budget of 100: growth that would pass the limit is
// refused and changes nothing, shrinking is always granted, and what one
// gives back the other may take.
TEST(MemoryBudget, SharesOneLimitAmongHolders) {
    struct Step {
        int holder;
        size_t bytes;
        bool granted;
        size_t used;
    };
    const Step steps[] = {
        {0, 60, true, 60},        {1, 40, true, 100}, {1, 41, false, 100}, {0, 61, false, 100},
        {0, 10, true, 50},        {1, 90, true, 100}, {1, 90, true, 100},  {0, 0, true, 90},
        {0, SIZE_MAX, false, 90}, {1, 0, true, 0},
    };
    CMemoryBudget budget(100);
    CBudgetShare shares[2] = {CBudgetShare(&budget), CBudgetShare(&budget)};
    for (const Step& step : steps) {
        SCOPED_TRACE(::testing::Message() << "holder " << step.holder << " to " << step.bytes);
        const size_t before = shares[step.holder].GetHeld();
        EXPECT_EQ(shares[step.holder].Resize(step.bytes), step.granted);
        EXPECT_EQ(shares[step.holder].GetHeld(), step.granted ? step.bytes : before);
        EXPECT_EQ(budget.GetUsed(), step.used);
    }
}

TEST(MemoryBudget, ShareGivesItsBytesBackWhenDestroyed) {
    CMemoryBudget budget(100);
    auto share = std::make_unique<CBudgetShare>(&budget);
    ASSERT_TRUE(share->Resize(70));
    // A lower limit refuses growth but takes nothing away.
    budget.SetLimit(50);
    EXPECT_FALSE(share->Resize(71));
    EXPECT_TRUE(share->Resize(60));
    EXPECT_EQ(budget.GetUsed(), 60u);
    share.reset();
    EXPECT_EQ(budget.GetUsed(), 0u);
}

TEST(MemoryBudget, WithoutABudgetEverythingIsGranted) {
    CBudgetShare share;
    EXPECT_TRUE(share.Resize(SIZE_MAX));
    EXPECT_EQ(share.GetHeld(), SIZE_MAX);
}

}  // namespace
