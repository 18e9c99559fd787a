#include "radio/source/HttpSource_win.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "framework/WideText.h"
#include "radio/IcyDemuxer.h"
#include "radio/RadioUrl.h"

namespace radio {

namespace {

// Real stations send well under 2 KB of headers; more is a broken or
// hostile server, not a radio.
constexpr DWORD kMaxHeaderBytes = 32 * 1024;
constexpr size_t kMaxFieldChars = 256;
constexpr size_t kReadBytes = 16 * 1024;
// WinHTTP's own timeouts end each operation; this only guards against a
// completion that never comes.
constexpr DWORD kOperationBoundMs = 4 * CHttpOpener::kNetworkTimeoutMs;
// How long closing a request may take to be confirmed before the source
// lets go of it anyway.
constexpr DWORD kCloseWaitMs = 500;

struct CInternetTraits {
    using pointer = HINTERNET;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::WinHttpCloseHandle(h); }
};
using CInternetHandle = CUniqueHandle<CInternetTraits>;

std::u16string Bounded(std::u16string text) {
    if (text.size() > kMaxFieldChars) {
        text.resize(kMaxFieldChars);
    }
    return text;
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

// What one request shares with WinHTTP's callbacks, which run on threads of
// WinHTTP's own and may come after the source has gone: the source holds
// one reference, the request handle the other, released when WinHTTP says
// the handle is closing.
struct CRequestContext {
    CHandle hDone{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    CHandle hClosed{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<long> nRefs{1};
    // Written by the callback before hDone is set, read after the wait.
    DWORD dwError = 0;
    DWORD dwBytes = 0;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kReadBytes);

    void Release() {
        if (nRefs.fetch_sub(1) == 1) {
            delete this;
        }
    }
};

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                              DWORD infoLength) {
    auto* request = reinterpret_cast<CRequestContext*>(context);
    if (request == nullptr) {
        return;
    }
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            request->dwError = 0;
            ::SetEvent(request->hDone.Get());
            break;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            request->dwError = 0;
            request->dwBytes = info != nullptr ? *static_cast<const DWORD*>(info) : 0;
            ::SetEvent(request->hDone.Get());
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            request->dwError = 0;
            request->dwBytes = infoLength;
            ::SetEvent(request->hDone.Get());
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            request->dwError = info != nullptr
                                   ? static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError
                                   : ERROR_WINHTTP_INTERNAL_ERROR;
            if (request->dwError == ERROR_SUCCESS) {
                request->dwError = ERROR_WINHTTP_INTERNAL_ERROR;
            }
            ::SetEvent(request->hDone.Get());
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            ::SetEvent(request->hClosed.Get());
            request->Release();
            break;
        default:
            break;
    }
}

class CHttpSource : public ISource {
public:
    explicit CHttpSource(std::shared_ptr<CAbortSignal> abort) : m_pAbort(std::move(abort)) {}
    CHttpSource(const CHttpSource&) = delete;
    CHttpSource& operator=(const CHttpSource&) = delete;
    ~CHttpSource() override { CloseRequest(true); }

    bool Open(const std::u16string& url, CRadioFailure& failure);
    const CSourceInfo& Info() const override { return m_info; }
    ReadResult Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                    CRadioFailure& failure) override;

private:
    bool Start(const CHttpUrl& url, CRadioFailure& failure);
    // Waits for the operation in flight; false with the failure set.
    bool Await(DWORD waitMs, CRadioFailure& failure, bool& timedOut);
    bool AwaitBounded(CRadioFailure& failure);
    void CloseRequest(bool waitClosed);
    std::optional<std::wstring> Header(DWORD query,
                                       const wchar_t* name = WINHTTP_HEADER_NAME_BY_INDEX);
    bool ReadHeaders(CRadioFailure& failure);

    std::shared_ptr<CAbortSignal> m_pAbort;
    CSourceInfo m_info;
    CInternetHandle m_hSession;
    CInternetHandle m_hConnect;
    CInternetHandle m_hRequest;
    CRequestContext* m_pContext = nullptr;
    bool m_bQueryPending = false;
    bool m_bEnd = false;
    DWORD m_nAvailable = 0;
};

void CHttpSource::CloseRequest(bool waitClosed) {
    m_hRequest.Close();
    m_hConnect.Close();
    if (m_pContext != nullptr) {
        // The callback runs in this DLL's code: before the last source lets
        // the worker (and with it the DLL) go, let WinHTTP finish with it.
        if (waitClosed && m_pContext->nRefs.load() > 1) {
            ::WaitForSingleObject(m_pContext->hClosed.Get(), kCloseWaitMs);
        }
        m_pContext->Release();
        m_pContext = nullptr;
    }
    m_bQueryPending = false;
    m_nAvailable = 0;
    if (waitClosed) {
        m_hSession.Close();
    }
}

bool CHttpSource::Await(DWORD waitMs, CRadioFailure& failure, bool& timedOut) {
    timedOut = false;
    const DWORD wait = m_pAbort->Wait(m_pContext->hDone.Get(), waitMs);
    if (wait == WAIT_OBJECT_0 + 1) {
        failure = MakeFailure(RadioError::ConnectionLost);
        return false;
    }
    if (wait != WAIT_OBJECT_0) {
        timedOut = true;
        failure = MakeFailure(RadioError::Timeout);
        return false;
    }
    if (m_pContext->dwError != 0) {
        failure = FailureFromWinHttp(m_pContext->dwError);
        return false;
    }
    return true;
}

bool CHttpSource::AwaitBounded(CRadioFailure& failure) {
    bool timedOut = false;
    return Await(kOperationBoundMs, failure, timedOut);
}

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

bool CHttpSource::Start(const CHttpUrl& url, CRadioFailure& failure) {
    CloseRequest(false);
    failure = MakeFailure(RadioError::CannotConnect);
    const std::wstring host = ToWide(url.strHost);
    const std::wstring path = ToWide(url.strPath);
    m_hConnect.Attach(::WinHttpConnect(m_hSession.Get(), host.c_str(), url.nPort, 0));
    if (!m_hConnect) {
        return false;
    }
    m_hRequest.Attach(::WinHttpOpenRequest(m_hConnect.Get(), L"GET", path.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           url.bSecure ? WINHTTP_FLAG_SECURE : 0));
    if (!m_hRequest) {
        return false;
    }
    m_pContext = new (std::nothrow) CRequestContext;
    if (m_pContext == nullptr || !m_pContext->hDone || !m_pContext->hClosed) {
        return false;
    }
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(m_pContext);
    // The handle's reference is taken before WinHTTP can know the context,
    // and given back at once if it never learns it.
    m_pContext->nRefs.fetch_add(1);
    if (!::WinHttpSetOption(m_hRequest.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &context,
                            sizeof context)) {
        m_pContext->nRefs.fetch_sub(1);
        return false;
    }
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    ::WinHttpSetOption(m_hRequest.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable);
    if (m_pAbort->Raised()) {
        failure = MakeFailure(RadioError::ConnectionLost);
        return false;
    }
    if (!::WinHttpSendRequest(m_hRequest.Get(), L"Icy-MetaData: 1\r\n", static_cast<DWORD>(-1),
                              WINHTTP_NO_REQUEST_DATA, 0, 0, context)) {
        failure = FailureFromWinHttp(::GetLastError());
        return false;
    }
    if (!AwaitBounded(failure)) {
        return false;
    }
    if (!::WinHttpReceiveResponse(m_hRequest.Get(), nullptr)) {
        failure = FailureFromWinHttp(::GetLastError());
        return false;
    }
    return AwaitBounded(failure);
}

bool CHttpSource::Open(const std::u16string& url, CRadioFailure& failure) {
    m_info.bNetwork = true;
    m_hSession.Attach(::WinHttpOpen(L"TunaraPlayer/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                    WINHTTP_FLAG_ASYNC));
    if (!m_hSession) {
        failure = MakeFailure(RadioError::CannotConnect);
        return false;
    }
    if (::WinHttpSetStatusCallback(
            m_hSession.Get(), OnRequestStatus,
            WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
            0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        failure = MakeFailure(RadioError::CannotConnect);
        return false;
    }
    ::WinHttpSetTimeouts(m_hSession.Get(), CHttpOpener::kNetworkTimeoutMs,
                         CHttpOpener::kNetworkTimeoutMs, CHttpOpener::kNetworkTimeoutMs,
                         CHttpOpener::kNetworkTimeoutMs);
    std::u16string current = url;
    // Redirects are followed here rather than by WinHTTP so that a loop ends
    // after a known number of hops on every system.
    for (int hop = 0; hop <= CHttpOpener::kMaxRedirects; ++hop) {
        const auto parsed = ParseHttpUrl(current);
        if (!parsed) {
            failure = MakeFailure(ClassifySource(current) == SourceKind::Unsupported
                                      ? RadioError::UnsupportedScheme
                                      : RadioError::CannotConnect);
            return false;
        }
        if (!Start(*parsed, failure)) {
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
        m_info.strFinalUrl = current;
        return ReadHeaders(failure);
    }
    failure = MakeFailure(RadioError::TooManyRedirects);
    return false;
}

bool CHttpSource::ReadHeaders(CRadioFailure& failure) {
    if (const auto type = Header(WINHTTP_QUERY_CONTENT_TYPE)) {
        m_info.strContentType.assign(type->begin(), type->end());
    }
    if (const auto length = Header(WINHTTP_QUERY_CONTENT_LENGTH)) {
        m_info.nLength = static_cast<int64_t>(std::wcstoll(length->c_str(), nullptr, 10));
        if (m_info.nLength < 0) {
            m_info.nLength = -1;
        }
    }
    if (const auto metaInt = Header(WINHTTP_QUERY_CUSTOM, L"icy-metaint")) {
        const long long value = std::wcstoll(metaInt->c_str(), nullptr, 10);
        if (value > static_cast<long long>(kMaxMetaInterval)) {
            failure = MakeFailure(RadioError::MetadataTooLarge);
            return false;
        }
        m_info.nMetaInt =
            value >= static_cast<long long>(kMinMetaInterval) ? static_cast<size_t>(value) : 0;
    }
    if (const auto bitrate = Header(WINHTTP_QUERY_CUSTOM, L"icy-br")) {
        const long value = std::wcstol(bitrate->c_str(), nullptr, 10);
        m_info.nIcyBitrate = value > 0 && value < 100000 ? static_cast<int>(value) : 0;
    }
    if (const auto name = Header(WINHTTP_QUERY_CUSTOM, L"icy-name")) {
        m_info.strName = Bounded(ToU16(*name));
    }
    if (const auto genre = Header(WINHTTP_QUERY_CUSTOM, L"icy-genre")) {
        m_info.strGenre = Bounded(ToU16(*genre));
    }
    if (const auto home = Header(WINHTTP_QUERY_CUSTOM, L"icy-url")) {
        m_info.strHomePage = Bounded(ToU16(*home));
    }
    return true;
}

ReadResult CHttpSource::Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                             CRadioFailure& failure) {
    got = 0;
    if (m_bEnd) {
        return ReadResult::End;
    }
    if (m_pContext == nullptr || !m_hRequest || m_pAbort->Raised()) {
        failure = MakeFailure(RadioError::ConnectionLost);
        return ReadResult::Failed;
    }
    if (m_nAvailable == 0) {
        if (!m_bQueryPending) {
            if (!::WinHttpQueryDataAvailable(m_hRequest.Get(), nullptr)) {
                failure = FailureFromWinHttp(::GetLastError());
                return ReadResult::Failed;
            }
            m_bQueryPending = true;
        }
        bool timedOut = false;
        if (!Await(static_cast<DWORD>(std::max(waitMs, 0)), failure, timedOut)) {
            // The query stays in flight; the next read waits for it again.
            return timedOut ? ReadResult::Idle : ReadResult::Failed;
        }
        m_bQueryPending = false;
        m_nAvailable = m_pContext->dwBytes;
        if (m_nAvailable == 0) {
            m_bEnd = true;
            return ReadResult::End;
        }
    }
    // The bytes are in WinHTTP's buffer already, so this read completes at
    // once; it goes into the context's buffer, which stays valid even if
    // the wait were abandoned.
    const DWORD want =
        static_cast<DWORD>(std::min<size_t>({m_nAvailable, cap, m_pContext->buffer.size()}));
    if (!::WinHttpReadData(m_hRequest.Get(), m_pContext->buffer.data(), want, nullptr)) {
        failure = FailureFromWinHttp(::GetLastError());
        return ReadResult::Failed;
    }
    if (!AwaitBounded(failure)) {
        return ReadResult::Failed;
    }
    const size_t read = std::min<size_t>(m_pContext->dwBytes, want);
    if (read == 0) {
        m_bEnd = true;
        return ReadResult::End;
    }
    std::memcpy(buffer, m_pContext->buffer.data(), read);
    m_nAvailable -= static_cast<DWORD>(read);
    got = read;
    return ReadResult::Data;
}

}  // namespace

CHttpOpener::CHttpOpener(std::shared_ptr<CAbortSignal> abort)
    : m_pAbort(abort ? std::move(abort) : std::make_shared<CAbortSignal>()) {}

std::unique_ptr<ISource> CHttpOpener::Open(const std::u16string& url, UrlOrigin,
                                           CRadioFailure& failure) {
    const SourceKind kind = ClassifySource(url);
    if (kind != SourceKind::Http && kind != SourceKind::Https) {
        failure = MakeFailure(RadioError::UnsupportedScheme);
        return nullptr;
    }
    auto source = std::make_unique<CHttpSource>(m_pAbort);
    if (!source->Open(url, failure)) {
        return nullptr;
    }
    return source;
}

}  // namespace radio
