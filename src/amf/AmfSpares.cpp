// The reader's per-thread spare buffers (see AmfCodec.h): what a destroyed
// message leaves behind (its read table, its value list, the heap buffers
// of its strings) is kept, emptied, for the next message decoded on the same
// thread.
#include <algorithm>
#include <vector>

#include "amf/AmfCodec.h"
#include "amf/ThreadState.h"

namespace {

// One spare table and value list per thread. Small buffers are kept too: a
// small message's table and value list are two of its few allocations.
constexpr size_t kSpareTableMax = 4096;
constexpr size_t kSpareValuesMax = 64;
// Heap buffers of dead strings. Every inline string read is held twice, by
// the tree and by its table entry, so without these each one costs two
// allocations. Table entries die with their message and values one by one,
// so each kind has its own stack of buffers: kept in the order they die,
// the next table's entry i gets the buffer of the last table's entry i (in
// similar messages, a text of similar length). Only buffers of up to
// kSpareTextUnits units are kept, at most kSpareTextsMax of each kind (under
// 280 KB a thread, when both are full).
constexpr size_t kSpareTextsMax = 512;
constexpr size_t kSpareTextUnits = 128;
struct Spares {
    Spares() {
        tableTexts.reserve(kSpareTextsMax);
        valueTexts.reserve(kSpareTextsMax);
    }

    std::vector<std::u16string> table;
    std::vector<std::unique_ptr<CAmfValue>> values;
    // Each empty, with its buffer.
    std::vector<std::u16string> tableTexts;
    std::vector<std::u16string> valueTexts;
};

Spares* ThreadSpares() {
    return amf::ThreadState<Spares>::Get();
}

bool WorthKeeping(const std::u16string& text) {
    const size_t capacity = text.capacity();
    return capacity > CAmfReader::kInPlaceUnits && capacity <= kSpareTextUnits;
}

template <class T>
void Take(std::vector<T>& buffer, std::vector<T>* spare, size_t wanted) {
    if (spare != nullptr && spare->capacity() >= wanted) {
        buffer.swap(*spare);  // the spare gets buffer's empty, unallocated one
    } else {
        buffer.reserve(wanted);
    }
}

// Empties buffer, keeping its storage when it beats the spare.
template <class T>
void Recycle(std::vector<T>& buffer, std::vector<T>* spare, size_t most) {
    buffer.clear();
    const size_t capacity = buffer.capacity();
    if (spare == nullptr || capacity == 0 || capacity > most || capacity <= spare->capacity())
        return;
    spare->clear();
    buffer.swap(*spare);
}

}  // namespace

void CAmfReader::TakeSpares(CAmfMessage& message, int32_t size) {
    if (size <= 0)
        return;
    Spares* spares = ThreadSpares();
    // One reservation sized by the payload (about one string per 24 bytes in
    // the helper's messages) instead of a chain of doublings.
    if (message.m_readStrings.capacity() == 0) {
        Take(message.m_readStrings, spares ? &spares->table : nullptr,
             static_cast<size_t>(std::clamp(size / 24, 8, 1024)));
    }
    if (message.m_values.capacity() == 0)
        Take(message.m_values, spares ? &spares->values : nullptr, 1);
}

void CAmfReader::AddToTable(std::vector<std::u16string>& table, const char16_t* units,
                            size_t length) {
    Spares* spares = length > kInPlaceUnits ? ThreadSpares() : nullptr;
    if (spares == nullptr || spares->tableTexts.empty()) {
        table.emplace_back(units, length);
        return;
    }
    table.push_back(std::move(spares->tableTexts.back()));
    spares->tableTexts.pop_back();
    table.back().assign(units, length);  // grows the buffer only if it is too short
}

void CAmfReader::LendTextBuffer(std::u16string& text, size_t length) {
    Spares* spares = ThreadSpares();
    if (spares == nullptr || spares->valueTexts.empty())
        return;
    std::u16string& spare = spares->valueTexts.back();
    if (spare.capacity() < length)
        return;
    text = std::move(spare);
    spares->valueTexts.pop_back();
}

void CAmfReader::KeepTextBuffer(std::u16string& text) {
    Spares* spares = ThreadSpares();
    if (spares == nullptr || !WorthKeeping(text) || spares->valueTexts.size() == kSpareTextsMax)
        return;
    text.clear();
    spares->valueTexts.push_back(std::move(text));
}

void CAmfReader::RecycleSpares(CAmfMessage& message) {
    Spares* spares = ThreadSpares();
    std::vector<std::u16string>& table = message.m_readStrings;
    if (spares != nullptr) {
        // Last entry first, so that the next table's first entries (in
        // similar messages, texts of similar length) get the first buffers.
        std::vector<std::u16string>& texts = spares->tableTexts;
        for (size_t i = std::min(table.size(), kSpareTextsMax - texts.size()); i-- > 0;) {
            if (WorthKeeping(table[i]))
                texts.push_back(std::move(table[i]));
        }
    }
    Recycle(table, spares ? &spares->table : nullptr, kSpareTableMax);
    Recycle(message.m_values, spares ? &spares->values : nullptr, kSpareValuesMax);
}
