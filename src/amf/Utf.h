// UTF-8 <-> UTF-16 conversion for the AMF3 codec.
//
// Our own implementation, identical on every platform, so the native tests
// check the converter that ships. It behaves like the Windows converter
// (MultiByteToWideChar / WideCharToMultiByte with CP_UTF8 and no flags):
// malformed input is never an error.
//  - UTF-8 -> UTF-16: each maximal invalid subsequence (the longest prefix of
//    a well-formed sequence that is then cut short, or a single byte that can
//    start nothing) becomes one U+FFFD, as the Unicode standard recommends.
//    Overlong forms, encoded surrogates and values above U+10FFFF are
//    invalid. Every input byte contributes to the output, so n > 0 bytes
//    always yield at least one UTF-16 unit, and never more than n.
//  - UTF-16 -> UTF-8: an unpaired surrogate becomes U+FFFD (EF BF BD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace amf {

// Writes the UTF-16 form of the n bytes at p to out, which must have room for
// n units, and returns the number of units written (0 only when n is 0).
size_t Utf8ToUtf16(const uint8_t* p, size_t n, char16_t* out);

// As Utf8ToUtf16, but stops at the first NUL byte: the UTF-16 text cut at its
// first NUL character (a NUL byte also ends any sequence before it, so the
// prefix converts exactly as it would within the whole).
size_t Utf8ToUtf16UntilNul(const uint8_t* p, size_t n, char16_t* out);

// Number of UTF-8 bytes that Utf16ToUtf8 writes for text.
size_t Utf8Length(std::u16string_view text);

// Writes the UTF-8 form of text to out, which must have room for
// Utf8Length(text) bytes, and returns the number of bytes written.
size_t Utf16ToUtf8(std::u16string_view text, uint8_t* out);

// Conveniences for tests and callers outside the codec's hot paths.
std::u16string Utf8ToUtf16(std::string_view bytes);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace amf
