// Conversions between the portable code's UTF-16 text and Win32's wchar_t.
#pragma once

#include <string>
#include <string_view>

// Portable code keeps text as char16_t because wchar_t is 32 bits on Linux;
// on this target both are UTF-16 code units, so conversion is a copy.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be UTF-16 on this target");

inline std::wstring ToWide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}

inline std::u16string ToU16(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

// The same text seen as wchar_t, without a copy, for the calls that take a
// null-terminated wide string.
inline const wchar_t* AsWide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

inline const wchar_t* AsWide(const std::u16string& text) {
    return AsWide(text.c_str());
}

inline const char16_t* AsU16(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);
}
