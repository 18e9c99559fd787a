// The AMF3 reader. Every failure is a boolean result; the failures that end
// the whole payload (ByteAt outside it, nesting past the depth limit, a
// spent decode budget) latch in the reader, and each enclosing level checks
// the latch right after a child fails, so they unwind as plain returns.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "amf/Amf.h"
#include "amf/AmfCodec.h"
#include "amf/Utf.h"

uint32_t CAmfReader::ReadU29() {
    const uint8_t* p = m_pData;
    const int32_t size = m_nSize;
    int32_t position = m_nPosition;
    uint32_t value = 0;
    int count = 0;
    while (position >= 0 && position < size) {
        const uint8_t b = p[position++];
        // The first three bytes give 7 bits each; a fourth gives all 8.
        value = count < 3 ? (value << 7) | (b & 0x7Fu) : (value << 8) | b;
        ++count;
        if ((b & 0x80) == 0 || count == 4)
            break;
    }
    m_nPosition = position;
    return value;
}

int32_t CAmfReader::ReadU29Integer() {
    uint32_t value = ReadU29();
    if (value & 0x10000000u)
        value |= 0xE0000000u;  // sign-extend bit 28
    return static_cast<int32_t>(value);
}

uint32_t CAmfReader::ReadU29Header(bool& isReference) {
    const uint32_t value = ReadU29();
    isReference = (value & 1u) == 0;
    return value >> 1;
}

bool CAmfReader::ReadDouble(double& value) {
    const int32_t position = m_nPosition;
    if (position < 0 || position > m_nSize || m_nSize - position < 8)
        return false;
    // Assemble the big-endian bits, then copy them: no union punning, and
    // NaN payloads survive exactly.
    uint64_t bits = 0;
    const uint8_t* p = m_pData + position;
    for (int i = 0; i < 8; ++i)
        bits = (bits << 8) | p[i];
    std::memcpy(&value, &bits, sizeof value);
    m_nPosition = position + 8;
    return true;
}

bool CAmfReader::ReadString(std::u16string& text) {
    bool isReference = false;
    const uint32_t header = ReadU29Header(isReference);
    std::vector<std::u16string>& table = m_message.m_readStrings;
    if (isReference) {
        if (header >= table.size())
            return false;  // position stays past the header
        // Charged before the copy: references are how a small payload could
        // ask for gigabytes of text.
        const std::u16string& source = table[header];
        if (!SpendText(source.size()))
            return false;
        text = source;
        return true;
    }
    text.clear();
    if (header == 0)
        return true;  // the empty string never enters the table
    const int32_t position = m_nPosition;
    const uint32_t left = position < m_nSize ? static_cast<uint32_t>(m_nSize - position) : 0;
    if (header > left) {
        // Runs past the payload: empty text, table untouched, and the
        // position moves on by the length (clamped so it cannot wrap); the
        // caller's loops then see the end of the payload.
        const int64_t end = static_cast<int64_t>(position) + header;
        m_nPosition = end > INT32_MAX ? INT32_MAX : static_cast<int32_t>(end);
        return true;
    }
    const uint8_t* bytes = m_pData + position;
    m_nPosition = position + static_cast<int32_t>(header);
    // The whole conversion of n > 0 bytes always yields at least one
    // character (Utf.h), so the text, even when cut to nothing at a NUL,
    // enters the table; a conversion that "yields nothing" cannot arise here.
    if (table.capacity() == 0)
        table.reserve(8);  // a value decoded on its own
    if (header <= kShortText) {
        // Converted once on the stack, then copied at its exact size into the
        // value and the table: no zero-filling of a buffer first, and no
        // buffer larger than the text.
        char16_t units[kShortText];
        const size_t length = amf::Utf8ToUtf16UntilNul(bytes, header, units);
        if (!SpendText(length))
            return false;
        if (text.capacity() < length)
            LendTextBuffer(text, length);
        text.assign(units, length);
        if (length > kInPlaceUnits) {
            AddToTable(table, units, length);
        } else {
            table.emplace_back(units, length);  // kept inside the string object
        }
        return true;
    }
    text.resize(header);
    text.resize(amf::Utf8ToUtf16UntilNul(bytes, header, text.data()));
    if (!SpendText(text.size()))
        return false;
    AddToTable(table, text.data(), text.size());
    return true;
}

bool CAmfReader::ByteAt(uint8_t& byte) {
    if (m_nPosition < 0 || m_nPosition >= m_nSize) {
        Break();
        return false;
    }
    byte = m_pData[m_nPosition];
    return true;
}

bool CAmfReader::ReadValue(CAmfValue& value) {
    if (m_bBroken)
        return false;
    if (m_nPosition < 0 || m_nPosition >= m_nSize)
        return false;
    if (--m_nValuesLeft < 0) {
        Break();
        return false;
    }

    const uint8_t marker = m_pData[m_nPosition++];
    switch (marker) {
        case 0x00:
            value.m_nType = AMF_UNDEFINED;
            return true;
        case 0x01:
            value.m_nType = AMF_NULL;
            return true;
        case 0x02:
        case 0x03:
            value.m_nType = AMF_BOOLEAN;
            value.m_bValue = marker == 0x03 ? 1 : 0;
            return true;
        case 0x04:
            value.m_nType = AMF_INTEGER;
            value.m_nValue = ReadU29Integer();
            return true;
        case 0x05:
            value.m_nType = AMF_DOUBLE;
            value.m_dValue = 0;
            return ReadDouble(value.m_dValue);
        case 0x06:
            value.m_nType = AMF_STRING;
            return ReadString(value.m_strValue);
        case 0x09:
            return ReadArray(value);
        case 0x07:
        case 0x08:
        case 0x0A:
        case 0x0B:
        case 0x0C:
            value.m_nType = marker;  // refused kinds keep their code for the record
            return false;
        default:
            return false;  // 0x0D and above: the type stays AMF_UNDEFINED
    }
}

bool CAmfReader::ReadArray(CAmfValue& value) {
    value.m_nType = AMF_ARRAY;

    // Nesting is bounded so hostile input cannot exhaust the stack; past the
    // limit the whole payload fails, like a ByteAt outside the payload.
    struct DepthGuard {
        int32_t& depth;
        explicit DepthGuard(int32_t& d) : depth(d) { ++depth; }
        ~DepthGuard() { --depth; }
    } guard(m_nDepth);
    if (guard.depth > kMaxArrayDepth) {
        Break();
        return false;
    }

    bool isReference = false;
    const uint32_t count = ReadU29Header(isReference);
    if (isReference)
        return true;  // array references are not resolved
    if (AtEnd())
        return true;  // the header was the last thing

    // Member list, up to the empty-string key 0x01.
    // Whether the last member key read was a valid one: an array whose dense
    // part falls short reports this instead of success or failure.
    bool lastKeyRead = true;
    std::u16string key;
    uint8_t byte = 0;
    for (;;) {
        if (!ByteAt(byte))
            return false;
        if (byte == 0x01)
            break;
        lastKeyRead = ReadString(key);
        if (!lastKeyRead) {
            if (m_bBroken)
                return false;
            value.m_bHasMembers = 1;  // bad reference: the entry is skipped
            continue;
        }

        auto child = std::make_unique<CAmfValue>(&m_message);
        if (!ReadValue(*child)) {
            if (m_bBroken)
                return false;
            break;  // child destroyed here, with all it gathered
        }
        // Writers send keys in ascending order, so the usual place of a new
        // key is the end of the map: hint that, and the map falls back to a
        // full search otherwise. For a key already present nothing is
        // inserted and the new value dies with the unused node: the first
        // value stays.
        // The key is copied, not moved: the map's copy dies with the map,
        // while key keeps its buffer for the next key read.
        value.m_members.emplace_hint(value.m_members.end(), key, std::move(child));
        value.m_bHasMembers = 1;
    }
    if (!ByteAt(byte))
        return false;
    if (byte != 0x01)
        return false;
    ++m_nPosition;

    // Dense part. The announced count is only a bound: nothing is allocated
    // for it beyond a small first reservation (a large one per array would
    // let many short arrays with big counts multiply the payload's size).
    uint32_t read = 0;
    if (count > 0) {
        if (value.m_elements.empty())
            value.m_elements.reserve(std::min<uint32_t>(count, 8u));
        while (!AtEnd()) {
            auto child = std::make_unique<CAmfValue>(&m_message);
            if (!ReadValue(*child)) {
                if (m_bBroken)
                    return false;
                break;
            }
            value.m_elements.push_back(std::move(child));
            if (++read == count)
                break;
        }
    }
    if (read == count)
        return true;
    // Fell short (payload ended or an element failed): the elements read so
    // far stay, and the result is that of the last member-key read.
    return lastKeyRead;
}

bool CAmfReader::ReadMessage() {
    TakeSpares(m_message, m_nSize - m_nPosition);
    while (!AtEnd()) {
        auto value = std::make_unique<CAmfValue>(&m_message);
        if (!ReadValue(*value))
            return false;  // earlier values stay
        m_message.AddValue(std::move(value));
    }
    return true;
}

bool CAmfMessage::Decode(const std::vector<uint8_t>& payload) {
    // One reader, and so one budget, for all the payload's top-level values.
    CAmfReader reader(payload, *this);
    return reader.ReadMessage();
}

bool CAmfValue::Decode(const std::vector<uint8_t>& payload, int32_t& position) {
    if (m_pMessage == nullptr)
        return false;  // no string table to read into
    // A value decoded on its own gets a budget of its own.
    CAmfReader reader(payload, *m_pMessage, position);
    const bool ok = reader.ReadValue(*this);
    position = reader.Position();
    return ok;
}
