#include "radio/source/HttpSource_win.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <vector>

#include "framework/WideText.h"
#include "radio/RadioUrl.h"
#include "radio/source/HttpResponse.h"
#include "radio/source/PlainHttpSource_win.h"

namespace radio {

namespace {

constexpr size_t kReadBytes = 16 * 1024;
// WinHTTP's own timeouts end each operation; this only guards against a
// completion that never comes.
constexpr DWORD kOperationBoundMs = 4 * CHttpOpener::kNetworkTimeoutMs;
// Requests whose handle WinHTTP has not yet let go of; its callbacks may
// still run until then.
std::atomic<long> g_nLiveRequests{0};

#ifndef WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE
#define WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE 91
#endif
#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

struct CInternetTraits {
    using pointer = HINTERNET;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::WinHttpCloseHandle(h); }
};
using CInternetHandle = CUniqueHandle<CInternetTraits>;

// WinHTTP hands headers back as wide text, one character for each byte
// that came in (the bytes are ANSI or Latin-1 to it), so characters are
// the wire's bytes: the one unit every header bound here is counted in.
bool WithinHeaderBound(DWORD wideBytes) {
    return wideBytes / sizeof(wchar_t) <= kMaxHeaderBytes;
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
    std::atomic<long> nRefs{1};
    // Written by the callback before hDone is set, read after the wait.
    DWORD dwError = 0;
    DWORD dwBytes = 0;
    // When the request went out (tick count), 0 before.
    std::atomic<ULONGLONG> nSentAt{0};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kReadBytes);

    CRequestContext() { g_nLiveRequests.fetch_add(1); }
    ~CRequestContext() { g_nLiveRequests.fetch_sub(1); }
    CRequestContext(const CRequestContext&) = delete;
    CRequestContext& operator=(const CRequestContext&) = delete;

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
        case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
            request->nSentAt.store(::GetTickCount64());
            break;
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
    ~CHttpSource() override { CloseRequest(); }

    // One request, no redirect followed. refused: WinHTTP did not take the
    // answer for HTTP (an "ICY 200 OK" server on some systems).
    bool OpenHop(const std::u16string& url, const CHttpUrl& parsed, int& status,
                 std::u16string& location, bool& refused, CRadioFailure& failure);
    const CSourceInfo& Info() const override { return m_info; }
    ReadResult Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                    CRadioFailure& failure) override;

private:
    bool OpenSession(CRadioFailure& failure);
    bool Start(const CHttpUrl& url, bool& refused, CRadioFailure& failure);
    // Waits for the operation in flight; false with the failure set.
    bool Await(DWORD waitMs, CRadioFailure& failure, bool& timedOut);
    bool AwaitBounded(CRadioFailure& failure);
    bool AwaitSent(CRadioFailure& failure);
    void CloseRequest();
    std::optional<std::wstring> Header(DWORD query,
                                       const wchar_t* name = WINHTTP_HEADER_NAME_BY_INDEX);

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

void CHttpSource::CloseRequest() {
    // A read in flight may keep WinHTTP's hold on the request until its own
    // timeout; the context is freed by whichever side lets go last.
    m_hRequest.Close();
    m_hConnect.Close();
    if (m_pContext != nullptr) {
        m_pContext->Release();
        m_pContext = nullptr;
    }
    m_bQueryPending = false;
    m_nAvailable = 0;
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

bool CHttpSource::AwaitSent(CRadioFailure& failure) {
    // Wine reads the answer's head before it completes the send, and a
    // head that never ends trips none of WinHTTP's timeouts: from the
    // moment the request is out, the head gets the answer's bound. The
    // connect before it has WinHTTP's own timeout.
    const ULONGLONG began = ::GetTickCount64();
    while (true) {
        const ULONGLONG sentAt = m_pContext->nSentAt.load();
        const ULONGLONG deadline =
            sentAt != 0 ? sentAt + CHttpOpener::kNetworkTimeoutMs : began + kOperationBoundMs;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) {
            failure = MakeFailure(RadioError::Timeout);
            return false;
        }
        bool timedOut = false;
        if (Await(static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 100)), failure,
                  timedOut)) {
            return true;
        }
        if (!timedOut) {
            return false;
        }
    }
}

std::optional<std::wstring> CHttpSource::Header(DWORD query, const wchar_t* name) {
    DWORD bytes = 0;
    ::WinHttpQueryHeaders(m_hRequest.Get(), query, name, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                          WINHTTP_NO_HEADER_INDEX);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0 || !WithinHeaderBound(bytes)) {
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

bool CHttpSource::Start(const CHttpUrl& url, bool& refused, CRadioFailure& failure) {
    refused = false;
    CloseRequest();
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
    if (m_pContext == nullptr || !m_pContext->hDone) {
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
    // WinHTTP stops buffering an answer's head at the same bound, rather
    // than take all of it in before it is measured.
    DWORD maxHeader = static_cast<DWORD>(kMaxHeaderBytes);
    ::WinHttpSetOption(m_hRequest.Get(), WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &maxHeader,
                       sizeof maxHeader);
    if (m_pAbort->Raised()) {
        failure = MakeFailure(RadioError::ConnectionLost);
        return false;
    }
    if (!::WinHttpSendRequest(m_hRequest.Get(), L"Icy-MetaData: 1\r\n", static_cast<DWORD>(-1),
                              WINHTTP_NO_REQUEST_DATA, 0, 0, context)) {
        failure = FailureFromWinHttp(::GetLastError());
        return false;
    }
    if (!AwaitSent(failure)) {
        return false;
    }
    if (!::WinHttpReceiveResponse(m_hRequest.Get(), nullptr)) {
        failure = FailureFromWinHttp(::GetLastError());
        return false;
    }
    // WinHTTP's receive timeout is the stream's silence limit (see
    // OpenSession), and a head that never ends does not trip it: the head
    // gets the answer's bound here.
    bool timedOut = false;
    if (!Await(CHttpOpener::kNetworkTimeoutMs, failure, timedOut)) {
        refused = m_pContext->dwError == ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        return false;
    }
    return true;
}

bool CHttpSource::OpenSession(CRadioFailure& failure) {
    failure = MakeFailure(RadioError::CannotConnect);
    const std::string agent = kUserAgent;
    const std::wstring wideAgent(agent.begin(), agent.end());
    m_hSession.Attach(::WinHttpOpen(wideAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                    WINHTTP_FLAG_ASYNC));
    if (!m_hSession) {
        return false;
    }
    if (::WinHttpSetStatusCallback(m_hSession.Get(), OnRequestStatus,
                                   WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                       WINHTTP_CALLBACK_FLAG_HANDLES |
                                       WINHTTP_CALLBACK_FLAG_SEND_REQUEST,
                                   0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        return false;
    }
    // A stream that has answered may pause for longer than its head may
    // take: the session's stall rule, not WinHTTP, decides when a silent
    // stream has dropped. (Raising the receive timeout on the request once
    // the head is in would be tighter, but Wine applies a request's
    // timeouts only when it connects.) Start bounds the head's wait itself.
    ::WinHttpSetTimeouts(m_hSession.Get(), CHttpOpener::kNetworkTimeoutMs,
                         CHttpOpener::kNetworkTimeoutMs, CHttpOpener::kNetworkTimeoutMs,
                         kSourceSilenceMs);
    // Windows 7 offers only SSL 3 and TLS 1.0 unless told otherwise, and
    // modern servers want TLS 1.2. A system that does not know TLS 1.3
    // refuses the whole set, so it is asked for without it then.
    const DWORD tls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                        WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    DWORD protocols = tls12 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!::WinHttpSetOption(m_hSession.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                            sizeof protocols)) {
        protocols = tls12;
        ::WinHttpSetOption(m_hSession.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                           sizeof protocols);
    }
    failure = {};
    return true;
}

bool CHttpSource::OpenHop(const std::u16string& url, const CHttpUrl& parsed, int& status,
                          std::u16string& location, bool& refused, CRadioFailure& failure) {
    m_info.bNetwork = true;
    refused = false;
    if (!OpenSession(failure) || !Start(parsed, refused, failure)) {
        return false;
    }
    DWORD rawBytes = 0;
    ::WinHttpQueryHeaders(m_hRequest.Get(), WINHTTP_QUERY_RAW_HEADERS_CRLF,
                          WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &rawBytes,
                          WINHTTP_NO_HEADER_INDEX);
    if (!WithinHeaderBound(rawBytes)) {
        failure = MakeFailure(RadioError::MetadataTooLarge);
        return false;
    }
    DWORD code = 0;
    DWORD codeBytes = sizeof code;
    if (!::WinHttpQueryHeaders(
            m_hRequest.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &code, &codeBytes, WINHTTP_NO_HEADER_INDEX)) {
        failure = MakeFailure(RadioError::UnsupportedFormat);
        return false;
    }
    status = static_cast<int>(code);
    if (IsRedirectStatus(status)) {
        if (const auto found = Header(WINHTTP_QUERY_LOCATION)) {
            location = ToU16(*found);
        }
        return true;
    }
    if (status < 200 || status > 299) {
        failure = MakeHttpFailure(status);
        return false;
    }
    m_info.strFinalUrl = url;
    return ApplyStreamHeaders(
        [this](std::string_view name) -> std::optional<std::u16string> {
            std::optional<std::wstring> value;
            if (name == "content-type") {
                value = Header(WINHTTP_QUERY_CONTENT_TYPE);
            } else if (name == "content-length") {
                value = Header(WINHTTP_QUERY_CONTENT_LENGTH);
            } else {
                const std::wstring wide(name.begin(), name.end());
                value = Header(WINHTTP_QUERY_CUSTOM, wide.c_str());
            }
            if (!value) {
                return std::nullopt;
            }
            return ToU16(*value);
        },
        m_info, failure);
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

bool WaitForHttpCallbacks(DWORD waitMs) {
    const ULONGLONG deadline = ::GetTickCount64() + waitMs;
    while (g_nLiveRequests.load() > 0) {
        if (::GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(20);
    }
    return true;
}

void WarmUpHttp() {
    const std::string agent = kUserAgent;
    const std::wstring wideAgent(agent.begin(), agent.end());
    CInternetHandle session(::WinHttpOpen(wideAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                          WINHTTP_FLAG_ASYNC));
}

CHttpOpener::CHttpOpener(std::shared_ptr<CAbortSignal> abort)
    : m_pAbort(abort ? std::move(abort) : std::make_shared<CAbortSignal>()) {}

std::unique_ptr<ISource> CHttpOpener::Open(const std::u16string& url, UrlOrigin,
                                           CRadioFailure& failure) {
    const SourceKind kind = ClassifySource(url);
    if (kind != SourceKind::Http && kind != SourceKind::Https) {
        failure = MakeFailure(RadioError::UnsupportedScheme);
        return nullptr;
    }
    return FollowRedirects(
        url,
        [this](const std::u16string& address, const CHttpUrl& parsed, CHttpHop& hop,
               CRadioFailure& hopFailure) {
            auto source = std::make_unique<CHttpSource>(m_pAbort);
            bool refused = false;
            if (source->OpenHop(address, parsed, hop.nStatus, hop.strLocation, refused,
                                hopFailure)) {
                if (!IsRedirectStatus(hop.nStatus)) {
                    hop.pSource = std::move(source);
                }
                return true;
            }
            // An answer WinHTTP refuses ("ICY 200 OK" on some systems) is
            // asked for once more, over a plain socket, which reads it.
            if (!refused || parsed.bSecure || m_pAbort->Raised()) {
                return false;
            }
            source.reset();
            return OpenPlainHttp(address, parsed, m_pAbort, hop, hopFailure);
        },
        failure);
}

}  // namespace radio
