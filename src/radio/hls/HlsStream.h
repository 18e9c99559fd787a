// The HLS source stage: from a playlist address to compressed frames, one
// segment at a time. It resolves masters (at most kMaxMasterDepth deep) to
// the variant it can decode, follows a live playlist through the live
// window, fetches segments (one retry, then skipped), keys and init
// sections, decrypts AES-128, and hands each segment to its reader.
// Platform-free: the network comes through the source stage's opener, time
// through the session's clock, AES through a factory of block ciphers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "radio/RadioErrors.h"
#include "radio/hls/Fmp4Reader.h"
#include "radio/hls/HlsPlaylist.h"
#include "radio/hls/LiveWindow.h"
#include "radio/hls/PackedAudio.h"
#include "radio/hls/SegmentCrypto.h"
#include "radio/hls/TsDemuxer.h"
#include "radio/session/Clock.h"
#include "radio/source/Source.h"

namespace radio::hls {

inline constexpr size_t kMaxSegmentBytes = 16u << 20;
inline constexpr size_t kMaxInitSegmentBytes = 1u << 20;
// Playlists loaded to open one stream, masters and variants together.
inline constexpr int kMaxPlaylistOpens = 8;

using CipherFactory = std::function<std::unique_ptr<ICbcDecryptor>(std::span<const uint8_t> key)>;

enum class SegmentKind { Unknown, Ts, PackedAac, PackedMp3, Fmp4 };

// The FileType attribute for the kind of segments that play.
const char16_t* FileTypeFor(SegmentKind kind);

struct CHlsSegmentOutput {
    CDemuxOutput demux;
    // Something came between these frames and the ones before (a
    // discontinuity, a skipped segment, a new numbering): the decoder
    // starts afresh, without a state the listener would see.
    bool bResetDecoder = false;
    std::u16string strExtinfTitle;
    uint64_t nSequence = 0;
};

enum class HlsStep {
    Segment,    // out holds the next segment's frames
    Ended,      // a finished playlist played to its end
    Stalled,    // a live playlist brought nothing new for three target durations
    Failed,     // failure says why; the stream cannot go on
    Cancelled,  // the clock's wait was cancelled
};

class CHlsStream {
public:
    CHlsStream(ISourceOpener& opener, IClock& clock, CipherFactory cipherFactory)
        : m_opener(opener), m_clock(clock), m_cipherFactory(std::move(cipherFactory)) {}

    // Loads the playlist at url (a master leads on to a media playlist).
    bool Open(const std::u16string& url, CRadioFailure& failure);
    // Fetches and reads the next segment, reloading a live playlist when it
    // is due (waiting on the clock until then).
    HlsStep Next(CHlsSegmentOutput& out, CRadioFailure& failure);

    uint64_t Bitrate() const { return m_nBandwidth; }  // the variant's BANDWIDTH
    const std::u16string& Name() const { return m_strName; }
    SegmentKind Kind() const { return m_kind; }
    const std::u16string& MediaUrl() const { return m_strMediaUrl; }
    // Segments skipped because they failed twice or left the window.
    uint64_t SkippedSegments() const { return m_nSkipped; }

private:
    enum class Outcome { Ok, Skip, Fatal };

    bool Fetch(const std::u16string& url, UrlOrigin origin, size_t cap, int timeoutMs,
               std::vector<uint8_t>& body, std::u16string& finalUrl, CRadioFailure& failure);
    bool LoadPlaylist(const std::u16string& url, UrlOrigin origin, int depth,
                      CRadioFailure& failure);
    void TakeUpdate(const CLiveWindow::CUpdate& update);
    bool Reload();
    Outcome Segment(const CHlsSegment& segment, CHlsSegmentOutput& out, CRadioFailure& failure);
    Outcome FetchWithRetry(const std::u16string& url, size_t cap, std::vector<uint8_t>& body,
                           CRadioFailure& failure);
    Outcome Decrypt(const CHlsKey& key, uint64_t sequence, std::vector<uint8_t>& body,
                    CRadioFailure& failure);
    Outcome InitSection(const CHlsMap& map, CRadioFailure& failure);
    int FetchTimeoutMs() const;

    ISourceOpener& m_opener;
    IClock& m_clock;
    CipherFactory m_cipherFactory;

    int m_nOpensLeft = kMaxPlaylistOpens;
    std::u16string m_strMediaUrl;
    int64_t m_nTargetMs = 0;
    uint64_t m_nBandwidth = 0;
    std::u16string m_strName;
    CLiveWindow m_window;
    std::deque<CHlsSegment> m_queue;
    int64_t m_nReloadAtMs = 0;  // after a failed reload, instead of the window's time
    bool m_bPendingReset = false;
    uint64_t m_nSkipped = 0;

    SegmentKind m_kind = SegmentKind::Unknown;
    CTsDemuxer m_ts;
    CPackedAudioReader m_packed;
    std::u16string m_strMapUri;
    std::optional<CByteRange> m_mapRange;
    CMp4AudioTrack m_track;
    std::map<std::u16string, std::vector<uint8_t>> m_keys;  // by URI; a stream uses few
};

}  // namespace radio::hls
