#include "radio/hls/HlsStream.h"

#include <algorithm>

#include "amf/Utf.h"

namespace radio::hls {

namespace {

constexpr int kReadWaitMs = 250;
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxKeyFetchBytes = 64;  // a key is 16 bytes; more is not a key

CRadioFailure FormatFailure(std::string_view why) {
    CRadioFailure failure = MakeFailure(RadioError::UnsupportedFormat);
    failure.description = amf::Utf8ToUtf16(why);
    return failure;
}

}  // namespace

const char16_t* FileTypeFor(SegmentKind kind) {
    switch (kind) {
        case SegmentKind::Ts:
            return u"hls-ts";
        case SegmentKind::PackedAac:
            return u"hls-aac";
        case SegmentKind::PackedMp3:
            return u"hls-mp3";
        case SegmentKind::Fmp4:
            return u"hls-fmp4";
        case SegmentKind::Unknown:
            break;
    }
    return u"hls";
}

int CHlsStream::FetchTimeoutMs() const {
    // Two target durations: a segment that takes longer falls behind the
    // live edge anyway.
    return static_cast<int>(std::clamp<int64_t>(2 * m_nTargetMs, 5000, 120000));
}

bool CHlsStream::Fetch(const std::u16string& url, UrlOrigin origin, size_t cap, int timeoutMs,
                       std::vector<uint8_t>& body, std::u16string& finalUrl,
                       CRadioFailure& failure) {
    body.clear();
    const int64_t deadline = m_clock.NowMs() + timeoutMs;
    std::unique_ptr<ISource> source = m_opener.Open(url, origin, failure);
    if (!source) {
        return false;
    }
    finalUrl = source->Info().strFinalUrl.empty() ? url : source->Info().strFinalUrl;
    std::vector<uint8_t> chunk(kReadChunk);
    while (true) {
        size_t got = 0;
        const ReadResult result =
            source->Read(chunk.data(), chunk.size(), kReadWaitMs, got, failure);
        if (result == ReadResult::End) {
            return true;
        }
        if (result == ReadResult::Failed) {
            return false;
        }
        if (result == ReadResult::Data) {
            if (got > cap - std::min(cap, body.size())) {
                failure = FormatFailure("A playlist or segment is larger than allowed.");
                return false;
            }
            body.insert(body.end(), chunk.begin(),
                        chunk.begin() + static_cast<std::ptrdiff_t>(got));
        }
        if (m_clock.NowMs() > deadline) {
            failure = MakeFailure(RadioError::Timeout);
            return false;
        }
    }
}

bool CHlsStream::Open(const std::u16string& url, CRadioFailure& failure) {
    return LoadPlaylist(url, UrlOrigin::Host, 0, failure);
}

bool CHlsStream::LoadPlaylist(const std::u16string& url, UrlOrigin origin, int depth,
                              CRadioFailure& failure) {
    // Variants of variants fan out; a bounded number of playlists is tried.
    if (m_nOpensLeft == 0) {
        failure = FormatFailure("No variant of the playlist could be loaded.");
        return false;
    }
    --m_nOpensLeft;
    std::vector<uint8_t> body;
    std::u16string finalUrl;
    const int64_t started = m_clock.NowMs();
    if (!Fetch(url, origin, kMaxHlsPlaylistBytes, 10000, body, finalUrl, failure)) {
        return false;
    }
    const CHlsPlaylist playlist = ParseHlsPlaylist(body, finalUrl);
    if (playlist.error != HlsError::None) {
        failure = FormatFailure(HlsErrorText(playlist.error));
        return false;
    }
    if (!playlist.bMaster) {
        m_strMediaUrl = finalUrl;
        m_nTargetMs = playlist.media.nTargetDurationMs;
        TakeUpdate(m_window.Update(playlist.media, started));
        return true;
    }
    if (depth >= kMaxMasterDepth) {
        failure = FormatFailure("The master playlists lead on more than 3 levels deep.");
        return false;
    }
    const std::vector<CHlsChoice> choices = ChooseVariants(playlist.master);
    if (choices.empty()) {
        failure = FormatFailure("The playlist offers no variant with audio we can decode.");
        return false;
    }
    // The best variant first; the next when one does not load.
    for (const CHlsChoice& choice : choices) {
        if (LoadPlaylist(choice.strUri, UrlOrigin::Network, depth + 1, failure)) {
            m_nBandwidth = choice.nBandwidth;
            if (!choice.strName.empty()) {
                m_strName = choice.strName;
            }
            return true;
        }
    }
    return false;
}

void CHlsStream::TakeUpdate(const CLiveWindow::CUpdate& update) {
    if (update.nSkipped > 0 || update.bRestarted) {
        m_nSkipped += update.nSkipped;
        m_bPendingReset = true;
    }
    m_queue.insert(m_queue.end(), update.segments.begin(), update.segments.end());
}

bool CHlsStream::Reload() {
    std::vector<uint8_t> body;
    std::u16string finalUrl;
    CRadioFailure ignored;
    const int64_t started = m_clock.NowMs();
    if (Fetch(m_strMediaUrl, UrlOrigin::Network, kMaxHlsPlaylistBytes, FetchTimeoutMs(), body,
              finalUrl, ignored)) {
        const CHlsPlaylist playlist = ParseHlsPlaylist(body, finalUrl);
        if (playlist.error == HlsError::None && !playlist.bMaster) {
            m_nTargetMs = playlist.media.nTargetDurationMs;
            TakeUpdate(m_window.Update(playlist.media, started));
            m_nReloadAtMs = 0;
            return true;
        }
    }
    // A reload that fails is a reload that brought nothing: try again in
    // half a target duration, and let the stall rule decide when to give up.
    m_nReloadAtMs = started + std::max<int64_t>(m_nTargetMs / 2, CLiveWindow::kMinReloadMs);
    return false;
}

HlsStep CHlsStream::Next(CHlsSegmentOutput& out, CRadioFailure& failure) {
    while (true) {
        out = CHlsSegmentOutput{};
        if (!m_queue.empty()) {
            const CHlsSegment segment = m_queue.front();
            m_queue.pop_front();
            const Outcome outcome = Segment(segment, out, failure);
            if (outcome == Outcome::Ok) {
                return HlsStep::Segment;
            }
            if (outcome == Outcome::Fatal) {
                return HlsStep::Failed;
            }
            ++m_nSkipped;
            m_bPendingReset = true;
            continue;
        }
        if (m_window.Ended()) {
            return HlsStep::Ended;
        }
        const int64_t now = m_clock.NowMs();
        if (m_window.Stalled(now)) {
            return HlsStep::Stalled;
        }
        const int64_t due = m_nReloadAtMs != 0 ? m_nReloadAtMs : m_window.NextReloadMs();
        if (now < due) {
            if (!m_clock.SleepMs(static_cast<int>(std::min<int64_t>(due - now, 60000)))) {
                return HlsStep::Cancelled;
            }
            continue;
        }
        Reload();
    }
}

CHlsStream::Outcome CHlsStream::FetchWithRetry(const std::u16string& url, size_t cap,
                                               std::vector<uint8_t>& body, CRadioFailure& failure) {
    std::u16string finalUrl;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (Fetch(url, UrlOrigin::Network, cap, FetchTimeoutMs(), body, finalUrl, failure)) {
            return Outcome::Ok;
        }
    }
    return Outcome::Skip;
}

CHlsStream::Outcome CHlsStream::Decrypt(const CHlsKey& key, uint64_t sequence,
                                        std::vector<uint8_t>& body, CRadioFailure& failure) {
    auto known = m_keys.find(key.strUri);
    if (known == m_keys.end()) {
        std::vector<uint8_t> bytes;
        if (FetchWithRetry(key.strUri, kMaxKeyFetchBytes, bytes, failure) != Outcome::Ok) {
            return Outcome::Skip;
        }
        if (bytes.size() != kAesKeyBytes) {
            failure = FormatFailure("The stream's AES-128 key is not 16 bytes long.");
            return Outcome::Fatal;
        }
        if (m_keys.size() >= 64) {
            m_keys.clear();  // keys rotate; the old ones are not needed again
        }
        known = m_keys.emplace(key.strUri, std::move(bytes)).first;
    }
    std::unique_ptr<ICbcDecryptor> cipher =
        m_cipherFactory ? m_cipherFactory(known->second) : nullptr;
    if (!cipher) {
        failure = FormatFailure("The system cannot decrypt AES-128.");
        return Outcome::Fatal;
    }
    CSegmentDecryptor decryptor(*cipher, SegmentIv(key, sequence));
    std::vector<uint8_t> plain;
    plain.reserve(body.size());
    if (!decryptor.Feed(body, plain) || !decryptor.Finish(plain)) {
        return Outcome::Skip;  // a damaged segment, or a key that does not fit it
    }
    body = std::move(plain);
    return Outcome::Ok;
}

CHlsStream::Outcome CHlsStream::InitSection(const CHlsMap& map, CRadioFailure& failure) {
    if (m_strMapUri == map.strUri && m_mapRange == map.range) {
        return Outcome::Ok;
    }
    std::vector<uint8_t> body;
    if (FetchWithRetry(map.strUri, kMaxInitSegmentBytes, body, failure) != Outcome::Ok) {
        return Outcome::Skip;
    }
    std::span<const uint8_t> init = body;
    if (map.range) {
        if (map.range->nOffset > body.size() ||
            map.range->nLength > body.size() - map.range->nOffset) {
            return Outcome::Skip;
        }
        init = init.subspan(static_cast<size_t>(map.range->nOffset),
                            static_cast<size_t>(map.range->nLength));
    }
    const Mp4Error error = ReadInitSegment(init, m_track);
    if (error == Mp4Error::Encrypted) {
        failure = FormatFailure("The stream's samples are encrypted (SAMPLE-AES).");
        return Outcome::Fatal;
    }
    if (error != Mp4Error::None) {
        failure = FormatFailure("The stream's init section holds no audio we can decode.");
        return Outcome::Fatal;
    }
    m_strMapUri = map.strUri;
    m_mapRange = map.range;
    return Outcome::Ok;
}

CHlsStream::Outcome CHlsStream::Segment(const CHlsSegment& segment, CHlsSegmentOutput& out,
                                        CRadioFailure& failure) {
    if (segment.pKey) {
        switch (ClassifyKey(*segment.pKey)) {
            case KeyUse::SampleAes:
                failure = FormatFailure(
                    "The stream is encrypted with SAMPLE-AES, which is not supported.");
                return Outcome::Fatal;
            case KeyUse::UnsupportedFormat:
                failure = FormatFailure("The stream's key system is not supported.");
                return Outcome::Fatal;
            case KeyUse::UnsupportedMethod:
                failure = FormatFailure("The stream's encryption is not supported.");
                return Outcome::Fatal;
            case KeyUse::Clear:
            case KeyUse::Aes128:
                break;
        }
    }
    std::vector<uint8_t> body;
    if (FetchWithRetry(segment.strUri, kMaxSegmentBytes, body, failure) != Outcome::Ok) {
        return Outcome::Skip;
    }
    if (segment.range) {
        // The opener fetches whole resources: the range is cut out here.
        const CByteRange& r = *segment.range;
        if (r.nOffset > body.size() || r.nLength > body.size() - r.nOffset) {
            return Outcome::Skip;
        }
        body =
            std::vector<uint8_t>(body.begin() + static_cast<std::ptrdiff_t>(r.nOffset),
                                 body.begin() + static_cast<std::ptrdiff_t>(r.nOffset + r.nLength));
    }
    if (segment.pKey && segment.pKey->method == KeyMethod::Aes128) {
        const Outcome decrypted = Decrypt(*segment.pKey, segment.nSequence, body, failure);
        if (decrypted != Outcome::Ok) {
            return decrypted;
        }
    }
    out.bResetDecoder = segment.bDiscontinuity || m_bPendingReset;
    m_bPendingReset = false;
    out.strExtinfTitle = segment.strTitle;
    out.nSequence = segment.nSequence;
    if (segment.pMap) {
        const Outcome init = InitSection(*segment.pMap, failure);
        if (init != Outcome::Ok) {
            return init;
        }
        if (ReadMediaSegment(body, m_track, out.demux) != Mp4Error::None &&
            out.demux.frames.empty()) {
            return Outcome::Skip;
        }
        m_kind = SegmentKind::Fmp4;
        return Outcome::Ok;
    }
    if (!body.empty() && body[0] == 0x47) {
        if (out.bResetDecoder) {
            m_ts.Reset();
        }
        m_ts.Feed(body, out.demux);
        m_ts.EndSegment(out.demux);
        if (m_ts.UnsupportedAudio()) {
            failure = FormatFailure("The stream's audio is neither AAC nor MP3.");
            return Outcome::Fatal;
        }
        m_kind = SegmentKind::Ts;
    } else {
        m_packed.Reset();
        m_packed.Feed(body, out.demux);
        m_packed.Finish(out.demux);
        m_kind = m_packed.Format() == CodedFormat::MpegAudio ? SegmentKind::PackedMp3
                                                             : SegmentKind::PackedAac;
    }
    if (out.demux.frames.empty()) {
        return Outcome::Skip;  // nothing playable in it: damaged, or not audio at all
    }
    return Outcome::Ok;
}

}  // namespace radio::hls
