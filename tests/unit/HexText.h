// Bytes written as hex text, for the unit tests' expected payloads: "09 01"
// and "0901" both give {0x09, 0x01}; anything but hex digits is skipped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace test_util {

inline std::vector<uint8_t> Hex(std::string_view text) {
    std::vector<uint8_t> out;
    int nibbles = 0;
    uint8_t byte = 0;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        byte = static_cast<uint8_t>((byte << 4) | v);
        if (++nibbles == 2) {
            out.push_back(byte);
            nibbles = 0;
            byte = 0;
        }
    }
    return out;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

}  // namespace test_util
