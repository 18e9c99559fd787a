// Reads the volume text of "wmpSetVolume" the way a wide scanf with "%ld"
// does on Windows, where long is 32 bits.
#pragma once

#include <cstdint>
#include <string>

enum class VolumeScanResult {
    EndOfInput,    // empty or white space only; value untouched
    NoConversion,  // something other than a number comes first; value untouched
    Converted,     // value set
};

// Skips leading white space (space, \t \n \v \f \r), reads an optional sign
// and decimal digits, and ignores whatever follows. Out-of-range numbers
// saturate to INT32_MAX / INT32_MIN, as strtol does, rather than wrap: a
// volume far too loud stays far too loud instead of turning negative.
VolumeScanResult ScanVolume(const std::u16string& text, int32_t& value);
