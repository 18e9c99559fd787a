// The read-ahead between the network and the decoder: whole compressed
// frames (or blocks of WAV samples), counted in bytes and in playing time.
// The session keeps it filled up to its byte bound, so that the seconds in
// it are what a listener has when the network stalls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

namespace radio {

struct CCodedUnit {
    std::vector<uint8_t> bytes;
    int64_t nDurationUs = 0;
    // Something is missing between this unit and the one before (a
    // reconnect that did not line up): the decoder starts afresh here.
    bool bDiscontinuity = false;
    // A title that starts with this unit (timed metadata): it is taken when
    // the unit is decoded, not when it was read seconds ahead.
    std::u16string strTitle;
};

class CCompressedBuffer {
public:
    explicit CCompressedBuffer(size_t maxBytes) : m_nMaxBytes(maxBytes) {}

    // False (and nothing stored) when the unit would pass the bound; the
    // session stops reading before that happens, so a refusal means a unit
    // larger than the room left. A refused unit is left as it was, so that
    // the caller can offer it again once there is room.
    bool Push(CCodedUnit&& unit);
    bool Empty() const { return m_units.empty(); }
    const CCodedUnit& Front() const { return m_units.front(); }
    void Pop();
    void Clear();

    size_t Bytes() const { return m_nBytes; }
    int64_t DurationMs() const { return m_nDurationUs / 1000; }
    size_t Room() const { return m_nMaxBytes - m_nBytes; }
    size_t MaxBytes() const { return m_nMaxBytes; }

private:
    size_t m_nMaxBytes;
    size_t m_nBytes = 0;
    int64_t m_nDurationUs = 0;
    std::deque<CCodedUnit> m_units;
};

}  // namespace radio
