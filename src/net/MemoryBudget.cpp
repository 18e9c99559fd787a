#include "net/MemoryBudget.h"

bool CBudgetShare::Resize(size_t nBytes) {
    if (m_pBudget != nullptr) {
        // m_nUsed includes m_nHeld, so this cannot wrap.
        const size_t others = m_pBudget->m_nUsed - m_nHeld;
        const size_t limit = m_pBudget->m_nLimit;
        if (nBytes > m_nHeld && (nBytes > limit || others > limit - nBytes)) {
            return false;
        }
        m_pBudget->m_nUsed = others + nBytes;
    }
    m_nHeld = nBytes;
    return true;
}
