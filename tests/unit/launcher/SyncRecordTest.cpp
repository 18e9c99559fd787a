#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "launcher/PictureLayout.h"
#include "launcher/SyncRecord.h"

namespace {

uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t offset) {
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
    std::string name = info.param.name;
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

struct SizeCase {
    const char* name;
    int32_t width;
    int32_t height;
    int32_t bitsPerPixel;
    bool ok;
    uint32_t pixelBytes;
    uint32_t recordBytes;
};

const SizeCase kSizeCases[] = {
    {"full screen at 32 bpp", 1024, 600, 32, true, 2457600, 2457632},
    {"full screen at 24 bpp", 1024, 600, 24, true, 1843200, 1843232},
    {"empty picture", 0, 0, 0, true, 0, 32},
    {"odd width at 24 bpp counts no row padding", 3, 2, 24, true, 18, 50},
    {"largest record that fits", 0x7FFFFFDF, 1, 8, true, 0x7FFFFFDF, 0x7FFFFFFF},
    {"one byte too many", 0x7FFFFFE0, 1, 8, false, 0, 0},
    // 65536 x 65536 x 4 wraps to 0 in 32 bits.
    {"product that wraps 32 bits", 65536, 65536, 32, false, 0, 0},
    {"largest dimensions", 0x7FFFFFFF, 0x7FFFFFFF, 32, false, 0, 0},
    {"negative width", -1, 600, 32, false, 0, 0},
    {"negative height", 1024, -600, 32, false, 0, 0},
    {"negative depth", 1024, 600, -32, false, 0, 0},
};

class SyncRecordSizeTest : public testing::TestWithParam<SizeCase> {};

TEST_P(SyncRecordSizeTest, ComputesSizesWithoutWrapping) {
    const SizeCase& c = GetParam();
    uint32_t pixelBytes = 1;
    uint32_t recordBytes = 1;
    EXPECT_EQ(SyncRecordSizes(c.width, c.height, c.bitsPerPixel, pixelBytes, recordBytes), c.ok);
    EXPECT_EQ(pixelBytes, c.pixelBytes);
    EXPECT_EQ(recordBytes, c.recordBytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, SyncRecordSizeTest, testing::ValuesIn(kSizeCases),
                         CaseName<SizeCase>);

TEST(BuildSyncRecordTest, LaysOutHeaderPixelsAndTrailerByteForByte) {
    SyncRecordHeader header;
    header.code = SYNC_MINIMIZING;
    header.syncWindow = 0x00010F2A;
    header.processId = 0x1234;
    header.width = 3;
    header.height = 2;
    header.bitsPerPixel = 24;
    // Two rows of the bitmap's own length (3 x 3 rounded up to 10 bytes):
    // only the first 18 bytes go into the record, padding included.
    std::vector<uint8_t> pixels(20);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>(0xA0 + i);
    }
    std::vector<uint8_t> record;
    ASSERT_TRUE(BuildSyncRecord(header, pixels, record));

    const std::vector<uint8_t> expectedHeader = {
        0x03, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x2A, 0x0F, 0x01, 0x00, 0x34, 0x12,
        0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00,
    };
    ASSERT_EQ(record.size(), 18u + 32u);
    EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.begin() + 28), expectedHeader);
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 28, record.begin() + 46),
              std::vector<uint8_t>(pixels.begin(), pixels.begin() + 18));
    EXPECT_EQ(WordAt(record, 46), 0u) << "the trailer is zeroed, not left undefined";
}

TEST(BuildSyncRecordTest, RefusesShortPixelsAndOversizedPictures) {
    SyncRecordHeader header;
    header.width = 4;
    header.height = 4;
    header.bitsPerPixel = 32;
    std::vector<uint8_t> record = {1, 2, 3};
    EXPECT_FALSE(BuildSyncRecord(header, std::vector<uint8_t>(63), record));
    EXPECT_TRUE(record.empty());
    // Too large for a record: refused before anything is allocated.
    header.width = 65536;
    header.height = 65536;
    EXPECT_FALSE(BuildSyncRecord(header, std::vector<uint8_t>(64), record));
}

struct RequestCase {
    const char* name;
    std::vector<uint8_t> data;
    LauncherRequest kind;
    int32_t argument;
};

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t word : words) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<uint8_t>(word >> shift));
        }
    }
    return bytes;
}

std::vector<uint8_t> Truncated(std::vector<uint8_t> bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

const RequestCase kRequestCases[] = {
    {"ack", Words({10}), LauncherRequest::Acknowledge, 0},
    {"ack with an argument word", Words({10, 99}), LauncherRequest::Acknowledge, 0},
    {"activate", Words({11, 7}), LauncherRequest::Activate, 7},
    {"activate negative argument", Words({11, 0xFFFFFFFF}), LauncherRequest::Activate, -1},
    {"activate without its argument", Words({11}), LauncherRequest::Ignore, 0},
    {"activate with half an argument", Truncated(Words({11, 7}), 6), LauncherRequest::Ignore, 0},
    {"release", Words({15}), LauncherRequest::Release, 0},
    {"snapshot request", Words({16}), LauncherRequest::SnapshotRequest, 0},
    {"code 12", Words({12, 1}), LauncherRequest::Ignore, 0},
    {"code 13", Words({13, 1}), LauncherRequest::Ignore, 0},
    {"code 14", Words({14, 1}), LauncherRequest::Ignore, 0},
    {"helper code sent back", Words({1, 0}), LauncherRequest::Ignore, 0},
    {"unknown code", Words({0xDEADBEEF}), LauncherRequest::Ignore, 0},
    {"ack in three bytes", Truncated(Words({10}), 3), LauncherRequest::Ignore, 0},
    {"no data", {}, LauncherRequest::Ignore, 0},
};

class DecodeLauncherRequestTest : public testing::TestWithParam<RequestCase> {};

TEST_P(DecodeLauncherRequestTest, DecodesOnlyWhatTheDataHolds) {
    const RequestCase& c = GetParam();
    const DecodedLauncherRequest request =
        DecodeLauncherRequest(c.data.empty() ? nullptr : c.data.data(), c.data.size());
    EXPECT_EQ(request.kind, c.kind);
    EXPECT_EQ(request.argument, c.argument);
}

INSTANTIATE_TEST_SUITE_P(Cases, DecodeLauncherRequestTest, testing::ValuesIn(kRequestCases),
                         CaseName<RequestCase>);

TEST(TicksWithinTest, CountsAcrossTheTickCounterWrap) {
    struct Case {
        uint32_t start, now, timeout;
        bool within;
    };
    const Case cases[] = {
        {1000, 1000, 30000, true},
        {1000, 30999, 30000, true},
        {1000, 31000, 30000, false},
        {0xFFFFFF00u, 0x00000010u, 30000, true},  // 0x110 ms across the wrap
        {0xFFFFFF00u, 0x00007500u, 30000, false},
        {5, 5, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TicksWithin(c.start, c.now, c.timeout), c.within)
            << c.start << " -> " << c.now << " within " << c.timeout;
    }
}

TEST(PictureLayoutTest, AcceptsOnlyTheLauncherDepths) {
    for (int32_t depth : {0, 1, 4, 8, 15, 16, 48, -24}) {
        EXPECT_FALSE(IsSupportedPictureDepth(depth)) << depth;
    }
    EXPECT_TRUE(IsSupportedPictureDepth(24));
    EXPECT_TRUE(IsSupportedPictureDepth(32));
}

TEST(PictureLayoutTest, BufferSizeStaysWithinWhatGetBitmapBitsTakes) {
    size_t bytes = 1;
    EXPECT_TRUE(PictureBufferBytes(600, 4096, bytes));
    EXPECT_EQ(bytes, 2457600u);
    EXPECT_TRUE(PictureBufferBytes(600, 3072, bytes));
    EXPECT_EQ(bytes, 1843200u);
    EXPECT_TRUE(PictureBufferBytes(0, 4096, bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(PictureBufferBytes(65536, 65536, bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(PictureBufferBytes(-1, 4096, bytes));
    EXPECT_FALSE(PictureBufferBytes(600, -4096, bytes));
}

}  // namespace
