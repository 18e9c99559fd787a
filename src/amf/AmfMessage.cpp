// CAmfMessage: ownership of the top-level values and the string tables.
// Decode and Encode live in AmfReader.cpp and AmfWriter.cpp.
#include "amf/Amf.h"
#include "amf/AmfCodec.h"

CAmfMessage::CAmfMessage() = default;

CAmfMessage::~CAmfMessage() {
    // Each top-level value in order, then the string tables.
    for (auto& value : m_values)
        value.reset();
    CAmfReader::RecycleSpares(*this);
}

void CAmfMessage::AddValue(std::unique_ptr<CAmfValue> value) {
    m_values.push_back(std::move(value));
}
