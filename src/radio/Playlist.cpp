#include "radio/Playlist.h"

#include <algorithm>
#include <utility>

#include "radio/IcyDemuxer.h"
#include "radio/RadioUrl.h"

namespace radio {

namespace {

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string_view Trim(std::string_view text) {
    const char* kSpace = " \t\r\n\f\v";
    const size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::string_view AsText(std::span<const uint8_t> bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    return text;
}

std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        lines.push_back(Trim(text.substr(pos, end - pos)));
        pos = end + 1;
    }
    return lines;
}

bool IsHlsTag(std::string_view line) {
    return line.starts_with("#EXT-X-TARGETDURATION") || line.starts_with("#EXT-X-STREAM-INF") ||
           line.starts_with("#EXT-X-MEDIA-SEQUENCE");
}

bool LooksLikeXspf(std::string_view text) {
    const std::string_view start = Trim(text.substr(0, 256));
    return (start.starts_with("<?xml") || start.starts_with("<playlist")) &&
           text.find("<playlist") != std::string_view::npos &&
           text.find("xspf.org/ns/0") != std::string_view::npos;
}

// The five predefined entities and numeric references; anything else is
// kept as written.
std::string DecodeXmlText(std::string_view text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text.substr(pos, 9) == "<![CDATA[") {
            const size_t end = text.find("]]>", pos + 9);
            const size_t stop = end == std::string_view::npos ? text.size() : end;
            out.append(text.substr(pos + 9, stop - pos - 9));
            pos = end == std::string_view::npos ? text.size() : end + 3;
            continue;
        }
        const char c = text[pos];
        const size_t semi = c == '&' ? text.find(';', pos) : std::string_view::npos;
        if (semi == std::string_view::npos || semi - pos > 10) {
            out.push_back(c);
            ++pos;
            continue;
        }
        const std::string_view name = text.substr(pos + 1, semi - pos - 1);
        uint32_t code = 0;
        bool ok = true;
        if (name == "amp") {
            code = '&';
        } else if (name == "lt") {
            code = '<';
        } else if (name == "gt") {
            code = '>';
        } else if (name == "quot") {
            code = '"';
        } else if (name == "apos") {
            code = '\'';
        } else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const std::string_view digits = name.substr(hex ? 2 : 1);
            ok = !digits.empty();
            for (char d : digits) {
                const int v = hex ? HexValue(d) : (d >= '0' && d <= '9' ? d - '0' : -1);
                if (v < 0 || code > 0x10FFFF) {
                    ok = false;
                    break;
                }
                code = code * (hex ? 16 : 10) + static_cast<uint32_t>(v);
            }
            ok = ok && code != 0 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        } else {
            ok = false;
        }
        if (!ok) {
            out.push_back(c);
            ++pos;
            continue;
        }
        // As UTF-8, which the entry's decoding below reads back.
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
        pos = semi + 1;
    }
    return out;
}

// The <location> of each track, in order. Elements are found by name, with
// or without attributes; comments are skipped so that a commented-out
// track does not play.
void ParseXspf(std::string_view text, std::vector<std::u16string>& entries) {
    size_t pos = 0;
    while (pos < text.size() && entries.size() < kMaxPlaylistEntries) {
        const size_t open = text.find('<', pos);
        if (open == std::string_view::npos) {
            break;
        }
        if (text.substr(open, 4) == "<!--") {
            const size_t end = text.find("-->", open + 4);
            if (end == std::string_view::npos) {
                break;
            }
            pos = end + 3;
            continue;
        }
        const std::string_view tag = text.substr(open + 1, 9);
        if (tag.starts_with("location") && (tag.size() == 9 && (tag[8] == '>' || tag[8] == ' '))) {
            const size_t start = text.find('>', open);
            const size_t close = text.find("</location>", open);
            if (start == std::string_view::npos || close == std::string_view::npos ||
                close < start) {
                break;
            }
            const std::string value =
                DecodeXmlText(Trim(text.substr(start + 1, close - start - 1)));
            const std::string_view trimmed = Trim(value);
            if (!trimmed.empty()) {
                entries.push_back(DecodeMetaText(trimmed));
            }
            pos = close + 11;
            continue;
        }
        pos = open + 1;
    }
}

}  // namespace

PlaylistKind DetectPlaylist(std::string_view contentType, std::u16string_view extension,
                            std::span<const uint8_t> head) {
    const std::string_view text = AsText(head);
    const std::string_view start = Trim(text.substr(0, 64));
    const std::string lowerStart = LowerAscii(start);
    PlaylistKind kind = PlaylistKind::None;
    if (lowerStart.starts_with("#extm3u")) {
        kind = PlaylistKind::M3u;
    } else if (lowerStart.starts_with("[playlist]")) {
        kind = PlaylistKind::Pls;
    } else if (LooksLikeXspf(text)) {
        kind = PlaylistKind::Xspf;
    } else if (text.find('\0') == std::string_view::npos && !text.empty()) {
        std::string type = LowerAscii(contentType.substr(0, contentType.find(';')));
        type = std::string(Trim(type));
        if (type == "application/xspf+xml" || extension == u"xspf") {
            kind = PlaylistKind::Xspf;
        } else if (type == "audio/x-scpls" || extension == u"pls") {
            kind = PlaylistKind::Pls;
        } else if (type == "audio/x-mpegurl" || type == "audio/mpegurl" ||
                   type == "application/x-mpegurl" || type == "application/vnd.apple.mpegurl" ||
                   extension == u"m3u" || extension == u"m3u8" ||
                   lowerStart.starts_with("http://") || lowerStart.starts_with("https://")) {
            kind = PlaylistKind::M3u;
        }
    }
    if (kind == PlaylistKind::M3u) {
        for (std::string_view line : Lines(text)) {
            if (IsHlsTag(line)) {
                return PlaylistKind::Hls;
            }
        }
    }
    return kind;
}

std::vector<std::u16string> ParsePlaylist(std::span<const uint8_t> bytes, PlaylistKind kind) {
    const std::string_view text = AsText(bytes);
    std::vector<std::u16string> entries;
    if (kind == PlaylistKind::M3u) {
        for (std::string_view line : Lines(text)) {
            if (line.empty() || line[0] == '#') {
                continue;
            }
            if (entries.size() == kMaxPlaylistEntries) {
                break;
            }
            entries.push_back(DecodeMetaText(line));
        }
    } else if (kind == PlaylistKind::Xspf) {
        ParseXspf(text, entries);
    } else if (kind == PlaylistKind::Pls) {
        std::vector<std::pair<long, std::u16string>> numbered;
        for (std::string_view line : Lines(text)) {
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos || eq < 5) {
                continue;
            }
            const std::string key = LowerAscii(Trim(line.substr(0, eq)));
            if (!key.starts_with("file") || key.size() > 12) {
                continue;
            }
            long number = 0;
            bool digits = key.size() > 4;
            for (size_t i = 4; i < key.size(); ++i) {
                if (key[i] < '0' || key[i] > '9') {
                    digits = false;
                    break;
                }
                number = number * 10 + (key[i] - '0');
            }
            const std::string_view value = Trim(line.substr(eq + 1));
            if (!digits || value.empty()) {
                continue;
            }
            numbered.emplace_back(number, DecodeMetaText(value));
        }
        std::stable_sort(numbered.begin(), numbered.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& [number, entry] : numbered) {
            if (entries.size() == kMaxPlaylistEntries) {
                break;
            }
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

}  // namespace radio
