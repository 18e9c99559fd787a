#include "radio/Playlist.h"

#include <algorithm>
#include <utility>

#include "radio/IcyDemuxer.h"

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
    } else if (text.find('\0') == std::string_view::npos && !text.empty()) {
        std::string type = LowerAscii(contentType.substr(0, contentType.find(';')));
        type = std::string(Trim(type));
        if (type == "audio/x-scpls" || extension == u"pls") {
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
