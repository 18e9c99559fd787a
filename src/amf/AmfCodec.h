// Internal to the codec: the reader and the writer behind CAmfMessage's and
// CAmfValue's Decode and Encode, exposed here so the unit tests can pin their
// primitives byte for byte. Callers outside src/amf use only Amf.h.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "amf/Amf.h"

// One decode of one payload: the payload's bytes, the read position, the
// failure that ends the whole payload, the array depth and the decode budget
// all live here, for as long as the decode; the message is only the data it
// fills (its read table and its values). A reader is made per Decode call and
// never outlives the payload.
//
// Positions are signed 32-bit indexes that only ever grow; a position may end
// up past the end of the payload (a string whose length runs past it), and
// every read treats such a position as "no bytes".
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

    // Reads payload from position on into message: strings enter and are
    // looked up in message.m_readStrings, and the nodes made belong to it.
    // One budget covers everything this reader reads.
    CAmfReader(const std::vector<uint8_t>& payload, CAmfMessage& message, int32_t position = 0)
        : m_pData(payload.data()),
          m_nSize(SizeOf(payload)),
          m_nPosition(position),
          m_message(message),
          m_nUnitsLeft(TextBudget(payload)) {}

    CAmfReader(const CAmfReader&) = delete;
    CAmfReader& operator=(const CAmfReader&) = delete;

    int32_t Position() const { return m_nPosition; }
    bool AtEnd() const { return m_nPosition >= m_nSize; }
    // True once a failure has ended the decoding of the whole payload.
    bool IsBroken() const { return m_bBroken; }

    // Every top-level value up to the end of the payload, appended to the
    // message's values; the values read before a failure stay.
    bool ReadMessage();
    // The value that starts at the position, into value (a node of the
    // message); the position moves past it, or as far as the read got.
    bool ReadValue(CAmfValue& value);

    // The variable-length 29-bit integer: up to four bytes, the fourth taken
    // whole. A payload that ends early leaves what has been gathered so far;
    // the read always succeeds.
    uint32_t ReadU29();
    // ReadU29 read as an integer: bit 28 is the sign.
    int32_t ReadU29Integer();
    // ReadU29 read as a header: bit 0 clear is a reference; returns the index,
    // length or count (the value shifted right by one).
    uint32_t ReadU29Header(bool& isReference);
    // Eight bytes, most significant first. Fewer than eight left: fails
    // without moving.
    bool ReadDouble(double& value);
    // References into the read table, inline text converted from UTF-8 and
    // cut at its first NUL; a length running past the payload reads as empty
    // text and moves the position past the end.
    bool ReadString(std::u16string& text);
    // The byte at the position, which stays. Outside the payload it breaks
    // the whole decode (an invalid-argument error) and returns false.
    bool ByteAt(uint8_t& byte);

    // Inline texts of up to this many bytes are converted on the stack.
    static constexpr uint32_t kShortText = 256;
    // Texts up to this length live inside the string object, without a heap
    // buffer to allocate or keep.
    static inline const size_t kInPlaceUnits = std::u16string().capacity();

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

private:
    bool ReadArray(CAmfValue& value);
    void Break() { m_bBroken = true; }
    // Charges units of text against the budget; past it the decode breaks.
    bool SpendText(size_t units) {
        m_nUnitsLeft -= static_cast<int64_t>(units);
        if (m_nUnitsLeft >= 0)
            return true;
        Break();
        return false;
    }

    const uint8_t* m_pData;
    int32_t m_nSize;
    int32_t m_nPosition;
    CAmfMessage& m_message;
    // A failure that ends the whole payload (ByteAt outside the payload,
    // arrays nested deeper than the limit, a spent budget) latches here, so
    // every enclosing level fails at once without unwinding by exception.
    bool m_bBroken = false;
    int32_t m_nDepth = 0;
    // What the budget still allows: text units and values.
    int64_t m_nUnitsLeft;
    int32_t m_nValuesLeft = kMaxValues;
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
    size_t Slots() const { return m_slots.size(); }

private:
    struct Slot {
        uint32_t hash;
        uint32_t indexPlusOne;  // 0: empty
    };
    void Grow();

    std::vector<Slot> m_slots;
    // The slots filled since the last Clear, m_nCount of them, so that
    // clearing a sparse index costs what was added and not its size.
    std::vector<uint32_t> m_used;
    size_t m_nCount = 0;
};

// One encoding run: the bytes of a message's values, or of one value, with
// the string table of the run. The table starts as the message's
// m_writeStrings (strings of earlier direct CAmfValue::Encode calls) and
// during the run holds pointers to the strings written, not copies: the tree
// does not change while it is encoded, so a string costs no copy. Finish
// says what the run leaves in m_writeStrings. The table's storage comes from
// and goes back to a per-thread spare, so a run allocates nothing for it
// once the thread has encoded a like message.
struct CAmfWriterSpares;

class CAmfWriter {
public:
    // Writes with the string table of message, which may be null (a value
    // that belongs to no message: it has no strings to write).
    explicit CAmfWriter(CAmfMessage* pMessage);
    ~CAmfWriter();

    CAmfWriter(const CAmfWriter&) = delete;
    CAmfWriter& operator=(const CAmfWriter&) = delete;

    // Appends value and everything below it to out.
    bool WriteValue(const CAmfValue& value, std::vector<uint8_t>& out);
    // A reference to an equal string already written in this run, else the
    // inline UTF-8 bytes (the empty string always as 0x01).
    bool WriteString(const std::u16string& text, std::vector<uint8_t>& out);
    // Ends the run; nothing is written after it. keep: append copies of the
    // strings this run added to m_writeStrings (a direct CAmfValue::Encode);
    // otherwise empty m_writeStrings (the end of a message Encode).
    void Finish(bool keep);

    // value is wide so that element counts and string lengths cannot wrap
    // before the range check: above 268,435,455 fails and writes nothing, as
    // does a negative header or an integer below -268,435,456.
    static bool WriteU29(int64_t value, std::vector<uint8_t>& out, bool asHeader, bool isReference);

private:
    // Index of text in the run's table, or -1 after appending it.
    int64_t FindOrAppend(const std::u16string& text);

    CAmfMessage* m_pMessage;
    // Where the table's storage came from and goes back to: the calling
    // thread's spares, or null while the thread is ending.
    CAmfWriterSpares* m_pSpares;
    std::vector<const std::u16string*> m_table;
    // Hash index over m_table, used only once the table outgrows a short
    // linear search; it holds indexes, so the vector may reallocate freely.
    std::unique_ptr<CAmfWriteIndex> m_pIndex;
    // How many entries of m_table point into m_writeStrings.
    size_t m_nSeeded = 0;
};
