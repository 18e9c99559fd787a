#include "radio/session/OverlapMatcher.h"

#include <utility>

namespace radio {

namespace {

// A run of identical frames (silence) matches everywhere; the latest
// places are the likely ones, and a few of them are enough.
constexpr size_t kMaxCandidates = 64;

}  // namespace

uint64_t COverlapMatcher::Hash(std::span<const uint8_t> frame) {
    uint64_t hash = 14695981039346656037ull;
    for (uint8_t b : frame) {
        hash = (hash ^ b) * 1099511628211ull;
    }
    return hash ^ frame.size();
}

void COverlapMatcher::Remember(std::span<const uint8_t> frame) {
    if (m_nHistory == 0) {
        return;
    }
    if (m_history.size() == m_nHistory) {
        m_history.pop_front();
    }
    m_history.push_back(Hash(frame));
}

void COverlapMatcher::Start() {
    m_held.clear();
    m_candidates.clear();
    m_bMatching = !m_history.empty();
    // With nothing to match against, the first frame still follows a gap.
    m_bMarkNext = !m_bMatching;
}

void COverlapMatcher::Offer(CCodedUnit unit, std::vector<CCodedUnit>& out) {
    if (!m_bMatching) {
        if (m_bMarkNext) {
            unit.bDiscontinuity = true;
            m_bMarkNext = false;
        }
        Remember(unit.bytes);
        out.push_back(std::move(unit));
        return;
    }
    const uint64_t hash = Hash(unit.bytes);
    const size_t k = m_held.size();
    if (k == 0) {
        for (size_t i = m_history.size(); i-- > 0 && m_candidates.size() < kMaxCandidates;) {
            if (m_history[i] == hash) {
                m_candidates.push_back(i);
            }
        }
    } else {
        std::vector<size_t> kept;
        for (size_t start : m_candidates) {
            if (start + k < m_history.size() && m_history[start + k] == hash) {
                kept.push_back(start);
            }
        }
        m_candidates = std::move(kept);
    }
    m_held.push_back(std::move(unit));
    if (m_candidates.empty()) {
        // Not a repeat (any more): everything held plays, after a gap.
        Release(out);
        return;
    }
    for (size_t start : m_candidates) {
        if (start + k + 1 == m_history.size()) {
            // The new connection has caught up with what we had: all it sent
            // so far was a repeat, and what follows is new.
            m_nSkipped += m_held.size();
            m_held.clear();
            m_candidates.clear();
            m_bMatching = false;
            return;
        }
    }
}

void COverlapMatcher::Release(std::vector<CCodedUnit>& out) {
    m_bMatching = false;
    bool first = true;
    for (CCodedUnit& held : m_held) {
        held.bDiscontinuity = first;
        first = false;
        Remember(held.bytes);
        out.push_back(std::move(held));
    }
    m_held.clear();
    m_candidates.clear();
}

void COverlapMatcher::Abandon() {
    m_nSkipped += m_held.size();
    m_held.clear();
    m_candidates.clear();
    m_bMatching = false;
}

}  // namespace radio
