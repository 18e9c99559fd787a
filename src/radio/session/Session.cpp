#include "radio/session/Session.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "radio/PlayState.h"
#include "radio/RadioUrl.h"

namespace radio {

namespace {

// Decoding a few frames per call keeps the decoder's per-call cost small
// without holding much back.
constexpr size_t kUnitsPerDecode = 4;
// With less than this queued at the device and nothing decoded to follow,
// a partly filled device buffer is sent on its way rather than held.
constexpr int64_t kFlushBelowMs = 100;

std::u16string FileTitle(const std::u16string& path) {
    const size_t slash = path.find_last_of(u"\\/");
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind(u'.');
    if (dot != std::u16string::npos && dot > 0) {
        name.resize(dot);
    }
    return name;
}

bool IsHttp(const std::u16string& url) {
    const SourceKind kind = ClassifySource(url);
    return kind == SourceKind::Http || kind == SourceKind::Https;
}

// The read-ahead's byte bound for a stream of this many bits a second.
size_t ReadAheadBytes(int bitrate, int readAheadMs, size_t maxBytes) {
    const int64_t bytes = int64_t{bitrate} / 8 * readAheadMs / 1000;
    return static_cast<size_t>(
        std::clamp<int64_t>(bytes, 64 * 1024, static_cast<int64_t>(maxBytes)));
}

}  // namespace

CSession::CSession(const CSessionStages& stages, std::u16string url, CSessionLimits limits)
    : m_opener(stages.opener),
      m_decoders(stages.decoders),
      m_output(stages.output),
      m_clock(stages.clock),
      m_notices(stages.notices),
      m_strUrl(std::move(url)),
      m_limits(limits),
      m_buffer(limits.nMaxCompressedBytes),
      m_matcher(limits.nHistoryFrames) {}

void CSession::Run() {
    m_nStartMs = m_clock.NowMs();
    CRadioFailure failure;
    const Outcome outcome = PlayUrl(m_strUrl, UrlOrigin::Host, 0, failure);
    // The device first: letting go of a network request may take a while,
    // and the next station's device should not have to wait for it.
    m_output.Close();
    m_pSource.reset();
    DropHls();
    if (Cancelled()) {
        return;
    }
    if (outcome == Outcome::Played) {
        Post(NoticeKind::Ended);
    } else if (outcome == Outcome::Failed) {
        CNotice notice;
        notice.kind = NoticeKind::Failed;
        notice.failure =
            failure.code != 0 ? std::move(failure) : MakeFailure(RadioError::ConnectionLost);
        m_notices.Post(std::move(notice));
    }
}

void CSession::Post(NoticeKind kind) {
    CNotice notice;
    notice.kind = kind;
    m_notices.Post(std::move(notice));
}

void CSession::PostMedia() {
    CNotice notice;
    notice.kind = NoticeKind::Media;
    notice.media = m_info;
    m_notices.Post(std::move(notice));
}

CSession::Outcome CSession::PlayUrl(const std::u16string& url, UrlOrigin origin, int depth,
                                    CRadioFailure& failure) {
    if (origin == UrlOrigin::Network && !IsHttp(url)) {
        // A playlist from the network must not make us open local files,
        // shares or devices.
        failure = MakeFailure(RadioError::UnsupportedScheme);
        return Outcome::Failed;
    }
    if (m_nOpens >= m_limits.nMaxOpens ||
        m_clock.NowMs() - m_nStartMs >= m_limits.nOpenDeadlineMs) {
        failure = MakeFailure(depth > 0 ? RadioError::EmptyPlaylist : RadioError::Timeout);
        return Outcome::Failed;
    }
    ++m_nOpens;
    m_pSource = m_opener.Open(url, origin, failure);
    if (!m_pSource) {
        return FailedOrCancelled();
    }
    // A stage may leave a note of what it tried on the way to success.
    failure = {};
    const CSourceInfo info = m_pSource->Info();
    m_meta.emplace(info.nMetaInt);
    m_nConsumed = 0;
    m_info = {};
    m_info.strSourceUrl = url;
    m_pendingTitle.reset();

    // Enough bytes to tell a playlist from audio, within a deadline, so that
    // a server that drips bytes cannot hold the session here.
    std::vector<uint8_t> head;
    const int64_t deadline = m_clock.NowMs() + m_limits.nHeadDeadlineMs;
    int64_t lastByte = m_clock.NowMs();
    bool ended = false;
    while (head.size() < m_limits.nHeadBytes && !ended) {
        if (Cancelled()) {
            return Outcome::Cancelled;
        }
        CRadioFailure readFailure;
        const ReadResult result = ReadOnce(head, m_limits.nReadWaitMs, readFailure);
        const int64_t now = m_clock.NowMs();
        if (result == ReadResult::Failed && (head.empty() || Cancelled())) {
            failure = readFailure;
            return FailedOrCancelled();
        }
        if (result == ReadResult::Failed) {
            // A server that sends a page and drops the connection: what it
            // sent says what it was.
            ended = true;
        }
        if (result == ReadResult::End) {
            ended = true;
        } else if (result == ReadResult::Data) {
            lastByte = now;
        }
        if (now >= deadline || now - lastByte >= m_limits.nStallMs) {
            if (head.empty()) {
                failure = MakeFailure(RadioError::Timeout);
                return Outcome::Failed;
            }
            break;
        }
    }
    const PlaylistKind playlist = DetectPlaylist(
        info.strContentType, UrlExtension(info.strFinalUrl.empty() ? url : info.strFinalUrl), head);
    if (playlist == PlaylistKind::Hls) {
        // The stream stage loads the playlist again, whole, from where the
        // server's redirects led.
        m_pSource.reset();
        return PlayHls(info.strFinalUrl.empty() ? url : info.strFinalUrl, failure);
    }
    if (playlist != PlaylistKind::None) {
        while (!ended && head.size() <= kMaxPlaylistBytes) {
            if (Cancelled()) {
                return Outcome::Cancelled;
            }
            const ReadResult result = ReadOnce(head, m_limits.nReadWaitMs, failure);
            if (result == ReadResult::Failed) {
                return FailedOrCancelled();
            }
            ended = result == ReadResult::End;
            if (!ended && m_clock.NowMs() >= deadline) {
                failure = MakeFailure(RadioError::Timeout);
                return Outcome::Failed;
            }
        }
        m_pSource.reset();
        if (head.size() > kMaxPlaylistBytes) {
            failure = MakeFailure(RadioError::UnsupportedFormat);
            return Outcome::Failed;
        }
        return PlayPlaylist(head, playlist, info, depth, failure);
    }
    if (ended && head.empty()) {
        failure = MakeFailure(RadioError::UnsupportedFormat);
        return Outcome::Failed;
    }
    if (info.bNetwork) {
        // Until the stream names what it plays, the station's name is the
        // best title there is.
        if (m_info.strTitle.empty()) {
            m_info.strTitle = info.strName;
        }
        m_info.strName = info.strName;
        m_info.strGenre = info.strGenre;
        m_info.strHomePage = info.strHomePage;
    } else {
        m_info.strTitle = FileTitle(ToLocalPath(url));
    }
    if (m_pendingTitle) {
        m_info.strTitle = std::move(*m_pendingTitle);
        m_pendingTitle.reset();
    }
    m_bSourceEnded = ended;
    return PlayStream(url, origin, std::move(head), failure);
}

CSession::Outcome CSession::PlayPlaylist(const std::vector<uint8_t>& text, PlaylistKind kind,
                                         const CSourceInfo& info, int depth,
                                         CRadioFailure& failure) {
    if (depth >= m_limits.nMaxDepth) {
        failure = MakeFailure(RadioError::UnsupportedFormat);
        return Outcome::Failed;
    }
    const std::u16string base = info.strFinalUrl.empty() ? m_info.strSourceUrl : info.strFinalUrl;
    const UrlOrigin origin = info.bNetwork ? UrlOrigin::Network : UrlOrigin::Host;
    std::vector<std::u16string> entries = ParsePlaylist(text, kind);
    if (entries.size() > m_limits.nMaxEntries) {
        entries.resize(m_limits.nMaxEntries);
    }
    failure = MakeFailure(RadioError::EmptyPlaylist);
    for (const auto& entry : entries) {
        CRadioFailure entryFailure;
        const Outcome outcome =
            PlayUrl(ResolveReference(base, entry), origin, depth + 1, entryFailure);
        // The first entry that plays is the one: a later failure of it is
        // reported, not hidden by trying the next one.
        if (outcome != Outcome::Failed || m_bEverStarted) {
            failure = std::move(entryFailure);
            return outcome;
        }
        failure = std::move(entryFailure);
        if (m_nOpens >= m_limits.nMaxOpens ||
            m_clock.NowMs() - m_nStartMs >= m_limits.nOpenDeadlineMs) {
            break;
        }
    }
    if (failure.code == 0) {
        failure = MakeFailure(RadioError::EmptyPlaylist);
    }
    return Outcome::Failed;
}

ReadResult CSession::ReadOnce(std::vector<uint8_t>& audio, int waitMs, CRadioFailure& failure) {
    m_chunk.resize(m_limits.nReadChunk);
    size_t got = 0;
    const ReadResult result = m_pSource->Read(m_chunk.data(), m_chunk.size(), waitMs, got, failure);
    if (result != ReadResult::Data || got == 0) {
        return result == ReadResult::Data ? ReadResult::Idle : result;
    }
    m_nConsumed += static_cast<int64_t>(got);
    if (auto title = m_meta->Feed({m_chunk.data(), std::min(got, m_chunk.size())}, audio)) {
        TakeTitle(std::move(*title));
    }
    return ReadResult::Data;
}

void CSession::TakeTitle(std::u16string title) {
    if (!m_bMediaSent) {
        // Before the format is known the title goes out with the first
        // media notice.
        m_pendingTitle = std::move(title);
        return;
    }
    if (title == m_info.strTitle) {
        m_pendingTitle.reset();
        return;
    }
    m_pendingTitle = std::move(title);
}

void CSession::FlushTitle(int64_t now) {
    if (!m_pendingTitle || !m_bMediaSent || now - m_nLastTitleMs < m_limits.nTitleIntervalMs) {
        return;
    }
    m_info.strTitle = std::move(*m_pendingTitle);
    m_pendingTitle.reset();
    m_nLastTitleMs = now;
    PostMedia();
}

CSession::Outcome CSession::PlayStream(const std::u16string& url, UrlOrigin origin,
                                       std::vector<uint8_t> head, CRadioFailure& failure) {
    m_streamInfo = m_pSource->Info();
    const CSourceInfo& info = m_streamInfo;
    m_strStreamUrl = info.strFinalUrl.empty() ? url : info.strFinalUrl;
    m_streamOrigin = m_strStreamUrl == url ? origin : UrlOrigin::Network;
    // Each entry of a playlist is a stream of its own: nothing of the one
    // before carries over.
    m_framer.emplace(SniffAudio(info.strContentType, head, m_bSourceEnded));
    m_pDecoder.reset();
    m_hlsConfig.reset();
    m_buffer.Clear();
    m_waiting.clear();
    m_pcm.clear();
    m_timedTitles.clear();
    m_nPcmFrames = 0;
    m_nPcmUs = 0;
    m_bDrained = false;
    m_bFlushed = false;
    m_bAwaitingData = false;
    m_nReconnectAtMs = -1;
    m_nAttempts = 0;
    m_phase = Phase::Buffering;
    m_bMediaSent = false;
    m_framer->Feed(head);
    head.clear();
    head.shrink_to_fit();
    if (m_bSourceEnded) {
        m_framer->Finish();
    }
    m_nLastByteMs = m_clock.NowMs();
    m_nReadAheadBytes = m_buffer.MaxBytes();
    std::vector<uint8_t> audio;
    while (true) {
        if (Cancelled()) {
            return Outcome::Cancelled;
        }
        int64_t now = m_clock.NowMs();
        FlushTitle(now);
        if (!m_pSource && m_nReconnectAtMs >= 0 && now >= m_nReconnectAtMs) {
            if (!Reconnect(failure)) {
                return FailedOrCancelled();
            }
            now = m_clock.NowMs();
        }
        bool read = false;
        if (m_pSource && !m_bSourceEnded && m_waiting.empty() &&
            m_buffer.Bytes() + 2 * m_limits.nReadChunk <= m_nReadAheadBytes) {
            read = true;
            audio.clear();
            CRadioFailure readFailure;
            // Calm: take only what is there; the idle wait below is the
            // device's, and the next pass takes what came meanwhile.
            const bool calm = Calm();
            const ReadResult result = ReadOnce(audio, calm ? 0 : m_limits.nReadWaitMs, readFailure);
            now = m_clock.NowMs();
            if (result == ReadResult::Idle && calm) {
                read = false;
            }
            if (result == ReadResult::Data) {
                m_nLastByteMs = now;
                m_bAwaitingData = false;
                m_framer->Feed(audio);
            } else if (result == ReadResult::Idle) {
                if (now - m_nLastByteMs >= m_limits.nStallMs) {
                    failure = MakeFailure(RadioError::Timeout);
                    if (!Lose(failure)) {
                        return FailedOrCancelled();
                    }
                }
            } else {
                const bool complete = info.nLength >= 0 && m_nConsumed >= info.nLength;
                if (!info.bNetwork || complete || (!m_bEverStarted && result == ReadResult::End)) {
                    // Once every byte the server announced is here, a
                    // failing read is only the connection closing.
                    if (result == ReadResult::Failed && !complete) {
                        failure = readFailure;
                        return FailedOrCancelled();
                    }
                    m_bSourceEnded = true;
                    m_framer->Finish();
                } else {
                    // A live stream that ends or breaks has dropped.
                    failure = readFailure.code != 0 ? readFailure
                                                    : MakeFailure(RadioError::ConnectionLost);
                    if (Cancelled()) {
                        return Outcome::Cancelled;
                    }
                    if (!Lose(failure)) {
                        return FailedOrCancelled();
                    }
                }
            }
        } else if (m_pSource) {
            // Not asking for bytes is not the server's silence.
            m_nLastByteMs = now;
        }
        if (!TakeUnits(failure) || !Decode(failure) || !WriteOutput(failure)) {
            return FailedOrCancelled();
        }
        const bool inputDone =
            m_bSourceEnded && m_waiting.empty() && m_buffer.Empty() && m_bDrained && m_pcm.empty();
        if (inputDone && m_phase == Phase::Playing && m_output.QueuedMs() == 0) {
            return Outcome::Played;
        }
        if (inputDone && !m_bEverStarted && m_phase == Phase::Buffering) {
            // Nothing came out: the bytes were not audio we can play.
            failure = MakeFailure(RadioError::UnsupportedFormat);
            return Outcome::Failed;
        }
        if (!read) {
            // Nothing to read (the read-ahead is full, the input ended, a
            // reconnect is due later): wait for the device instead.
            if (!WaitIdle(now, Calm())) {
                return Outcome::Cancelled;
            }
        }
    }
}

bool CSession::Calm() const {
    if (m_phase != Phase::Playing || !m_output.IsOpen()) {
        return false;
    }
    const int64_t queued = m_output.QueuedMs();
    return queued >= m_limits.nCalmQueuedMs && PcmMs() + queued >= m_limits.nCalmAheadMs;
}

bool CSession::WaitIdle(int64_t now, bool calm) {
    int waitMs = m_limits.nReadWaitMs;
    if (calm) {
        // Woken well before the device could run dry, even when its
        // buffer-done event is late (a busy machine): three reads' waits
        // are left in it.
        const int64_t queued = m_output.QueuedMs();
        waitMs = static_cast<int>(std::clamp<int64_t>(queued - 3 * m_limits.nReadWaitMs,
                                                      m_limits.nReadWaitMs, m_limits.nCalmWaitMs));
    }
    if (m_nReconnectAtMs >= 0) {
        waitMs =
            static_cast<int>(std::clamp<int64_t>(m_nReconnectAtMs - now, 1, m_limits.nReadWaitMs));
    }
    if (m_output.IsOpen()) {
        m_output.WaitForRoom(waitMs);
        return true;
    }
    return m_clock.SleepMs(waitMs);
}

bool CSession::TakeUnits(CRadioFailure& failure) {
    std::vector<CCodedUnit> out;
    while (true) {
        while (!m_waiting.empty() && m_buffer.Push(std::move(m_waiting.front()))) {
            m_waiting.pop_front();
        }
        if (!m_waiting.empty()) {
            break;  // the read-ahead is full; the framer holds the rest
        }
        CCodedUnit unit;
        const CAudioFramer::Step step = m_framer->Next(unit);
        if (step == CAudioFramer::Step::NotAudio) {
            failure = MakeFailure(RadioError::UnsupportedFormat);
            return false;
        }
        if (step == CAudioFramer::Step::NeedMore) {
            break;
        }
        if (!m_bMediaSent) {
            const CSourceInfo& info = m_streamInfo;
            const int icyBitrate = info.nIcyBitrate * 1000;
            const int bitrate = m_framer->Bitrate();
            m_info.strFileType = FileTypeFor(m_framer->Kind());
            m_info.nBitrate =
                m_framer->Kind() != AudioKind::Wav && icyBitrate > 0 ? icyBitrate : bitrate;
            if (!info.bNetwork) {
                if (m_framer->Kind() == AudioKind::Wav) {
                    const CWavFormat& wav = m_framer->Wav();
                    const bool bounded = wav.nDataBytes != 0 && wav.nDataBytes != 0xFFFFFFFFu;
                    if (bounded && bitrate > 0) {
                        m_info.dDuration = static_cast<double>(wav.nDataBytes) * 8.0 / bitrate;
                    }
                } else if (info.nLength > 0 && bitrate > 0) {
                    // Constant bitrate assumed: what a header-less file allows.
                    m_info.dDuration = static_cast<double>(info.nLength) * 8.0 / bitrate;
                }
            }
            if (m_pendingTitle) {
                m_info.strTitle = std::move(*m_pendingTitle);
                m_pendingTitle.reset();
            }
            if (m_info.nBitrate > 0) {
                m_nReadAheadBytes =
                    ReadAheadBytes(m_info.nBitrate, m_limits.nReadAheadMs, m_buffer.MaxBytes());
            }
            PostMedia();
            m_bMediaSent = true;
            m_nLastTitleMs = m_clock.NowMs();
        } else if (m_info.nBitrate == 0 && m_framer->Kind() != AudioKind::Wav) {
            // An AAC station that announces no bitrate has it measured over
            // its first half second of frames; the media item says it then.
            const int measured = m_framer->Bitrate();
            if (measured > 0) {
                m_info.nBitrate = measured;
                m_nReadAheadBytes =
                    ReadAheadBytes(measured, m_limits.nReadAheadMs, m_buffer.MaxBytes());
                PostMedia();
            }
        }
        m_matcher.Offer(std::move(unit), out);
        for (CCodedUnit& taken : out) {
            m_waiting.push_back(std::move(taken));
        }
        out.clear();
    }
    if (m_bSourceEnded && m_matcher.Matching()) {
        m_matcher.Abandon();
    }
    while (!m_waiting.empty() && m_buffer.Push(std::move(m_waiting.front()))) {
        m_waiting.pop_front();
    }
    if (!m_waiting.empty() && m_buffer.Empty()) {
        // A single unit larger than the whole read-ahead: not audio.
        failure = MakeFailure(RadioError::UnsupportedFormat);
        return false;
    }
    return true;
}

bool CSession::Decode(CRadioFailure& failure) {
    // Raw AAC has no framing of its own: one access unit per call.
    const size_t unitsPerDecode =
        m_hlsConfig && m_hlsConfig->kind == CodecKind::AacRaw ? 1 : kUnitsPerDecode;
    while (!m_buffer.Empty() && PcmMs() < m_limits.nPcmAheadMs) {
        if (m_framer && m_framer->Kind() == AudioKind::Wav) {
            const CWavFormat& wav = m_framer->Wav();
            const CCodedUnit& unit = m_buffer.Front();
            CPcmFormat format{wav.nSampleRate, wav.nChannels};
            std::vector<int16_t> samples;
            if (wav.nBitsPerSample == 8) {
                samples.resize(unit.bytes.size());
                Pcm8To16(unit.bytes.data(), unit.bytes.size(), samples.data());
            } else {
                samples.resize(unit.bytes.size() / 2);
                std::memcpy(samples.data(), unit.bytes.data(), samples.size() * 2);
            }
            OnPcm(format, samples.data(), samples.size());
            m_buffer.Pop();
            continue;
        }
        if (!m_pDecoder) {
            const CCodecConfig config = m_hlsConfig ? *m_hlsConfig : m_framer->Config();
            m_pDecoder = m_decoders.Create(config.kind, failure);
            if (!m_pDecoder || !m_pDecoder->Open(config, failure)) {
                m_pDecoder.reset();
                if (failure.code == 0) {
                    failure = MakeFailure(RadioError::DecoderMissing);
                }
                return false;
            }
        }
        if (m_buffer.Front().bDiscontinuity) {
            m_pDecoder->Reset();
        }
        m_scratch.clear();
        int64_t aheadUs = m_nPcmUs;
        for (size_t n = 0; n < unitsPerDecode && !m_buffer.Empty(); ++n) {
            if (n > 0 && m_buffer.Front().bDiscontinuity) {
                break;
            }
            if (!m_buffer.Front().strTitle.empty()) {
                // Due once the audio decoded ahead of this unit has gone to
                // the device.
                m_timedTitles.push_back({aheadUs, m_buffer.Front().strTitle});
            }
            aheadUs += m_buffer.Front().nDurationUs;
            const auto& bytes = m_buffer.Front().bytes;
            m_scratch.insert(m_scratch.end(), bytes.begin(), bytes.end());
            m_buffer.Pop();
        }
        if (!m_pDecoder->Decode(m_scratch.data(), m_scratch.size(), *this, failure)) {
            if (failure.code == 0) {
                failure = MakeFailure(RadioError::DecoderMissing);
            }
            return false;
        }
    }
    if (m_bSourceEnded && m_buffer.Empty() && m_waiting.empty() && !m_bDrained) {
        if (m_pDecoder && !m_pDecoder->Drain(*this, failure)) {
            return false;
        }
        m_bDrained = true;
    }
    return true;
}

bool CSession::OnPcm(const CPcmFormat& format, const int16_t* samples, size_t count) {
    if (count == 0 || format.nChannels <= 0 || format.nSampleRate <= 0) {
        return true;
    }
    // Blocks of bounded size, so that what has played is given back while
    // a stream goes on for hours.
    constexpr size_t kBlockSamples = 16384;
    if (m_pcm.empty() || !(m_pcm.back().format == format) ||
        m_pcm.back().samples.size() >= kBlockSamples) {
        m_pcm.push_back(CPcmBlock{format, {}, 0});
    }
    auto& block = m_pcm.back().samples;
    block.insert(block.end(), samples, samples + count);
    m_nPcmUs += static_cast<int64_t>(count / static_cast<size_t>(format.nChannels)) * 1000000 /
                format.nSampleRate;
    return !Cancelled();
}

int64_t CSession::PcmMs() const {
    return m_nPcmUs / 1000;
}

bool CSession::WriteOutput(CRadioFailure& failure) {
    const bool inputDone = m_bSourceEnded && m_waiting.empty() && m_buffer.Empty() && m_bDrained;
    if (m_phase == Phase::Buffering) {
        // After an underrun (6) playing resumes once a second is ready, so
        // that a slow network does not flap between 3 and 6. After a drop
        // (11) the new connection starts as a station does.
        const int64_t needed =
            m_bEverStarted && !m_bDropped ? m_limits.nResumeMs : m_limits.nStartMs;
        if (m_pcm.empty() || (PcmMs() < needed && !inputDone)) {
            return true;
        }
        m_phase = Phase::Playing;
    }
    while (!m_pcm.empty()) {
        CPcmBlock& block = m_pcm.front();
        if (!m_output.IsOpen() || !(m_output.Format() == block.format)) {
            // Another format plays on a device of its own, once what was
            // queued in the old one has played.
            if (m_output.IsOpen() && m_output.QueuedMs() > 0) {
                break;
            }
            if (!m_output.Open(block.format, failure)) {
                if (failure.code == 0) {
                    failure = MakeFailure(RadioError::NoAudioDevice);
                }
                return false;
            }
        }
        const size_t left = block.samples.size() - block.nPos;
        const size_t taken = m_output.Write(block.samples.data() + block.nPos, left);
        if (taken == 0) {
            break;
        }
        m_bFlushed = false;
        block.nPos += taken;
        const int64_t us =
            static_cast<int64_t>(taken / static_cast<size_t>(block.format.nChannels)) * 1000000 /
            block.format.nSampleRate;
        m_nPcmUs -= us;
        m_nPlayedSinceLossUs += us;
        for (auto& timed : m_timedTitles) {
            timed.first -= us;
        }
        while (!m_timedTitles.empty() && m_timedTitles.front().first <= 0) {
            TakeTitle(std::move(m_timedTitles.front().second));
            m_timedTitles.pop_front();
        }
        if (block.nPos == block.samples.size()) {
            m_pcm.pop_front();
        }
    }
    if (m_pcm.empty()) {
        m_nPcmUs = 0;
    }
    if (m_nAttempts > 0 && m_nPlayedSinceLossUs >= int64_t{m_limits.nRefillMs} * 1000) {
        // Audio has played for a while since the last drop: the next drop
        // is a new one and gets the whole budget.
        m_nAttempts = 0;
    }
    const int64_t queued = m_output.IsOpen() ? m_output.QueuedMs() : 0;
    if (m_pcm.empty() && !m_bFlushed && m_output.IsOpen() &&
        (queued < kFlushBelowMs || inputDone)) {
        m_output.Flush();
        m_bFlushed = true;
    }
    if (!m_bAnnounced && (m_pSource || m_pHls) && !m_bAwaitingData &&
        (queued > 0 || !m_pcm.empty())) {
        Post(NoticeKind::Started);
        m_bAnnounced = true;
        m_bEverStarted = true;
        m_bDropped = false;
    }
    if (m_pcm.empty() && !inputDone && m_output.QueuedMs() == 0) {
        // The device has nothing left to play and more is to come.
        if (m_bAnnounced) {
            Post(NoticeKind::Stalled);
            m_bAnnounced = false;
        }
        m_phase = Phase::Buffering;
    }
    return true;
}

bool CSession::Lose(CRadioFailure& failure) {
    m_pSource.reset();
    if (!m_bEverStarted) {
        return false;
    }
    // Announced again for a new connection that breaks before playing:
    // the control's state does not change, and the attempts stay counted.
    Post(NoticeKind::Dropped);
    m_bAnnounced = false;
    m_bDropped = true;
    m_nPlayedSinceLossUs = 0;
    const int delay = ReconnectDelayMs(++m_nAttempts);
    if (delay < 0) {
        failure = MakeFailure(RadioError::ConnectionLost);
        return false;
    }
    m_nReconnectAtMs = m_clock.NowMs() + delay;
    return true;
}

bool CSession::Reconnect(CRadioFailure& failure) {
    ++m_nReconnects;
    CRadioFailure openFailure;
    std::unique_ptr<ISource> source = m_opener.Open(m_strStreamUrl, m_streamOrigin, openFailure);
    if (Cancelled()) {
        return false;
    }
    if (!source) {
        const int delay = ReconnectDelayMs(++m_nAttempts);
        if (delay < 0) {
            failure = MakeFailure(RadioError::ConnectionLost);
            return false;
        }
        m_nReconnectAtMs = m_clock.NowMs() + delay;
        return true;
    }
    Restart(std::move(source));
    return true;
}

void CSession::Restart(std::unique_ptr<ISource> source) {
    m_pSource = std::move(source);
    m_meta.emplace(m_pSource->Info().nMetaInt);
    m_nConsumed = 0;
    // A new connection starts a new byte stream: the framer syncs afresh,
    // and the matcher decides whether its first frames repeat ours.
    const AudioKind kind = m_framer->Kind();
    m_framer.emplace(kind);
    m_matcher.Start();
    m_nReconnectAtMs = -1;
    m_bAwaitingData = true;
    m_nLastByteMs = m_clock.NowMs();
}

}  // namespace radio
