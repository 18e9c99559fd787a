// Following a live media playlist across reloads: where to start, which
// segments are new, when to reload, and when the server has stopped adding
// segments. Time comes from the caller (milliseconds on any monotonic
// clock), so the tracker can be driven by a fake one.
#pragma once

#include <cstdint>
#include <vector>

#include "radio/hls/HlsPlaylist.h"

namespace radio::hls {

class CLiveWindow {
public:
    // Never reload faster than this, whatever a target duration says.
    static constexpr int64_t kMinReloadMs = 500;

    struct CUpdate {
        std::vector<CHlsSegment> segments;  // new, in playing order
        // Segments that left the window before we could fetch them: the
        // listener hears a gap, and the decoder should start afresh.
        uint64_t nSkipped = 0;
        // The server's numbering started over (an encoder restart): we
        // rejoined at the live edge, and the decoder should start afresh.
        bool bRestarted = false;
    };

    // A freshly loaded playlist; loadStartMs is when its request was sent.
    // The first one chooses the start: three target durations from the live
    // end, or the first segment of a finished (EXT-X-ENDLIST) playlist.
    CUpdate Update(const CMediaPlaylist& playlist, int64_t loadStartMs);

    // No reloads after EXT-X-ENDLIST; the last segments were handed out.
    bool Ended() const { return m_bEnded; }
    // When to send the next reload: one target duration after the last one
    // started when it brought something new, half of one when it did not.
    int64_t NextReloadMs() const { return m_nNextReloadMs; }
    // No new segment for three target durations, on a playlist that has not
    // ended: the stream has stalled.
    bool Stalled(int64_t nowMs) const;
    // The media sequence number of the next segment to play.
    uint64_t NextSequence() const { return m_nNext; }
    bool Started() const { return m_bStarted; }

private:
    static size_t LiveEdgeStart(const CMediaPlaylist& playlist);

    bool m_bStarted = false;
    bool m_bEnded = false;
    uint64_t m_nNext = 0;
    uint64_t m_nWindowFirst = 0;  // the first sequence of the last playlist
    int64_t m_nTargetMs = 0;
    int64_t m_nNextReloadMs = 0;
    int64_t m_nLastNewMs = 0;
};

}  // namespace radio::hls
