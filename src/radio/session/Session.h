// One address from "wmpPlay" to its end: connect, follow playlists, read
// seconds ahead, decode, play, notice when the output runs dry, reconnect a
// dropped stream without repeating what was played, stop. Platform-free:
// the stages, the clock and the owner come in through interfaces, so that
// the whole life of a stream runs natively against fakes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "radio/MediaInfo.h"
#include "radio/Playlist.h"
#include "radio/RadioErrors.h"
#include "radio/decoder/Decoder.h"
#include "radio/output/Output.h"
#include "radio/session/Clock.h"
#include "radio/session/CompressedBuffer.h"
#include "radio/session/Notice.h"
#include "radio/session/OverlapMatcher.h"
#include "radio/session/StreamFormat.h"
#include "radio/source/Source.h"

namespace radio {

struct CSessionLimits {
    // Read-ahead of compressed audio: as much as the server gives, up to
    // this many bytes (over a minute at 128 kbit/s).
    size_t nMaxCompressedBytes = 1u << 20;
    // Once the bitrate is known the read-ahead holds this much playing time
    // (and at least 64 KiB), so that a server faster than real time does not
    // make a 128 kbit/s station hold a minute in memory.
    int nReadAheadMs = 30000;
    size_t nReadChunk = 8192;
    int nReadWaitMs = 50;          // one read's wait; bounds how late a dry output is seen
    int nStartMs = 200;            // PCM ready before the first "playing"
    int nResumeMs = 1000;          // PCM ready before "playing" again after running dry
    int nPcmAheadMs = 1500;        // decoded ahead of the output
    int nStallMs = 8000;           // no bytes for this long on an open stream is a drop
    int nRefillMs = 10000;         // audio played after a drop before its budget is whole again
    size_t nHistoryFrames = 1024;  // frames remembered to skip a reconnect's repeat
    size_t nHeadBytes = 4096;      // bytes sniffed before deciding what a stream is
    int nHeadDeadlineMs = 10000;   // for those bytes, and for each playlist's body
    int nMaxOpens = 16;            // addresses opened for one session, playlists included
    size_t nMaxEntries = 8;        // entries tried of one playlist
    int nMaxDepth = 3;             // playlists in playlists
    int nOpenDeadlineMs = 30000;   // from the start to the first audio, over all entries
    int nTitleIntervalMs = 1000;   // at most one title change per this time
};

static_assert(CSessionLimits{}.nStallMs < kSourceSilenceMs,
              "a silent stream must reach the session's stall limit before its source fails");

struct CSessionStages {
    ISourceOpener& opener;
    IDecoderFactory& decoders;
    IOutput& output;
    IClock& clock;
    INoticeSink& notices;
};

class CSession : private IPcmSink {
public:
    CSession(const CSessionStages& stages, std::u16string url, CSessionLimits limits = {});
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Plays the address to its end, a failure or a stop, and reports the
    // outcome to the notice sink (nothing after a stop). The output is
    // closed when it returns.
    void Run();

    // What happened, for tests and diagnostics.
    int Opens() const { return m_nOpens; }
    int Reconnects() const { return m_nReconnects; }
    uint64_t SkippedFrames() const { return m_matcher.Skipped(); }

private:
    enum class Outcome { Played, Failed, Cancelled };
    enum class Phase { Buffering, Playing };

    struct CPcmBlock {
        CPcmFormat format;
        std::vector<int16_t> samples;
        size_t nPos = 0;
    };

    bool Cancelled() const { return m_notices.Cancelled(); }
    Outcome FailedOrCancelled() const { return Cancelled() ? Outcome::Cancelled : Outcome::Failed; }
    void Post(NoticeKind kind);
    void PostMedia();

    Outcome PlayUrl(const std::u16string& url, UrlOrigin origin, int depth, CRadioFailure& failure);
    Outcome PlayPlaylist(const std::vector<uint8_t>& text, PlaylistKind kind,
                         const CSourceInfo& info, int depth, CRadioFailure& failure);
    Outcome PlayStream(const std::u16string& url, UrlOrigin origin, std::vector<uint8_t> head,
                       CRadioFailure& failure);

    // One read into audio (metadata cut out); the result of the source.
    ReadResult ReadOnce(std::vector<uint8_t>& audio, int waitMs, CRadioFailure& failure);
    void TakeTitle(std::u16string title);
    void FlushTitle(int64_t now);

    // The playing loop's steps.
    bool TakeUnits(CRadioFailure& failure);
    bool Decode(CRadioFailure& failure);
    bool WriteOutput(CRadioFailure& failure);
    // A drop or a stall: true when a reconnect is scheduled, false when the
    // stream is over (failure set).
    bool Lose(CRadioFailure& failure);
    bool Reconnect(CRadioFailure& failure);
    void Restart(std::unique_ptr<ISource> source);
    int64_t PcmMs() const;
    bool OnPcm(const CPcmFormat& format, const int16_t* samples, size_t count) override;

    ISourceOpener& m_opener;
    IDecoderFactory& m_decoders;
    IOutput& m_output;
    IClock& m_clock;
    INoticeSink& m_notices;
    const std::u16string m_strUrl;
    const CSessionLimits m_limits;
    int64_t m_nStartMs = 0;
    int m_nOpens = 0;
    int m_nReconnects = 0;

    // The stream being played.
    std::unique_ptr<ISource> m_pSource;
    std::optional<CMetaReader> m_meta;
    std::optional<CAudioFramer> m_framer;
    std::unique_ptr<IDecoder> m_pDecoder;
    CCompressedBuffer m_buffer;
    COverlapMatcher m_matcher;
    std::deque<CCodedUnit> m_waiting;  // framed, not yet in the buffer
    std::deque<CPcmBlock> m_pcm;
    int64_t m_nPcmFrames = 0;  // in m_pcm, at the rates of their blocks
    int64_t m_nPcmUs = 0;
    std::vector<uint8_t> m_chunk;
    std::vector<uint8_t> m_scratch;
    CSourceInfo m_streamInfo;       // of the first connection
    std::u16string m_strStreamUrl;  // where a reconnect goes
    UrlOrigin m_streamOrigin = UrlOrigin::Host;
    int64_t m_nConsumed = 0;
    size_t m_nReadAheadBytes = 0;
    int64_t m_nLastByteMs = 0;
    bool m_bSourceEnded = false;
    bool m_bDrained = false;
    bool m_bFlushed = false;
    bool m_bAwaitingData = false;  // reconnected, nothing from the new connection yet
    int64_t m_nReconnectAtMs = -1;
    int m_nAttempts = 0;  // reconnect attempts of the current loss
    int64_t m_nPlayedSinceLossUs = 0;
    CRadioFailure m_lastReadFailure;

    Phase m_phase = Phase::Buffering;
    bool m_bAnnounced = false;  // "Started" sent since the last stall or drop
    bool m_bDropped = false;    // a drop since the last "Started": 11, not 6
    bool m_bEverStarted = false;

    CStreamInfo m_info;
    bool m_bMediaSent = false;
    std::optional<std::u16string> m_pendingTitle;
    int64_t m_nLastTitleMs = 0;
};

}  // namespace radio
