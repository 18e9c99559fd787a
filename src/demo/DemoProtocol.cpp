#include "demo/DemoProtocol.h"

#include <cstdio>
#include <iterator>
#include <memory>

#include "amf/Amf.h"
#include "amf/Utf.h"

namespace demo {

namespace {

constexpr uint8_t kMagic = 0xDA;
constexpr size_t kHeaderSize = 8;
// Deeper trees are cut short in the text; the helper never sends them.
constexpr int kMaxDescribeDepth = 16;

std::unique_ptr<CAmfValue> MakeString(CAmfMessage& message, const std::string& text) {
    auto value = std::make_unique<CAmfValue>(&message);
    value->m_nType = AMF_STRING;
    value->m_strValue = amf::Utf8ToUtf16(text);
    return value;
}

void AppendQuoted(const std::u16string& text, std::string& out) {
    out += '"';
    for (const char c : amf::Utf16ToUtf8(text)) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    out += '"';
}

bool IsPlainKey(const std::u16string& key) {
    if (key.empty()) {
        return false;
    }
    for (const char16_t c : key) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'_';
        if (!plain) {
            return false;
        }
    }
    return true;
}

void AppendValue(const CAmfValue& value, std::string& out, int depth) {
    switch (value.m_nType) {
        case AMF_UNDEFINED:
            out += "undefined";
            return;
        case AMF_NULL:
            out += "null";
            return;
        case AMF_BOOLEAN:
            out += value.m_bValue != 0 ? "true" : "false";
            return;
        case AMF_INTEGER:
            out += std::to_string(value.m_nValue);
            return;
        case AMF_DOUBLE: {
            char buffer[32];
            std::snprintf(buffer, sizeof(buffer), "%.15g", value.m_dValue);
            out += buffer;
            return;
        }
        case AMF_STRING:
            AppendQuoted(value.m_strValue, out);
            return;
        case AMF_ARRAY:
            break;
        default:
            out += "<type " + std::to_string(value.m_nType) + ">";
            return;
    }
    if (depth >= kMaxDescribeDepth) {
        out += "...";
        return;
    }
    const bool hasMembers = !value.m_members.empty();
    if (hasMembers || value.m_elements.empty()) {
        out += '{';
        const char* separator = "";
        for (const auto& [key, child] : value.m_members) {
            out += separator;
            separator = ", ";
            if (IsPlainKey(key)) {
                out += amf::Utf16ToUtf8(key);
            } else {
                AppendQuoted(key, out);
            }
            out += ": ";
            AppendValue(*child, out, depth + 1);
        }
        out += '}';
    }
    if (!value.m_elements.empty()) {
        if (hasMembers) {
            out += ' ';
        }
        out += '[';
        const char* separator = "";
        for (const auto& child : value.m_elements) {
            out += separator;
            separator = ", ";
            AppendValue(*child, out, depth + 1);
        }
        out += ']';
    }
}

}  // namespace

std::vector<uint8_t> EncodeCommandFrame(const std::string& type,
                                        const std::optional<std::string>& data) {
    CAmfMessage message;
    auto root = std::make_unique<CAmfValue>(&message);
    root->m_nType = AMF_ARRAY;
    root->m_bHasMembers = 1;
    root->SetMember(u"type", MakeString(message, type));
    if (data) {
        root->SetMember(u"data", MakeString(message, *data));
    }
    message.AddValue(std::move(root));

    std::vector<uint8_t> payload;
    if (!message.Encode(payload)) {
        return {};
    }
    const auto size = static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> frame = {kMagic,
                                  kMagic,
                                  kMagic,
                                  kMagic,
                                  static_cast<uint8_t>(size),
                                  static_cast<uint8_t>(size >> 8),
                                  static_cast<uint8_t>(size >> 16),
                                  static_cast<uint8_t>(size >> 24)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

void CEventFrameReader::Append(const uint8_t* data, size_t size) {
    // Drop what was handed out before growing, so the buffer stays small.
    if (m_nConsumed > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<ptrdiff_t>(m_nConsumed));
        m_nConsumed = 0;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);
}

bool CEventFrameReader::Next(std::vector<uint8_t>& payload) {
    if (m_bBroken || m_buffer.size() - m_nConsumed < kHeaderSize) {
        return false;
    }
    const uint8_t* header = m_buffer.data() + m_nConsumed;
    const uint32_t length = static_cast<uint32_t>(header[4]) << 24 |
                            static_cast<uint32_t>(header[5]) << 16 |
                            static_cast<uint32_t>(header[6]) << 8 | header[7];
    if (length > kMaxPayload) {
        m_bBroken = true;
        return false;
    }
    if (m_buffer.size() - m_nConsumed - kHeaderSize < length) {
        return false;
    }
    const auto begin = m_buffer.begin() + static_cast<ptrdiff_t>(m_nConsumed + kHeaderSize);
    payload.assign(begin, begin + length);
    m_nConsumed += kHeaderSize + length;
    return true;
}

std::string DescribeValue(const CAmfValue& value) {
    std::string out;
    AppendValue(value, out, 0);
    return out;
}

const char* PlayStateName(int32_t state) {
    static const char* const kNames[] = {
        "undefined", "stopped", "paused",      "playing",       "scan forward", "scan reverse",
        "buffering", "waiting", "media ended", "transitioning", "ready",        "reconnecting",
    };
    if (state < 0 || state >= static_cast<int32_t>(std::size(kNames))) {
        return "";
    }
    return kNames[state];
}

CEventText DescribeEvent(const std::vector<uint8_t>& payload, CAmfMessage& message) {
    CEventText text;
    if (!message.Decode(payload)) {
        text.m_strLine = "undecodable payload (" + std::to_string(payload.size()) + " bytes)";
        return text;
    }
    const CAmfValue* root = message.GetCount() == 1 ? message.FirstValue() : nullptr;
    const CAmfValue* type = root != nullptr ? root->FindMember(u"type") : nullptr;
    if (type == nullptr || type->m_nType != AMF_STRING) {
        text.m_strLine = "unexpected payload:";
        for (const auto& value : message.m_values) {
            text.m_strLine += ' ' + DescribeValue(*value);
        }
        return text;
    }
    text.m_strType = amf::Utf16ToUtf8(type->m_strValue);
    text.m_strLine = text.m_strType;
    if (const CAmfValue* data = root->FindMember(u"data"); data != nullptr) {
        text.m_pData = data;
        text.m_strLine += ' ' + DescribeValue(*data);
        if (text.m_strType == "wmpStatusEvent" && data->m_nType == AMF_INTEGER) {
            if (const char* name = PlayStateName(data->m_nValue); *name != '\0') {
                text.m_strLine += std::string(" (") + name + ")";
            }
        }
    }
    return text;
}

}  // namespace demo
