#include "radio/IcyDemuxer.h"

#include <algorithm>

#include "amf/Utf.h"

namespace radio {

void CIcyDemuxer::Feed(std::span<const uint8_t> data, std::vector<uint8_t>& audio,
                       std::vector<std::string>& blocks) {
    if (m_nMetaInt == 0) {
        audio.insert(audio.end(), data.begin(), data.end());
        return;
    }
    size_t pos = 0;
    while (pos < data.size()) {
        switch (m_phase) {
            case Phase::Audio: {
                const size_t take = std::min(m_nUntilMeta, data.size() - pos);
                audio.insert(audio.end(), data.begin() + pos, data.begin() + pos + take);
                pos += take;
                m_nUntilMeta -= take;
                if (m_nUntilMeta == 0) {
                    m_phase = Phase::Length;
                }
                break;
            }
            case Phase::Length:
                m_nMetaLeft = static_cast<size_t>(data[pos++]) * 16;
                m_strBlock.clear();
                if (m_nMetaLeft == 0) {
                    m_phase = Phase::Audio;
                    m_nUntilMeta = m_nMetaInt;
                } else {
                    m_phase = Phase::Meta;
                }
                break;
            case Phase::Meta: {
                const size_t take = std::min(m_nMetaLeft, data.size() - pos);
                m_strBlock.append(reinterpret_cast<const char*>(data.data() + pos), take);
                pos += take;
                m_nMetaLeft -= take;
                if (m_nMetaLeft == 0) {
                    const size_t end = m_strBlock.find('\0');
                    if (end != std::string::npos) {
                        m_strBlock.resize(end);
                    }
                    blocks.push_back(std::move(m_strBlock));
                    m_strBlock.clear();
                    m_phase = Phase::Audio;
                    m_nUntilMeta = m_nMetaInt;
                }
                break;
            }
        }
    }
}

std::optional<std::string> FindStreamTitle(std::string_view block) {
    constexpr std::string_view kKey = "StreamTitle='";
    size_t start = 0;
    // The key must start the block or follow a ';' so that "XStreamTitle" is
    // not taken for it.
    while ((start = block.find(kKey, start)) != std::string_view::npos) {
        if (start == 0 || block[start - 1] == ';') {
            break;
        }
        start += kKey.size();
    }
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t valueStart = start + kKey.size();
    size_t end = block.find("';", valueStart);
    if (end == std::string_view::npos) {
        end = block.size();
        if (end > valueStart && block[end - 1] == '\'') {
            --end;
        }
    }
    return std::string(block.substr(valueStart, end - valueStart));
}

namespace {

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<uint8_t>(text[i]);
        size_t extra;
        uint32_t min;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<uint8_t>(text[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace

std::u16string DecodeMetaText(std::string_view text) {
    if (IsValidUtf8(text)) {
        return amf::Utf8ToUtf16(text);
    }
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
    }
    return out;
}

}  // namespace radio
