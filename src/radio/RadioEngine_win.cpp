#include "radio/RadioEngine_win.h"

#include <winhttp.h>
#include <mmreg.h>
#include <msacm.h>

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

namespace radio {

namespace {

constexpr DWORD kNetworkTimeoutMs = 5000;
constexpr int kMaxRedirects = 8;
// Real stations send well under 2 KB of headers; more is a broken or
// hostile server, not a radio.
constexpr DWORD kMaxHeaderBytes = 32 * 1024;
constexpr size_t kMaxFieldChars = 256;
constexpr size_t kReadChunk = 8192;
constexpr size_t kHeadBytes = 4096;
constexpr int kMaxPlaylistDepth = 3;
constexpr size_t kFramesPerDecode = 4;

struct CInternetTraits {
    using pointer = HINTERNET;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::WinHttpCloseHandle(h); }
};
using CInternetHandle = CUniqueHandle<CInternetTraits>;

struct CAcmStreamTraits {
    using pointer = HACMSTREAM;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::acmStreamClose(h, 0); }
};
using CAcmStreamHandle = CUniqueHandle<CAcmStreamTraits>;

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

CRadioFailure FailureFromWinHttp(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_TIMEOUT:
            return MakeFailure(RadioError::Timeout);
        case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW:
            return MakeFailure(RadioError::MetadataTooLarge);
        case ERROR_WINHTTP_REDIRECT_FAILED:
            return MakeFailure(RadioError::TooManyRedirects);
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return MakeFailure(RadioError::UnsupportedFormat);
        default:
            return MakeFailure(RadioError::CannotConnect);
    }
}

// A source of bytes: an HTTP response body or a local file.
class CSource {
public:
    virtual ~CSource() = default;
    // Up to cap bytes; got == 0 at the end. False on a failure.
    virtual bool Read(uint8_t* buffer, size_t cap, size_t& got, CRadioFailure& failure) = 0;

    bool m_bNetwork = false;
    std::string m_strContentType;
    size_t m_nMetaInt = 0;
    int64_t m_nLength = -1;  // bytes, when known
    int m_nIcyBitrate = 0;   // kbit/s as announced
    std::u16string m_strName;
    std::u16string m_strGenre;
    std::u16string m_strHomePage;
    std::u16string m_strFinalUrl;  // after redirects
};

class CHttpSource : public CSource {
public:
    bool Open(const std::u16string& url, const CEngineShared& shared, CRadioFailure& failure);
    bool Read(uint8_t* buffer, size_t cap, size_t& got, CRadioFailure& failure) override;

private:
    std::optional<std::wstring> Header(DWORD query,
                                       const wchar_t* name = WINHTTP_HEADER_NAME_BY_INDEX);
    bool ReadHeaders(CRadioFailure& failure);

    CInternetHandle m_hSession;
    CInternetHandle m_hConnect;
    CInternetHandle m_hRequest;
};

std::optional<std::wstring> CHttpSource::Header(DWORD query, const wchar_t* name) {
    DWORD bytes = 0;
    ::WinHttpQueryHeaders(m_hRequest.Get(), query, name, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                          WINHTTP_NO_HEADER_INDEX);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0 || bytes > kMaxHeaderBytes) {
        return std::nullopt;
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!::WinHttpQueryHeaders(m_hRequest.Get(), query, name, text.data(), &bytes,
                               WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    text.resize(bytes / sizeof(wchar_t));
    return text;
}

bool CHttpSource::Open(const std::u16string& url, const CEngineShared& shared,
                       CRadioFailure& failure) {
    m_bNetwork = true;
    m_hSession.Attach(::WinHttpOpen(L"TunaraPlayer/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!m_hSession) {
        failure = MakeFailure(RadioError::CannotConnect);
        return false;
    }
    // Bounded waits everywhere: a stop never waits for these (the session is
    // abandoned), but they bound how long an abandoned thread lives.
    ::WinHttpSetTimeouts(m_hSession.Get(), kNetworkTimeoutMs, kNetworkTimeoutMs, kNetworkTimeoutMs,
                         kNetworkTimeoutMs);
    std::u16string current = url;
    // Redirects are followed here rather than by WinHTTP so that a loop ends
    // after a known number of hops on every system.
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        const auto parsed = ParseHttpUrl(current);
        if (!parsed) {
            failure = MakeFailure(ClassifySource(current) == SourceKind::Unsupported
                                      ? RadioError::UnsupportedScheme
                                      : RadioError::CannotConnect);
            return false;
        }
        m_hRequest.Close();
        m_hConnect.Close();
        const std::wstring host = ToWide(parsed->strHost);
        const std::wstring path = ToWide(parsed->strPath);
        m_hConnect.Attach(::WinHttpConnect(m_hSession.Get(), host.c_str(), parsed->nPort, 0));
        if (m_hConnect) {
            m_hRequest.Attach(::WinHttpOpenRequest(m_hConnect.Get(), L"GET", path.c_str(), nullptr,
                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   parsed->bSecure ? WINHTTP_FLAG_SECURE : 0));
        }
        if (!m_hRequest) {
            failure = MakeFailure(RadioError::CannotConnect);
            return false;
        }
        DWORD disable = WINHTTP_DISABLE_REDIRECTS;
        ::WinHttpSetOption(m_hRequest.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &disable,
                           sizeof disable);
        if (!::WinHttpSendRequest(m_hRequest.Get(), L"Icy-MetaData: 1\r\n", static_cast<DWORD>(-1),
                                  WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
            !::WinHttpReceiveResponse(m_hRequest.Get(), nullptr)) {
            failure = FailureFromWinHttp(::GetLastError());
            return false;
        }
        if (shared.Cancelled()) {
            return false;
        }
        DWORD rawBytes = 0;
        ::WinHttpQueryHeaders(m_hRequest.Get(), WINHTTP_QUERY_RAW_HEADERS_CRLF,
                              WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &rawBytes,
                              WINHTTP_NO_HEADER_INDEX);
        if (rawBytes / sizeof(wchar_t) > kMaxHeaderBytes) {
            failure = MakeFailure(RadioError::MetadataTooLarge);
            return false;
        }
        DWORD status = 0;
        DWORD statusBytes = sizeof status;
        if (!::WinHttpQueryHeaders(
                m_hRequest.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes, WINHTTP_NO_HEADER_INDEX)) {
            failure = MakeFailure(RadioError::UnsupportedFormat);
            return false;
        }
        if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
            const auto location = Header(WINHTTP_QUERY_LOCATION);
            if (!location || location->empty()) {
                failure = MakeHttpFailure(static_cast<int>(status));
                return false;
            }
            current = ResolveReference(current, ToU16(*location));
            continue;
        }
        if (status < 200 || status > 299) {
            failure = MakeHttpFailure(static_cast<int>(status));
            return false;
        }
        m_strFinalUrl = current;
        return ReadHeaders(failure);
    }
    failure = MakeFailure(RadioError::TooManyRedirects);
    return false;
}

bool CHttpSource::ReadHeaders(CRadioFailure& failure) {
    if (const auto type = Header(WINHTTP_QUERY_CONTENT_TYPE)) {
        m_strContentType.assign(type->begin(), type->end());
    }
    if (const auto length = Header(WINHTTP_QUERY_CONTENT_LENGTH)) {
        m_nLength = static_cast<int64_t>(std::wcstoll(length->c_str(), nullptr, 10));
        if (m_nLength < 0) {
            m_nLength = -1;
        }
    }
    if (const auto metaInt = Header(WINHTTP_QUERY_CUSTOM, L"icy-metaint")) {
        const long long value = std::wcstoll(metaInt->c_str(), nullptr, 10);
        if (value > static_cast<long long>(kMaxMetaInterval)) {
            failure = MakeFailure(RadioError::MetadataTooLarge);
            return false;
        }
        m_nMetaInt =
            value >= static_cast<long long>(kMinMetaInterval) ? static_cast<size_t>(value) : 0;
    }
    if (const auto bitrate = Header(WINHTTP_QUERY_CUSTOM, L"icy-br")) {
        const long value = std::wcstol(bitrate->c_str(), nullptr, 10);
        m_nIcyBitrate = value > 0 && value < 100000 ? static_cast<int>(value) : 0;
    }
    if (const auto name = Header(WINHTTP_QUERY_CUSTOM, L"icy-name")) {
        m_strName = Bounded(ToU16(*name));
    }
    if (const auto genre = Header(WINHTTP_QUERY_CUSTOM, L"icy-genre")) {
        m_strGenre = Bounded(ToU16(*genre));
    }
    if (const auto home = Header(WINHTTP_QUERY_CUSTOM, L"icy-url")) {
        m_strHomePage = Bounded(ToU16(*home));
    }
    return true;
}

bool CHttpSource::Read(uint8_t* buffer, size_t cap, size_t& got, CRadioFailure& failure) {
    got = 0;
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(m_hRequest.Get(), &available)) {
        failure = FailureFromWinHttp(::GetLastError());
        return false;
    }
    if (available == 0) {
        return true;
    }
    DWORD read = 0;
    if (!::WinHttpReadData(m_hRequest.Get(), buffer,
                           static_cast<DWORD>(std::min<size_t>(available, cap)), &read)) {
        failure = FailureFromWinHttp(::GetLastError());
        return false;
    }
    got = read;
    return true;
}

class CFileSource : public CSource {
public:
    bool Open(const std::u16string& url, CRadioFailure& failure) {
        const std::wstring path = ToWide(ToLocalPath(url));
        m_hFile.Attach(::CreateFileW(path.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!m_hFile) {
            const DWORD error = ::GetLastError();
            failure = MakeFailure(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                                          error == ERROR_INVALID_NAME ||
                                          error == ERROR_BAD_NETPATH || error == ERROR_INVALID_DRIVE
                                      ? RadioError::FileNotFound
                                      : RadioError::ReadFailed);
            return false;
        }
        LARGE_INTEGER size{};
        if (::GetFileSizeEx(m_hFile.Get(), &size)) {
            m_nLength = size.QuadPart;
        }
        m_strFinalUrl = url;
        return true;
    }

    bool Read(uint8_t* buffer, size_t cap, size_t& got, CRadioFailure& failure) override {
        DWORD read = 0;
        if (!::ReadFile(m_hFile.Get(), buffer, static_cast<DWORD>(cap), &read, nullptr)) {
            failure = MakeFailure(RadioError::ReadFailed);
            return false;
        }
        got = read;
        return true;
    }

private:
    CHandle m_hFile;
};

// MP3 frames to 16-bit PCM through the system's ACM MP3 decoder.
class CAcmDecoder {
public:
    CAcmDecoder() = default;
    CAcmDecoder(const CAcmDecoder&) = delete;
    CAcmDecoder& operator=(const CAcmDecoder&) = delete;
    ~CAcmDecoder() { Close(); }

    bool Open(const CMp3FrameInfo& info) {
        MPEGLAYER3WAVEFORMAT source{};
        source.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
        source.wfx.nChannels = static_cast<WORD>(info.nChannels);
        source.wfx.nSamplesPerSec = static_cast<DWORD>(info.nSampleRate);
        source.wfx.nAvgBytesPerSec = static_cast<DWORD>(info.nBitrate * 1000 / 8);
        source.wfx.nBlockAlign = 1;
        source.wfx.wBitsPerSample = 0;
        source.wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
        source.wID = MPEGLAYER3_ID_MPEG;
        source.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
        source.nBlockSize = static_cast<WORD>(info.nFrameBytes);
        source.nFramesPerBlock = 1;
        source.nCodecDelay = 0;
        WAVEFORMATEX target{};
        target.wFormatTag = WAVE_FORMAT_PCM;
        target.nChannels = static_cast<WORD>(info.nChannels);
        target.nSamplesPerSec = static_cast<DWORD>(info.nSampleRate);
        target.wBitsPerSample = 16;
        target.nBlockAlign = static_cast<WORD>(info.nChannels * 2);
        target.nAvgBytesPerSec = target.nSamplesPerSec * target.nBlockAlign;
        HACMSTREAM hStream = nullptr;
        if (::acmStreamOpen(&hStream, nullptr, &source.wfx, &target, nullptr, 0, 0,
                            ACM_STREAMOPENF_NONREALTIME) != MMSYSERR_NOERROR) {
            return false;
        }
        m_hStream.Attach(hStream);
        m_source.resize(kSourceBytes);
        // Room for every frame the source buffer can hold, with the largest
        // frames (1152 samples) and some slack for the decoder's delay.
        m_target.resize((kSourceBytes / 96 + 4) * 1152 * target.nBlockAlign);
        m_header = {};
        m_header.cbStruct = sizeof m_header;
        m_header.pbSrc = m_source.data();
        m_header.cbSrcLength = static_cast<DWORD>(m_source.size());
        m_header.pbDst = m_target.data();
        m_header.cbDstLength = static_cast<DWORD>(m_target.size());
        if (::acmStreamPrepareHeader(m_hStream.Get(), &m_header, 0) != MMSYSERR_NOERROR) {
            m_hStream.Close();
            return false;
        }
        m_bPrepared = true;
        return true;
    }

    // Decodes whole frames; the decoder may keep part of the input for the
    // next call. Appends the samples to pcm.
    bool Decode(const uint8_t* data, size_t bytes, bool last, std::vector<int16_t>& pcm) {
        size_t pos = 0;
        while (pos < bytes || (last && m_nFill > 0)) {
            const size_t take = std::min(bytes - pos, m_source.size() - m_nFill);
            std::memcpy(m_source.data() + m_nFill, data + pos, take);
            m_nFill += take;
            pos += take;
            m_header.cbSrcLength = static_cast<DWORD>(m_nFill);
            m_header.cbDstLength = static_cast<DWORD>(m_target.size());
            DWORD flags = ACM_STREAMCONVERTF_BLOCKALIGN;
            if (!m_bStarted) {
                flags |= ACM_STREAMCONVERTF_START;
            }
            if (last && pos == bytes) {
                flags = (flags & ~ACM_STREAMCONVERTF_BLOCKALIGN) | ACM_STREAMCONVERTF_END;
            }
            if (::acmStreamConvert(m_hStream.Get(), &m_header, flags) != MMSYSERR_NOERROR) {
                return false;
            }
            m_bStarted = true;
            const size_t used = std::min<size_t>(m_header.cbSrcLengthUsed, m_nFill);
            const size_t samples = m_header.cbDstLengthUsed / sizeof(int16_t);
            const auto* out = reinterpret_cast<const int16_t*>(m_target.data());
            pcm.insert(pcm.end(), out, out + samples);
            std::memmove(m_source.data(), m_source.data() + used, m_nFill - used);
            m_nFill -= used;
            if (used == 0 && samples == 0) {
                // Nothing taken and nothing given: with a full buffer the
                // decoder is stuck; otherwise it waits for more input.
                if (m_nFill == m_source.size()) {
                    return false;
                }
                if (last && pos == bytes) {
                    m_nFill = 0;
                }
                if (pos == bytes) {
                    break;
                }
            }
        }
        return true;
    }

    void Close() {
        if (m_bPrepared) {
            // Unpreparing wants the lengths the header was prepared with.
            m_header.cbSrcLength = static_cast<DWORD>(m_source.size());
            m_header.cbDstLength = static_cast<DWORD>(m_target.size());
            ::acmStreamUnprepareHeader(m_hStream.Get(), &m_header, 0);
            m_bPrepared = false;
        }
        m_hStream.Close();
    }

private:
    static constexpr size_t kSourceBytes = 16 * 1024;

    CAcmStreamHandle m_hStream;
    ACMSTREAMHEADER m_header{};
    bool m_bPrepared = false;
    bool m_bStarted = false;
    std::vector<uint8_t> m_source;
    std::vector<uint8_t> m_target;
    size_t m_nFill = 0;
};

// waveOut with a small ring of buffers. Writing blocks while the ring is
// full, which is what keeps memory bounded when the network is faster than
// playback.
class CWaveOutput {
public:
    static constexpr size_t kBuffers = 4;
    static constexpr int kBufferMs = 100;

    CWaveOutput() = default;
    CWaveOutput(const CWaveOutput&) = delete;
    CWaveOutput& operator=(const CWaveOutput&) = delete;
    ~CWaveOutput() { Close(); }

    bool IsOpen() const { return m_hWaveOut != nullptr; }
    int Rate() const { return m_nRate; }
    int Channels() const { return m_nChannels; }

    bool Open(int rate, int channels, CEngineShared& shared) {
        m_pShared = &shared;
        m_hDone.Attach(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!m_hDone) {
            return false;
        }
        WAVEFORMATEX format{};
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = static_cast<WORD>(channels);
        format.nSamplesPerSec = static_cast<DWORD>(rate);
        format.wBitsPerSample = 16;
        format.nBlockAlign = static_cast<WORD>(channels * 2);
        format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
        HWAVEOUT hWaveOut = nullptr;
        if (::waveOutOpen(&hWaveOut, WAVE_MAPPER, &format,
                          reinterpret_cast<DWORD_PTR>(m_hDone.Get()), 0,
                          CALLBACK_EVENT) != MMSYSERR_NOERROR) {
            return false;
        }
        m_hWaveOut = hWaveOut;
        m_nRate = rate;
        m_nChannels = channels;
        m_nBufferSamples = static_cast<size_t>(rate / (1000 / kBufferMs)) * channels;
        for (auto& buffer : m_buffers) {
            buffer.samples.assign(m_nBufferSamples, 0);
            buffer.header = {};
            buffer.bQueued = false;
        }
        shared.AttachOutput(hWaveOut);
        if (shared.Paused()) {
            shared.WithOutput([](HWAVEOUT h) { return ::waveOutPause(h) == MMSYSERR_NOERROR; });
        }
        return true;
    }

    // Queues samples (interleaved), blocking while no buffer is free.
    bool Write(const int16_t* samples, size_t count) {
        while (count > 0) {
            if (!WaitFree(m_buffers[m_nCurrent])) {
                return false;
            }
            CBuffer& buffer = m_buffers[m_nCurrent];
            const size_t take = std::min(count, m_nBufferSamples - m_nFill);
            std::memcpy(buffer.samples.data() + m_nFill, samples, take * sizeof(int16_t));
            m_nFill += take;
            samples += take;
            count -= take;
            if (m_nFill == m_nBufferSamples && !Submit()) {
                return false;
            }
        }
        return true;
    }

    // Sends a partly filled buffer on its way (at the end of the input).
    bool Flush() {
        if (m_nFill == 0) {
            return true;
        }
        return WaitFree(m_buffers[m_nCurrent]) && Submit();
    }

    // Buffers handed to the device and not yet played.
    size_t Queued() const {
        size_t queued = 0;
        for (const auto& buffer : m_buffers) {
            if (buffer.bQueued && (buffer.header.dwFlags & WHDR_DONE) == 0) {
                ++queued;
            }
        }
        return queued;
    }

    // Waits until everything queued has played.
    bool WaitDrained() {
        while (Queued() > 0) {
            if (!Wait()) {
                return false;
            }
        }
        return true;
    }

    void Close() {
        if (m_hWaveOut == nullptr) {
            return;
        }
        if (m_pShared != nullptr) {
            m_pShared->DetachOutput();
        }
        ::waveOutReset(m_hWaveOut);
        for (auto& buffer : m_buffers) {
            if (buffer.header.dwFlags & WHDR_PREPARED) {
                ::waveOutUnprepareHeader(m_hWaveOut, &buffer.header, sizeof buffer.header);
            }
            buffer.bQueued = false;
        }
        ::waveOutClose(m_hWaveOut);
        m_hWaveOut = nullptr;
    }

private:
    struct CBuffer {
        std::vector<int16_t> samples;
        WAVEHDR header{};
        bool bQueued = false;
    };

    // One wake-up: a buffer done, the session cancelled, or a short time
    // passed (the device's event is not trusted to come for every buffer).
    bool Wait() {
        const HANDLE handles[2] = {m_hDone.Get(), m_pShared->CancelEvent()};
        const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, 50);
        return result != WAIT_OBJECT_0 + 1 && !m_pShared->Cancelled();
    }

    bool WaitFree(CBuffer& buffer) {
        while (buffer.bQueued && (buffer.header.dwFlags & WHDR_DONE) == 0) {
            if (!Wait()) {
                return false;
            }
        }
        if (buffer.header.dwFlags & WHDR_PREPARED) {
            ::waveOutUnprepareHeader(m_hWaveOut, &buffer.header, sizeof buffer.header);
        }
        buffer.bQueued = false;
        return !m_pShared->Cancelled();
    }

    bool Submit() {
        CBuffer& buffer = m_buffers[m_nCurrent];
        // The volume is applied as the buffer leaves, so that a change is
        // heard within the ring's length.
        ScalePcm16(buffer.samples.data(), m_nFill, m_pShared->EffectiveVolume());
        buffer.header = {};
        buffer.header.lpData = reinterpret_cast<LPSTR>(buffer.samples.data());
        buffer.header.dwBufferLength = static_cast<DWORD>(m_nFill * sizeof(int16_t));
        const bool written = m_pShared->WithOutput([&buffer](HWAVEOUT h) {
            if (::waveOutPrepareHeader(h, &buffer.header, sizeof buffer.header) !=
                MMSYSERR_NOERROR) {
                return false;
            }
            return ::waveOutWrite(h, &buffer.header, sizeof buffer.header) == MMSYSERR_NOERROR;
        });
        if (!written) {
            return false;
        }
        buffer.bQueued = true;
        m_nFill = 0;
        m_nCurrent = (m_nCurrent + 1) % kBuffers;
        return true;
    }

    CEngineShared* m_pShared = nullptr;
    HWAVEOUT m_hWaveOut = nullptr;
    CHandle m_hDone;
    CBuffer m_buffers[kBuffers];
    size_t m_nBufferSamples = 0;
    size_t m_nCurrent = 0;
    size_t m_nFill = 0;
    int m_nRate = 0;
    int m_nChannels = 0;
};

// One URL from open to end, on the worker thread.
class CSession {
public:
    explicit CSession(std::shared_ptr<CEngineShared> shared) : m_pShared(std::move(shared)) {}

    void Run() {
        CRadioFailure failure;
        const Outcome outcome = PlayUrl(m_pShared->Url(), 0, failure);
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

    Outcome PlayUrl(const std::u16string& url, int depth, CRadioFailure& failure);
    Outcome PlayPlaylist(std::vector<uint8_t> text, PlaylistKind kind, int depth,
                         CRadioFailure& failure);
    Outcome PlayMp3(std::vector<uint8_t> head, CRadioFailure& failure);
    Outcome PlayWav(std::vector<uint8_t> head, CRadioFailure& failure);

    bool OpenSource(const std::u16string& url, CRadioFailure& failure);
    bool ReadAudio(std::vector<uint8_t>& out, bool& end, CRadioFailure& failure);
    bool NextAudio(std::vector<uint8_t>& out, bool& end, CRadioFailure& failure);
    bool Reconnect(CRadioFailure& failure);
    bool OpenOutput(int rate, int channels, CRadioFailure& failure);
    bool Output(const int16_t* samples, size_t count, CRadioFailure& failure);
    bool Finish(CRadioFailure& failure);

    std::shared_ptr<CEngineShared> m_pShared;
    std::unique_ptr<CSource> m_pSource;
    std::optional<CIcyDemuxer> m_demuxer;
    int64_t m_nConsumed = 0;
    CAcmDecoder m_decoder;
    CWaveOutput m_output;
    CStreamInfo m_info;
    bool m_bAnnounced = false;  // "Started" sent since the last stall or drop
    bool m_bEverStarted = false;
    std::vector<std::string> m_blocks;
};

bool CSession::OpenSource(const std::u16string& url, CRadioFailure& failure) {
    m_pSource.reset();
    const SourceKind kind = ClassifySource(url);
    if (kind == SourceKind::Unsupported) {
        failure = MakeFailure(RadioError::UnsupportedScheme);
        return false;
    }
    if (kind == SourceKind::File) {
        auto file = std::make_unique<CFileSource>();
        if (!file->Open(url, failure)) {
            return false;
        }
        m_pSource = std::move(file);
    } else {
        auto http = std::make_unique<CHttpSource>();
        if (!http->Open(url, *m_pShared, failure)) {
            return false;
        }
        m_pSource = std::move(http);
    }
    m_demuxer.emplace(m_pSource->m_nMetaInt);
    m_nConsumed = 0;
    return true;
}

bool CSession::ReadAudio(std::vector<uint8_t>& out, bool& end, CRadioFailure& failure) {
    uint8_t buffer[kReadChunk];
    size_t got = 0;
    if (!m_pSource->Read(buffer, sizeof buffer, got, failure)) {
        return false;
    }
    if (got == 0) {
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
    if (m_bAnnounced && m_output.IsOpen() && m_output.Queued() == 0) {
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
        const bool complete = m_pSource->m_nLength >= 0 && m_nConsumed >= m_pSource->m_nLength;
        if (!m_pSource->m_bNetwork || complete || !m_bEverStarted) {
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
    const std::u16string url = m_pSource->m_strFinalUrl;
    for (int attempt = 1;; ++attempt) {
        const int delay = ReconnectDelayMs(attempt);
        if (delay < 0) {
            break;
        }
        if (::WaitForSingleObject(m_pShared->CancelEvent(), static_cast<DWORD>(delay)) ==
            WAIT_OBJECT_0) {
            return false;
        }
        auto http = std::make_unique<CHttpSource>();
        CRadioFailure attemptFailure;
        if (http->Open(url, *m_pShared, attemptFailure)) {
            m_pSource = std::move(http);
            m_demuxer.emplace(m_pSource->m_nMetaInt);
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
    if (m_output.IsOpen()) {
        // A reconnected stream or the next playlist entry in another format
        // needs a device of its own.
        if (m_output.Rate() == rate && m_output.Channels() == channels) {
            return true;
        }
        m_output.Close();
    }
    if (!m_output.Open(rate, channels, *m_pShared)) {
        failure = MakeFailure(RadioError::NoAudioDevice);
        return false;
    }
    return true;
}

bool CSession::Output(const int16_t* samples, size_t count, CRadioFailure& failure) {
    if (!m_output.Write(samples, count)) {
        failure = MakeFailure(RadioError::NoAudioDevice);
        return false;
    }
    // Two buffers ahead before saying "playing", so that a slow start does
    // not flap between playing and buffering.
    if (!m_bAnnounced && m_output.Queued() >= 2) {
        Post(NoticeKind::Started);
        m_bAnnounced = true;
        m_bEverStarted = true;
    }
    return true;
}

bool CSession::Finish(CRadioFailure& failure) {
    if (!m_output.Flush()) {
        failure = MakeFailure(RadioError::NoAudioDevice);
        return false;
    }
    if (!m_bAnnounced && m_output.Queued() > 0) {
        Post(NoticeKind::Started);
        m_bAnnounced = true;
        m_bEverStarted = true;
    }
    return m_output.WaitDrained();
}

CSession::Outcome CSession::PlayUrl(const std::u16string& url, int depth, CRadioFailure& failure) {
    if (!OpenSource(url, failure)) {
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
        DetectPlaylist(m_pSource->m_strContentType, UrlExtension(m_pSource->m_strFinalUrl), head);
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
    if (m_pSource->m_bNetwork) {
        // Until the stream names what it plays, the station's name is the
        // best title there is.
        if (m_info.strTitle.empty()) {
            m_info.strTitle = m_pSource->m_strName;
        }
        m_info.strName = m_pSource->m_strName;
        m_info.strGenre = m_pSource->m_strGenre;
        m_info.strHomePage = m_pSource->m_strHomePage;
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
    const std::u16string base = m_pSource->m_strFinalUrl;
    m_pSource.reset();
    const auto entries = ParsePlaylist(text, kind);
    failure = MakeFailure(RadioError::EmptyPlaylist);
    for (const auto& entry : entries) {
        const Outcome outcome = PlayUrl(ResolveReference(base, entry), depth + 1, failure);
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
    auto decode = [&](bool last) {
        pcm.clear();
        if (!m_decoder.Decode(frames.data(), frames.size(), last, pcm)) {
            failure = MakeFailure(RadioError::DecoderMissing);
            return false;
        }
        frames.clear();
        frameCount = 0;
        return pcm.empty() || Output(pcm.data(), pcm.size(), failure);
    };
    while (true) {
        while (auto frame = scanner.NextFrame()) {
            if (!opened) {
                const CMp3FrameInfo& info = scanner.Info();
                if (!m_decoder.Open(info)) {
                    failure = MakeFailure(RadioError::DecoderMissing);
                    return Outcome::Failed;
                }
                if (!OpenOutput(info.nSampleRate, info.nChannels, failure)) {
                    return FailedOrCancelled();
                }
                m_info.strFileType = u"mp3";
                m_info.nBitrate =
                    (m_pSource->m_nIcyBitrate > 0 ? m_pSource->m_nIcyBitrate : info.nBitrate) *
                    1000;
                if (!m_pSource->m_bNetwork && m_pSource->m_nLength > 0) {
                    // Constant bitrate assumed: what a header-less file allows.
                    m_info.dDuration =
                        static_cast<double>(m_pSource->m_nLength) * 8.0 / (info.nBitrate * 1000.0);
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
    if (!m_pSource->m_bNetwork && bounded) {
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
    // The thread's reference keeps the DLL's code alive until here.
    ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

DWORD WINAPI WarmUpThread(void* parameter) {
    const auto hModule = static_cast<HMODULE>(parameter);
    // Opening the device once brings the whole output path up (under Wine
    // that is several hundred milliseconds); nothing is ever written to it.
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = 44100;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 4;
    format.nAvgBytesPerSec = 44100 * 4;
    HWAVEOUT hWaveOut = nullptr;
    if (::waveOutOpen(&hWaveOut, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR) {
        ::waveOutClose(hWaveOut);
    }
    CMp3FrameInfo info;
    info.nVersion = 1;
    info.nBitrate = 128;
    info.nSampleRate = 44100;
    info.nChannels = 2;
    info.nFrameBytes = 417;
    info.nSamplesPerFrame = 1152;
    CAcmDecoder decoder;
    decoder.Open(info);
    decoder.Close();
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
    : m_hNotifyWnd(hNotifyWnd),
      m_nNotifyMsg(nNotifyMsg),
      m_strUrl(std::move(url)),
      m_hCancel(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

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
    ::SetEvent(m_hCancel.Get());
    CLockGuard lock(m_outputMutex);
    if (m_hWaveOut != nullptr) {
        ::waveOutReset(m_hWaveOut);
    }
}

void CEngineShared::SetPaused(bool paused) {
    m_bPaused.store(paused);
    CLockGuard lock(m_outputMutex);
    if (m_hWaveOut != nullptr && !m_bCancel.load()) {
        if (paused) {
            ::waveOutPause(m_hWaveOut);
        } else {
            ::waveOutRestart(m_hWaveOut);
        }
    }
}

void CEngineShared::AttachOutput(HWAVEOUT hWaveOut) {
    CLockGuard lock(m_outputMutex);
    m_hWaveOut = hWaveOut;
}

void CEngineShared::DetachOutput() {
    CLockGuard lock(m_outputMutex);
    m_hWaveOut = nullptr;
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
