#include "net/VolumeScan.h"

#include <cstddef>

namespace {

bool IsScanSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

}  // namespace

VolumeScanResult ScanVolume(const std::u16string& text, int32_t& value) {
    size_t pos = 0;
    while (pos < text.size() && IsScanSpace(text[pos])) {
        ++pos;
    }
    if (pos == text.size()) {
        return VolumeScanResult::EndOfInput;
    }

    bool negative = false;
    if (text[pos] == u'+' || text[pos] == u'-') {
        negative = text[pos] == u'-';
        ++pos;
    }
    if (pos == text.size() || !IsDigit(text[pos])) {
        return VolumeScanResult::NoConversion;
    }

    // Accumulate the magnitude in 64 bits and stop growing it once it is past
    // every 32-bit value, so that any number of digits is safe.
    constexpr int64_t kLimit = int64_t{INT32_MAX} + 1;
    int64_t magnitude = 0;
    for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (text[pos] - u'0');
        }
    }
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX) {
        value = INT32_MAX;
    } else if (signedValue < INT32_MIN) {
        value = INT32_MIN;
    } else {
        value = static_cast<int32_t>(signedValue);
    }
    return VolumeScanResult::Converted;
}
