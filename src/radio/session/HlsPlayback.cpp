// The session's HLS path. CHlsStream fetches one segment at a time and
// waits for the next playlist reload; the session meanwhile has to keep the
// device fed. So the stream sees the session's opener and clock through a
// pump: each of its reads and waits first runs the session's decode and
// output steps, and its waits are cut into the session's short read waits.
// What the segments hold goes into the same read-ahead, decoder and output
// as a byte stream's frames, so that underruns, states, titles and the
// reconnect budget behave as they do for any other station.
#include <algorithm>
#include <utility>

#include "radio/PlayState.h"
#include "radio/decoder/AacFormat.h"
#include "radio/session/Session.h"

namespace radio {

namespace {

// After a reconnect the new playlist starts three target durations from its
// live end, usually with segments that have played already. Numbers this
// close below the last one played are those; further below, the server has
// started its numbering over and everything is new.
constexpr uint64_t kRejoinOverlap = 1000;
// Rate for raw AAC whose container does not say; only the read-ahead's
// count of playing time depends on it.
constexpr int kDefaultAacRate = 44100;

bool SameCodec(const CCodecConfig& a, const CCodecConfig& b) {
    // An MP3 stream's bitrate and frame size may change from frame to frame
    // without the decoder having to know.
    return a.kind == b.kind && a.nSampleRate == b.nSampleRate && a.nChannels == b.nChannels &&
           a.audioSpecificConfig == b.audioSpecificConfig;
}

// Which frame of a segment a timed title starts with: the first frame at or
// after its timestamp, the first frame without one, the last when it lies
// beyond the segment.
size_t TitleFrame(const std::vector<hls::CCodedFrame>& frames, int64_t pts) {
    if (pts == hls::kNoPts || frames.empty()) {
        return 0;
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].nPts != hls::kNoPts && frames[i].nPts >= pts) {
            return i;
        }
    }
    const bool timed = std::any_of(frames.begin(), frames.end(),
                                   [](const auto& f) { return f.nPts != hls::kNoPts; });
    return timed ? frames.size() - 1 : 0;
}

}  // namespace

// The opener and clock CHlsStream is given.
class CSession::CHlsPump : public ISourceOpener, public IClock {
public:
    explicit CHlsPump(CSession& session) : m_session(session) {}

    std::unique_ptr<ISource> Open(const std::u16string& url, UrlOrigin origin,
                                  CRadioFailure& failure) override {
        if (!m_session.PumpHls()) {
            failure = MakeFailure(RadioError::ConnectionLost);
            return nullptr;
        }
        // Each segment, key and reload is an Open of its own, mid-play: a
        // server slow to answer would hold the session for seconds while
        // the device runs dry with the read-ahead full. The device is fed
        // while the opener waits, as during a body's reads.
        struct CIdleScope {
            ISourceOpener& opener;
            ~CIdleScope() { opener.SetIdle({}); }
        } scope{m_session.m_opener};
        m_session.m_opener.SetIdle([this] { return m_session.PumpHls(); });
        std::unique_ptr<ISource> inner = m_session.m_opener.Open(url, origin, failure);
        if (!inner) {
            return nullptr;
        }
        return std::make_unique<CSource>(m_session, std::move(inner));
    }
    void Abort() override { m_session.m_opener.Abort(); }

    int64_t NowMs() const override { return m_session.m_clock.NowMs(); }
    bool SleepMs(int ms) override {
        const int64_t until = NowMs() + std::max(ms, 0);
        do {
            if (!m_session.PumpHls()) {
                return false;
            }
            const int64_t left = until - NowMs();
            if (left <= 0) {
                break;
            }
            const int wait =
                static_cast<int>(std::min<int64_t>(left, m_session.m_limits.nReadWaitMs));
            if (m_session.m_output.IsOpen()) {
                m_session.m_output.WaitForRoom(wait);
            } else if (!m_session.m_clock.SleepMs(wait)) {
                return false;
            }
        } while (NowMs() < until);
        return !m_session.HlsHalted();
    }

private:
    class CSource : public ISource {
    public:
        CSource(CSession& session, std::unique_ptr<ISource> inner)
            : m_session(session), m_pInner(std::move(inner)) {}
        const CSourceInfo& Info() const override { return m_pInner->Info(); }
        ReadResult Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                        CRadioFailure& failure) override {
            got = 0;
            if (!m_session.PumpHls()) {
                failure = MakeFailure(RadioError::ConnectionLost);
                return ReadResult::Failed;
            }
            // The caller reads again after an idle wait; a short one keeps
            // the device's refills on time.
            const int wait = std::min(waitMs, m_session.m_limits.nReadWaitMs);
            return m_pInner->Read(buffer, cap, wait, got, failure);
        }

    private:
        CSession& m_session;
        std::unique_ptr<ISource> m_pInner;
    };

    CSession& m_session;
};

void CSession::CHlsPumpDelete::operator()(CHlsPump* pump) const {
    delete pump;
}

void CSession::DropHls() {
    if (m_pHls) {
        m_nHlsSkipped += m_pHls->SkippedSegments();
        m_pHls.reset();
    }
}

bool CSession::PumpHls() {
    if (HlsHalted()) {
        return false;
    }
    CRadioFailure failure;
    FlushTitle(m_clock.NowMs());
    if (!FeedHlsBuffer(failure) || !Decode(failure) || !WriteOutput(failure)) {
        m_bHlsPumpFailed = true;
        m_hlsPumpFailure = std::move(failure);
        return false;
    }
    return !Cancelled();
}

std::unique_ptr<hls::CHlsStream> CSession::OpenHls(CRadioFailure& failure) {
    if (!m_pHlsPump) {
        m_pHlsPump.reset(new CHlsPump(*this));
    }
    auto stream = std::make_unique<hls::CHlsStream>(*m_pHlsPump, *m_pHlsPump, m_cipherFactory);
    if (!stream->Open(m_strHlsUrl, failure)) {
        return nullptr;
    }
    return stream;
}

CSession::Outcome CSession::PlayHls(const std::u16string& url, CRadioFailure& failure) {
    // Nothing of a byte stream tried before carries over.
    m_strHlsUrl = url;
    m_framer.reset();
    m_pDecoder.reset();
    m_hlsConfig.reset();
    m_hlsMp3.reset();
    m_hlsRuns.clear();
    m_buffer.Clear();
    m_waiting.clear();
    m_pcm.clear();
    m_timedTitles.clear();
    m_nPcmFrames = 0;
    m_nPcmUs = 0;
    m_bSourceEnded = false;
    m_bDrained = false;
    m_bFlushed = false;
    m_bAwaitingData = false;
    m_nReconnectAtMs = -1;
    m_nAttempts = 0;
    m_phase = Phase::Buffering;
    m_bMediaSent = false;
    m_bHlsEnded = false;
    m_bHlsRejoined = false;
    m_bHlsResetNext = false;
    m_bHlsId3Titles = false;
    m_strHlsExtinf.clear();
    m_nHlsLastSequence.reset();
    m_bHlsPumpFailed = false;

    m_pHls = OpenHls(failure);
    if (!m_pHls) {
        if (m_bHlsPumpFailed) {
            failure = m_hlsPumpFailure;
        }
        return FailedOrCancelled();
    }
    hls::CHlsSegmentOutput segment;
    while (true) {
        if (Cancelled()) {
            return Outcome::Cancelled;
        }
        int64_t now = m_clock.NowMs();
        FlushTitle(now);
        if (!m_pHls && m_nReconnectAtMs >= 0 && now >= m_nReconnectAtMs) {
            if (!ReconnectHls(failure)) {
                return FailedOrCancelled();
            }
            now = m_clock.NowMs();
        }
        // Whole segments are fetched while the read-ahead holds less than
        // its playing time; a live playlist's window bounds it anyway.
        const bool fetch = m_pHls && !m_bHlsEnded && m_hlsRuns.empty() &&
                           m_buffer.DurationMs() < m_limits.nReadAheadMs &&
                           m_buffer.Bytes() <= m_buffer.MaxBytes() / 2;
        if (fetch) {
            CRadioFailure stepFailure;
            const hls::HlsStep step = m_pHls->Next(segment, stepFailure);
            if (m_bHlsPumpFailed) {
                failure = m_hlsPumpFailure;
                return FailedOrCancelled();
            }
            if (Cancelled()) {
                return Outcome::Cancelled;
            }
            switch (step) {
                case hls::HlsStep::Segment:
                    TakeSegment(segment);
                    break;
                case hls::HlsStep::Ended:
                    m_bHlsEnded = true;
                    break;
                case hls::HlsStep::Stalled:
                    // No new segment for three target durations: the stream
                    // has dropped, and is loaded afresh as a dropped
                    // connection is reconnected.
                    DropHls();
                    failure = MakeFailure(RadioError::Timeout);
                    if (!Lose(failure)) {
                        return FailedOrCancelled();
                    }
                    break;
                case hls::HlsStep::Failed:
                    failure = std::move(stepFailure);
                    return FailedOrCancelled();
                case hls::HlsStep::Cancelled:
                    return Outcome::Cancelled;
            }
        }
        if (!FeedHlsBuffer(failure) || !Decode(failure) || !WriteOutput(failure)) {
            return FailedOrCancelled();
        }
        const bool inputDone = m_bSourceEnded && m_buffer.Empty() && m_bDrained && m_pcm.empty();
        if (inputDone && m_phase == Phase::Playing && m_output.QueuedMs() == 0) {
            return Outcome::Played;
        }
        if (inputDone && !m_bEverStarted) {
            // The playlist ended and nothing of it played.
            failure = MakeFailure(RadioError::UnsupportedFormat);
            return Outcome::Failed;
        }
        if (!fetch) {
            if (!WaitIdle(now)) {
                return Outcome::Cancelled;
            }
        }
    }
}

bool CSession::ReconnectHls(CRadioFailure& failure) {
    ++m_nReconnects;
    ++m_nOpens;
    CRadioFailure openFailure;
    std::unique_ptr<hls::CHlsStream> stream = OpenHls(openFailure);
    if (m_bHlsPumpFailed) {
        failure = m_hlsPumpFailure;
        return false;
    }
    if (Cancelled()) {
        return false;
    }
    if (!stream) {
        const int delay = ReconnectDelayMs(++m_nAttempts);
        if (delay < 0) {
            failure = MakeFailure(RadioError::ConnectionLost);
            return false;
        }
        m_nReconnectAtMs = m_clock.NowMs() + delay;
        return true;
    }
    m_pHls = std::move(stream);
    m_nReconnectAtMs = -1;
    m_bAwaitingData = true;
    m_bHlsRejoined = true;
    m_bHlsResetNext = true;
    return true;
}

void CSession::TakeSegment(hls::CHlsSegmentOutput& segment) {
    if (m_bHlsRejoined && m_nHlsLastSequence) {
        const uint64_t last = *m_nHlsLastSequence;
        if (segment.nSequence <= last && last - segment.nSequence < kRejoinOverlap) {
            ++m_nHlsSkipped;  // played before the reconnect
            return;
        }
        m_bHlsRejoined = false;
    }
    m_nHlsLastSequence = segment.nSequence;
    hls::CDemuxOutput& demux = segment.demux;
    const std::optional<CCodecConfig> format = hls::CodecConfigFor(demux.audio);
    if (!format || demux.frames.empty()) {
        return;
    }
    if (segment.bResetDecoder) {
        m_bHlsResetNext = true;
    }

    // The titles of this segment, by the frame they start with.
    std::vector<std::pair<size_t, std::u16string>> titles;
    if (!demux.titles.empty()) {
        m_bHlsId3Titles = true;
        for (hls::CTimedTitle& title : demux.titles) {
            titles.emplace_back(TitleFrame(demux.frames, title.nPts),
                                BoundedField(std::move(title.strTitle)));
        }
    } else if (!m_bHlsId3Titles && !segment.strExtinfTitle.empty() &&
               segment.strExtinfTitle != m_strHlsExtinf) {
        m_strHlsExtinf = segment.strExtinfTitle;
        titles.emplace_back(0, BoundedField(segment.strExtinfTitle));
    }
    auto titleOf = [&titles](size_t frame) {
        std::u16string text;
        for (const auto& [at, title] : titles) {
            if (at == frame && !title.empty()) {
                text = title;  // the newest of those that start here
            }
        }
        return text;
    };

    if (demux.audio.format == hls::CodedFormat::MpegAudio) {
        // Elementary MPEG audio: the scanner cuts it into frames and says
        // what they are, across segment boundaries.
        if (!m_hlsMp3 || m_bHlsResetNext) {
            m_hlsMp3.emplace(AudioKind::Mp3);
        }
        for (const hls::CCodedFrame& frame : demux.frames) {
            m_hlsMp3->Feed(frame.bytes);
        }
        std::u16string title;
        for (size_t i = 0; i < demux.frames.size(); ++i) {
            if (std::u16string t = titleOf(i); !t.empty()) {
                title = std::move(t);
            }
        }
        CCodedUnit unit;
        while (m_hlsMp3->Next(unit) == CAudioFramer::Step::Unit) {
            unit.strTitle = std::move(title);
            title.clear();
            AppendUnit(m_hlsMp3->Config(), std::move(unit));
            unit = {};
        }
    } else {
        const bool adts = demux.audio.format == hls::CodedFormat::AdtsAac;
        const int rate = demux.audio.nSampleRate > 0 ? demux.audio.nSampleRate : kDefaultAacRate;
        for (size_t i = 0; i < demux.frames.size(); ++i) {
            CCodedUnit unit;
            unit.bytes = std::move(demux.frames[i].bytes);
            int blocks = 1;
            int frameRate = rate;
            if (adts && unit.bytes.size() >= kAdtsHeaderBytes) {
                if (const auto header = ParseAdtsHeader(unit.bytes.data())) {
                    blocks = header->nBlocks;
                    frameRate = header->nSampleRate;
                }
            }
            unit.nDurationUs = int64_t{kAacSamplesPerBlock} * blocks * 1000000 / frameRate;
            unit.strTitle = titleOf(i);
            AppendUnit(*format, std::move(unit));
        }
    }
    if (!m_hlsRuns.empty()) {
        m_bAwaitingData = false;
    }
}

void CSession::AppendUnit(const CCodecConfig& config, CCodedUnit unit) {
    // The first frame after a discontinuity, a skipped segment or a
    // reconnect starts the decoder afresh, without a state the UI would see.
    unit.bDiscontinuity = m_bHlsResetNext;
    m_bHlsResetNext = false;
    if (m_hlsRuns.empty() || !SameCodec(m_hlsRuns.back().config, config)) {
        m_hlsRuns.push_back(CHlsRun{config, {}});
    }
    m_hlsRuns.back().units.push_back(std::move(unit));
    if (!m_bMediaSent) {
        SendHlsMedia();
    }
}

void CSession::SendHlsMedia() {
    CCodedUnit& first = m_hlsRuns.front().units.front();
    m_info.strFileType = hls::FileTypeFor(m_pHls->Kind());
    m_info.strName = BoundedField(m_pHls->Name());
    uint64_t bandwidth = m_pHls->Bitrate();
    if (bandwidth == 0 && first.nDurationUs > 0) {
        // No master to say: the first frame's own rate.
        bandwidth = static_cast<uint64_t>(first.bytes.size()) * 8 * 1000000 /
                    static_cast<uint64_t>(first.nDurationUs);
    }
    m_info.nBitrate = static_cast<int>(std::min<uint64_t>(bandwidth, INT32_MAX));
    // A title that starts with the very first frame goes out with the
    // media item rather than a moment after it.
    if (!first.strTitle.empty()) {
        m_info.strTitle = std::move(first.strTitle);
        first.strTitle.clear();
    } else if (m_info.strTitle.empty()) {
        m_info.strTitle = m_info.strName;
    }
    m_pendingTitle.reset();
    PostMedia();
    m_bMediaSent = true;
    m_nLastTitleMs = m_clock.NowMs();
}

bool CSession::FeedHlsBuffer(CRadioFailure& failure) {
    while (!m_hlsRuns.empty()) {
        CHlsRun& run = m_hlsRuns.front();
        if (!m_hlsConfig || !SameCodec(*m_hlsConfig, run.config)) {
            if (m_pDecoder) {
                // Another codec or configuration: the old one's frames play
                // out, then it gives what it holds and a new decoder opens.
                if (!m_buffer.Empty()) {
                    break;
                }
                if (!m_pDecoder->Drain(*this, failure)) {
                    return false;
                }
                m_pDecoder.reset();
            }
            m_hlsConfig = run.config;
        }
        while (!run.units.empty() && m_buffer.Push(std::move(run.units.front()))) {
            run.units.pop_front();
        }
        if (!run.units.empty()) {
            if (m_buffer.Empty()) {
                // A single frame larger than the whole read-ahead: not audio.
                failure = MakeFailure(RadioError::UnsupportedFormat);
                return false;
            }
            break;
        }
        m_hlsRuns.pop_front();
    }
    if (m_bHlsEnded && m_hlsRuns.empty()) {
        m_bSourceEnded = true;
    }
    return true;
}

}  // namespace radio
