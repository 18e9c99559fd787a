// The properties the launcher channel's fuzz target checks, shared with the
// unit test that replays its seeds and saved inputs (tests/unit/fuzz).
//
// The input is used twice:
//  - whole, as the data of a WM_COPYDATA request from the launcher (copied
//    into a buffer of exactly its size, so that ASan sees any read past it);
//  - as a record to build: bytes 0..27 the header's seven words
//    (little-endian: code, marker, window, process, width, height, bits per
//    pixel), the rest the picture's pixels.
//
// Properties:
//  - a request is what its first word says, read as the launcher writes it:
//    ACK, RELEASE and SNAPSHOT_REQUEST need 4 bytes, ACTIVATE 8 and carries
//    word 1; every other code, and anything shorter, is ignored; no request
//    carries an argument but ACTIVATE;
//  - the sizes are refused exactly for negative dimensions and for records
//    past 2^31 - 1 bytes, and are (bits / 8) x width x height plus 32;
//  - a record is built exactly when the sizes are accepted and enough pixels
//    are there; it then reads back as its header (seven little-endian words),
//    the first pixel bytes as given, and a zero trailer.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "launcher/PictureLayout.h"
#include "launcher/SyncRecord.h"

namespace launcher_fuzz {

inline uint32_t Word(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline std::string CheckRequest(const uint8_t* data, size_t size) {
    // Exactly size bytes on the heap: a read past them is an ASan report.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0)
        std::memcpy(copy.get(), data, size);
    const DecodedLauncherRequest got =
        DecodeLauncherRequest(size == 0 ? nullptr : copy.get(), size);
    LauncherRequest kind = LauncherRequest::Ignore;
    int32_t argument = 0;
    if (size >= 4) {
        switch (Word(data)) {
            case SYNC_ACK:
                kind = LauncherRequest::Acknowledge;
                break;
            case SYNC_RELEASE:
                kind = LauncherRequest::Release;
                break;
            case SYNC_SNAPSHOT_REQUEST:
                kind = LauncherRequest::SnapshotRequest;
                break;
            case SYNC_ACTIVATE:
                if (size >= 8) {
                    kind = LauncherRequest::Activate;
                    argument = static_cast<int32_t>(Word(data + 4));
                }
                break;
            default:
                break;
        }
    }
    if (got.kind != kind)
        return "request decoded as the wrong kind";
    if (got.argument != argument)
        return "request carries the wrong argument";
    return {};
}

inline std::string CheckRecord(const uint8_t* data, size_t size) {
    if (size < kSyncRecordHeaderBytes)
        return {};
    SyncRecordHeader header;
    header.code = Word(data);
    header.marker = Word(data + 4);
    header.syncWindow = Word(data + 8);
    header.processId = Word(data + 12);
    header.width = static_cast<int32_t>(Word(data + 16));
    header.height = static_cast<int32_t>(Word(data + 20));
    header.bitsPerPixel = static_cast<int32_t>(Word(data + 24));
    const std::span<const uint8_t> pixels(data + kSyncRecordHeaderBytes,
                                          size - kSyncRecordHeaderBytes);

    // The sizes worked out another way: in floating point first, which is
    // exact enough to tell a product far past 2^32 from one that is not,
    // then exactly in 64 bits where that cannot wrap.
    const bool negative = header.width < 0 || header.height < 0 || header.bitsPerPixel < 0;
    const double approx = negative ? 0.0
                                   : static_cast<double>(header.bitsPerPixel / 8) *
                                         static_cast<double>(header.width) *
                                         static_cast<double>(header.height);
    const uint64_t pixelBytes = negative || approx > 8e9
                                    ? UINT64_MAX
                                    : static_cast<uint64_t>(header.bitsPerPixel / 8) *
                                          static_cast<uint64_t>(header.width) *
                                          static_cast<uint64_t>(header.height);
    const bool fits =
        !negative && approx <= 8e9 &&
        pixelBytes + kSyncRecordHeaderBytes + kSyncRecordTrailerBytes <= kSyncRecordMaxBytes;
    uint32_t gotPixels = 1;
    uint32_t gotRecord = 1;
    const bool sized =
        SyncRecordSizes(header.width, header.height, header.bitsPerPixel, gotPixels, gotRecord);
    if (sized != fits)
        return fits ? "a record that fits was refused" : "an impossible record was sized";
    if (sized && (gotPixels != pixelBytes ||
                  gotRecord != pixelBytes + kSyncRecordHeaderBytes + kSyncRecordTrailerBytes))
        return "record sizes wrong";
    if (!sized && (gotPixels != 0 || gotRecord != 0))
        return "a refused size left numbers behind";

    std::vector<uint8_t> record{1, 2, 3};
    const bool built = BuildSyncRecord(header, pixels, record);
    const bool buildable = fits && pixels.size() >= pixelBytes;
    if (built != buildable)
        return buildable ? "a buildable record was refused"
                         : "a record was built without its pixels";
    if (!built)
        return record.empty() ? "" : "a refused record was not left empty";
    if (record.size() != gotRecord)
        return "record length differs from its size";
    const uint32_t words[7] = {header.code,
                               header.marker,
                               header.syncWindow,
                               header.processId,
                               static_cast<uint32_t>(header.width),
                               static_cast<uint32_t>(header.height),
                               static_cast<uint32_t>(header.bitsPerPixel)};
    for (int w = 0; w < 7; ++w) {
        if (Word(record.data() + 4 * w) != words[w])
            return "header word " + std::to_string(w) + " wrong";
    }
    if (std::memcmp(record.data() + kSyncRecordHeaderBytes, pixels.data(), gotPixels) != 0)
        return "pixels not copied as given";
    for (size_t k = record.size() - kSyncRecordTrailerBytes; k < record.size(); ++k) {
        if (record[k] != 0)
            return "trailer not zero";
    }
    return {};
}

// The picture buffer check: a size GetBitmapBits can be asked for, or none.
inline std::string CheckPictureBuffer(const uint8_t* data, size_t size) {
    if (size < 8)
        return {};
    const auto height = static_cast<int32_t>(Word(data));
    const auto rowBytes = static_cast<int32_t>(Word(data + 4));
    size_t bytes = 7;
    const bool ok = PictureBufferBytes(height, rowBytes, bytes);
    const bool expected =
        height >= 0 && rowBytes >= 0 && static_cast<int64_t>(height) * rowBytes <= INT32_MAX;
    if (ok != expected)
        return expected ? "a possible picture buffer was refused"
                        : "an impossible picture buffer was sized";
    if (ok && bytes != static_cast<size_t>(static_cast<int64_t>(height) * rowBytes))
        return "picture buffer size wrong";
    return {};
}

inline std::string CheckLauncher(const uint8_t* data, size_t size) {
    std::string why = CheckRequest(data, size);
    if (why.empty())
        why = CheckRecord(data, size);
    if (why.empty())
        why = CheckPictureBuffer(data, size);
    return why;
}

}  // namespace launcher_fuzz
