#include "radio/hls/HlsPlaylist.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "amf/Utf.h"
#include "radio/RadioUrl.h"

namespace radio::hls {

namespace {

constexpr uint64_t kMaxSequence = uint64_t{1} << 62;

using Attributes = std::vector<std::pair<std::string_view, std::string_view>>;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::u16string Utf16(std::string_view s) {
    return amf::Utf8ToUtf16(s);
}

// An attribute list: NAME=value pairs separated by commas, values either
// quoted strings (which may hold commas) or unquoted tokens. A malformed
// pair ends the list; what came before it stands.
Attributes ParseAttributes(std::string_view text) {
    Attributes out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        const size_t nameStart = i;
        while (i < text.size() && text[i] != '=' && text[i] != ',') {
            ++i;
        }
        if (i >= text.size() || text[i] != '=') {
            break;
        }
        const std::string_view name = Trim(text.substr(nameStart, i - nameStart));
        ++i;
        std::string_view value;
        if (i < text.size() && text[i] == '"') {
            const size_t close = text.find('"', i + 1);
            if (close == std::string_view::npos) {
                break;
            }
            value = text.substr(i + 1, close - i - 1);
            i = close + 1;
            while (i < text.size() && text[i] != ',') {
                ++i;
            }
        } else {
            const size_t comma = std::min(text.find(',', i), text.size());
            value = Trim(text.substr(i, comma - i));
            i = comma;
        }
        out.emplace_back(name, value);
        if (i < text.size()) {
            ++i;  // the comma
        }
    }
    return out;
}

std::optional<std::string_view> Find(const Attributes& attributes, std::string_view name) {
    for (const auto& [key, value] : attributes) {
        if (key == name) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> ParseDecimal(std::string_view s) {
    s = Trim(s);
    if (s.empty() || s.size() > 20) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

// A non-negative decimal in seconds ("10", "9.976") as milliseconds, rounded
// down; nullopt for anything else or more than a day.
std::optional<int64_t> ParseSecondsMs(std::string_view s) {
    s = Trim(s);
    const size_t dot = s.find('.');
    const auto whole = ParseDecimal(s.substr(0, dot));
    if (!whole || *whole > 86400) {
        return std::nullopt;
    }
    int64_t ms = static_cast<int64_t>(*whole) * 1000;
    if (dot != std::string_view::npos) {
        const std::string_view fraction = s.substr(dot + 1);
        int64_t scale = 100;
        for (char c : fraction) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            ms += (c - '0') * scale;
            scale /= 10;
        }
    }
    return ms;
}

// "0x" and up to 32 hex digits, right-aligned in 16 bytes.
std::optional<std::array<uint8_t, 16>> ParseIv(std::string_view s) {
    if (s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X') || s.size() > 34) {
        return std::nullopt;
    }
    std::array<uint8_t, 16> iv{};
    const std::string_view digits = s.substr(2);
    size_t nibble = 32 - digits.size();
    for (char c : digits) {
        const int v = HexValue(c);
        if (v < 0) {
            return std::nullopt;
        }
        iv[nibble / 2] |= static_cast<uint8_t>((nibble % 2) ? v : v << 4);
        ++nibble;
    }
    return iv;
}

// "<length>[@<offset>]"; a missing offset is returned as nullopt.
std::optional<std::pair<uint64_t, std::optional<uint64_t>>> ParseRange(std::string_view s) {
    const size_t at = s.find('@');
    const auto length = ParseDecimal(s.substr(0, at));
    if (!length) {
        return std::nullopt;
    }
    std::optional<uint64_t> offset;
    if (at != std::string_view::npos) {
        offset = ParseDecimal(s.substr(at + 1));
        if (!offset) {
            return std::nullopt;
        }
    }
    return std::make_pair(*length, offset);
}

bool Tag(std::string_view line, std::string_view name, std::string_view& rest) {
    if (line.substr(0, name.size()) != name) {
        return false;
    }
    if (line.size() == name.size()) {
        rest = {};
        return true;
    }
    if (line[name.size()] != ':') {
        return false;
    }
    rest = line.substr(name.size() + 1);
    return true;
}

class CParser {
public:
    CParser(const std::u16string& base)
        : m_base(base),
          m_bNetwork(ClassifySource(base) == SourceKind::Http ||
                     ClassifySource(base) == SourceKind::Https) {}

    CHlsPlaylist Parse(std::string_view text);

private:
    bool Resolve(std::string_view ref, std::u16string& out) {
        out = ResolveReference(m_base, Utf16(Trim(ref)));
        m_nUriChars += out.size();
        if (m_nUriChars > kMaxHlsUriChars) {
            m_result.error = HlsError::TooLarge;
            return false;
        }
        if (m_bNetwork) {
            const SourceKind kind = ClassifySource(out);
            if (kind != SourceKind::Http && kind != SourceKind::Https) {
                m_result.error = HlsError::ForbiddenUri;
                return false;
            }
        }
        return true;
    }
    bool Line(std::string_view line);
    bool UriLine(std::string_view line);
    bool Key(std::string_view rest);
    bool Map(std::string_view rest);
    bool StreamInf(std::string_view rest);
    bool Media(std::string_view rest);

    std::u16string m_base;
    bool m_bNetwork;
    CHlsPlaylist m_result;
    // State that applies to the next segment or variant.
    bool m_bHaveTarget = false;
    bool m_bPendingInf = false;
    int64_t m_nPendingDuration = -1;
    std::u16string m_strPendingTitle;
    bool m_bPendingDiscontinuity = false;
    std::optional<std::pair<uint64_t, std::optional<uint64_t>>> m_pendingRange;
    std::optional<CHlsVariant> m_pendingVariant;
    std::shared_ptr<const CHlsKey> m_pKey;
    bool m_bKeySinceSegment = false;
    std::shared_ptr<const CHlsMap> m_pMap;
    size_t m_nUriChars = 0;
    uint64_t m_nDiscontinuitySequence = 0;
    std::u16string m_strLastRangeUri;
    std::optional<uint64_t> m_nLastRangeEnd;
    bool m_bSawSegmentTag = false;
};

CHlsPlaylist CParser::Parse(std::string_view text) {
    if (text.size() > kMaxHlsPlaylistBytes) {
        m_result.error = HlsError::TooLarge;
        return m_result;
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    size_t pos = 0;
    bool first = true;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (first) {
            first = false;
            if (line != "#EXTM3U") {
                m_result.error = HlsError::NotHls;
                return m_result;
            }
            continue;
        }
        if (!line.empty() && !Line(line)) {
            return m_result;
        }
    }
    if (m_result.bMaster) {
        if (m_result.master.variants.empty() && m_result.master.renditions.empty()) {
            m_result.error = HlsError::Empty;
        }
        return m_result;
    }
    if (!m_bHaveTarget) {
        m_result.error = m_result.media.segments.empty() && !m_bSawSegmentTag
                             ? HlsError::Empty
                             : HlsError::NoTargetDuration;
        return m_result;
    }
    // A segment without its EXTINF counts as one target duration long.
    for (auto& segment : m_result.media.segments) {
        if (segment.nDurationMs < 0) {
            segment.nDurationMs = m_result.media.nTargetDurationMs;
        }
    }
    return m_result;
}

bool CParser::Line(std::string_view line) {
    if (line[0] != '#') {
        return UriLine(line);
    }
    std::string_view rest;
    CMediaPlaylist& media = m_result.media;
    if (Tag(line, "#EXTINF", rest)) {
        const size_t comma = rest.find(',');
        m_nPendingDuration = ParseSecondsMs(rest.substr(0, comma)).value_or(-1);
        m_strPendingTitle =
            comma == std::string_view::npos ? u"" : Utf16(Trim(rest.substr(comma + 1)));
        m_bPendingInf = true;
        m_bSawSegmentTag = true;
    } else if (Tag(line, "#EXT-X-TARGETDURATION", rest)) {
        const auto seconds = ParseDecimal(rest);
        if (!seconds) {
            return true;  // a malformed value is as good as none
        }
        if (*seconds > static_cast<uint64_t>(kMaxTargetDurationMs / 1000)) {
            m_result.error = HlsError::TargetDurationTooLong;
            return false;
        }
        media.nTargetDurationMs = static_cast<int64_t>(*seconds) * 1000;
        m_bHaveTarget = true;
    } else if (Tag(line, "#EXT-X-MEDIA-SEQUENCE", rest)) {
        // Numbers near the top of the range would wrap when counted on.
        if (const auto value = ParseDecimal(rest);
            value && *value < kMaxSequence && media.segments.empty()) {
            media.nMediaSequence = *value;
        }
    } else if (Tag(line, "#EXT-X-DISCONTINUITY-SEQUENCE", rest)) {
        if (const auto value = ParseDecimal(rest);
            value && *value < kMaxSequence && media.segments.empty()) {
            media.nDiscontinuitySequence = *value;
            m_nDiscontinuitySequence = *value;
        }
    } else if (Tag(line, "#EXT-X-DISCONTINUITY", rest)) {
        m_bPendingDiscontinuity = true;
    } else if (Tag(line, "#EXT-X-ENDLIST", rest)) {
        media.bEndList = true;
    } else if (Tag(line, "#EXT-X-BYTERANGE", rest)) {
        m_pendingRange = ParseRange(Trim(rest));
        if (!m_pendingRange) {
            m_result.error = HlsError::BadByteRange;
            return false;
        }
    } else if (Tag(line, "#EXT-X-KEY", rest)) {
        return Key(rest);
    } else if (Tag(line, "#EXT-X-MAP", rest)) {
        return Map(rest);
    } else if (Tag(line, "#EXT-X-STREAM-INF", rest)) {
        return StreamInf(rest);
    } else if (Tag(line, "#EXT-X-MEDIA", rest)) {
        return Media(rest);
    }
    // Everything else (EXT-X-PROGRAM-DATE-TIME, EXT-X-VERSION, comments,
    // tags of later versions) does not change what plays.
    return true;
}

bool CParser::UriLine(std::string_view line) {
    if (m_pendingVariant) {
        if (m_result.master.variants.size() >= kMaxHlsVariants) {
            m_result.error = HlsError::TooManyVariants;
            return false;
        }
        CHlsVariant variant = std::move(*m_pendingVariant);
        m_pendingVariant.reset();
        if (!Resolve(line, variant.strUri)) {
            return false;
        }
        m_result.master.variants.push_back(std::move(variant));
        return true;
    }
    if (m_result.bMaster) {
        if (m_bPendingInf) {
            m_result.error = HlsError::MixedPlaylist;
            return false;
        }
        return true;  // a stray line in a master names nothing
    }
    CMediaPlaylist& media = m_result.media;
    if (media.segments.size() >= kMaxHlsSegments) {
        m_result.error = HlsError::TooManySegments;
        return false;
    }
    CHlsSegment segment;
    if (!Resolve(line, segment.strUri)) {
        return false;
    }
    segment.nDurationMs = m_bPendingInf ? m_nPendingDuration : -1;
    segment.strTitle = std::move(m_strPendingTitle);
    segment.nSequence = media.nMediaSequence + media.segments.size();
    if (m_bPendingDiscontinuity) {
        ++m_nDiscontinuitySequence;
        segment.bDiscontinuity = true;
    }
    segment.nDiscontinuitySequence = m_nDiscontinuitySequence;
    if (m_pendingRange) {
        CByteRange range;
        range.nLength = m_pendingRange->first;
        if (m_pendingRange->second) {
            range.nOffset = *m_pendingRange->second;
        } else if (m_nLastRangeEnd && m_strLastRangeUri == segment.strUri) {
            range.nOffset = *m_nLastRangeEnd;
        } else {
            m_result.error = HlsError::BadByteRange;
            return false;
        }
        if (range.nLength > UINT64_MAX - range.nOffset) {
            m_result.error = HlsError::BadByteRange;
            return false;
        }
        m_nLastRangeEnd = range.nOffset + range.nLength;
        m_strLastRangeUri = segment.strUri;
        segment.range = range;
    } else {
        m_nLastRangeEnd.reset();
    }
    segment.pKey = m_pKey;
    segment.pMap = m_pMap;
    media.segments.push_back(std::move(segment));
    m_bPendingInf = false;
    m_nPendingDuration = -1;
    m_strPendingTitle.clear();
    m_bPendingDiscontinuity = false;
    m_pendingRange.reset();
    m_bKeySinceSegment = false;
    m_bSawSegmentTag = true;
    return true;
}

bool CParser::Key(std::string_view rest) {
    const Attributes attributes = ParseAttributes(rest);
    CHlsKey key;
    const std::string_view method = Find(attributes, "METHOD").value_or("NONE");
    if (method == "NONE") {
        key.method = KeyMethod::None;
    } else if (method == "AES-128") {
        key.method = KeyMethod::Aes128;
    } else if (method == "SAMPLE-AES" || method == "SAMPLE-AES-CTR") {
        key.method = KeyMethod::SampleAes;
    } else {
        key.method = KeyMethod::Other;
    }
    if (const auto format = Find(attributes, "KEYFORMAT")) {
        key.strKeyFormat = std::string(*format);
    }
    if (const auto iv = Find(attributes, "IV")) {
        key.iv = ParseIv(*iv);
        if (!key.iv && key.method == KeyMethod::Aes128) {
            key.method = KeyMethod::Other;  // an IV we cannot read cannot decrypt
        }
    }
    const bool identity = key.strKeyFormat == "identity";
    const auto uri = Find(attributes, "URI");
    if (key.method == KeyMethod::Aes128 && identity) {
        if (!uri || Trim(*uri).empty()) {
            key.method = KeyMethod::Other;  // a key that cannot be fetched cannot decrypt
        } else if (!Resolve(*uri, key.strUri)) {
            return false;
        }
    } else if (uri) {
        key.strUri = Utf16(*uri);  // never fetched
    }
    // Several keys may stand for one segment, one per key system; the
    // identity one is the one we can use.
    if (m_bKeySinceSegment && m_pKey && m_pKey->strKeyFormat == "identity" && !identity) {
        return true;
    }
    m_pKey =
        key.method == KeyMethod::None ? nullptr : std::make_shared<const CHlsKey>(std::move(key));
    m_bKeySinceSegment = true;
    return true;
}

bool CParser::Map(std::string_view rest) {
    const Attributes attributes = ParseAttributes(rest);
    const auto uri = Find(attributes, "URI");
    if (!uri) {
        return true;
    }
    CHlsMap map;
    if (!Resolve(*uri, map.strUri)) {
        return false;
    }
    if (const auto range = Find(attributes, "BYTERANGE")) {
        const auto parsed = ParseRange(*range);
        if (!parsed || !parsed->second || parsed->first > UINT64_MAX - *parsed->second) {
            m_result.error = HlsError::BadByteRange;
            return false;
        }
        map.range = CByteRange{parsed->first, *parsed->second};
    }
    m_pMap = std::make_shared<const CHlsMap>(std::move(map));
    return true;
}

bool CParser::StreamInf(std::string_view rest) {
    if (!m_result.media.segments.empty()) {
        m_result.error = HlsError::MixedPlaylist;
        return false;
    }
    m_result.bMaster = true;
    const Attributes attributes = ParseAttributes(rest);
    CHlsVariant variant;
    variant.nBandwidth = ParseDecimal(Find(attributes, "BANDWIDTH").value_or("")).value_or(0);
    if (const auto codecs = Find(attributes, "CODECS")) {
        variant.bHasCodecs = true;
        size_t pos = 0;
        while (pos <= codecs->size()) {
            const size_t comma = std::min(codecs->find(',', pos), codecs->size());
            const std::string_view codec = Trim(codecs->substr(pos, comma - pos));
            if (!codec.empty()) {
                variant.codecs.push_back(Lower(codec));
            }
            pos = comma + 1;
        }
    }
    variant.strAudioGroup = std::string(Find(attributes, "AUDIO").value_or(""));
    m_pendingVariant = std::move(variant);
    return true;
}

bool CParser::Media(std::string_view rest) {
    if (!m_result.media.segments.empty()) {
        m_result.error = HlsError::MixedPlaylist;
        return false;
    }
    m_result.bMaster = true;
    if (m_result.master.renditions.size() >= kMaxHlsVariants) {
        m_result.error = HlsError::TooManyVariants;
        return false;
    }
    const Attributes attributes = ParseAttributes(rest);
    CHlsRendition rendition;
    rendition.strType = std::string(Find(attributes, "TYPE").value_or(""));
    rendition.strGroupId = std::string(Find(attributes, "GROUP-ID").value_or(""));
    rendition.strName = Utf16(Find(attributes, "NAME").value_or(""));
    rendition.bDefault = Find(attributes, "DEFAULT").value_or("NO") == "YES";
    if (const auto uri = Find(attributes, "URI")) {
        if (rendition.strType == "AUDIO") {
            if (!Resolve(*uri, rendition.strUri)) {
                return false;
            }
        } else {
            rendition.strUri = Utf16(*uri);  // never played
        }
    }
    m_result.master.renditions.push_back(std::move(rendition));
    return true;
}

// The audio rendition a variant plays, if its group names one with a URI.
const CHlsRendition* AudioRendition(const CMasterPlaylist& master, const std::string& group) {
    const CHlsRendition* first = nullptr;
    for (const auto& rendition : master.renditions) {
        if (rendition.strType != "AUDIO" || rendition.strGroupId != group ||
            rendition.strUri.empty()) {
            continue;
        }
        if (rendition.bDefault) {
            return &rendition;
        }
        if (!first) {
            first = &rendition;
        }
    }
    return first;
}

const CHlsRendition* NamedRendition(const CMasterPlaylist& master, const std::string& group) {
    for (const auto& rendition : master.renditions) {
        if (rendition.strType == "AUDIO" && rendition.strGroupId == group &&
            (rendition.bDefault || rendition.strUri.empty())) {
            return &rendition;
        }
    }
    return nullptr;
}

}  // namespace

const char* HlsErrorText(HlsError error) {
    switch (error) {
        case HlsError::None:
            return "no error";
        case HlsError::NotHls:
            return "The playlist does not start with #EXTM3U.";
        case HlsError::TooLarge:
            return "The playlist is larger than 1 MiB.";
        case HlsError::TooManySegments:
            return "The playlist lists more than 10000 segments.";
        case HlsError::TooManyVariants:
            return "The playlist lists more than 256 variants.";
        case HlsError::TargetDurationTooLong:
            return "The playlist's target duration is over 60 s.";
        case HlsError::NoTargetDuration:
            return "The playlist gives no target duration.";
        case HlsError::MixedPlaylist:
            return "The playlist mixes variants and segments.";
        case HlsError::BadByteRange:
            return "The playlist holds a byte range that cannot be placed.";
        case HlsError::ForbiddenUri:
            return "The playlist names an address that is not http or https.";
        case HlsError::Empty:
            return "The playlist names neither variants nor segments.";
    }
    return "unknown";
}

CHlsPlaylist ParseHlsPlaylist(std::span<const uint8_t> text, const std::u16string& baseUrl) {
    CParser parser(baseUrl);
    return parser.Parse(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
}

CodecSupport ClassifyCodec(std::string_view codec) {
    const std::string c = Lower(Trim(codec));
    if (c.rfind("mp4a.", 0) == 0) {
        // mp4a.<object type indication, hex>[.<audio object type, decimal>]
        const std::string_view rest = std::string_view(c).substr(5);
        const size_t dot = rest.find('.');
        const std::string_view oti = rest.substr(0, dot);
        if (oti == "6b" || oti == "69") {
            return CodecSupport::Decodable;  // MPEG-1 / MPEG-2 audio
        }
        if (oti == "40" && dot != std::string_view::npos) {
            const auto aot = ParseDecimal(rest.substr(dot + 1));
            if (aot && (*aot == 2 || *aot == 5 || *aot == 29 || *aot == 34)) {
                return CodecSupport::Decodable;
            }
        }
        return CodecSupport::Undecodable;
    }
    static constexpr std::string_view kOtherAudio[] = {"ac-3", "ec-3", "ac-4", "opus", "flac",
                                                       "alac", "dts",  "mha1", "mhm1", "fLaC"};
    for (std::string_view other : kOtherAudio) {
        if (c.rfind(Lower(other), 0) == 0) {
            return CodecSupport::Undecodable;
        }
    }
    if (c == "mp3") {
        return CodecSupport::Decodable;
    }
    return CodecSupport::NotAudio;
}

std::vector<CHlsChoice> ChooseVariants(const CMasterPlaylist& master) {
    struct CRanked {
        const CHlsVariant* pVariant;
        bool bAudioOnly;
    };
    std::vector<CRanked> withCodecs;
    std::vector<const CHlsVariant*> withoutCodecs;
    for (const auto& variant : master.variants) {
        if (!variant.bHasCodecs || variant.codecs.empty()) {
            withoutCodecs.push_back(&variant);
            continue;
        }
        bool decodable = false;
        bool undecodable = false;
        bool other = false;
        for (const auto& codec : variant.codecs) {
            switch (ClassifyCodec(codec)) {
                case CodecSupport::Decodable:
                    decodable = true;
                    break;
                case CodecSupport::Undecodable:
                    undecodable = true;
                    break;
                case CodecSupport::NotAudio:
                    other = true;
                    break;
            }
        }
        if (decodable && !undecodable) {
            withCodecs.push_back({&variant, !other});
        }
    }
    std::stable_sort(withCodecs.begin(), withCodecs.end(), [](const CRanked& a, const CRanked& b) {
        if (a.bAudioOnly != b.bAudioOnly) {
            return a.bAudioOnly;
        }
        return a.pVariant->nBandwidth > b.pVariant->nBandwidth;
    });
    std::vector<CHlsChoice> choices;
    auto add = [&](const CHlsVariant& variant) {
        CHlsChoice choice;
        choice.nBandwidth = variant.nBandwidth;
        if (const CHlsRendition* audio = AudioRendition(master, variant.strAudioGroup);
            audio && !variant.strAudioGroup.empty()) {
            choice.strUri = audio->strUri;
            choice.strName = audio->strName;
        } else {
            choice.strUri = variant.strUri;
            if (const CHlsRendition* named = NamedRendition(master, variant.strAudioGroup);
                named && !variant.strAudioGroup.empty()) {
                choice.strName = named->strName;
            }
        }
        for (const auto& earlier : choices) {
            if (earlier.strUri == choice.strUri) {
                return;  // one audio playlist, tried once
            }
        }
        choices.push_back(std::move(choice));
    };
    for (const auto& ranked : withCodecs) {
        add(*ranked.pVariant);
    }
    for (const CHlsVariant* variant : withoutCodecs) {
        add(*variant);
    }
    if (master.variants.empty()) {
        // Audio renditions alone, without a variant naming them: the default
        // first, then the others as listed.
        std::vector<const CHlsRendition*> audio;
        for (const auto& rendition : master.renditions) {
            if (rendition.strType == "AUDIO" && !rendition.strUri.empty()) {
                audio.push_back(&rendition);
            }
        }
        std::stable_partition(audio.begin(), audio.end(),
                              [](const CHlsRendition* r) { return r->bDefault; });
        for (const CHlsRendition* rendition : audio) {
            choices.push_back(CHlsChoice{rendition->strUri, 0, rendition->strName});
        }
    }
    return choices;
}

}  // namespace radio::hls
