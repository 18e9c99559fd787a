#include "radio/RadioEngine_win.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "framework/WideText.h"
#include "radio/AudioFormat.h"
#include "radio/IcyDemuxer.h"
#include "radio/Playlist.h"
#include "radio/PlayState.h"
#include "radio/RadioUrl.h"
#include "radio/decoder/AcmDecoder_win.h"

namespace radio {

namespace {

constexpr size_t kMaxFieldChars = 256;
constexpr size_t kReadChunk = 8192;
constexpr size_t kHeadBytes = 4096;
constexpr int kMaxPlaylistDepth = 3;
constexpr size_t kFramesPerDecode = 4;
// How long one read waits before the worker looks at the cancel again.
constexpr int kReadWaitMs = 100;
// How long one wait for room in the output lasts.
constexpr int kOutputWaitMs = 50;

std::u16string Bounded(std::u16string text) {
    if (text.size() > kMaxFieldChars) {
        text.resize(kMaxFieldChars);
    }
    return text;
}

std::u16string FileTitle(const std::u16string& path) {
    const size_t slash = path.find_last_of(u"\\/");
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind(u'.');
    if (dot != std::u16string::npos && dot > 0) {
        name.resize(dot);
    }
    return name;
}

// One URL from open to end, on the worker thread.
class CSession {
public:
    explicit CSession(std::shared_ptr<CEngineShared> shared)
        : m_pShared(std::move(shared)), m_output(m_pShared->OutputControl()) {}

    void Run() {
        CRadioFailure failure;
        const Outcome outcome = PlayUrl(m_pShared->Url(), UrlOrigin::Host, 0, failure);
        if (outcome == Outcome::Played) {
            Post(NoticeKind::Ended);
        } else if (outcome == Outcome::Failed) {
            CEngineNotice notice;
            notice.kind = NoticeKind::Failed;
            notice.failure = std::move(failure);
            m_pShared->Post(std::move(notice));
        }
        m_output.Close();
    }

private:
    enum class Outcome { Played, Failed, Cancelled };

    // Hands decoded audio on to the output, and remembers whether it was
    // the output (or a stop) rather than the decoder that ended decoding.
    class CPcmToOutput : public IPcmSink {
    public:
        CPcmToOutput(CSession& session, CRadioFailure& failure)
            : m_session(session), m_failure(failure) {}
        bool OnPcm(const CPcmFormat&, const int16_t* samples, size_t count) override {
            if (!m_session.Output(samples, count, m_failure)) {
                m_bRefused = true;
                return false;
            }
            return true;
        }
        bool Refused() const { return m_bRefused; }

    private:
        CSession& m_session;
        CRadioFailure& m_failure;
        bool m_bRefused = false;
    };

    void Post(NoticeKind kind) {
        CEngineNotice notice;
        notice.kind = kind;
        m_pShared->Post(std::move(notice));
    }

    void PostMedia() {
        CEngineNotice notice;
        notice.kind = NoticeKind::Media;
        notice.media = m_info;
        m_pShared->Post(std::move(notice));
    }

    Outcome Stopped() const { return Outcome::Cancelled; }
    Outcome FailedOrCancelled() const {
        return m_pShared->Cancelled() ? Outcome::Cancelled : Outcome::Failed;
    }

    Outcome PlayUrl(const std::u16string& url, UrlOrigin origin, int depth, CRadioFailure& failure);
    Outcome PlayPlaylist(std::vector<uint8_t> text, PlaylistKind kind, int depth,
                         CRadioFailure& failure);
    Outcome PlayMp3(std::vector<uint8_t> head, CRadioFailure& failure);
    Outcome PlayWav(std::vector<uint8_t> head, CRadioFailure& failure);

    bool OpenSource(const std::u16string& url, UrlOrigin origin, CRadioFailure& failure);
    bool ReadAudio(std::vector<uint8_t>& out, bool& end, CRadioFailure& failure);
    bool NextAudio(std::vector<uint8_t>& out, bool& end, CRadioFailure& failure);
    bool Reconnect(CRadioFailure& failure);
    bool OpenOutput(int rate, int channels, CRadioFailure& failure);
    bool Output(const int16_t* samples, size_t count, CRadioFailure& failure);
    bool Finish(CRadioFailure& failure);
    const CSourceInfo& Source() const { return m_pSource->Info(); }

    std::shared_ptr<CEngineShared> m_pShared;
    std::unique_ptr<ISource> m_pSource;
    std::optional<CIcyDemuxer> m_demuxer;
    int64_t m_nConsumed = 0;
    CWinDecoderFactory m_decoders;
    std::unique_ptr<IDecoder> m_pDecoder;
    CWaveOutput m_output;
    CStreamInfo m_info;
    bool m_bAnnounced = false;  // "Started" sent since the last stall or drop
    bool m_bEverStarted = false;
    std::vector<std::string> m_blocks;
};

bool CSession::OpenSource(const std::u16string& url, UrlOrigin origin, CRadioFailure& failure) {
    m_pSource.reset();
    m_pSource = m_pShared->Opener().Open(url, origin, failure);
    if (!m_pSource) {
        return false;
    }
    m_demuxer.emplace(Source().nMetaInt);
    m_nConsumed = 0;
    return true;
}

bool CSession::ReadAudio(std::vector<uint8_t>& out, bool& end, CRadioFailure& failure) {
    uint8_t buffer[kReadChunk];
    size_t got = 0;
    // The source never blocks for long; the worker waits here as it always
    // did, looking at the cancel between waits.
    ReadResult result = ReadResult::Idle;
    while (true) {
        result = m_pSource->Read(buffer, sizeof buffer, kReadWaitMs, got, failure);
        if (result != ReadResult::Idle) {
            break;
        }
        if (m_pShared->Cancelled()) {
            failure = MakeFailure(RadioError::ConnectionLost);
            return false;
        }
    }
    if (result == ReadResult::Failed) {
        return false;
    }
    if (result == ReadResult::End) {
        end = true;
        return true;
    }
    m_nConsumed += static_cast<int64_t>(got);
    m_blocks.clear();
    m_demuxer->Feed({buffer, got}, out, m_blocks);
    for (const std::string& block : m_blocks) {
        const auto title = FindStreamTitle(block);
        if (!title) {
            continue;
        }
        std::u16string text = Bounded(DecodeMetaText(*title));
        if (text != m_info.strTitle) {
            m_info.strTitle = std::move(text);
            // Before the format is known the title goes out with the first
            // media notice.
            if (m_output.IsOpen()) {
                PostMedia();
            }
        }
    }
    return true;
}

bool CSession::NextAudio(std::vector<uint8_t>& out, bool& end, CRadioFailure& failure) {
    if (m_bAnnounced && m_output.IsOpen() && m_output.QueuedMs() == 0) {
        // Everything queued has played and more is still to come.
        Post(NoticeKind::Stalled);
        m_bAnnounced = false;
    }
    while (true) {
        if (m_pShared->Cancelled()) {
            return false;
        }
        bool sourceEnd = false;
        CRadioFailure readFailure;
        if (ReadAudio(out, sourceEnd, readFailure) && !sourceEnd) {
            return true;
        }
        if (m_pShared->Cancelled()) {
            return false;
        }
        const bool complete = Source().nLength >= 0 && m_nConsumed >= Source().nLength;
        if (!Source().bNetwork || complete || !m_bEverStarted) {
            if (sourceEnd) {
                end = true;
                return true;
            }
            failure = readFailure.code != 0 ? readFailure : MakeFailure(RadioError::ConnectionLost);
            return false;
        }
        // A live stream that ends or breaks after playing has dropped.
        if (!Reconnect(failure)) {
            return false;
        }
    }
}

bool CSession::Reconnect(CRadioFailure& failure) {
    Post(NoticeKind::Dropped);
    m_bAnnounced = false;
    const std::u16string url = Source().strFinalUrl;
    for (int attempt = 1;; ++attempt) {
        const int delay = ReconnectDelayMs(attempt);
        if (delay < 0) {
            break;
        }
        if (::WaitForSingleObject(m_pShared->CancelEvent(), static_cast<DWORD>(delay)) ==
            WAIT_OBJECT_0) {
            return false;
        }
        CRadioFailure attemptFailure;
        // The address is the one the last redirect named, so it counts as
        // one from the network.
        if (auto source = m_pShared->Opener().Open(url, UrlOrigin::Network, attemptFailure)) {
            m_pSource = std::move(source);
            m_demuxer.emplace(Source().nMetaInt);
            m_nConsumed = 0;
            return true;
        }
        if (m_pShared->Cancelled()) {
            return false;
        }
    }
    failure = MakeFailure(RadioError::ConnectionLost);
    return false;
}

bool CSession::OpenOutput(int rate, int channels, CRadioFailure& failure) {
    const CPcmFormat format{rate, channels};
    // A reconnected stream or the next playlist entry in another format
    // needs a device of its own.
    if (m_output.IsOpen() && m_output.Format() == format) {
        return true;
    }
    return m_output.Open(format, failure);
}

bool CSession::Output(const int16_t* samples, size_t count, CRadioFailure& failure) {
    while (count > 0) {
        const size_t taken = m_output.Write(samples, count);
        samples += taken;
        count -= taken;
        if (m_pShared->Cancelled() || !m_output.IsOpen()) {
            failure = MakeFailure(RadioError::NoAudioDevice);
            return false;
        }
        if (count > 0) {
            m_output.WaitForRoom(kOutputWaitMs);
        }
    }
    // Two buffers ahead before saying "playing", so that a slow start does
    // not flap between playing and buffering.
    if (!m_bAnnounced && m_output.QueuedMs() >= 2 * CWaveOutput::kBufferMs) {
        Post(NoticeKind::Started);
        m_bAnnounced = true;
        m_bEverStarted = true;
    }
    return true;
}

bool CSession::Finish(CRadioFailure& failure) {
    m_output.Flush();
    if (m_pShared->Cancelled() || !m_output.IsOpen()) {
        failure = MakeFailure(RadioError::NoAudioDevice);
        return false;
    }
    if (!m_bAnnounced && m_output.QueuedMs() > 0) {
        Post(NoticeKind::Started);
        m_bAnnounced = true;
        m_bEverStarted = true;
    }
    while (m_output.QueuedMs() > 0) {
        if (m_pShared->Cancelled()) {
            return false;
        }
        m_output.WaitForRoom(kOutputWaitMs);
    }
    return !m_pShared->Cancelled();
}

CSession::Outcome CSession::PlayUrl(const std::u16string& url, UrlOrigin origin, int depth,
                                    CRadioFailure& failure) {
    if (!OpenSource(url, origin, failure)) {
        return FailedOrCancelled();
    }
    m_info = {};
    m_info.strSourceUrl = url;
    std::vector<uint8_t> head;
    bool end = false;
    while (head.size() < kHeadBytes && !end) {
        if (!ReadAudio(head, end, failure)) {
            return FailedOrCancelled();
        }
        if (m_pShared->Cancelled()) {
            return Stopped();
        }
    }
    const PlaylistKind playlist =
        DetectPlaylist(Source().strContentType, UrlExtension(Source().strFinalUrl), head);
    if (playlist == PlaylistKind::Hls) {
        failure = MakeFailure(RadioError::UnsupportedFormat);
        return Outcome::Failed;
    }
    if (playlist != PlaylistKind::None) {
        while (!end && head.size() <= kMaxPlaylistBytes) {
            if (!ReadAudio(head, end, failure)) {
                return FailedOrCancelled();
            }
        }
        if (head.size() > kMaxPlaylistBytes || depth >= kMaxPlaylistDepth) {
            failure = MakeFailure(RadioError::UnsupportedFormat);
            return Outcome::Failed;
        }
        return PlayPlaylist(std::move(head), playlist, depth, failure);
    }
    if (Source().bNetwork) {
        // Until the stream names what it plays, the station's name is the
        // best title there is.
        if (m_info.strTitle.empty()) {
            m_info.strTitle = Source().strName;
        }
        m_info.strName = Source().strName;
        m_info.strGenre = Source().strGenre;
        m_info.strHomePage = Source().strHomePage;
    } else {
        m_info.strTitle = FileTitle(ToLocalPath(url));
    }
    if (LooksLikeWav(head)) {
        return PlayWav(std::move(head), failure);
    }
    return PlayMp3(std::move(head), failure);
}

CSession::Outcome CSession::PlayPlaylist(std::vector<uint8_t> text, PlaylistKind kind, int depth,
                                         CRadioFailure& failure) {
    const std::u16string base = Source().strFinalUrl;
    // Entries of a playlist from the network are network addresses too:
    // they may not name local files, shares or devices.
    const UrlOrigin origin = Source().bNetwork ? UrlOrigin::Network : UrlOrigin::Host;
    m_pSource.reset();
    const auto entries = ParsePlaylist(text, kind);
    failure = MakeFailure(RadioError::EmptyPlaylist);
    for (const auto& entry : entries) {
        const Outcome outcome = PlayUrl(ResolveReference(base, entry), origin, depth + 1, failure);
        // The first entry that plays is the one: a later failure of it is
        // reported, not hidden by trying the next one.
        if (outcome != Outcome::Failed || m_bEverStarted) {
            return outcome;
        }
    }
    return Outcome::Failed;
}

CSession::Outcome CSession::PlayMp3(std::vector<uint8_t> head, CRadioFailure& failure) {
    CMp3FrameScanner scanner;
    scanner.Feed(head);
    head.clear();
    head.shrink_to_fit();
    std::vector<uint8_t> frames;
    size_t frameCount = 0;
    std::vector<int16_t> pcm;
    std::vector<uint8_t> chunk;
    bool opened = false;
    bool end = false;
    CPcmToOutput sink(*this, failure);
    auto decode = [&](bool last) {
        const bool decoded = m_pDecoder->Decode(frames.data(), frames.size(), sink, failure) &&
                             (!last || m_pDecoder->Drain(sink, failure));
        frames.clear();
        frameCount = 0;
        if (!decoded && !sink.Refused()) {
            failure = MakeFailure(RadioError::DecoderMissing);
        }
        return decoded;
    };
    while (true) {
        while (auto frame = scanner.NextFrame()) {
            if (!opened) {
                const CMp3FrameInfo& info = scanner.Info();
                CCodecConfig config;
                config.kind = CodecKind::Mp3;
                config.nSampleRate = info.nSampleRate;
                config.nChannels = info.nChannels;
                config.nBitrateKbps = info.nBitrate;
                config.nFrameBytes = info.nFrameBytes;
                m_pDecoder = m_decoders.Create(CodecKind::Mp3, failure);
                if (!m_pDecoder || !m_pDecoder->Open(config, failure)) {
                    failure = MakeFailure(RadioError::DecoderMissing);
                    return Outcome::Failed;
                }
                if (!OpenOutput(info.nSampleRate, info.nChannels, failure)) {
                    return FailedOrCancelled();
                }
                m_info.strFileType = u"mp3";
                m_info.nBitrate =
                    (Source().nIcyBitrate > 0 ? Source().nIcyBitrate : info.nBitrate) * 1000;
                if (!Source().bNetwork && Source().nLength > 0) {
                    // Constant bitrate assumed: what a header-less file allows.
                    m_info.dDuration =
                        static_cast<double>(Source().nLength) * 8.0 / (info.nBitrate * 1000.0);
                }
                PostMedia();
                opened = true;
            }
            frames.insert(frames.end(), frame->begin(), frame->end());
            if (++frameCount >= kFramesPerDecode && !decode(false)) {
                return FailedOrCancelled();
            }
        }
        if (scanner.Failed()) {
            failure = MakeFailure(RadioError::UnsupportedFormat);
            return Outcome::Failed;
        }
        if (end) {
            break;
        }
        chunk.clear();
        if (!NextAudio(chunk, end, failure)) {
            return FailedOrCancelled();
        }
        if (end) {
            scanner.Finish();
        } else {
            scanner.Feed(chunk);
        }
    }
    if (!opened) {
        failure = MakeFailure(RadioError::UnsupportedFormat);
        return Outcome::Failed;
    }
    if (!decode(true) || !Finish(failure)) {
        return FailedOrCancelled();
    }
    return Outcome::Played;
}

CSession::Outcome CSession::PlayWav(std::vector<uint8_t> head, CRadioFailure& failure) {
    CWavFormat format;
    bool end = false;
    while (true) {
        const WavParse parse = ParseWavHeader(head, format);
        if (parse == WavParse::Ok) {
            break;
        }
        if (parse == WavParse::Unsupported || end) {
            failure = MakeFailure(RadioError::UnsupportedFormat);
            return Outcome::Failed;
        }
        if (!NextAudio(head, end, failure)) {
            return FailedOrCancelled();
        }
    }
    if (!OpenOutput(format.nSampleRate, format.nChannels, failure)) {
        return FailedOrCancelled();
    }
    const size_t bytesPerSample = static_cast<size_t>(format.nBitsPerSample / 8);
    const size_t frameBytes = bytesPerSample * static_cast<size_t>(format.nChannels);
    const bool bounded = format.nDataBytes != 0 && format.nDataBytes != 0xFFFFFFFFu;
    uint64_t remaining = bounded ? format.nDataBytes : UINT64_MAX;
    m_info.strFileType = u"wav";
    m_info.nBitrate = format.nSampleRate * format.nChannels * format.nBitsPerSample;
    if (!Source().bNetwork && bounded) {
        m_info.dDuration =
            static_cast<double>(format.nDataBytes) /
            (static_cast<double>(format.nSampleRate) * static_cast<double>(frameBytes));
    }
    PostMedia();
    std::vector<uint8_t> data(
        head.begin() + static_cast<ptrdiff_t>(std::min(format.nDataOffset, head.size())),
        head.end());
    head.clear();
    head.shrink_to_fit();
    std::vector<int16_t> pcm;
    while (true) {
        size_t usable = std::min<uint64_t>(data.size(), remaining);
        usable -= usable % frameBytes;
        if (usable > 0) {
            pcm.resize(usable / bytesPerSample);
            if (bytesPerSample == 1) {
                Pcm8To16(data.data(), usable, pcm.data());
            } else {
                std::memcpy(pcm.data(), data.data(), usable);
            }
            data.erase(data.begin(), data.begin() + static_cast<ptrdiff_t>(usable));
            remaining -= usable;
            if (!Output(pcm.data(), pcm.size(), failure)) {
                return FailedOrCancelled();
            }
        }
        if (end || remaining == 0 || (remaining < frameBytes)) {
            break;
        }
        if (!NextAudio(data, end, failure)) {
            return FailedOrCancelled();
        }
    }
    if (!Finish(failure)) {
        return FailedOrCancelled();
    }
    return Outcome::Played;
}

struct CThreadStart {
    std::shared_ptr<CEngineShared> pShared;
    HMODULE hModule = nullptr;
};

DWORD WINAPI EngineThread(void* parameter) {
    auto* start = static_cast<CThreadStart*>(parameter);
    const HMODULE hModule = start->hModule;
    try {
        CSession session(start->pShared);
        session.Run();
    } catch (...) {
        // Out of memory in the middle of a stream: report it as the stream's
        // failure rather than let it end the host.
        CEngineNotice notice;
        notice.kind = NoticeKind::Failed;
        notice.failure = {0x8007000Eu, u"Not enough memory to play the stream."};
        try {
            start->pShared->Post(std::move(notice));
        } catch (...) {
        }
    }
    delete start;
    // WinHTTP may still call back into this DLL for a request it holds;
    // the thread is abandoned already, so it can wait for that.
    WaitForHttpCallbacks(CHttpOpener::kNetworkTimeoutMs + 2000);
    // The thread's reference keeps the DLL's code alive until here.
    ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

DWORD WINAPI WarmUpThread(void* parameter) {
    const auto hModule = static_cast<HMODULE>(parameter);
    // Opening the device once brings the whole output path up (under Wine
    // that is several hundred milliseconds); nothing is ever written to it.
    WarmUpWaveOut();
    WarmUpAcm();
    ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

}  // namespace

void WarmUpAudio() {
    static std::atomic<bool> s_bStarted{false};
    if (s_bStarted.exchange(true)) {
        return;
    }
    HMODULE hModule = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&WarmUpThread), &hModule)) {
        return;
    }
    CHandle thread(::CreateThread(nullptr, 0, WarmUpThread, hModule, 0, nullptr));
    if (!thread) {
        ::FreeLibrary(hModule);
    }
}

CEngineShared::CEngineShared(HWND hNotifyWnd, UINT nNotifyMsg, std::u16string url)
    : m_hNotifyWnd(hNotifyWnd), m_nNotifyMsg(nNotifyMsg), m_strUrl(std::move(url)) {}

void CEngineShared::Post(CEngineNotice notice) {
    {
        CLockGuard lock(m_noticeMutex);
        if (m_bCancel.load()) {
            return;
        }
        m_notices.push_back(std::move(notice));
    }
    ::PostMessageW(m_hNotifyWnd, m_nNotifyMsg, 0, 0);
}

std::optional<CEngineNotice> CEngineShared::Take() {
    CLockGuard lock(m_noticeMutex);
    if (m_notices.empty()) {
        return std::nullopt;
    }
    CEngineNotice notice = std::move(m_notices.front());
    m_notices.pop_front();
    return notice;
}

void CEngineShared::Cancel() {
    {
        CLockGuard lock(m_noticeMutex);
        m_bCancel.store(true);
        m_notices.clear();
    }
    // Every wait of the worker ends: the source's and the output's.
    m_opener.Abort();
    m_output.Cancel();
}

bool StartEngine(const std::shared_ptr<CEngineShared>& shared) {
    HMODULE hModule = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&EngineThread), &hModule)) {
        return false;
    }
    auto* start = new (std::nothrow) CThreadStart{shared, hModule};
    if (start == nullptr) {
        ::FreeLibrary(hModule);
        return false;
    }
    CHandle thread(::CreateThread(nullptr, 0, EngineThread, start, 0, nullptr));
    if (!thread) {
        delete start;
        ::FreeLibrary(hModule);
        return false;
    }
    return true;
}

}  // namespace radio
