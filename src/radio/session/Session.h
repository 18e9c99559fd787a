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
#include "radio/hls/HlsStream.h"
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
    int nReadWaitMs = 50;  // one read's wait; bounds how late a dry output is seen
    // Once this much is decoded ahead (the device's queue included) and the
    // device holds at least nCalmQueuedMs, the loop stops waiting on the
    // network: it takes what has arrived each time the device wakes it (at
    // most nCalmWaitMs apart, and never later than the device could run
    // dry), so that a station that sends in small packets costs a few
    // wake-ups a second, not one per packet.
    int nCalmAheadMs = 500;
    int nCalmQueuedMs = 200;
    int nCalmWaitMs = 250;
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

    // How AES-128 segments of HLS streams are decrypted; without one such a
    // stream fails with a clear error, the others play.
    void SetHlsCipher(hls::CipherFactory factory) { m_cipherFactory = std::move(factory); }

    // Plays the address to its end, a failure or a stop, and reports the
    // outcome to the notice sink (nothing after a stop). The output is
    // closed when it returns.
    void Run();

    // What happened, for tests and diagnostics.
    int Opens() const { return m_nOpens; }
    int Reconnects() const { return m_nReconnects; }
    uint64_t SkippedFrames() const { return m_matcher.Skipped(); }
    // HLS segments skipped (failed twice, left the window, played before a
    // reconnect), over all connections of the session.
    uint64_t SkippedSegments() const {
        return m_nHlsSkipped + (m_pHls ? m_pHls->SkippedSegments() : 0);
    }

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
    // Nothing to read or fetch: waits for room in the device, or sleeps
    // when it is closed, up to one read's wait or a due reconnect; false
    // when the wait was cancelled.
    // calm (see Calm): the wait may be longer, bounded by what the device
    // holds.
    bool WaitIdle(int64_t now, bool calm = false);
    // Enough decoded and queued that reads need not wait (see nCalmAheadMs).
    bool Calm() const;
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

    // HLS (HlsPlayback.cpp): the segments of CHlsStream go through the same
    // read-ahead, decoder and output as a byte stream's frames.
    class CHlsPump;
    struct CHlsPumpDelete {
        void operator()(CHlsPump* pump) const;
    };
    // Units of one decoder configuration, not yet in the read-ahead.
    struct CHlsRun {
        CCodecConfig config;
        std::deque<CCodedUnit> units;
    };
    Outcome PlayHls(const std::u16string& url, CRadioFailure& failure);
    std::unique_ptr<hls::CHlsStream> OpenHls(CRadioFailure& failure);
    void TakeSegment(hls::CHlsSegmentOutput& segment);
    void AppendUnit(const CCodecConfig& config, CCodedUnit unit);
    void SendHlsMedia();
    bool FeedHlsBuffer(CRadioFailure& failure);
    bool ReconnectHls(CRadioFailure& failure);
    // The playing steps, run while CHlsStream waits for the network; false
    // once the session has to stop (cancelled, or a stage failed).
    bool PumpHls();
    // Lets go of the HLS stream, keeping its count of skipped segments.
    void DropHls();
    bool HlsHalted() const { return Cancelled() || m_bHlsPumpFailed; }

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
    // Titles of decoded units, with the audio still to be written before
    // they are due (in microseconds).
    std::deque<std::pair<int64_t, std::u16string>> m_timedTitles;
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

    // HLS.
    hls::CipherFactory m_cipherFactory;
    std::unique_ptr<CHlsPump, CHlsPumpDelete> m_pHlsPump;
    std::unique_ptr<hls::CHlsStream> m_pHls;
    std::u16string m_strHlsUrl;
    std::deque<CHlsRun> m_hlsRuns;
    std::optional<CCodecConfig> m_hlsConfig;  // what the decoder was opened with
    std::optional<CAudioFramer> m_hlsMp3;     // cuts MPEG audio into frames
    std::optional<uint64_t> m_nHlsLastSequence;
    uint64_t m_nHlsSkipped = 0;  // by streams let go of
    bool m_bHlsEnded = false;
    bool m_bHlsRejoined = false;  // reconnected: segments played before are skipped
    bool m_bHlsResetNext = false;
    bool m_bHlsId3Titles = false;  // the stream carries ID3 titles; EXTINF titles yield
    std::u16string m_strHlsExtinf;
    bool m_bHlsPumpFailed = false;
    CRadioFailure m_hlsPumpFailure;
};

}  // namespace radio
