#include "radio/session/CompressedBuffer.h"

#include <utility>

namespace radio {

bool CCompressedBuffer::Push(CCodedUnit&& unit) {
    if (unit.bytes.size() > Room()) {
        return false;
    }
    m_nBytes += unit.bytes.size();
    m_nDurationUs += unit.nDurationUs;
    m_units.push_back(std::move(unit));
    return true;
}

void CCompressedBuffer::Pop() {
    m_nBytes -= m_units.front().bytes.size();
    m_nDurationUs -= m_units.front().nDurationUs;
    m_units.pop_front();
}

void CCompressedBuffer::Clear() {
    m_units.clear();
    m_nBytes = 0;
    m_nDurationUs = 0;
}

}  // namespace radio
