#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "net/VolumeScan.h"

namespace {

constexpr int32_t kUntouched = 100;

struct ScanCase {
    std::u16string text;
    VolumeScanResult result;
    int32_t value;  // kUntouched where the scan must not write
};

class ScanVolumeTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanVolumeTest, BehavesLikeWideScanfLd) {
    int32_t value = kUntouched;
    EXPECT_EQ(ScanVolume(GetParam().text, value), GetParam().result);
    EXPECT_EQ(value, GetParam().value);
}

using R = VolumeScanResult;

INSTANTIATE_TEST_SUITE_P(
    Texts, ScanVolumeTest,
    ::testing::Values(
        ScanCase{u"75", R::Converted, 75}, ScanCase{u"42abc", R::Converted, 42},
        ScanCase{u"-5", R::Converted, -5}, ScanCase{u"150", R::Converted, 150},
        ScanCase{u"0x10", R::Converted, 0}, ScanCase{u" 35", R::Converted, 35},
        ScanCase{u"\t\n\v\f\r12", R::Converted, 12}, ScanCase{u"35%", R::Converted, 35},
        ScanCase{u"+7", R::Converted, 7}, ScanCase{u"loud", R::NoConversion, kUntouched},
        ScanCase{u"", R::EndOfInput, kUntouched}, ScanCase{u"   ", R::EndOfInput, kUntouched},
        ScanCase{u"-", R::NoConversion, kUntouched}, ScanCase{u"+", R::NoConversion, kUntouched},
        ScanCase{u"- 5", R::NoConversion, kUntouched},
        ScanCase{u"\u00A035", R::NoConversion, kUntouched},
        ScanCase{u"2147483647", R::Converted, INT32_MAX},
        ScanCase{u"2147483648", R::Converted, INT32_MAX},
        ScanCase{u"-2147483648", R::Converted, INT32_MIN},
        ScanCase{u"-2147483649", R::Converted, INT32_MIN},
        ScanCase{u"99999999999999999999999", R::Converted, INT32_MAX}));

}  // namespace
