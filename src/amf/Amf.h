// The value tree of one AMF3 payload and its codec.
//
// A CAmfMessage owns the top-level values of one payload and the two string
// reference tables the codec needs; each CAmfValue owns its children. Only
// the subset the helper exchanges with the UI is modelled: undefined, null,
// booleans, integers, doubles, strings and arrays (associative part plus
// dense part). Everything else is refused in both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Type codes equal the AMF3 marker bytes, except that false and true share
// AMF_BOOLEAN. The codes 7, 8, 10, 11 and 12 only ever appear in nodes whose
// decode failed.
enum AmfType : int32_t {
    AMF_UNDEFINED = 0,
    AMF_NULL = 1,
    AMF_BOOLEAN = 2,
    AMF_INTEGER = 4,
    AMF_DOUBLE = 5,
    AMF_STRING = 6,
    AMF_XML_DOC = 7,
    AMF_DATE = 8,
    AMF_ARRAY = 9,
    AMF_OBJECT = 10,
    AMF_XML = 11,
    AMF_BYTE_ARRAY = 12,
};

class CAmfMessage;

// One node of a message's value tree. Which fields carry meaning depends on
// m_nType; the containers and m_strValue of every other kind stay empty, so
// reading m_strValue of a non-string yields the empty text (the dispatcher
// relies on that).
class CAmfValue {
public:
    explicit CAmfValue(CAmfMessage* pMessage);
    ~CAmfValue();

    CAmfValue(const CAmfValue&) = delete;
    CAmfValue& operator=(const CAmfValue&) = delete;

    // Nodes come from a per-thread cache of freed nodes (AmfNodePool.h): a
    // decode creates one per value and the message frees them all again.
    static void* operator new(size_t size);
    static void operator delete(void* block, size_t size) noexcept;

    // Stores child under key; an existing child under the same key is
    // destroyed (the later value wins).
    void SetMember(const std::u16string& key, std::unique_ptr<CAmfValue> child);
    void AddElement(std::unique_ptr<CAmfValue> child);
    // Exact, case-sensitive lookup; null when absent.
    CAmfValue* FindMember(const std::u16string& key) const;

    // Reads the value that starts at position and advances position past it.
    bool Decode(const std::vector<uint8_t>& payload, int32_t& position);
    // Appends this value's bytes to out; bytes written before a failure stay.
    bool Encode(std::vector<uint8_t>& out);

    CAmfMessage* m_pMessage;
    int32_t m_nType;
    int32_t m_bHasMembers;
    std::vector<std::unique_ptr<CAmfValue>> m_elements;
    // std::u16string's operator< compares char16_t code units one by one,
    // which is exactly the ordinal, case-sensitive key order on the wire.
    std::map<std::u16string, std::unique_ptr<CAmfValue>> m_members;
    int32_t m_bValue;
    int32_t m_nValue;
    double m_dValue;
    std::u16string m_strValue;
};

// The top-level values of one payload plus the codec's string tables.
class CAmfMessage {
public:
    CAmfMessage();
    ~CAmfMessage();

    CAmfMessage(const CAmfMessage&) = delete;
    CAmfMessage& operator=(const CAmfMessage&) = delete;

    void AddValue(std::unique_ptr<CAmfValue> value);
    size_t GetCount() const { return m_values.size(); }
    // Callers ask for the first value only after checking GetCount() == 1.
    CAmfValue* FirstValue() const { return m_values.empty() ? nullptr : m_values.front().get(); }

    // Appends the payload's top-level values to m_values. An empty payload is
    // a success with no values.
    bool Decode(const std::vector<uint8_t>& payload);
    // Appends the encoding of every top-level value to out. The write string
    // table is emptied afterwards, so encoding twice gives identical bytes.
    bool Encode(std::vector<uint8_t>& out);

    std::vector<std::unique_ptr<CAmfValue>> m_values;
    // The string tables: every string read inline, in the order read; and
    // every string written by direct CAmfValue::Encode calls since the last
    // message Encode, which empties it.
    std::vector<std::u16string> m_readStrings;
    std::vector<std::u16string> m_writeStrings;
};
