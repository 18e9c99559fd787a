// The AMF3 writer. The writer only appends to the output and never
// removes what it wrote before a failure. Bytes go in as small blocks (a
// header, a string's header and text) rather than one at a time; the result
// is the same byte sequence.
//
// The string table of a run. The message's m_writeStrings is the record of
// what earlier runs wrote: empty after a message Encode, and after a direct
// CAmfValue::Encode holding everything written so far. Copying every string
// into it as it is written would cost an allocation per string, so during a
// run the writer's own table points at the strings themselves (the tree
// cannot change while it is encoded), and only a direct value Encode appends
// copies when it ends. The bytes written are the same either way.
#include <algorithm>
#include <cstring>
#include <new>

#include "amf/Amf.h"
#include "amf/AmfCodec.h"
#include "amf/ThreadState.h"
#include "amf/Utf.h"

namespace {

// The storage of the last run's table and index, per thread, so that a run
// does not grow them again from nothing (for a large run, buffers that
// glibc maps and the kernel zeroes afresh each time). Clearing the index
// costs only the entries a run added, so a large one kept does not slow
// small runs. Tables of more strings than this, and their index, are let go:
// what a thread keeps stays under 1 MB.
constexpr size_t kSpareTableMax = 32768;
// An index holds at most half as many entries as slots.
constexpr size_t kSpareIndexSlotsMax = 2 * kSpareTableMax;

constexpr int64_t kU29Max = 0x0FFFFFFF;   // 268,435,455
constexpr int64_t kU29Min = -0x10000000;  // -268,435,456

// The bytes of an already range-checked U29 value; returns their count.
inline size_t PackU29(uint32_t v, uint8_t (&buf)[4]) {
    if (v > 0x1FFFFF) {  // includes every negative integer
        buf[0] = static_cast<uint8_t>(((v >> 22) & 0x7F) | 0x80);
        buf[1] = static_cast<uint8_t>(((v >> 15) & 0x7F) | 0x80);
        buf[2] = static_cast<uint8_t>(((v >> 8) & 0x7F) | 0x80);
        buf[3] = static_cast<uint8_t>(v & 0xFF);
        return 4;
    }
    if (v > 0x3FFF) {
        buf[0] = static_cast<uint8_t>((v >> 14) | 0x80);
        buf[1] = static_cast<uint8_t>(((v >> 7) & 0x7F) | 0x80);
        buf[2] = static_cast<uint8_t>(v & 0x7F);
        return 3;
    }
    if (v > 0x7F) {
        buf[0] = static_cast<uint8_t>((v >> 7) | 0x80);
        buf[1] = static_cast<uint8_t>(v & 0x7F);
        return 2;
    }
    buf[0] = static_cast<uint8_t>(v);
    return 1;
}

// Copies text to dst as bytes and tells whether it was all ASCII (then the
// bytes are its UTF-8 form). No early exit, so the loop vectorises.
inline bool NarrowAscii(const char16_t* s, size_t n, uint8_t* dst) {
    char16_t seen = 0;
    for (size_t i = 0; i < n; ++i) {
        seen |= s[i];
        dst[i] = static_cast<uint8_t>(s[i]);
    }
    return seen < 0x80;
}

}  // namespace

struct CAmfWriterSpares {
    std::vector<const std::u16string*> table;
    std::unique_ptr<CAmfWriteIndex> index;
};

bool CAmfWriter::WriteU29(int64_t value, std::vector<uint8_t>& out, bool asHeader,
                          bool isReference) {
    if (value > kU29Max)
        return false;
    uint32_t v;
    if (asHeader) {
        if (value < 0)
            return false;
        v = static_cast<uint32_t>(value) * 2 + (isReference ? 0 : 1);
    } else {
        if (value < kU29Min)
            return false;
        v = static_cast<uint32_t>(static_cast<int32_t>(value));
    }
    uint8_t buf[4];
    const size_t n = PackU29(v, buf);
    out.insert(out.end(), buf, buf + n);
    return true;
}

CAmfWriter::CAmfWriter(CAmfMessage* pMessage)
    : m_pMessage(pMessage), m_pSpares(amf::ThreadState<CAmfWriterSpares>::Get()) {
    if (m_pSpares != nullptr) {
        m_table.swap(m_pSpares->table);
        m_pIndex.swap(m_pSpares->index);
    }
    if (m_table.capacity() == 0)
        m_table.reserve(CAmfWriteIndex::kLinearLimit);
    if (m_pMessage != nullptr) {
        for (const std::u16string& s : m_pMessage->m_writeStrings)
            m_table.push_back(&s);
    }
    m_nSeeded = m_table.size();
}

CAmfWriter::~CAmfWriter() {
    if (m_pSpares == nullptr)
        return;
    if (m_table.capacity() <= kSpareTableMax) {
        m_table.clear();
        m_table.swap(m_pSpares->table);
    }
    if (m_pIndex && m_pIndex->Slots() <= kSpareIndexSlotsMax) {
        m_pIndex->Clear();
        m_pIndex.swap(m_pSpares->index);
    }
}

void CAmfWriter::Finish(bool keep) {
    if (m_pMessage == nullptr)
        return;
    if (keep) {
        // Only entries past the seeded ones are copied; the seeded ones point
        // into m_writeStrings itself, which may move as it grows here (and
        // so the run writes nothing more after this).
        for (size_t i = m_nSeeded; i < m_table.size(); ++i)
            m_pMessage->m_writeStrings.push_back(*m_table[i]);
    } else {
        m_pMessage->m_writeStrings.clear();
    }
}

int64_t CAmfWriter::FindOrAppend(const std::u16string& text) {
    std::vector<const std::u16string*>& run = m_table;
    CAmfWriteIndex* index = m_pIndex.get();
    if (index == nullptr || index->Count() == 0) {
        if (run.size() < CAmfWriteIndex::kLinearLimit) {
            const size_t n = text.size();
            for (size_t i = 0; i < run.size(); ++i) {
                const std::u16string& s = *run[i];
                if (s.size() == n &&
                    std::char_traits<char16_t>::compare(s.data(), text.data(), n) == 0) {
                    return static_cast<int64_t>(i);
                }
            }
            run.push_back(&text);
            return -1;
        }
        // The table outgrew the linear search: index what it holds so far.
        if (index == nullptr) {
            m_pIndex = std::make_unique<CAmfWriteIndex>();
            index = m_pIndex.get();
        }
        for (size_t i = 0; i < run.size(); ++i)
            index->Add(CAmfWriteIndex::HashOf(*run[i]), static_cast<uint32_t>(i));
    }
    const uint32_t hash = CAmfWriteIndex::HashOf(text);
    const int64_t found = index->Find(run, text, hash);
    if (found >= 0)
        return found;
    run.push_back(&text);
    index->Add(hash, static_cast<uint32_t>(run.size() - 1));
    return -1;
}

bool CAmfWriter::WriteString(const std::u16string& text, std::vector<uint8_t>& out) {
    if (!text.empty()) {
        const int64_t index = FindOrAppend(text);
        if (index >= 0)
            return WriteU29(index, out, true, true);
    }
    const size_t units = text.size();
    if (units == 0) {
        out.push_back(0x01);  // inline header of length 0; never in the table
        return true;
    }
    const size_t start = out.size();
    uint8_t header[4];
    // Most text is ASCII, whose UTF-8 length is its unit count: for text of
    // ordinary size try that in one pass, and count properly only when a
    // wider character turns up (long text is counted first, so no large
    // buffer is filled in vain).
    constexpr size_t kOptimisticUnits = 4096;
    if (units <= kOptimisticUnits) {
        const size_t headerSize = PackU29(static_cast<uint32_t>(units) * 2 + 1, header);
        try {
            out.resize(start + headerSize + units);
        } catch (const std::bad_alloc&) {
            return false;  // the "no temporary buffer" case: nothing after the marker
        }
        if (NarrowAscii(text.data(), units, out.data() + start + headerSize)) {
            std::memcpy(out.data() + start, header, headerSize);
            return true;
        }
        out.resize(start);
    }
    const size_t length = amf::Utf8Length(text);
    // No valid header for longer text (no valid header exists; we fail, with
    // the text already in the table as for any other string failure).
    if (length > static_cast<size_t>(kU29Max))
        return false;
    const size_t headerSize = PackU29(static_cast<uint32_t>(length) * 2 + 1, header);
    try {
        out.resize(start + headerSize + length);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::memcpy(out.data() + start, header, headerSize);
    amf::Utf16ToUtf8(text, out.data() + start + headerSize);
    return true;
}

bool CAmfWriter::WriteValue(const CAmfValue& value, std::vector<uint8_t>& out) {
    switch (value.m_nType) {
        case AMF_UNDEFINED:
            out.push_back(0x00);
            return true;
        case AMF_NULL:
            out.push_back(0x01);
            return true;
        case AMF_BOOLEAN:
            out.push_back(value.m_bValue == 0 ? 0x02 : 0x03);
            return true;
        case AMF_INTEGER:
            out.push_back(0x04);
            return WriteU29(value.m_nValue, out, false, false);
        case AMF_DOUBLE: {
            uint64_t bits;
            std::memcpy(&bits, &value.m_dValue, sizeof bits);
            uint8_t buf[9];
            buf[0] = 0x05;
            for (int i = 0; i < 8; ++i)
                buf[1 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
            out.insert(out.end(), buf, buf + 9);
            return true;
        }
        case AMF_STRING:
            out.push_back(0x06);
            if (m_pMessage == nullptr)
                return false;  // no string table to write with
            return WriteString(value.m_strValue, out);
        case AMF_ARRAY: {
            out.push_back(0x09);
            if (!WriteU29(static_cast<int64_t>(value.m_elements.size()), out, true, false)) {
                return false;  // more elements than a header can count
            }
            if (!value.m_members.empty() && m_pMessage == nullptr)
                return false;
            for (const auto& [key, child] : value.m_members) {  // ascending key order
                if (!WriteString(key, out))
                    return false;
                if (!child || !WriteValue(*child, out))
                    return false;
            }
            out.push_back(0x01);  // the empty string that ends the member list
            for (const auto& child : value.m_elements) {
                if (!child || !WriteValue(*child, out))
                    return false;
            }
            return true;
        }
        default:
            return false;  // 3, 7, 8, 10, 11, 12 and anything else: nothing written
    }
}

bool CAmfValue::Encode(std::vector<uint8_t>& out) {
    // Called on its own: a run whose strings stay in m_writeStrings.
    CAmfWriter writer(m_pMessage);
    const bool ok = writer.WriteValue(*this, out);
    writer.Finish(true);
    return ok;
}

bool CAmfMessage::Encode(std::vector<uint8_t>& out) {
    // Events are small: one early reservation instead of a run of doublings.
    if (out.capacity() == 0)
        out.reserve(128);
    CAmfWriter writer(this);
    bool ok = true;
    for (const auto& value : m_values) {
        if (!value || !writer.WriteValue(*value, out)) {
            ok = false;
            break;
        }
    }
    writer.Finish(false);
    return ok;
}

// --- CAmfWriteIndex -------------------------------------------------------

uint32_t CAmfWriteIndex::HashOf(const std::u16string& text) {
    // A multiply-xorshift over four code units at a time: fast for the short
    // keys and texts of events, well mixed in the low bits the table uses.
    const char16_t* p = text.data();
    const size_t n = text.size();
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t w;
        std::memcpy(&w, p + i, sizeof w);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    for (; i < n; ++i)
        h = (h ^ p[i]) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 32;
    return static_cast<uint32_t>(h);
}

void CAmfWriteIndex::Grow() {
    std::vector<Slot> old;
    old.swap(m_slots);
    m_slots.assign(old.empty() ? 32 : old.size() * 2, Slot{0, 0});
    // At most half the slots are ever in use (Add grows before that).
    m_used.resize(m_slots.size() / 2);
    const size_t mask = m_slots.size() - 1;
    size_t used = 0;
    for (const Slot& s : old) {
        if (s.indexPlusOne == 0)
            continue;
        size_t i = s.hash & mask;
        while (m_slots[i].indexPlusOne != 0)
            i = (i + 1) & mask;
        m_slots[i] = s;
        m_used[used++] = static_cast<uint32_t>(i);
    }
}

void CAmfWriteIndex::Add(uint32_t hash, uint32_t index) {
    // Keep the load at most one half so probe runs stay short.
    if ((m_nCount + 1) * 2 > m_slots.size())
        Grow();
    const size_t mask = m_slots.size() - 1;
    size_t i = hash & mask;
    while (m_slots[i].indexPlusOne != 0)
        i = (i + 1) & mask;
    m_slots[i] = Slot{hash, index + 1};
    m_used[m_nCount++] = static_cast<uint32_t>(i);
}

int64_t CAmfWriteIndex::Find(const std::vector<const std::u16string*>& table,
                             const std::u16string& text, uint32_t hash) const {
    if (m_slots.empty())
        return -1;
    const size_t mask = m_slots.size() - 1;
    // Linear probing without deletion: of equal strings, the one entered
    // first sits earlier on the probe path, so first appearance wins.
    for (size_t i = hash & mask; m_slots[i].indexPlusOne != 0; i = (i + 1) & mask) {
        const Slot& s = m_slots[i];
        if (s.hash == hash && *table[s.indexPlusOne - 1] == text)
            return s.indexPlusOne - 1;
    }
    return -1;
}

void CAmfWriteIndex::Clear() {
    // An index that is well filled is wiped in one sequential pass; one
    // kept from a larger run has only the slots in use emptied, so a small
    // run pays for its own entries and not for the size of the index.
    if (m_nCount * 8 >= m_slots.size()) {
        std::fill(m_slots.begin(), m_slots.end(), Slot{0, 0});
    } else {
        for (size_t n = 0; n < m_nCount; ++n)
            m_slots[m_used[n]] = Slot{0, 0};
    }
    m_nCount = 0;
}
