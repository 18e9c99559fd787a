// The AMF3 reader. Every failure is a boolean result; the failures
// that end the whole payload (ByteAt outside it, nesting past the depth limit,
// a spent decode budget) latch in the message, and each enclosing level checks the latch
// right after a child fails, so they unwind as plain returns.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "amf/Amf.h"
#include "amf/AmfCodec.h"
#include "amf/Utf.h"

uint32_t CAmfReader::ReadU29(const std::vector<uint8_t>& payload, int32_t& position) {
    const int32_t size = SizeOf(payload);
    const uint8_t* p = payload.data();
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
    return value;
}

int32_t CAmfReader::ReadU29Integer(const std::vector<uint8_t>& payload, int32_t& position) {
    uint32_t value = ReadU29(payload, position);
    if (value & 0x10000000u)
        value |= 0xE0000000u;  // sign-extend bit 28
    return static_cast<int32_t>(value);
}

uint32_t CAmfReader::ReadU29Header(const std::vector<uint8_t>& payload, int32_t& position,
                                   bool& isReference) {
    const uint32_t value = ReadU29(payload, position);
    isReference = (value & 1u) == 0;
    return value >> 1;
}

bool CAmfReader::ReadDouble(const std::vector<uint8_t>& payload, int32_t& position, double& value) {
    const int32_t size = SizeOf(payload);
    if (position < 0 || position > size || size - position < 8)
        return false;
    // Assemble the big-endian bits, then copy them: no union punning, and
    // NaN payloads survive exactly.
    uint64_t bits = 0;
    const uint8_t* p = payload.data() + position;
    for (int i = 0; i < 8; ++i)
        bits = (bits << 8) | p[i];
    std::memcpy(&value, &bits, sizeof value);
    position += 8;
    return true;
}

bool CAmfReader::ReadString(const std::vector<uint8_t>& payload, int32_t& position,
                            CAmfMessage& message, std::u16string& text) {
    bool isReference = false;
    const uint32_t header = ReadU29Header(payload, position, isReference);
    std::vector<std::u16string>& table = message.m_readStrings;
    if (isReference) {
        if (header >= table.size())
            return false;  // position stays past the header
        // Charged before the copy: references are how a small payload could
        // ask for gigabytes of text.
        const std::u16string& source = table[header];
        if (!SpendText(message, source.size()))
            return false;
        text = source;
        return true;
    }
    text.clear();
    if (header == 0)
        return true;  // the empty string never enters the table
    const int32_t size = SizeOf(payload);
    const uint32_t left = position < size ? static_cast<uint32_t>(size - position) : 0;
    if (header > left) {
        // Runs past the payload: empty text, table untouched, and the
        // position moves on by the length (clamped so it cannot wrap); the
        // caller's loops then see the end of the payload.
        const int64_t end = static_cast<int64_t>(position) + header;
        position = end > INT32_MAX ? INT32_MAX : static_cast<int32_t>(end);
        return true;
    }
    const uint8_t* bytes = payload.data() + position;
    position += static_cast<int32_t>(header);
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
        if (!SpendText(message, length))
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
    if (!SpendText(message, text.size()))
        return false;
    AddToTable(table, text.data(), text.size());
    return true;
}

bool CAmfReader::ByteAt(const std::vector<uint8_t>& payload, int32_t position, CAmfMessage& message,
                        uint8_t& byte) {
    if (position < 0 || position >= SizeOf(payload)) {
        Break(message);
        return false;
    }
    byte = payload[static_cast<size_t>(position)];
    return true;
}

bool CAmfValue::Decode(const std::vector<uint8_t>& payload, int32_t& position) {
    if (m_pMessage == nullptr)
        return false;  // no string table to read into
    CAmfMessage& message = *m_pMessage;
    if (CAmfReader::Depth(message) == 0 && !message.m_bDecodingPayload)
        CAmfReader::BeginDecode(message, payload);  // a value decoded on its own
    if (CAmfReader::IsBroken(message))
        return false;
    if (position < 0 || position >= CAmfReader::SizeOf(payload))
        return false;
    if (--message.m_nValuesLeft < 0) {
        CAmfReader::Break(message);
        return false;
    }

    const uint8_t marker = payload[static_cast<size_t>(position++)];
    switch (marker) {
        case 0x00:
            m_nType = AMF_UNDEFINED;
            return true;
        case 0x01:
            m_nType = AMF_NULL;
            return true;
        case 0x02:
        case 0x03:
            m_nType = AMF_BOOLEAN;
            m_bValue = marker == 0x03 ? 1 : 0;
            return true;
        case 0x04:
            m_nType = AMF_INTEGER;
            m_nValue = CAmfReader::ReadU29Integer(payload, position);
            return true;
        case 0x05:
            m_nType = AMF_DOUBLE;
            m_dValue = 0;
            return CAmfReader::ReadDouble(payload, position, m_dValue);
        case 0x06:
            m_nType = AMF_STRING;
            return CAmfReader::ReadString(payload, position, message, m_strValue);
        case 0x09:
            return CAmfReader::DecodeArray(*this, payload, position);
        case 0x07:
        case 0x08:
        case 0x0A:
        case 0x0B:
        case 0x0C:
            m_nType = marker;  // refused kinds keep their code for the record
            return false;
        default:
            return false;  // 0x0D and above: the type stays AMF_UNDEFINED
    }
}

bool CAmfReader::DecodeArray(CAmfValue& value, const std::vector<uint8_t>& payload,
                             int32_t& position) {
    CAmfMessage& message = *value.m_pMessage;
    value.m_nType = AMF_ARRAY;

    // Nesting is bounded so hostile input cannot exhaust the stack; past the
    // limit the whole payload fails, like the ByteAt error.
    struct DepthGuard {
        int32_t& depth;
        explicit DepthGuard(int32_t& d) : depth(d) { ++depth; }
        ~DepthGuard() { --depth; }
    } guard(Depth(message));
    if (guard.depth > kMaxArrayDepth) {
        Break(message);
        return false;
    }

    bool isReference = false;
    const uint32_t count = ReadU29Header(payload, position, isReference);
    if (isReference)
        return true;  // array references are not resolved
    const int32_t size = SizeOf(payload);
    if (position >= size)
        return true;  // the header was the last thing

    // Member list, up to the empty-string key 0x01.
    // Whether the last member key read was a valid one: an array whose dense
    // part falls short reports this instead of success or failure.
    bool lastKeyRead = true;
    std::u16string key;
    uint8_t byte = 0;
    for (;;) {
        if (!ByteAt(payload, position, message, byte))
            return false;
        if (byte == 0x01)
            break;
        lastKeyRead = ReadString(payload, position, message, key);
        if (!lastKeyRead) {
            if (IsBroken(message))
                return false;
            value.m_bHasMembers = 1;  // bad reference: the entry is skipped
            continue;
        }

        auto child = std::make_unique<CAmfValue>(&message);
        if (!child->Decode(payload, position)) {
            if (IsBroken(message))
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
    if (!ByteAt(payload, position, message, byte))
        return false;
    if (byte != 0x01)
        return false;
    ++position;

    // Dense part. The announced count is only a bound: nothing is allocated
    // for it beyond a small first reservation (a large one per array would
    // let many short arrays with big counts multiply the payload's size).
    uint32_t read = 0;
    if (count > 0) {
        if (value.m_elements.empty())
            value.m_elements.reserve(std::min<uint32_t>(count, 8u));
        while (position < size) {
            auto child = std::make_unique<CAmfValue>(&message);
            if (!child->Decode(payload, position)) {
                if (IsBroken(message))
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

bool CAmfMessage::Decode(const std::vector<uint8_t>& payload) {
    // One budget for all the payload's top-level values.
    CAmfReader::BeginDecode(*this, payload);
    struct PayloadGuard {
        bool& flag;
        explicit PayloadGuard(bool& f) : flag(f) { flag = true; }
        ~PayloadGuard() { flag = false; }
    } guard(m_bDecodingPayload);
    const int32_t size = CAmfReader::SizeOf(payload);
    CAmfReader::TakeSpares(*this, size);
    int32_t position = 0;
    while (position < size) {
        auto value = std::make_unique<CAmfValue>(this);
        if (!value->Decode(payload, position))
            return false;  // earlier values stay
        AddValue(std::move(value));
    }
    return true;
}
