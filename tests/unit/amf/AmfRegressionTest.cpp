// Replays the saved fuzz inputs (tests/fuzz/regressions/amf) and the seed
// corpus (tests/fuzz/corpus/amf) through the fuzz target's own property
// (tests/fuzz/AmfFuzzCheck.h). The regressions are embedded below so every
// build replays them, the Windows one under Wine included; natively the test
// also reads the directories next to this source and insists that every
// regression file has its embedded copy.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "AmfTestUtil.h"
#include "fuzz/AmfFuzzCheck.h"

namespace {

using namespace amf_test;
namespace fs = std::filesystem;

struct Regression {
    const char* name;  // its file name under tests/fuzz/regressions/amf
    const char* hex;
};

const Regression kRegressions[] = {
    {"byteat-outside-member-list", "09 01 03 61 04 05 "},
    {"nesting-65-levels",
     "09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 "
     "03 "
     "01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 "
     "09 "
     "03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 "
     "01 "
     "09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 "
     "03 "
     "01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 "
     "09 "
     "03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 01 09 03 "
     "01 "
     "09 03 01 01 "},
    {"slow-unit-array-reserve-amplification",
     "09 07 01 01 01 01 01 01 09 09 01 09 09 09 09 09 09 24 09 09 09 2E 09 09 09 09 09 09 09 09 09 "
     "09 "
     "09 49 01 01 03 01 01 01 01 01 01 01 09 ED 09 09 0F 09 09 09 2E 09 05 09 09 09 09 9C 09 09 09 "
     "09 "
     "09 09 01 01 01 01 01 01 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
     "00 "
     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
     "00 "
     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 09 07 01 01 "
     "01 "
     "01 01 01 09 09 01 09 09 09 0F 09 09 09 09 09 09 09 07 01 01 01 01 01 01 09 09 01 09 09 09 09 "
     "09 "
     "09 0F 09 09 09 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 09 09 2E 09 09 09 09 09 09 09 "
     "09 "
     "09 09 09 01 01 01 01 09 01 01 01 01 01 01 07 6A 09 05 03 62 04 01 01 03 01 03 63 04 01 09 09 "
     "09 "
     "09 10 09 09 09 01 41 01 01 01 09 09 19 0F 09 09 09 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 "
     "01 "
     "01 01 01 01 01 01 01 01 07 6A 09 05 03 62 04 01 01 03 01 03 63 04 01 09 09 09 09 10 09 09 09 "
     "09 "
     "09 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 "
     "2E "
     "09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 01 01 09 01 01 01 09 09 09 09 0F 09 09 09 2E "
     "09 "
     "09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 "
     "01 "
     "01 01 01 01 01 09 09 09 09 0F 09 09 09 07 01 01 01 01 01 01 09 09 01 09 09 09 0F 09 09 09 09 "
     "09 "
     "09 09 07 01 01 01 01 01 01 09 09 01 09 09 09 09 09 09 0F 09 09 09 2E 09 09 09 09 09 09 09 09 "
     "09 "
     "09 09 09 01 01 01 09 09 2E 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 09 01 01 01 01 01 01 "
     "07 "
     "6A 09 05 03 62 04 01 01 03 01 03 63 04 01 09 09 09 09 10 09 09 09 01 01 01 01 01 01 01 01 01 "
     "01 "
     "09 09 09 19 0F 09 09 09 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 01 "
     "07 "
     "6A 09 05 03 62 04 01 01 03 01 03 63 04 01 09 09 09 09 10 09 09 09 09 09 09 01 01 01 01 01 01 "
     "01 "
     "01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 "
     "09 "
     "09 09 09 01 01 01 01 01 01 09 01 01 01 09 09 09 09 0F 09 09 09 2E 09 09 00 01 00 00 00 00 03 "
     "63 "
     "01 03 06 09 2E 09 09 09 09 09 09 09 10 09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 11 05 11 "
     "00 "
     "00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 5F 00 00 00 09 09 09 09 09 09 2E 09 09 "
     "00 "
     "01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 01 01 01 01 01 01 01 09 09 09 09 0F 09 09 09 2E "
     "09 "
     "09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 "
     "01 "
     "01 01 01 01 01 09 09 09 09 0F 09 09 09 2E 09 09 09 09 09 09 09 10 09 09 09 09 09 09 01 01 01 "
     "01 "
     "01 01 01 01 01 11 05 11 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 5F 00 00 00 "
     "09 "
     "09 09 09 09 09 2E 09 09 01 32 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 "
     "09 "
     "01 01 01 01 07 6A 09 05 03 62 09 09 09 09 09 09 09 09 09 01 01 01 01 01 01 09 01 01 01 09 09 "
     "09 "
     "09 0F 09 09 09 2E 09 09 00 01 00 00 00 00 03 63 01 03 06 09 2E 09 09 09 09 09 09 09 10 09 09 "
     "09 "
     "09 09 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 01 00 00 00 00 03 63 01 03 DF 00 01 2E "
     "09 "
     "09 09 5F 00 00 00 09 09 09 09 09 09 2E 09 09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 "
     "01 "
     "01 01 01 01 01 01 09 09 09 09 0F 09 09 09 2E 09 09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E "
     "09 "
     "09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 01 09 09 09 09 0F 09 09 09 2E 09 "
     "09 "
     "09 09 09 09 09 10 09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 01 00 00 00 "
     "00 "
     "03 63 01 03 06 00 01 2E 09 09 09 5F 00 00 00 09 09 09 09 09 09 2E 09 09 01 32 00 00 00 00 03 "
     "63 "
     "01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 01 01 01 01 07 6A 09 05 03 62 09 09 09 09 09 "
     "09 "
     "01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 "
     "09 "
     "09 09 09 09 09 09 09 09 09 01 01 00 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 00 01 "
     "00 "
     "00 00 00 03 63 01 03 06 00 01 2E 09 09 05 03 62 01 01 01 01 01 01 09 09 09 09 0F 09 09 09 2E "
     "09 "
     "09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 "
     "01 "
     "01 01 01 01 01 09 09 09 09 0F 09 09 09 2E 09 09 09 09 09 09 09 10 09 09 09 09 09 09 01 01 01 "
     "01 "
     "01 01 01 01 01 11 05 11 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 5F 00 00 00 "
     "09 "
     "09 09 09 09 09 2E 09 09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 "
     "09 "
     "01 01 01 01 07 6A 09 05 03 62 04 01 01 03 40 03 63 04 01 09 09 09 09 09 09 09 01 01 01 01 01 "
     "01 "
     "01 01 03 01 01 01 01 01 01 01 01 01 01 01 01 09 09 09 09 0F 09 09 09 2E 09 09 09 09 09 09 09 "
     "10 "
     "09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 01 00 00 00 00 03 63 01 03 06 "
     "00 "
     "01 2E 09 09 09 5F 00 00 00 09 09 09 09 09 09 2E 09 09 01 32 00 00 00 00 03 63 01 03 06 00 01 "
     "2E "
     "09 09 09 09 09 09 09 09 09 09 01 01 01 01 07 6A 09 05 03 62 09 09 09 09 09 09 01 01 01 01 01 "
     "01 "
     "01 01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 5E 01 03 06 00 01 2E 09 09 09 09 09 09 09 "
     "09 "
     "09 09 09 09 01 01 00 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 "
     "63 "
     "01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 07 6A 09 05 03 62 09 09 09 09 "
     "09 "
     "09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E "
     "09 "
     "09 09 09 09 09 09 09 09 09 09 09 01 01 00 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 "
     "00 "
     "01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 01 01 "
     "01 "
     "01 01 01 09 09 09 09 0F 09 09 09 2E 09 09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 05 "
     "01 "
     "01 01 11 05 11 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 5F 00 00 00 09 09 09 "
     "09 "
     "09 09 2E 09 09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 01 01 01 01 01 "
     "01 "
     "01 01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 5E 01 03 06 00 01 2E 09 09 09 09 09 09 09 "
     "09 "
     "09 09 09 09 01 01 00 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 "
     "63 "
     "01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 07 6A 09 05 03 62 09 09 09 09 "
     "09 "
     "09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E "
     "09 "
     "09 09 09 09 09 09 09 09 09 09 09 01 01 00 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 "
     "00 "
     "01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 01 01 "
     "01 "
     "01 01 01 09 09 09 09 0F 09 09 09 2E 09 09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 05 "
     "01 "
     "01 01 11 05 11 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 5F 00 00 00 09 09 09 "
     "09 "
     "09 09 2E 09 09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 00 01 00 00 00 00 03 63 01 03 06 00 "
     "01 "
     "2E 09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 01 09 09 09 09 0F 09 09 09 "
     "2E "
     "09 09 09 09 09 09 09 10 09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 01 00 "
     "00 "
     "00 00 03 63 01 03 06 00 01 2E 09 09 09 5F 00 00 00 09 09 09 09 09 09 2E 09 09 00 01 00 00 00 "
     "00 "
     "03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 01 01 01 01 07 6A 09 05 03 62 04 01 01 "
     "03 "
     "40 03 63 04 01 09 09 09 09 09 09 09 01 01 01 01 01 01 01 01 03 01 01 01 01 01 01 01 01 01 01 "
     "01 "
     "01 09 09 09 09 0F 09 09 09 2E 09 09 09 09 09 09 09 10 09 09 09 09 09 09 01 01 01 01 01 01 01 "
     "01 "
     "01 11 05 11 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 5F 00 00 00 09 09 09 09 "
     "09 "
     "09 2E 09 09 01 32 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 01 01 01 "
     "01 "
     "07 6A 09 05 03 62 09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 00 01 00 "
     "00 "
     "00 00 03 5E 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 01 00 09 01 01 01 01 01 "
     "01 "
     "01 01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 63 01 00 00 00 00 00 00 00 00 00 00 00 00 "
     "00 "
     "00 00 00 02 00 00 00 00 00 00 00 00 00 01 01 07 6A 09 05 03 01 01 04 03 01 62 40 03 63 04 01 "
     "01 "
     "00 00 01 00 00 01 01 01 01 09 00 00 00 00 00 00 00 00 01 01 03 06 00 01 2E 09 09 09 09 09 09 "
     "09 "
     "09 09 09 09 01 01 01 01 07 6A 09 05 03 62 09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 11 05 "
     "11 "
     "00 00 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 09 09 01 "
     "01 "
     "00 09 01 01 01 01 01 01 01 01 01 11 05 11 00 00 00 00 00 01 00 00 00 00 03 63 01 03 06 00 01 "
     "2E "
     "09 09 09 09 09 09 09 09 09 09 09 09 01 01 01 01 01 01 01 01 01 01 09 09 09 09 0F 09 09 09 2E "
     "09 "
     "09 00 01 00 00 00 00 03 63 01 03 06 00 01 2E 09 09 05 01 01 01 11 05 11 00 00 00 01 00 00 00 "
     "00 "
     "03 63 01 03 06 00 01 2E 09 09 09 5F 00 00 00 09 09 09 09 09 09 2E 09 09 00 01 00 00 00 00 03 "
     "63 "
     "01 03 06 00 01 2E 09 09 09 09 09 09 09 09 09 09 01 01 01 01 07 6A 09 05 03 62 01 01 01 01 01 "
     "01 "
     "09 09 09 09 0F 09 09 09 2E 09 09 00 01 02 01 00 00 00 00 09 03 63 01 03 06 00 01 01 01 09 01 "
     "01 "
     "01 01 03 01 06 03 78 01 01 01 01 01 02 09 03 01 06 03 78 "},
};

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

// The fuzz directories, found from this source file's path; empty when the
// build runs where that path does not exist.
fs::path FuzzDir(const char* sub) {
    std::error_code ec;
    const fs::path dir =
        fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / sub;
    return fs::is_directory(dir, ec) ? dir : fs::path();
}

TEST(FuzzRegressions, EmbeddedInputsHoldTheProperty) {
    for (const Regression& r : kRegressions) {
        SCOPED_TRACE(r.name);
        const std::vector<uint8_t> input = Hex(r.hex);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(amf_fuzz::CheckDecode(input.data(), input.size()), "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

TEST(FuzzRegressions, EveryFileIsEmbeddedAndHolds) {
    const fs::path dir = FuzzDir("regressions/amf");
    if (dir.empty())
        GTEST_SKIP() << "regressions directory not reachable from this build";
    std::set<std::string> embedded;
    for (const Regression& r : kRegressions)
        embedded.insert(r.name);
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".md")
            continue;
        SCOPED_TRACE(name);
        const std::vector<uint8_t> input = ReadFile(entry.path());
        EXPECT_TRUE(embedded.count(name)) << "add it to kRegressions";
        for (const Regression& r : kRegressions) {
            if (name == r.name) {
                EXPECT_EQ(ToHex(Hex(r.hex)), ToHex(input)) << "embedded copy differs";
            }
        }
        EXPECT_EQ(amf_fuzz::CheckDecode(input.data(), input.size()), "");
    }
}

TEST(FuzzRegressions, ExpectedOutcomes) {
    CAmfMessage slow;
    EXPECT_TRUE(slow.Decode(Hex(kRegressions[2].hex)));
    CAmfMessage byteAt;
    EXPECT_FALSE(byteAt.Decode(Hex(kRegressions[0].hex)));
    CAmfMessage nesting;
    EXPECT_FALSE(nesting.Decode(Hex(kRegressions[1].hex)));
}

TEST(FuzzCorpus, SeedsDecodeAndRoundTrip) {
    const fs::path dir = FuzzDir("corpus/amf");
    if (dir.empty())
        GTEST_SKIP() << "corpus directory not reachable from this build";
    int seeds = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        SCOPED_TRACE(entry.path().filename().string());
        const std::vector<uint8_t> input = ReadFile(entry.path());
        EXPECT_EQ(amf_fuzz::CheckDecode(input.data(), input.size()), "");
        ++seeds;
    }
    EXPECT_GE(seeds, 10);
}

// The seeds that are whole messages from our own writer decode, and
// re-encode to the same bytes (the corpus writer orders keys the same way).
TEST(FuzzCorpus, EnvelopesReencodeByteForByte) {
    const fs::path dir = FuzzDir("corpus/amf");
    if (dir.empty())
        GTEST_SKIP() << "corpus directory not reachable from this build";
    for (const char* name :
         {"minimize_event", "wmp_play", "wmp_set_volume", "wmp_stop", "wmp_status_event",
          "wmp_media_event", "wmp_error_event", "integers", "doubles", "strings_refs", "nested"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> input = ReadFile(dir / name);
        ASSERT_FALSE(input.empty());
        CAmfMessage message;
        ASSERT_TRUE(message.Decode(input));
        std::vector<uint8_t> out;
        ASSERT_TRUE(message.Encode(out));
        EXPECT_EQ(ToHex(out), ToHex(input));
    }
}

}  // namespace
