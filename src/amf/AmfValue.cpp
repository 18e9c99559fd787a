// CAmfValue: construction, deep destruction and the tree-building operations
// of the value tree. Decode and Encode live in AmfReader.cpp and AmfWriter.cpp.
#include "amf/Amf.h"
#include "amf/AmfCodec.h"

// m_bValue, m_nValue and m_dValue carry no meaning until the type is set;
// they start at zero anyway so that no read of them is ever undefined.
CAmfValue::CAmfValue(CAmfMessage* pMessage)
    : m_pMessage(pMessage),
      m_nType(AMF_UNDEFINED),
      m_bHasMembers(0),
      m_bValue(0),
      m_nValue(0),
      m_dValue(0) {}

CAmfValue::~CAmfValue() {
    // Children first, elements in sequence order and then members in key
    // order, and the node's own text last. Every node is freed either way;
    // the order is written out, not left to the declaration order of the
    // members (which would take m_members first), because it decides the
    // order in which blocks and text buffers reach the per-thread caches
    // that the next decode draws on last-in first-out (AmfNodePool.h,
    // KeepTextBuffer), and so which of them each node of a like message
    // gets back: it stays the same whatever the class's layout.
    // Recursion depth equals tree depth; decoded trees are at most
    // CAmfReader::kMaxArrayDepth deep and built ones are shallow.
    for (auto& element : m_elements)
        element.reset();
    for (auto& member : m_members)
        member.second.reset();
    // The reader lends the text's buffer to a string it reads later.
    if (m_strValue.capacity() > CAmfReader::kInPlaceUnits)
        CAmfReader::KeepTextBuffer(m_strValue);
}

void CAmfValue::SetMember(const std::u16string& key, std::unique_ptr<CAmfValue> child) {
    auto it = m_members.find(key);
    if (it == m_members.end()) {
        m_members.emplace(key, std::move(child));
    } else {
        it->second = std::move(child);  // the later value wins; the old one dies here
    }
}

void CAmfValue::AddElement(std::unique_ptr<CAmfValue> child) {
    m_elements.push_back(std::move(child));
}

CAmfValue* CAmfValue::FindMember(const std::u16string& key) const {
    auto it = m_members.find(key);
    return it == m_members.end() ? nullptr : it->second.get();
}
