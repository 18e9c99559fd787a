// The head of an HTTP answer as the plain-socket client reads it (status
// line and header lines, "ICY 200 OK" included), and what any answer's
// headers say about the stream. Both clients share the bounds here, counted
// in bytes as sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "radio/RadioErrors.h"
#include "radio/RadioUrl.h"
#include "radio/source/Source.h"

namespace radio {

// Status line and header lines together, terminators included. Real
// stations send well under 2 KB; more is a broken or hostile server.
inline constexpr size_t kMaxHeaderBytes = 32 * 1024;
// icy-name, icy-genre and icy-url are cut to this many characters.
inline constexpr size_t kMaxHeaderFieldChars = 256;
// Not "Mozilla...": legacy servers send their HTML status page to browsers.
inline constexpr char kUserAgent[] = "TunaraPlayer/1.0";

struct CHttpResponseHead {
    int nStatus = 0;
    bool bIcy = false;  // an "ICY 200 OK" status line
    // Names in lower case, values without surrounding blanks, in order.
    std::vector<std::pair<std::string, std::string>> headers;

    // The first header of that (lower-case) name.
    const std::string* Find(std::string_view name) const;
};

enum class HeadParse { NeedMore, Done, Failed };

// Reads the head from the bytes as they come, in pieces of any size. Lines
// may end in CRLF or a bare LF; folded lines continue the header before.
class CHttpHeadParser {
public:
    // consumed: how many of the bytes belonged to the head; once Done, the
    // rest is the body's.
    HeadParse Feed(std::span<const uint8_t> data, size_t& consumed);
    const CHttpResponseHead& Head() const { return m_head; }
    // MetadataTooLarge beyond kMaxHeaderBytes, UnsupportedFormat for a
    // status line that is not HTTP's or ICY's.
    const CRadioFailure& Failure() const { return m_failure; }

private:
    bool TakeLine(std::string_view line);

    CHttpResponseHead m_head;
    CRadioFailure m_failure;
    std::string m_line;
    size_t m_nTotal = 0;
    bool m_bStatusSeen = false;
    HeadParse m_state = HeadParse::NeedMore;
};

// Looks one header up by its lower-case name.
using HeaderLookup = std::function<std::optional<std::u16string>(std::string_view name)>;

// Fills the stream's description from its headers: type, length and the
// ICY fields. False, with the failure set, for a metadata interval beyond
// what the demuxer accepts.
bool ApplyStreamHeaders(const HeaderLookup& header, CSourceInfo& info, CRadioFailure& failure);

// A redirect status (301, 302, 303, 307, 308).
bool IsRedirectStatus(int status);

inline constexpr int kMaxRedirects = 8;

// What one request gave: the stream, or where a redirect points.
struct CHttpHop {
    std::unique_ptr<ISource> pSource;  // a 2xx answer's body
    std::u16string strLocation;        // a redirect's target, as sent
    int nStatus = 0;
};

// Makes one request to url (parsed is its parts). True with pSource or a
// redirect status and its location; false with the failure set.
using HttpHopOpener = std::function<bool(const std::u16string& url, const CHttpUrl& parsed,
                                         CHttpHop& hop, CRadioFailure& failure)>;

// Follows redirects from url, up to kMaxRedirects of them. A redirect may
// only lead to http or https, and never from https back to http: what a
// secure address promised stays secure.
std::unique_ptr<ISource> FollowRedirects(const std::u16string& url, const HttpHopOpener& open,
                                         CRadioFailure& failure);

}  // namespace radio
