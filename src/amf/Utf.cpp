// Portable UTF-8 <-> UTF-16 conversion; see Utf.h for the rules.
#include "amf/Utf.h"

#include <cstring>

namespace amf {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

inline bool IsHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
inline bool IsLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

template <class Word>
Word LoadWord(const uint8_t* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// True when every byte of w is 01..7F. Subtracting 1 from each byte sets the
// top bit of a 00 byte, or-ing in w itself catches the bytes 80..FF. Only a
// 00 byte borrows from its neighbour, and that word is refused already, so
// the borrow cannot change the answer.
template <class Word>
bool IsPlainAscii(Word w) {
    constexpr Word ones = static_cast<Word>(~Word{0}) / 0xFF;  // 0x0101...01
    constexpr Word tops = ones * 0x80;                         // 0x8080...80
    return (((w - ones) | w) & tops) == 0;
}

template <size_t N>
void Widen(const uint8_t* p, char16_t* out) {
    for (size_t k = 0; k < N; ++k)
        out[k] = p[k];
}

}  // namespace

size_t Utf8ToUtf16(const uint8_t* p, size_t n, char16_t* out) {
    // Most text is ASCII: widen it in one pass without an early exit (so the
    // loop vectorises), and start over properly only if a byte was not.
    unsigned seen = 0;
    for (size_t k = 0; k < n; ++k) {
        seen |= p[k];
        out[k] = p[k];
    }
    if (seen < 0x80)
        return n;

    size_t i = 0;
    size_t o = 0;
    while (i < n) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            out[o++] = b;
            ++i;
            continue;
        }
        // The lead byte fixes how many continuation bytes follow and the
        // range the first of them may take; the narrower first ranges are
        // what exclude overlong forms, surrogates and values past U+10FFFF.
        int need;
        uint8_t lo = 0x80;
        uint8_t hi = 0xBF;
        uint32_t cp;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0)
                lo = 0xA0;
            if (b == 0xED)
                hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0)
                lo = 0x90;
            if (b == 0xF4)
                hi = 0x8F;
        } else {
            out[o++] = kReplacement;  // 80..C1, F5..FF start nothing
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool complete = true;
        for (int k = 0; k < need; ++k, ++j) {
            if (j >= n || p[j] < lo || p[j] > hi) {
                complete = false;
                break;
            }
            cp = (cp << 6) | (p[j] & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        if (!complete) {
            // The maximal subpart i..j-1 becomes one U+FFFD; the byte that
            // broke it is looked at again as a possible lead byte.
            out[o++] = kReplacement;
            i = j;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[o++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[o++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[o++] = static_cast<char16_t>(cp);
        }
        i = j;
    }
    return o;
}

size_t Utf8ToUtf16UntilNul(const uint8_t* p, size_t n, char16_t* out) {
    // The common case is ASCII without NUL (bytes 01..7F). Short texts (keys,
    // names) take a plain loop; longer ones one vectorisable pass.
    if (n < 16) {
        // Whole words first (a key of 8 to 15 bytes takes one), then bytes.
        size_t k = 0;
        if (n >= 8 && IsPlainAscii(LoadWord<uint64_t>(p))) {
            Widen<8>(p, out);
            k = 8;
        }
        if (n - k >= 4 && IsPlainAscii(LoadWord<uint32_t>(p + k))) {
            Widen<4>(p + k, out + k);
            k += 4;
        }
        for (; k < n; ++k) {
            const uint8_t b = p[k];
            if (static_cast<uint8_t>(b - 1) >= 0x7F)
                break;
            out[k] = b;
        }
        if (k == n)
            return n;
    } else {
        uint8_t seen = 0;
        uint8_t least = 0xFF;
        for (size_t k = 0; k < n; ++k) {
            const uint8_t b = p[k];
            seen |= b;
            least = b < least ? b : least;
            out[k] = b;
        }
        if (seen < 0x80 && least != 0)
            return n;
    }
    const void* at = std::memchr(p, 0, n);
    const size_t kept = at ? static_cast<size_t>(static_cast<const uint8_t*>(at) - p) : n;
    return Utf8ToUtf16(p, kept, out);
}

size_t Utf8Length(std::u16string_view text) {
    // Two branch-free passes that vectorise: every unit counts as 1, 2 or 3
    // bytes by its value (a surrogate, paired or not, as 3), and each valid
    // pair then gives back 2, since a pair is 4 bytes, not 3 + 3.
    const char16_t* s = text.data();
    const size_t n = text.size();
    size_t bytes = 0;
    for (size_t i = 0; i < n; ++i)
        bytes += 1 + (s[i] >= 0x80) + (s[i] >= 0x800);
    size_t pairs = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        pairs += static_cast<size_t>(IsHighSurrogate(s[i])) *
                 static_cast<size_t>(IsLowSurrogate(s[i + 1]));
    }
    // A unit can end one pair and start none other (a low surrogate is never
    // high), so counting overlapping candidates counts each pair once.
    return bytes - 2 * pairs;
}

size_t Utf16ToUtf8(std::u16string_view text, uint8_t* out) {
    const char16_t* s = text.data();
    const size_t n = text.size();
    size_t o = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t u = s[i];
        if (u < 0x80) {
            out[o++] = static_cast<uint8_t>(u);
        } else if (u < 0x800) {
            out[o++] = static_cast<uint8_t>(0xC0 | (u >> 6));
            out[o++] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        } else if (IsHighSurrogate(static_cast<char16_t>(u)) && i + 1 < n &&
                   IsLowSurrogate(s[i + 1])) {
            const uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            ++i;
            out[o++] = static_cast<uint8_t>(0xF0 | (cp >> 18));
            out[o++] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
            out[o++] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
            out[o++] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        } else {
            if (u >= 0xD800 && u <= 0xDFFF)
                u = kReplacement;
            out[o++] = static_cast<uint8_t>(0xE0 | (u >> 12));
            out[o++] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
            out[o++] = static_cast<uint8_t>(0x80 | (u & 0x3F));
        }
    }
    return o;
}

std::u16string Utf8ToUtf16(std::string_view bytes) {
    std::u16string out(bytes.size(), u'\0');
    out.resize(
        Utf8ToUtf16(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out.data()));
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out(Utf8Length(text), '\0');
    Utf16ToUtf8(text, reinterpret_cast<uint8_t*>(out.data()));
    return out;
}

}  // namespace amf
