// Helpers for the AMF3 codec tests: hex payloads (from unit/HexText.h), a
// compact text dump of a value tree for table-driven expectations, and tree
// builders.
//
// Dump format: U undefined, N null, T / F booleans, i<n> integers,
// d<g> doubles, "text" strings (non-ASCII as \u{XXXX}), ?<code> for refused
// kinds, and arrays as [key:value,...|element,...], prefixed with + when
// m_bHasMembers is set. Top-level values are separated by one space.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "amf/Amf.h"
#include "unit/HexText.h"

// Defined in AddressSanitizer builds (the native preset): tests that pass
// merely by not crashing mean something only there.
#if defined(__SANITIZE_ADDRESS__)
#define AMF_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define AMF_TEST_ASAN 1
#endif
#endif

namespace amf_test {

using test_util::Hex;
using test_util::ToHex;

inline std::string Text(const std::u16string& s) {
    std::string out;
    char buf[16];
    for (char16_t c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\u{%04X}", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

inline std::string Dump(const CAmfValue& v) {
    switch (v.m_nType) {
        case AMF_UNDEFINED:
            return "U";
        case AMF_NULL:
            return "N";
        case AMF_BOOLEAN:
            return v.m_bValue ? "T" : "F";
        case AMF_INTEGER:
            return "i" + std::to_string(v.m_nValue);
        case AMF_DOUBLE: {
            char buf[40];
            std::snprintf(buf, sizeof buf, "d%.17g", v.m_dValue);
            return buf;
        }
        case AMF_STRING:
            return "\"" + Text(v.m_strValue) + "\"";
        case AMF_ARRAY: {
            std::string out = v.m_bHasMembers ? "+[" : "[";
            bool first = true;
            for (const auto& [key, child] : v.m_members) {
                if (!first)
                    out += ",";
                first = false;
                out += Text(key) + ":" + (child ? Dump(*child) : "null");
            }
            out += "|";
            first = true;
            for (const auto& child : v.m_elements) {
                if (!first)
                    out += ",";
                first = false;
                out += child ? Dump(*child) : "null";
            }
            return out + "]";
        }
        default:
            return "?" + std::to_string(v.m_nType);
    }
}

inline std::string Dump(const CAmfMessage& m) {
    std::string out;
    for (const auto& v : m.m_values) {
        if (!out.empty())
            out += " ";
        out += Dump(*v);
    }
    return out;
}

// --- builders ---------------------------------------------------------------

using Node = std::unique_ptr<CAmfValue>;

inline Node Make(CAmfMessage& m, int32_t type) {
    auto v = std::make_unique<CAmfValue>(&m);
    v->m_nType = type;
    return v;
}
inline Node Undef(CAmfMessage& m) {
    return Make(m, AMF_UNDEFINED);
}
inline Node Null(CAmfMessage& m) {
    return Make(m, AMF_NULL);
}
inline Node Bool(CAmfMessage& m, bool b) {
    auto v = Make(m, AMF_BOOLEAN);
    v->m_bValue = b ? 1 : 0;
    return v;
}
inline Node Int(CAmfMessage& m, int32_t n) {
    auto v = Make(m, AMF_INTEGER);
    v->m_nValue = n;
    return v;
}
inline Node Dbl(CAmfMessage& m, double d) {
    auto v = Make(m, AMF_DOUBLE);
    v->m_dValue = d;
    return v;
}
inline Node Str(CAmfMessage& m, std::u16string s) {
    auto v = Make(m, AMF_STRING);
    v->m_strValue = std::move(s);
    return v;
}
// An array built the way the event senders do (m_bHasMembers set when it has
// members). Members go in with SetMember in the given order.
inline Node Arr(CAmfMessage& m, std::vector<std::pair<std::u16string, Node>> members,
                std::vector<Node> elements = {}) {
    auto v = Make(m, AMF_ARRAY);
    v->m_bHasMembers = members.empty() ? 0 : 1;
    for (auto& [key, child] : members)
        v->SetMember(key, std::move(child));
    for (auto& child : elements)
        v->AddElement(std::move(child));
    return v;
}
using Member = std::pair<std::u16string, Node>;
inline Member Mem(std::u16string key, Node value) {
    return Member(std::move(key), std::move(value));
}
// unique_ptr cannot come from an initializer_list, hence these two.
template <class... T>
std::vector<Node> Elems(T&&... nodes) {
    std::vector<Node> v;
    (v.push_back(std::forward<T>(nodes)), ...);
    return v;
}
template <class... T>
std::vector<Member> Members(T&&... members) {
    std::vector<Member> v;
    (v.push_back(std::forward<T>(members)), ...);
    return v;
}

// The event envelope: members "type" and "data".
inline Node Envelope(CAmfMessage& m, const std::u16string& type, Node data) {
    return Arr(m, Members(Mem(u"type", Str(m, type)), Mem(u"data", std::move(data))));
}

inline std::vector<uint8_t> EncodeOrDie(CAmfMessage& m, bool* ok = nullptr) {
    std::vector<uint8_t> out;
    const bool r = m.Encode(out);
    if (ok)
        *ok = r;
    return out;
}

}  // namespace amf_test
