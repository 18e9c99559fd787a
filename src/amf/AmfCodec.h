// Internal to the codec: the primitive readers and writers of decoding and
// encoding, exposed here so the unit tests can pin them byte for byte. Callers
// outside src/amf use only Amf.h.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "amf/Amf.h"

// The reader's helpers. Positions are signed 32-bit indexes that only ever
// grow; a position may end up past the end of the payload (a string whose
// length runs past it), and every read treats such a position as "no bytes".
class CAmfReader {
public:
    // Arrays nested deeper than this fail the whole decode, so that hostile
    // input cannot run the reader's recursion out of stack; no message of
    // the UI comes near it. Depth 1 is a top-level array.
    static constexpr int32_t kMaxArrayDepth = 64;
    // The decode budget: a payload may not decode into more than this many
    // values, nor into more text (UTF-16 units of string values and member
    // keys, a reference counted at the length it copies) than kUnitsPerByte
    // per payload byte plus kUnitsBase. Inline text yields at most one unit
    // per byte, so only references can pass it; past either bound the whole
    // decode fails, before the copy that would pass it is made. See
    // docs/robustness.md for the choice.
    static constexpr int32_t kMaxValues = 65536;
    static constexpr int64_t kUnitsPerByte = 2;
    static constexpr int64_t kUnitsBase = 65536;
    static int64_t TextBudget(const std::vector<uint8_t>& payload) {
        return kUnitsPerByte * SizeOf(payload) + kUnitsBase;
    }

    // The payload's size as a position; payloads beyond 2 GiB are read as if
    // they ended there.
    static int32_t SizeOf(const std::vector<uint8_t>& payload) {
        return payload.size() > static_cast<size_t>(INT32_MAX)
                   ? INT32_MAX
                   : static_cast<int32_t>(payload.size());
    }

    // The variable-length 29-bit integer: up to four bytes, the fourth taken
    // whole. A payload that ends early leaves what has been gathered so far;
    // the read always succeeds.
    static uint32_t ReadU29(const std::vector<uint8_t>& payload, int32_t& position);
    // ReadU29 read as an integer: bit 28 is the sign.
    static int32_t ReadU29Integer(const std::vector<uint8_t>& payload, int32_t& position);
    // ReadU29 read as a header: bit 0 clear is a reference; returns the index,
    // length or count (the value shifted right by one).
    static uint32_t ReadU29Header(const std::vector<uint8_t>& payload, int32_t& position,
                                  bool& isReference);
    // Eight bytes, most significant first. Fewer than eight left: fails
    // without moving.
    static bool ReadDouble(const std::vector<uint8_t>& payload, int32_t& position, double& value);
    // ReadString: references into message.m_readStrings, inline text
    // converted from UTF-8 and cut at its first NUL; a length running past the
    // payload reads as empty text and moves the position past the end.
    static bool ReadString(const std::vector<uint8_t>& payload, int32_t& position,
                           CAmfMessage& message, std::u16string& text);
    // Inline texts of up to this many bytes are converted on the stack.
    static constexpr uint32_t kShortText = 256;
    // Texts up to this length live inside the string object, without a heap
    // buffer to allocate or keep.
    static inline const size_t kInPlaceUnits = std::u16string().capacity();
    // The byte at position. Outside the payload it breaks the whole decode
    // (an invalid-argument error) and returns false.
    static bool ByteAt(const std::vector<uint8_t>& payload, int32_t position, CAmfMessage& message,
                       uint8_t& byte);
    // A message's read table and value list hand their buffers, emptied, to
    // the next message decoded on this thread (one spare of each per thread).
    // A table of hundreds of strings is a large allocation, and with glibc
    // every large request also consolidates the small free chunks that the
    // previous message left, which slows each node allocation after it; for
    // a small message the two buffers are two of its nine allocations.
    // The heap buffers of the table's entries are kept as well, and
    // AddToTable puts the next table's copies into them (AmfSpares.cpp).
    // TakeSpares gives a message about to decode size bytes the spares its
    // empty, unallocated buffers need; RecycleSpares empties the read table
    // and the (already reset) value list of a dying message.
    static void TakeSpares(CAmfMessage& message, int32_t size);
    static void AddToTable(std::vector<std::u16string>& table, const char16_t* units,
                           size_t length);
    static void RecycleSpares(CAmfMessage& message);
    // The heap buffers of string values are kept by the values' destructor
    // and lent to the next texts read that have none of their own; text is
    // left empty. Member keys are not lent buffers: the map copies them.
    static void KeepTextBuffer(std::u16string& text);
    static void LendTextBuffer(std::u16string& text, size_t length);
    // True once a failure has ended the decoding of the whole payload.
    static bool IsBroken(const CAmfMessage& message) { return message.m_bDecodeBroken; }

private:
    friend class CAmfValue;
    friend class CAmfMessage;
    static bool DecodeArray(CAmfValue& value, const std::vector<uint8_t>& payload,
                            int32_t& position);
    static void Break(CAmfMessage& message) { message.m_bDecodeBroken = true; }
    static void BeginDecode(CAmfMessage& message, const std::vector<uint8_t>& payload) {
        message.m_bDecodeBroken = false;
        message.m_nDecodeDepth = 0;
        message.m_nUnitsLeft = TextBudget(payload);
        message.m_nValuesLeft = kMaxValues;
    }
    // Charges units of text against the budget; past it the decode breaks.
    static bool SpendText(CAmfMessage& message, size_t units) {
        message.m_nUnitsLeft -= static_cast<int64_t>(units);
        if (message.m_nUnitsLeft >= 0)
            return true;
        Break(message);
        return false;
    }
    static int32_t& Depth(CAmfMessage& message) { return message.m_nDecodeDepth; }
};

// The writer's helpers.
class CAmfWriter {
public:
    // WriteU29. value is wide so that element counts and string
    // lengths cannot wrap before the range check: above 268,435,455 fails and
    // writes nothing, as does a negative header or an integer below
    // -268,435,456.
    static bool WriteU29(int64_t value, std::vector<uint8_t>& out, bool asHeader, bool isReference);
    // WriteString: a reference to an equal string already written in
    // this run, else the inline UTF-8 bytes (the empty string always as 0x01).
    // Outside a run (a test calling it directly) it is a run of its own.
    static bool WriteString(const std::u16string& text, std::vector<uint8_t>& out,
                            CAmfMessage& message);

private:
    friend class CAmfValue;
    friend class CAmfMessage;

    // CAmfValue::Encode for value and everything below it, with the
    // string table of message (the root's m_pMessage).
    static bool EncodeValue(const CAmfValue& value, std::vector<uint8_t>& out,
                            CAmfMessage* message);
    static bool WriteStringInRun(const std::u16string& text, std::vector<uint8_t>& out,
                                 CAmfMessage& message);
    // A run's table starts as m_writeStrings (strings of earlier direct
    // CAmfValue::Encode calls); returns how many entries came from there.
    static size_t BeginRun(CAmfMessage& message);
    // keep: append copies of the strings this run added to m_writeStrings
    // (a direct CAmfValue::Encode); otherwise empty m_writeStrings (the end of
    // a message Encode).
    static void EndRun(CAmfMessage& message, size_t seeded, bool keep);
    // Index of text in the run's table, or -1 after appending it.
    static int64_t FindOrAppend(CAmfMessage& message, const std::u16string& text);
};

// Open-addressing hash set of indexes into a run's string table, built only
// when the table outgrows kLinearLimit. Holding indexes (not views) keeps it
// valid however the table vector grows.
class CAmfWriteIndex {
public:
    // Tables up to this size are searched linearly: for a handful of short
    // strings that beats hashing, and small messages never build an index.
    static constexpr size_t kLinearLimit = 8;

    static uint32_t HashOf(const std::u16string& text);
    // Index of text (whose hash is given) in table, or -1.
    int64_t Find(const std::vector<const std::u16string*>& table, const std::u16string& text,
                 uint32_t hash) const;
    void Add(uint32_t hash, uint32_t index);
    void Clear();
    size_t Count() const { return m_nCount; }

private:
    struct Slot {
        uint32_t hash;
        uint32_t indexPlusOne;  // 0: empty
    };
    void Grow();

    std::vector<Slot> m_slots;
    size_t m_nCount = 0;
};
