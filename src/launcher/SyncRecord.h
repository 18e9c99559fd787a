// The launcher channel's wire format: the record the helper sends with every
// announcement and the requests the launcher sends back. Platform-free, so
// that the byte layout is tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The hidden windows of both sides, found by class name alone.
inline constexpr char16_t kSyncWindowClass[] = u"{A24F7236-E5C0-4894-A3B7-18FD6482EF39}";
inline constexpr char16_t kLauncherWindowClass[] = u"{2D7DBF7F-6121-43cd-A8EC-F41CA66EECDB}";

// The data-kind word of WM_COPYDATA, one per direction.
inline constexpr uint32_t COPYDATA_FROM_LAUNCHER = 0x01326976;
inline constexpr uint32_t COPYDATA_TO_LAUNCHER = 0x01326977;

// Codes in word 0 of a record (helper to launcher) or a request (back).
inline constexpr uint32_t SYNC_STARTED = 1;
inline constexpr uint32_t SYNC_CLOSING = 2;
inline constexpr uint32_t SYNC_MINIMIZING = 3;
inline constexpr uint32_t SYNC_SNAPSHOT = 5;
inline constexpr uint32_t SYNC_ACK = 10;
inline constexpr uint32_t SYNC_ACTIVATE = 11;
inline constexpr uint32_t SYNC_RELEASE = 15;
inline constexpr uint32_t SYNC_SNAPSHOT_REQUEST = 16;

// How long an announcement waits for its acknowledgement; a picture asked
// for by the launcher itself waits less.
inline constexpr uint32_t kLauncherAckTimeoutMs = 30000;
inline constexpr uint32_t kSnapshotAckTimeoutMs = 2000;

// The fixed words in front of the pixels, little-endian on the wire.
struct SyncRecordHeader {
    uint32_t code = 0;
    uint32_t marker = 0xFFFFFFFFu;
    uint32_t syncWindow = 0;  // the helper's sync window handle, truncated to 32 bits
    uint32_t processId = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitsPerPixel = 0;  // 24 or 32; 0 for an empty picture
};

inline constexpr size_t kSyncRecordHeaderBytes = 28;
// Four bytes follow the pixels; the launcher does not read them.
inline constexpr size_t kSyncRecordTrailerBytes = 4;
// A record is handed to WM_COPYDATA, whose byte count the launcher reads as
// a signed 32-bit value.
inline constexpr uint64_t kSyncRecordMaxBytes = 0x7FFFFFFF;

// The number of pixel bytes a record carries, (bits per pixel / 8) x height
// x width, and the whole record's size. False for negative dimensions and
// for a picture whose record would not fit in kSyncRecordMaxBytes; the
// arithmetic is 64-bit, so no product wraps.
bool SyncRecordSizes(int32_t width, int32_t height, int32_t bitsPerPixel, uint32_t& pixelBytes,
                     uint32_t& recordBytes);

// Builds a whole record: header, the first pixelBytes bytes of pixels, and a
// zeroed trailer. False (record left empty) when the sizes are refused, when
// pixels holds fewer bytes than the header asks for, or when the buffer
// cannot be allocated.
bool BuildSyncRecord(const SyncRecordHeader& header, std::span<const uint8_t> pixels,
                     std::vector<uint8_t>& record);

// What a launcher request asks for.
enum class LauncherRequest {
    Ignore,
    Acknowledge,
    Activate,
    Release,
    SnapshotRequest,
};

struct DecodedLauncherRequest {
    LauncherRequest kind = LauncherRequest::Ignore;
    int32_t argument = 0;  // word 1, read only for Activate
};

// Decodes the data of a request tagged COPYDATA_FROM_LAUNCHER. Data too
// short for the words its code needs (4 bytes, 8 for SYNC_ACTIVATE) is
// ignored rather than read past its end.
DecodedLauncherRequest DecodeLauncherRequest(const void* data, size_t size);

// GetTickCount wraps every 49.7 days; unsigned subtraction keeps a wait
// that spans the wrap exactly as long as one that does not.
constexpr bool TicksWithin(uint32_t startTick, uint32_t nowTick, uint32_t timeoutMs) {
    return static_cast<uint32_t>(nowTick - startTick) < timeoutMs;
}
