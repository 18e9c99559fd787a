#include "radio/hls/LiveWindow.h"

#include <algorithm>

namespace radio::hls {

size_t CLiveWindow::LiveEdgeStart(const CMediaPlaylist& playlist) {
    // The RFC's rule: no segment that starts less than three target
    // durations before the end. The latest segment that is at least that
    // far back is the start; a shorter playlist plays from its beginning.
    const int64_t wanted = 3 * playlist.nTargetDurationMs;
    int64_t fromEnd = 0;
    for (size_t i = playlist.segments.size(); i-- > 0;) {
        fromEnd += playlist.segments[i].nDurationMs;
        if (fromEnd >= wanted) {
            return i;
        }
    }
    return 0;
}

CLiveWindow::CUpdate CLiveWindow::Update(const CMediaPlaylist& playlist, int64_t loadStartMs) {
    CUpdate update;
    m_nTargetMs = playlist.nTargetDurationMs;
    const uint64_t first = playlist.nMediaSequence;
    const uint64_t end = first + playlist.segments.size();  // one past the last
    size_t from = 0;
    bool older = false;
    if (!m_bStarted) {
        from = playlist.bEndList ? 0 : LiveEdgeStart(playlist);
        m_bStarted = true;
        m_nLastNewMs = loadStartMs;  // the stall clock starts with the first load
    } else if (m_nNext < first) {
        update.nSkipped = first - m_nNext;
    } else if (m_nNext <= end) {
        from = static_cast<size_t>(m_nNext - first);
    } else if (end <= m_nWindowFirst) {
        // The whole window lies before the one we last saw: not an old copy
        // from a cache (that would overlap it) but a new numbering.
        update.bRestarted = true;
        from = playlist.bEndList ? 0 : LiveEdgeStart(playlist);
    } else {
        older = true;  // an older copy, from a cache: nothing new in it
    }
    if (!older) {
        update.segments.assign(playlist.segments.begin() + static_cast<std::ptrdiff_t>(from),
                               playlist.segments.end());
        m_nNext = end;
        m_nWindowFirst = first;
        m_bEnded = playlist.bEndList;
    }
    const bool brought = !update.segments.empty();
    if (brought) {
        m_nLastNewMs = loadStartMs;
    }
    const int64_t interval = brought ? m_nTargetMs : m_nTargetMs / 2;
    m_nNextReloadMs = loadStartMs + std::max(interval, kMinReloadMs);
    return update;
}

bool CLiveWindow::Stalled(int64_t nowMs) const {
    return m_bStarted && !m_bEnded &&
           nowMs - m_nLastNewMs >= 3 * std::max(m_nTargetMs, kMinReloadMs);
}

}  // namespace radio::hls
