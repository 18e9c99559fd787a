// Reconnecting without repeats. A server that bursts at connect starts a
// new connection with the seconds it sent last, which the listener already
// has. The matcher remembers the frames taken from the stream and, after a
// reconnect, holds the new connection's frames while they repeat the tail
// of that history: when they reach its end the repeat is dropped, and when
// they stop matching (or never did) they play as they came, marked as a
// discontinuity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "radio/session/CompressedBuffer.h"

namespace radio {

class COverlapMatcher {
public:
    explicit COverlapMatcher(size_t historyFrames) : m_nHistory(historyFrames) {}

    // A frame taken from the stream (played or about to be).
    void Remember(std::span<const uint8_t> frame);
    // A new connection starts: its frames go through Offer until it is
    // clear whether they repeat the history.
    void Start();
    bool Matching() const { return m_bMatching; }

    // Takes one frame of the new connection and appends to out the frames
    // that are to play from now on (none while undecided). Frames handed
    // out are remembered.
    void Offer(CCodedUnit unit, std::vector<CCodedUnit>& out);
    // The new connection ended while undecided: what matched so far is a
    // repeat and is dropped.
    void Abandon();

    // Frames dropped as repeats since construction.
    uint64_t Skipped() const { return m_nSkipped; }

private:
    static uint64_t Hash(std::span<const uint8_t> frame);
    void Release(std::vector<CCodedUnit>& out);

    size_t m_nHistory;
    std::deque<uint64_t> m_history;
    bool m_bMatching = false;
    // History positions where the held frames, in order, could start.
    std::vector<size_t> m_candidates;
    std::vector<CCodedUnit> m_held;
    bool m_bMarkNext = false;
    uint64_t m_nSkipped = 0;
};

}  // namespace radio
