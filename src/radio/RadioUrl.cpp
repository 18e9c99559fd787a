#include "radio/RadioUrl.h"

#include <vector>

#include "amf/Utf.h"

namespace radio {

namespace {

char16_t Lower(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool StartsWithNoCase(const std::u16string& text, std::u16string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool IsAlpha(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// The length of a "scheme:" prefix of at least two characters, or 0. One
// letter and a colon is a drive, not a scheme.
size_t SchemeLength(const std::u16string& text) {
    size_t i = 0;
    while (i < text.size() &&
           (IsAlpha(text[i]) || (i > 0 && (text[i] == u'+' || text[i] == u'-' || text[i] == u'.' ||
                                           (text[i] >= u'0' && text[i] <= u'9'))))) {
        ++i;
    }
    return (i >= 2 && i < text.size() && text[i] == u':') ? i : 0;
}

bool IsDrivePath(const std::u16string& text) {
    return text.size() >= 2 && IsAlpha(text[0]) && text[1] == u':';
}

std::u16string PercentDecode(const std::u16string& text) {
    const std::string bytes = amf::Utf16ToUtf8(text);
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '%' && i + 2 < bytes.size()) {
            const int hi = HexValue(bytes[i + 1]);
            const int lo = HexValue(bytes[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(bytes[i]);
    }
    return amf::Utf8ToUtf16(out);
}

// Removes "." and ".." segments. An absolute path (one that starts with
// '/') keeps its root, and a ".." above it stays there; a relative one (a
// base without an authority may have one) keeps its first segment.
std::u16string RemoveDotSegments(const std::u16string& path) {
    const bool absolute = !path.empty() && path[0] == u'/';
    std::vector<std::u16string> segments;
    size_t pos = absolute ? 1 : 0;
    bool trailingSlash = false;
    while (pos <= path.size()) {
        size_t next = path.find(u'/', pos);
        if (next == std::u16string::npos) {
            next = path.size();
        }
        const std::u16string segment = path.substr(pos, next - pos);
        trailingSlash = (segment == u"." || segment == u"..");
        if (segment == u"..") {
            if (!segments.empty()) {
                segments.pop_back();
            }
        } else if (segment != u".") {
            segments.push_back(segment);
        }
        pos = next + 1;
    }
    std::u16string out;
    for (const auto& segment : segments) {
        if (absolute || !out.empty()) {
            out += u'/';
        }
        out += segment;
    }
    if (absolute && (trailingSlash || out.empty())) {
        out += u'/';
    } else if (!absolute && trailingSlash && !out.empty()) {
        out += u'/';
    }
    return out;
}

}  // namespace

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

SourceKind ClassifySource(const std::u16string& url) {
    if (StartsWithNoCase(url, u"http://")) {
        return SourceKind::Http;
    }
    if (StartsWithNoCase(url, u"https://")) {
        return SourceKind::Https;
    }
    if (StartsWithNoCase(url, u"file:")) {
        return SourceKind::File;
    }
    if (url.empty() || SchemeLength(url) != 0) {
        return SourceKind::Unsupported;
    }
    return SourceKind::File;
}

std::optional<CHttpUrl> ParseHttpUrl(const std::u16string& url) {
    CHttpUrl result;
    size_t start;
    if (StartsWithNoCase(url, u"http://")) {
        start = 7;
        result.nPort = 80;
    } else if (StartsWithNoCase(url, u"https://")) {
        start = 8;
        result.bSecure = true;
        result.nPort = 443;
    } else {
        return std::nullopt;
    }
    size_t end = url.find_first_of(u"/?#", start);
    if (end == std::u16string::npos) {
        end = url.size();
    }
    std::u16string authority = url.substr(start, end - start);
    const size_t at = authority.rfind(u'@');
    if (at != std::u16string::npos) {
        authority.erase(0, at + 1);
    }
    std::u16string portText;
    if (!authority.empty() && authority[0] == u'[') {
        const size_t close = authority.find(u']');
        if (close == std::u16string::npos) {
            return std::nullopt;
        }
        result.strHost = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != u':') {
                return std::nullopt;
            }
            portText = authority.substr(close + 2);
        }
    } else {
        const size_t colon = authority.find(u':');
        result.strHost = authority.substr(0, colon);
        if (colon != std::u16string::npos) {
            portText = authority.substr(colon + 1);
        }
    }
    if (result.strHost.empty()) {
        return std::nullopt;
    }
    if (!portText.empty()) {
        uint32_t port = 0;
        for (char16_t c : portText) {
            if (c < u'0' || c > u'9' || port > 65535) {
                return std::nullopt;
            }
            port = port * 10 + (c - u'0');
        }
        if (port == 0 || port > 65535) {
            return std::nullopt;
        }
        result.nPort = static_cast<uint16_t>(port);
    }
    std::u16string path = url.substr(end);
    const size_t hash = path.find(u'#');
    if (hash != std::u16string::npos) {
        path.resize(hash);
    }
    if (path.empty() || path[0] != u'/') {
        path.insert(0, u"/");
    }
    result.strPath = path;
    return result;
}

std::u16string ToLocalPath(const std::u16string& url) {
    if (!StartsWithNoCase(url, u"file:")) {
        return url;
    }
    std::u16string rest = url.substr(5);
    const size_t cut = rest.find_first_of(u"?#");
    if (cut != std::u16string::npos) {
        rest.resize(cut);
    }
    std::u16string path;
    if (rest.rfind(u"//", 0) == 0) {
        rest.erase(0, 2);
        const size_t slash = rest.find(u'/');
        std::u16string host = rest.substr(0, slash);
        std::u16string tail = slash == std::u16string::npos ? u"" : rest.substr(slash);
        std::u16string lowerHost;
        for (char16_t c : host) {
            lowerHost.push_back(Lower(c));
        }
        if (host.empty() || lowerHost == u"localhost") {
            path = tail;
        } else {
            path = u"//" + host + tail;
        }
    } else {
        path = rest;
    }
    // "/C:/x" names a drive; the leading slash is the URL's, not the path's.
    if (path.size() >= 3 && path[0] == u'/' && IsDrivePath(path.substr(1))) {
        path.erase(0, 1);
    }
    path = PercentDecode(path);
    for (char16_t& c : path) {
        if (c == u'/') {
            c = u'\\';
        }
    }
    return path;
}

std::u16string ResolveReference(const std::u16string& base, const std::u16string& ref) {
    if (ref.empty()) {
        return base;
    }
    if (SchemeLength(ref) != 0 || IsDrivePath(ref) || ref.rfind(u"\\\\", 0) == 0) {
        return ref;
    }
    const size_t schemeLength = SchemeLength(base);
    if (schemeLength == 0) {
        // A local path: relative entries live beside it.
        if (ref[0] == u'\\' || ref[0] == u'/') {
            return ref;
        }
        const size_t slash = base.find_last_of(u"\\/");
        return slash == std::u16string::npos ? ref : base.substr(0, slash + 1) + ref;
    }
    const std::u16string scheme = base.substr(0, schemeLength + 1);  // with ':'
    if (ref.rfind(u"//", 0) == 0) {
        return scheme + ref;
    }
    // Authority: after "scheme://" up to the next '/', '?' or '#'.
    size_t pathStart = schemeLength + 1;
    const bool hasAuthority = base.compare(pathStart, 2, u"//") == 0;
    if (hasAuthority) {
        pathStart = base.find_first_of(u"/?#", pathStart + 2);
        if (pathStart == std::u16string::npos) {
            pathStart = base.size();
        }
    }
    const std::u16string origin = base.substr(0, pathStart);
    std::u16string basePath = base.substr(pathStart);
    const size_t baseCut = basePath.find_first_of(u"?#");
    if (baseCut != std::u16string::npos) {
        basePath.resize(baseCut);
    }
    if (basePath.empty() && hasAuthority) {
        basePath = u"/";
    }
    if (ref[0] == u'?') {
        return origin + basePath + ref;
    }
    if (ref[0] == u'#') {
        return base;
    }
    std::u16string refPath = ref;
    std::u16string refQuery;
    const size_t refCut = refPath.find_first_of(u"?#");
    if (refCut != std::u16string::npos) {
        refQuery = refPath.substr(refCut);
        refPath.resize(refCut);
        const size_t hash = refQuery.find(u'#');
        if (hash != std::u16string::npos) {
            refQuery.resize(hash);
        }
    }
    std::u16string merged;
    if (!refPath.empty() && refPath[0] == u'/') {
        merged = refPath;
    } else {
        const size_t slash = basePath.rfind(u'/');
        merged = (slash == std::u16string::npos ? u"" : basePath.substr(0, slash + 1)) + refPath;
    }
    // Behind an authority a path is always absolute, even where the base's
    // own path was not ("http://h?q", or a base cut short).
    if (hasAuthority && (merged.empty() || merged[0] != u'/')) {
        merged.insert(0, u"/");
    }
    return origin + RemoveDotSegments(merged) + refQuery;
}

std::u16string UrlExtension(const std::u16string& url) {
    std::u16string path = url;
    const size_t cut = path.find_first_of(u"?#");
    if (cut != std::u16string::npos) {
        path.resize(cut);
    }
    const size_t slash = path.find_last_of(u"/\\");
    const size_t dot = path.rfind(u'.');
    if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) {
        return u"";
    }
    std::u16string ext;
    for (size_t i = dot + 1; i < path.size(); ++i) {
        ext.push_back(Lower(path[i]));
    }
    return ext;
}

}  // namespace radio
