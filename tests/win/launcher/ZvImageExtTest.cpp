#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <vector>

#include "framework/Handles.h"
#include "launcher/ZvImageExt_win.h"

namespace {

struct DepthCase {
    int bitsPerPixel;
    bool taken;
};

class CopyFromBitmapDepthTest : public testing::TestWithParam<DepthCase> {};

// A bitmap of 16 bits per pixel stands for a display at that depth, whose
// captures and converted start picture have it too.
TEST_P(CopyFromBitmapDepthTest, TakesOnlyTheLauncherDepthsAndKeepsTheOldPictureOtherwise) {
    CZvImageExt picture;
    const CBitmapHandle previous(::CreateBitmap(2, 2, 1, 24, nullptr));
    ASSERT_TRUE(picture.CopyFromBitmap(previous.Get()));

    const CBitmapHandle bitmap(::CreateBitmap(5, 3, 1, GetParam().bitsPerPixel, nullptr));
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(picture.CopyFromBitmap(bitmap.Get()), GetParam().taken);
    EXPECT_TRUE(picture.HasPixels());
    if (GetParam().taken) {
        BITMAP description{};
        ::GetObjectW(bitmap.Get(), sizeof(description), &description);
        EXPECT_EQ(picture.Width(), 5);
        EXPECT_EQ(picture.Height(), 3);
        EXPECT_EQ(picture.BitsPerPixel(), GetParam().bitsPerPixel);
        EXPECT_EQ(picture.Bits().size(), 3u * description.bmWidthBytes);
    } else {
        EXPECT_EQ(picture.Width(), 2);
        EXPECT_EQ(picture.BitsPerPixel(), 24);
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, CopyFromBitmapDepthTest,
                         testing::Values(DepthCase{1, false}, DepthCase{8, false},
                                         DepthCase{16, false}, DepthCase{24, true},
                                         DepthCase{32, true}));

TEST(CopyFromBitmapTest, CopiesTheBitsTopRowFirst) {
    const uint32_t pixels[] = {0x00010203, 0x00040506, 0x00A0B0C0, 0x00D0E0F0};
    const CBitmapHandle bitmap(::CreateBitmap(2, 2, 1, 32, pixels));
    CZvImageExt picture;
    ASSERT_TRUE(picture.CopyFromBitmap(bitmap.Get()));
    const auto* bytes = reinterpret_cast<const uint8_t*>(pixels);
    EXPECT_EQ(std::vector<uint8_t>(picture.Bits().begin(), picture.Bits().end()),
              std::vector<uint8_t>(bytes, bytes + sizeof(pixels)));
}

TEST(CaptureWindowTest, WithoutAWindowTakesTheWholeScreen) {
    CZvImageExt picture;
    ASSERT_TRUE(picture.CaptureWindow(nullptr));
    EXPECT_EQ(picture.Width(), ::GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(picture.Height(), ::GetSystemMetrics(SM_CYSCREEN));
}

}  // namespace
