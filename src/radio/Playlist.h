// The playlists that radio links often are: M3U / M3U8 lists of plain
// entries, PLS files, and the XSPF lists that streaming servers offer for
// every mount.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace radio {

enum class PlaylistKind {
    None,  // not a playlist
    M3u,
    Pls,
    Xspf,
    Hls,  // a segmented live list: recognised so that it fails cleanly
};

// Playlists are read whole; a larger "playlist" is not one.
inline constexpr size_t kMaxPlaylistBytes = 64 * 1024;
inline constexpr size_t kMaxPlaylistEntries = 64;

// Decides from the content type (parameters ignored), the URL's extension and
// the first bytes. The bytes decide when they say something; type and
// extension count only for text without NUL bytes, so that a mislabelled
// audio stream is still played as audio.
PlaylistKind DetectPlaylist(std::string_view contentType, std::u16string_view extension,
                            std::span<const uint8_t> head);

// The entries in playing order (PLS by their FileN number, XSPF by the
// order of their <location> elements, XML escapes resolved), trimmed,
// without comments and blank lines; at most kMaxPlaylistEntries.
std::vector<std::u16string> ParsePlaylist(std::span<const uint8_t> text, PlaylistKind kind);

}  // namespace radio
