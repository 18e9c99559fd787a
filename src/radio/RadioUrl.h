// Addresses as the player meets them: http(s) URLs, file URLs and plain
// paths, and the relative references that playlists and redirects carry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace radio {

enum class SourceKind { Http, Https, File, Unsupported };

struct CHttpUrl {
    bool bSecure = false;
    std::u16string strHost;  // without brackets for IPv6 literals
    uint16_t nPort = 0;      // the scheme's default when the URL gives none
    std::u16string strPath;  // path and query, at least "/"
};

SourceKind ClassifySource(const std::u16string& url);

// Splits an http or https URL; nullopt for anything else or a bad port.
std::optional<CHttpUrl> ParseHttpUrl(const std::u16string& url);

// The local path of a file URL or plain path: "file:///C:/a%20b.mp3" gives
// "C:\a b.mp3", "file://server/share/x" gives "\\server\share\x".
std::u16string ToLocalPath(const std::u16string& url);

// Resolves ref against base the way a browser does for the cases playlists
// and Location headers use: absolute URLs, "//host/...", "/path" and paths
// relative to the base's folder (with "." and ".." segments). A base that is
// a local path resolves relative entries against its folder.
std::u16string ResolveReference(const std::u16string& base, const std::u16string& ref);

// The lower-case extension of the URL's path ("mp3", "m3u"), query and
// fragment ignored.
std::u16string UrlExtension(const std::u16string& url);

// The value of one hex digit, -1 for any other character.
int HexValue(char c);

}  // namespace radio
