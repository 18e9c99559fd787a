#include "radio/source/HttpResponse.h"

#include <algorithm>

#include "radio/IcyDemuxer.h"

namespace radio {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// A decimal number at the start of the text, blanks before it skipped; a
// value too large for 64 bits saturates, as strtoll does.
std::optional<int64_t> LeadingNumber(const std::u16string& text) {
    size_t pos = 0;
    while (pos < text.size() && (text[pos] == u' ' || text[pos] == u'\t')) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == u'-' || text[pos] == u'+')) {
        negative = text[pos] == u'-';
        ++pos;
    }
    int64_t value = 0;
    size_t digits = 0;
    for (; pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9'; ++pos, ++digits) {
        value = value > (INT64_MAX - 9) / 10 ? INT64_MAX : value * 10 + (text[pos] - u'0');
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::u16string Bounded(std::u16string text) {
    if (text.size() > kMaxHeaderFieldChars) {
        text.resize(kMaxHeaderFieldChars);
    }
    return text;
}

// "HTTP/1.x NNN reason" or "ICY NNN reason".
bool ParseStatusLine(std::string_view line, CHttpResponseHead& head) {
    std::string_view rest;
    if (line.substr(0, 4) == "ICY ") {
        head.bIcy = true;
        rest = line.substr(4);
    } else if (line.size() >= 9 && line.substr(0, 7) == "HTTP/1." && line[7] >= '0' &&
               line[7] <= '9' && line[8] == ' ') {
        rest = line.substr(9);
    } else {
        return false;
    }
    while (!rest.empty() && rest.front() == ' ') {
        rest.remove_prefix(1);
    }
    if (rest.size() < 3 || (rest.size() > 3 && rest[3] != ' ')) {
        return false;
    }
    int status = 0;
    for (size_t i = 0; i < 3; ++i) {
        if (rest[i] < '0' || rest[i] > '9') {
            return false;
        }
        status = status * 10 + (rest[i] - '0');
    }
    if (status < 100) {
        return false;
    }
    head.nStatus = status;
    return true;
}

}  // namespace

const std::string* CHttpResponseHead::Find(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

bool CHttpHeadParser::TakeLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (!m_bStatusSeen) {
        m_bStatusSeen = true;
        if (!ParseStatusLine(line, m_head)) {
            m_failure = MakeFailure(RadioError::UnsupportedFormat);
            m_state = HeadParse::Failed;
            return false;
        }
        return true;
    }
    if (line.empty()) {
        m_state = HeadParse::Done;
        return false;
    }
    if (IsBlank(line.front())) {
        // A folded line continues the header before it.
        if (!m_head.headers.empty()) {
            std::string& value = m_head.headers.back().second;
            const std::string_view more = Trim(line);
            if (!more.empty()) {
                value += value.empty() ? "" : " ";
                value += more;
            }
        }
        return true;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        // Not a header; the answer is still usable without it.
        return true;
    }
    m_head.headers.emplace_back(Lower(Trim(line.substr(0, colon))),
                                std::string(Trim(line.substr(colon + 1))));
    return true;
}

HeadParse CHttpHeadParser::Feed(std::span<const uint8_t> data, size_t& consumed) {
    consumed = 0;
    while (m_state == HeadParse::NeedMore && consumed < data.size()) {
        const auto* begin = data.data() + consumed;
        const auto* end = data.data() + data.size();
        const auto* newline = std::find(begin, end, static_cast<uint8_t>('\n'));
        const size_t take = static_cast<size_t>(newline - begin) + (newline != end ? 1 : 0);
        // The bound is on the whole head as sent, so an endless line and an
        // endless list of short ones end the same way.
        if (m_nTotal + take > kMaxHeaderBytes) {
            consumed += std::min(take, kMaxHeaderBytes - m_nTotal);
            m_failure = MakeFailure(RadioError::MetadataTooLarge);
            m_state = HeadParse::Failed;
            break;
        }
        m_nTotal += take;
        consumed += take;
        m_line.append(reinterpret_cast<const char*>(begin), newline - begin);
        if (newline == end) {
            break;
        }
        const std::string line = std::move(m_line);
        m_line.clear();
        TakeLine(line);
    }
    return m_state;
}

bool ApplyStreamHeaders(const HeaderLookup& header, CSourceInfo& info, CRadioFailure& failure) {
    if (const auto type = header("content-type")) {
        info.strContentType.clear();
        for (const char16_t c : *type) {
            info.strContentType.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
    }
    if (const auto length = header("content-length")) {
        const auto value = LeadingNumber(*length);
        info.nLength = value && *value >= 0 ? *value : -1;
    }
    if (const auto metaInt = header("icy-metaint")) {
        const auto value = LeadingNumber(*metaInt);
        if (!value) {
            info.nMetaInt = 0;
        } else if (*value > static_cast<int64_t>(kMaxMetaInterval)) {
            failure = MakeFailure(RadioError::MetadataTooLarge);
            return false;
        } else {
            info.nMetaInt =
                *value >= static_cast<int64_t>(kMinMetaInterval) ? static_cast<size_t>(*value) : 0;
        }
    }
    if (const auto bitrate = header("icy-br")) {
        const auto value = LeadingNumber(*bitrate);
        info.nIcyBitrate = value && *value > 0 && *value < 100000 ? static_cast<int>(*value) : 0;
    }
    if (const auto name = header("icy-name")) {
        info.strName = Bounded(*name);
    }
    if (const auto genre = header("icy-genre")) {
        info.strGenre = Bounded(*genre);
    }
    if (const auto home = header("icy-url")) {
        info.strHomePage = Bounded(*home);
    }
    return true;
}

bool IsRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::unique_ptr<ISource> FollowRedirects(const std::u16string& url, const HttpHopOpener& open,
                                         CRadioFailure& failure) {
    std::u16string current = url;
    bool secure = false;
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        const auto parsed = ParseHttpUrl(current);
        if (!parsed) {
            failure = MakeFailure(ClassifySource(current) == SourceKind::Unsupported ||
                                          ClassifySource(current) == SourceKind::File
                                      ? RadioError::UnsupportedScheme
                                      : RadioError::CannotConnect);
            return nullptr;
        }
        CHttpHop result;
        if (!open(current, *parsed, result, failure)) {
            return nullptr;
        }
        if (result.pSource) {
            return std::move(result.pSource);
        }
        if (!IsRedirectStatus(result.nStatus) || result.strLocation.empty()) {
            failure = MakeHttpFailure(result.nStatus);
            return nullptr;
        }
        secure = secure || parsed->bSecure;
        const std::u16string next = ResolveReference(current, result.strLocation);
        const SourceKind kind = ClassifySource(next);
        if (kind != SourceKind::Http && kind != SourceKind::Https) {
            // A redirect comes from the network: it may not name a local
            // file, a share or a device, nor another scheme.
            failure = MakeFailure(RadioError::UnsupportedScheme);
            return nullptr;
        }
        if (secure && kind == SourceKind::Http) {
            failure = MakeHttpFailure(result.nStatus);
            return nullptr;
        }
        current = next;
    }
    failure = MakeFailure(RadioError::TooManyRedirects);
    return nullptr;
}

}  // namespace radio
