#include "app/DisplayOrientation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class CFakeDisplay : public IDisplaySettings {
public:
    explicit CFakeDisplay(DWORD orientation) {
        m_current.dmSize = sizeof(m_current);
        m_current.dmPelsWidth = 600;
        m_current.dmPelsHeight = 1024;
        m_current.dmBitsPerPel = 32;
        m_current.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL | DM_DISPLAYORIENTATION;
        m_current.dmDisplayOrientation = orientation;
    }
    BOOL EnumCurrent(DEVMODEW& mode) override {
        m_nEnumSize = mode.dmSize;
        mode = m_current;
        return TRUE;
    }
    LONG Change(DEVMODEW& mode, DWORD flags) override {
        m_changes.push_back(mode);
        m_flags.push_back(flags);
        return DISP_CHANGE_SUCCESSFUL;
    }

    DEVMODEW m_current = {};
    WORD m_nEnumSize = 0;
    std::vector<DEVMODEW> m_changes;
    std::vector<DWORD> m_flags;
};

struct OrientationCase {
    DWORD orientation;
    bool reset;
};

class DisplayOrientation : public ::testing::TestWithParam<OrientationCase> {};

TEST_P(DisplayOrientation, OnlyAQuarterTurnIsUndone) {
    CFakeDisplay display(GetParam().orientation);
    ResetRotatedDisplay(display);
    EXPECT_EQ(display.m_nEnumSize, 220);
    if (!GetParam().reset) {
        EXPECT_TRUE(display.m_changes.empty());
        return;
    }
    ASSERT_EQ(display.m_changes.size(), 1u);
    EXPECT_EQ(display.m_flags[0], 0x19u);
    // Everything but the orientation goes back exactly as it was read.
    DEVMODEW expected = display.m_current;
    expected.dmDisplayOrientation = DMDO_DEFAULT;
    EXPECT_EQ(std::memcmp(&display.m_changes[0], &expected, sizeof(expected)), 0);
}

INSTANTIATE_TEST_SUITE_P(Orientations, DisplayOrientation,
                         ::testing::Values(OrientationCase{DMDO_DEFAULT, false},
                                           OrientationCase{DMDO_90, true},
                                           OrientationCase{DMDO_180, false},
                                           OrientationCase{DMDO_270, true}));

}  // namespace
