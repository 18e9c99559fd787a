#include "radio/hls/Id3Reader.h"

#include <string_view>
#include <vector>

#include "amf/Utf.h"

namespace radio::hls {

namespace {

// A 28-bit size in four bytes of seven bits; nullopt when a byte has its top
// bit set, which no conforming writer produces.
std::optional<uint32_t> SyncSafe(const uint8_t* p) {
    if ((p[0] | p[1] | p[2] | p[3]) & 0x80) {
        return std::nullopt;
    }
    return (uint32_t{p[0]} << 21) | (uint32_t{p[1]} << 14) | (uint32_t{p[2]} << 7) | p[3];
}

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Undoes unsynchronisation: every FF 00 was written for a lone FF.
std::vector<uint8_t> Resync(std::span<const uint8_t> data) {
    std::vector<uint8_t> out;
    out.reserve(data.size());
    for (size_t i = 0; i < data.size(); ++i) {
        out.push_back(data[i]);
        if (data[i] == 0xFF && i + 1 < data.size() && data[i + 1] == 0x00) {
            ++i;
        }
    }
    return out;
}

std::u16string Latin1(std::span<const uint8_t> bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (uint8_t b : bytes) {
        out.push_back(b);
    }
    return out;
}

// UTF-16 text; bigEndian unless a byte order mark says otherwise. A lone
// surrogate or an odd byte at the end is dropped rather than trusted.
std::u16string Utf16(std::span<const uint8_t> bytes, bool bigEndian) {
    size_t i = 0;
    if (bytes.size() >= 2) {
        if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
            bigEndian = false;
            i = 2;
        } else if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
            bigEndian = true;
            i = 2;
        }
    }
    std::u16string units;
    for (; i + 1 < bytes.size(); i += 2) {
        units.push_back(bigEndian ? static_cast<char16_t>((bytes[i] << 8) | bytes[i + 1])
                                  : static_cast<char16_t>((bytes[i + 1] << 8) | bytes[i]));
    }
    std::u16string out;
    out.reserve(units.size());
    for (size_t k = 0; k < units.size(); ++k) {
        const char16_t c = units[k];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (k + 1 < units.size() && units[k + 1] >= 0xDC00 && units[k + 1] <= 0xDFFF) {
                out.push_back(c);
                out.push_back(units[++k]);
            } else {
                out.push_back(u'\xFFFD');
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            out.push_back(u'\xFFFD');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// The strings of a text frame; v2.4 separates several values with NULs,
// which are shown joined by '/', as v2.3 writes them.
std::optional<std::u16string> TextFrame(std::span<const uint8_t> body) {
    if (body.empty()) {
        return std::nullopt;
    }
    const uint8_t encoding = body[0];
    const auto text = body.subspan(1);
    const bool wide = encoding == 1 || encoding == 2;
    if (encoding > 3) {
        return std::nullopt;
    }
    std::u16string out;
    size_t start = 0;
    const size_t step = wide ? 2 : 1;
    auto flush = [&](size_t end) {
        const auto piece = text.subspan(start, end - start);
        std::u16string value;
        if (encoding == 0) {
            value = Latin1(piece);
        } else if (encoding == 3) {
            value = amf::Utf8ToUtf16(
                std::string_view(reinterpret_cast<const char*>(piece.data()), piece.size()));
        } else {
            value = Utf16(piece, true);
        }
        if (!value.empty()) {
            if (!out.empty()) {
                out += u'/';
            }
            out += value;
        }
    };
    for (size_t i = 0; i + step <= text.size(); i += step) {
        if (text[i] == 0 && (!wide || text[i + 1] == 0)) {
            flush(i);
            start = i + step;
        }
    }
    if (start < text.size()) {
        flush(text.size() - (wide ? (text.size() - start) % 2 : 0));
    }
    if (out.empty()) {
        return std::nullopt;
    }
    return out;
}

constexpr std::string_view kTimestampOwner = "com.apple.streaming.transportStreamTimestamp";

void PrivFrame(std::span<const uint8_t> body, CId3Tag& tag) {
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    if (text.size() == kTimestampOwner.size() + 1 + 8 &&
        text.substr(0, kTimestampOwner.size()) == kTimestampOwner &&
        text[kTimestampOwner.size()] == '\0') {
        const uint8_t* p = body.data() + kTimestampOwner.size() + 1;
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {
            value = (value << 8) | p[i];
        }
        tag.pts = static_cast<int64_t>(value & ((uint64_t{1} << 33) - 1));
    }
}

void TakeFrame(std::string_view id, std::span<const uint8_t> body, CId3Tag& tag) {
    if (id == "TIT2" || id == "TT2") {
        tag.title = TextFrame(body);
    } else if (id == "TPE1" || id == "TP1") {
        tag.artist = TextFrame(body);
    } else if (id == "PRIV") {
        PrivFrame(body, tag);
    }
}

void ReadFrames(std::span<const uint8_t> body, int version, bool tagUnsync, CId3Tag& tag) {
    const size_t headerBytes = version == 2 ? 6 : 10;
    size_t pos = 0;
    while (pos + headerBytes <= body.size()) {
        const uint8_t* h = body.data() + pos;
        if (h[0] == 0) {
            return;  // padding
        }
        const std::string_view id(reinterpret_cast<const char*>(h), version == 2 ? 3 : 4);
        for (char c : id) {
            if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
                return;
            }
        }
        uint32_t size;
        uint16_t flags = 0;
        if (version == 2) {
            size = (uint32_t{h[3]} << 16) | (uint32_t{h[4]} << 8) | h[5];
        } else if (version == 3) {
            size = BigEndian32(h + 4);
            flags = static_cast<uint16_t>((h[8] << 8) | h[9]);
        } else {
            // Some writers put plain sizes into v2.4 frames; a size that is
            // not sync-safe can only be one of those.
            const auto safe = SyncSafe(h + 4);
            size = safe ? *safe : BigEndian32(h + 4);
            flags = static_cast<uint16_t>((h[8] << 8) | h[9]);
        }
        pos += headerBytes;
        if (size > body.size() - pos) {
            return;
        }
        auto frame = body.subspan(pos, size);
        pos += size;
        bool skip = false;
        bool unsync = tagUnsync;
        if (version == 3) {
            skip = (flags & 0x00C0) != 0;  // compressed or encrypted
            if (flags & 0x0020) {          // grouping identity
                if (frame.empty()) {
                    continue;
                }
                frame = frame.subspan(1);
            }
            unsync = false;  // a v2.3 tag was resynchronised as a whole
        } else if (version == 4) {
            skip = (flags & 0x000C) != 0;
            unsync = unsync || (flags & 0x0002);
            if (flags & 0x0040) {
                if (frame.empty()) {
                    continue;
                }
                frame = frame.subspan(1);
            }
            if (flags & 0x0001) {  // data length indicator
                if (frame.size() < 4) {
                    continue;
                }
                frame = frame.subspan(4);
            }
        }
        if (skip) {
            continue;
        }
        if (unsync) {
            const std::vector<uint8_t> plain = Resync(frame);
            TakeFrame(id, plain, tag);
        } else {
            TakeFrame(id, frame, tag);
        }
    }
}

}  // namespace

Id3Status Id3TagSize(std::span<const uint8_t> data, size_t& tagBytes) {
    for (size_t i = 0; i < 3 && i < data.size(); ++i) {
        if (data[i] != static_cast<uint8_t>("ID3"[i])) {
            return Id3Status::NotId3;
        }
    }
    if (data.size() < kId3HeaderBytes) {
        return Id3Status::NeedMore;
    }
    const uint8_t version = data[3];
    if (version < 2 || version > 4 || data[4] == 0xFF) {
        return Id3Status::Invalid;
    }
    const auto size = SyncSafe(data.data() + 6);
    if (!size) {
        return Id3Status::Invalid;
    }
    const bool footer = version == 4 && (data[5] & 0x10);
    tagBytes = kId3HeaderBytes + *size + (footer ? kId3HeaderBytes : 0);
    return Id3Status::Ok;
}

Id3Status ReadId3(std::span<const uint8_t> data, CId3Tag& tag) {
    tag = CId3Tag{};
    size_t tagBytes = 0;
    const Id3Status head = Id3TagSize(data, tagBytes);
    if (head != Id3Status::Ok) {
        return head;
    }
    tag.nTagBytes = tagBytes;
    if (data.size() < tagBytes) {
        return Id3Status::NeedMore;
    }
    const int version = data[3];
    const uint8_t flags = data[5];
    const size_t bodyBytes = *SyncSafe(data.data() + 6);
    if (bodyBytes > kMaxId3ParseBytes) {
        return Id3Status::Ok;  // known size, not worth reading
    }
    if (version == 2 && (flags & 0x40)) {
        return Id3Status::Ok;  // v2.2 compression has no defined scheme
    }
    std::span<const uint8_t> body = data.subspan(kId3HeaderBytes, bodyBytes);
    std::vector<uint8_t> resynced;
    const bool unsync = (flags & 0x80) != 0;
    if (unsync && version < 4) {
        resynced = Resync(body);
        body = resynced;
    }
    if (version >= 3 && (flags & 0x40)) {
        if (body.size() < 4) {
            return Id3Status::Invalid;
        }
        size_t extended;
        if (version == 3) {
            extended = size_t{BigEndian32(body.data())} + 4;  // the size excludes itself
        } else {
            const auto safe = SyncSafe(body.data());
            if (!safe) {
                return Id3Status::Invalid;
            }
            extended = *safe;  // the size includes itself
        }
        if (extended < 4 || extended > body.size()) {
            return Id3Status::Invalid;
        }
        body = body.subspan(extended);
    }
    ReadFrames(body, version, unsync, tag);
    return Id3Status::Ok;
}

std::optional<std::u16string> Id3DisplayTitle(const CId3Tag& tag) {
    if (!tag.title) {
        return std::nullopt;
    }
    if (tag.artist) {
        return *tag.artist + u" - " + *tag.title;
    }
    return tag.title;
}

}  // namespace radio::hls
