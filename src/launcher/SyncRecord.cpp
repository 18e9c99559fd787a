#include "launcher/SyncRecord.h"

#include <cstring>
#include <new>

namespace {

void PutWord(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetWord(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace

bool SyncRecordSizes(int32_t width, int32_t height, int32_t bitsPerPixel, uint32_t& pixelBytes,
                     uint32_t& recordBytes) {
    pixelBytes = 0;
    recordBytes = 0;
    if (width < 0 || height < 0 || bitsPerPixel < 0) {
        return false;
    }
    // Each factor is below 2^31, so the first product fits in 64 bits; the
    // second is checked before it is formed.
    const uint64_t perRow = static_cast<uint64_t>(bitsPerPixel / 8) * static_cast<uint64_t>(width);
    const uint64_t limit = kSyncRecordMaxBytes - kSyncRecordHeaderBytes - kSyncRecordTrailerBytes;
    if (height != 0 && perRow > limit / static_cast<uint64_t>(height)) {
        return false;
    }
    const uint64_t pixels = perRow * static_cast<uint64_t>(height);
    pixelBytes = static_cast<uint32_t>(pixels);
    recordBytes = static_cast<uint32_t>(pixels + kSyncRecordHeaderBytes + kSyncRecordTrailerBytes);
    return true;
}

bool BuildSyncRecord(const SyncRecordHeader& header, std::span<const uint8_t> pixels,
                     std::vector<uint8_t>& record) {
    record.clear();
    uint32_t pixelBytes = 0;
    uint32_t recordBytes = 0;
    if (!SyncRecordSizes(header.width, header.height, header.bitsPerPixel, pixelBytes,
                         recordBytes) ||
        pixels.size() < pixelBytes) {
        return false;
    }
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(recordBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint8_t* out = buffer.data();
    PutWord(out + 0, header.code);
    PutWord(out + 4, header.marker);
    PutWord(out + 8, header.syncWindow);
    PutWord(out + 12, header.processId);
    PutWord(out + 16, static_cast<uint32_t>(header.width));
    PutWord(out + 20, static_cast<uint32_t>(header.height));
    PutWord(out + 24, static_cast<uint32_t>(header.bitsPerPixel));
    if (pixelBytes != 0) {
        std::memcpy(out + kSyncRecordHeaderBytes, pixels.data(), pixelBytes);
    }
    record = std::move(buffer);
    return true;
}

DecodedLauncherRequest DecodeLauncherRequest(const void* data, size_t size) {
    DecodedLauncherRequest request;
    if (data == nullptr || size < 4) {
        return request;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    switch (GetWord(bytes)) {
        case SYNC_ACK:
            request.kind = LauncherRequest::Acknowledge;
            break;
        case SYNC_ACTIVATE:
            if (size >= 8) {
                request.kind = LauncherRequest::Activate;
                request.argument = static_cast<int32_t>(GetWord(bytes + 4));
            }
            break;
        case SYNC_RELEASE:
            request.kind = LauncherRequest::Release;
            break;
        case SYNC_SNAPSHOT_REQUEST:
            request.kind = LauncherRequest::SnapshotRequest;
            break;
        default:
            // 12 to 14 are the launcher's own business; anything else is
            // not ours either.
            break;
    }
    return request;
}
