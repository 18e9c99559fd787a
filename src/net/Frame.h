// The frame that carries every payload in both directions: four magic bytes,
// a 32-bit payload length, then the payload. The UI writes the length least
// significant byte first; we write it most significant byte first.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr uint8_t kFrameMagicByte = 0xDA;
inline constexpr size_t kFrameHeaderSize = 8;
// Payload bytes taken from the socket per read.
inline constexpr size_t kReceiveChunk = 4096;
// Longest inbound payload we collect; longer ones are read and thrown away.
inline constexpr uint32_t kMaxPayload = 16u * 1024 * 1024;
// A connection whose peer leaves more than this unread is given up on.
inline constexpr size_t kMaxUnsent = 8u * 1024 * 1024;
// What all connections together may hold of partial inbound payloads, and
// of outbound bytes; the connection that would pass either is closed.
inline constexpr size_t kMaxPartialTotal = 64u * 1024 * 1024;
inline constexpr size_t kMaxUnsentTotal = 64u * 1024 * 1024;
// Connections served at once; one more is accepted and closed at once.
inline constexpr size_t kMaxConnections = 64;
// A frame of which nothing more arrives for this long closes its connection.
inline constexpr std::chrono::seconds kFrameStallLimit{60};

// The magic is the only thing that tells a UI's frame from other protocols'
// requests: a browser can make a page send "POST /..." here, but never a
// stream that starts with these bytes. True when the first count header
// bytes (at most four are looked at) are all magic.
inline bool HasFrameMagic(const uint8_t* header, size_t count) {
    for (size_t i = 0; i < count && i < 4; ++i) {
        if (header[i] != kFrameMagicByte) {
            return false;
        }
    }
    return true;
}

inline uint32_t ReadInboundLength(const uint8_t* header) {
    return static_cast<uint32_t>(header[4]) | static_cast<uint32_t>(header[5]) << 8 |
           static_cast<uint32_t>(header[6]) << 16 | static_cast<uint32_t>(header[7]) << 24;
}

inline void AppendOutboundHeader(std::vector<uint8_t>& out, uint32_t length) {
    out.insert(out.end(), 4, kFrameMagicByte);
    out.push_back(static_cast<uint8_t>(length >> 24));
    out.push_back(static_cast<uint8_t>(length >> 16));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
}
