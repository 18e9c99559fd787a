// The property the AMF3 decoder fuzz target checks, shared with the unit test
// that replays saved crash inputs (tests/unit/amf/AmfRegressionTest.cpp).
//
// Decode the input. On success the tree must encode; decoding those bytes
// again must give the same tree wherever the format allows an exact round
// trip, and encoding that second tree must give the same bytes. What cannot
// round-trip, and so is not compared:
//  - A member whose key is empty text (a key cut to nothing at a NUL, or a
//    reference to such a table entry) is written as 0x01, which a reader takes
//    as the end of the member list: trees holding one are only encoded.
//  - m_bHasMembers: a skipped entry (a key referring past the table) sets it
//    without adding a member, and the writer writes no trace of that.
//  - The announced element count: the writer announces what is there.
//  - Array references: they read as empty arrays and are written inline.
// Everything that does survive is compared exactly; doubles by their bits so
// NaN payloads and -0.0 count. Strings survive as decoded: the reader has
// already cut them at NUL and replaced malformed UTF-8 by U+FFFD, and U+FFFD
// round-trips.
//
// Before all that, whether the decode succeeded or not, what it left in the
// message must lie within the decode budget (CAmfReader::kMaxValues values,
// CAmfReader::TextBudget units of text): no payload decodes into more than its
// bytes can honestly hold. The budget is counted against the bytes being
// read, so a tree whose own encoding is too short for it must fail to decode
// again, and only a tree within that budget is compared.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "amf/Amf.h"
#include "amf/AmfCodec.h"

namespace amf_fuzz {

inline bool HasEmptyKey(const CAmfValue& v) {
    for (const auto& [key, child] : v.m_members) {
        if (key.empty() || (child && HasEmptyKey(*child)))
            return true;
    }
    for (const auto& child : v.m_elements) {
        if (child && HasEmptyKey(*child))
            return true;
    }
    return false;
}

// Empty result when a and b are equal in every field that round-trips;
// otherwise where they differ.
inline std::string Compare(const CAmfValue& a, const CAmfValue& b, const std::string& path) {
    if (a.m_nType != b.m_nType)
        return path + ": type";
    switch (a.m_nType) {
        case AMF_BOOLEAN:
            if ((a.m_bValue != 0) != (b.m_bValue != 0))
                return path + ": boolean";
            break;
        case AMF_INTEGER:
            if (a.m_nValue != b.m_nValue)
                return path + ": integer";
            break;
        case AMF_DOUBLE:
            if (std::memcmp(&a.m_dValue, &b.m_dValue, sizeof(double)) != 0)
                return path + ": double";
            break;
        case AMF_STRING:
            break;
        case AMF_ARRAY: {
            if (a.m_members.size() != b.m_members.size())
                return path + ": member count";
            auto ib = b.m_members.begin();
            for (const auto& [key, child] : a.m_members) {
                if (key != ib->first)
                    return path + ": member key";
                std::string why = Compare(*child, *ib->second, path + ".m");
                if (!why.empty())
                    return why;
                ++ib;
            }
            if (a.m_elements.size() != b.m_elements.size())
                return path + ": element count";
            for (size_t i = 0; i < a.m_elements.size(); ++i) {
                std::string why = Compare(*a.m_elements[i], *b.m_elements[i],
                                          path + "[" + std::to_string(i) + "]");
                if (!why.empty())
                    return why;
            }
            break;
        }
        default:
            break;
    }
    if (a.m_strValue != b.m_strValue)
        return path + ": string";
    return {};
}

// What a decode left in a tree: its nodes, and its text in UTF-16 units
// (string values and member keys).
struct Footprint {
    uint64_t values = 0;
    uint64_t units = 0;
};

inline void Measure(const CAmfValue& v, Footprint& f) {
    ++f.values;
    f.units += v.m_strValue.size();
    for (const auto& [key, child] : v.m_members) {
        f.units += key.size();
        if (child)
            Measure(*child, f);
    }
    for (const auto& child : v.m_elements) {
        if (child)
            Measure(*child, f);
    }
}

inline Footprint Measure(const CAmfMessage& m) {
    Footprint f;
    for (const auto& value : m.m_values)
        Measure(*value, f);
    return f;
}

// Empty result when message, decoded from payload, lies within the budget.
inline std::string CheckBudget(const std::vector<uint8_t>& payload, const CAmfMessage& message) {
    const Footprint f = Measure(message);
    if (f.values > static_cast<uint64_t>(CAmfReader::kMaxValues))
        return "decoded " + std::to_string(f.values) + " values, more than the budget";
    const uint64_t budget = static_cast<uint64_t>(CAmfReader::TextBudget(payload));
    if (f.units > budget)
        return "decoded " + std::to_string(f.units) + " text units, budget " +
               std::to_string(budget);
    return {};
}

// Empty result when the property holds for data; otherwise what broke.
inline std::string CheckDecode(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> payload(data, data + size);
    CAmfMessage first;
    const bool decoded = first.Decode(payload);
    std::string overBudget = CheckBudget(payload, first);
    if (!overBudget.empty())
        return overBudget;
    if (!decoded)
        return {};  // refusing is fine; not crashing is the point

    std::vector<uint8_t> bytes;
    if (!first.Encode(bytes))
        return "a decoded tree failed to encode";
    if (!first.m_writeStrings.empty())
        return "write table not emptied";
    std::vector<uint8_t> again;
    if (!first.Encode(again) || again != bytes)
        return "encoding twice gave different bytes";

    bool exact = true;
    for (const auto& value : first.m_values)
        exact = exact && !HasEmptyKey(*value);
    CAmfMessage second;
    const bool ok = second.Decode(bytes);
    if (!exact)
        return {};
    // The writer may say the tree in fewer bytes than it came in (texts cut
    // at NUL, duplicate members dropped), and the budget is counted against
    // the bytes being read: the tree decodes again exactly when it also fits
    // the budget of its own encoding.
    const Footprint tree = Measure(first);
    const bool fits = tree.values <= static_cast<uint64_t>(CAmfReader::kMaxValues) &&
                      tree.units <= static_cast<uint64_t>(CAmfReader::TextBudget(bytes));
    if (!fits)
        return ok ? "re-encoded bytes decoded past their budget" : "";
    if (!ok)
        return "re-encoded bytes failed to decode";
    if (second.GetCount() != first.GetCount())
        return "top-level count changed";
    for (size_t i = 0; i < first.GetCount(); ++i) {
        std::string why = Compare(*first.m_values[i], *second.m_values[i], "v" + std::to_string(i));
        if (!why.empty())
            return "round trip differs at " + why;
    }
    std::vector<uint8_t> third;
    if (!second.Encode(third) || third != bytes)
        return "second encoding differs";
    return {};
}

}  // namespace amf_fuzz
