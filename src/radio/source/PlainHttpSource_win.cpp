#include "radio/source/PlainHttpSource_win.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "radio/IcyDemuxer.h"

namespace radio {

namespace {

constexpr size_t kRecvBytes = 16 * 1024;

// The request line wants the path as ASCII: anything else goes as UTF-8,
// percent-encoded.
std::string RequestTarget(const std::u16string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    auto encode = [&](uint8_t byte) {
        if (byte > 0x20 && byte < 0x7F) {
            out.push_back(static_cast<char>(byte));
        } else {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        }
    };
    for (size_t i = 0; i < path.size(); ++i) {
        uint32_t c = path[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < path.size() && path[i + 1] >= 0xDC00 &&
            path[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (path[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            encode(static_cast<uint8_t>(c));
        } else if (c < 0x800) {
            encode(static_cast<uint8_t>(0xC0 | (c >> 6)));
            encode(static_cast<uint8_t>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            encode(static_cast<uint8_t>(0xE0 | (c >> 12)));
            encode(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            encode(static_cast<uint8_t>(0x80 | (c & 0x3F)));
        } else {
            encode(static_cast<uint8_t>(0xF0 | (c >> 18)));
            encode(static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F)));
            encode(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            encode(static_cast<uint8_t>(0x80 | (c & 0x3F)));
        }
    }
    return out.empty() ? "/" : out;
}

std::string Ascii(const std::u16string& text) {
    std::string out;
    for (const char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

class CPlainHttpSource : public ISource {
public:
    explicit CPlainHttpSource(std::shared_ptr<CAbortSignal> abort)
        : m_pAbort(std::move(abort)), m_hEvent(::WSACreateEvent()) {
        WSADATA data;
        m_bStarted = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    CPlainHttpSource(const CPlainHttpSource&) = delete;
    CPlainHttpSource& operator=(const CPlainHttpSource&) = delete;
    ~CPlainHttpSource() override {
        m_socket.Close();
        if (m_hEvent != WSA_INVALID_EVENT) {
            ::WSACloseEvent(m_hEvent);
        }
        if (m_bStarted) {
            ::WSACleanup();
        }
    }

    bool Open(const std::u16string& url, const CHttpUrl& parsed, CHttpHop& hop,
              CRadioFailure& failure);
    const CSourceInfo& Info() const override { return m_info; }
    ReadResult Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                    CRadioFailure& failure) override;

private:
    bool Connect(const CHttpUrl& parsed, CRadioFailure& failure);
    bool SendAll(const std::string& text, CRadioFailure& failure);
    // Waits for the socket until the deadline (tick count); false on an
    // abort or when the time is up (timedOut).
    bool WaitSocket(ULONGLONG deadline, bool& timedOut);
    // One recv: > 0 bytes, 0 at the end, -1 when nothing is there yet, -2 on
    // an error.
    int Receive(uint8_t* buffer, size_t cap);

    std::shared_ptr<CAbortSignal> m_pAbort;
    WSAEVENT m_hEvent;
    bool m_bStarted = false;
    CSocketHandle m_socket;
    CSourceInfo m_info;
    std::vector<uint8_t> m_held;  // body bytes that came with the head
    size_t m_nHeldPos = 0;
    uint64_t m_nBodyRead = 0;
    ULONGLONG m_nLastData = 0;
};

bool CPlainHttpSource::WaitSocket(ULONGLONG deadline, bool& timedOut) {
    timedOut = false;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) {
        timedOut = true;
        return false;
    }
    const DWORD wait = m_pAbort->Wait(m_hEvent, static_cast<DWORD>(deadline - now));
    if (wait == WAIT_OBJECT_0 + 1) {
        return false;
    }
    if (wait != WAIT_OBJECT_0) {
        timedOut = true;
        return false;
    }
    return true;
}

int CPlainHttpSource::Receive(uint8_t* buffer, size_t cap) {
    WSANETWORKEVENTS events{};
    ::WSAEnumNetworkEvents(m_socket.Get(), m_hEvent, &events);
    const int got = ::recv(m_socket.Get(), reinterpret_cast<char*>(buffer),
                           static_cast<int>(std::min<size_t>(cap, kRecvBytes)), 0);
    if (got >= 0) {
        return got;
    }
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? -1 : -2;
}

bool CPlainHttpSource::Connect(const CHttpUrl& parsed, CRadioFailure& failure) {
    failure = MakeFailure(RadioError::CannotConnect);
    if (!m_bStarted || m_hEvent == WSA_INVALID_EVENT) {
        return false;
    }
    const std::wstring host(parsed.strHost.begin(), parsed.strHost.end());
    const std::wstring port = std::to_wstring(parsed.nPort);
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* found = nullptr;
    if (::GetAddrInfoW(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    const ULONGLONG deadline = ::GetTickCount64() + CPlainHttpOpener::kNetworkTimeoutMs;
    bool connected = false;
    for (ADDRINFOW* address = found; address != nullptr && !connected; address = address->ai_next) {
        m_socket.Attach(::socket(address->ai_family, address->ai_socktype, address->ai_protocol));
        if (!m_socket || ::WSAEventSelect(m_socket.Get(), m_hEvent,
                                          FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            continue;
        }
        if (::connect(m_socket.Get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) ==
            0) {
            connected = true;
            break;
        }
        if (::WSAGetLastError() != WSAEWOULDBLOCK) {
            continue;
        }
        bool timedOut = false;
        while (!connected) {
            if (!WaitSocket(deadline, timedOut)) {
                break;
            }
            WSANETWORKEVENTS events{};
            ::WSAEnumNetworkEvents(m_socket.Get(), m_hEvent, &events);
            if (events.lNetworkEvents & FD_CONNECT) {
                connected = events.iErrorCode[FD_CONNECT_BIT] == 0;
                break;
            }
        }
        if (timedOut) {
            failure = MakeFailure(RadioError::Timeout);
        }
        if (m_pAbort->Raised() || timedOut) {
            break;
        }
    }
    ::FreeAddrInfoW(found);
    if (!connected) {
        m_socket.Close();
        return false;
    }
    return true;
}

bool CPlainHttpSource::SendAll(const std::string& text, CRadioFailure& failure) {
    const ULONGLONG deadline = ::GetTickCount64() + CPlainHttpOpener::kNetworkTimeoutMs;
    size_t sent = 0;
    while (sent < text.size()) {
        const int put =
            ::send(m_socket.Get(), text.data() + sent, static_cast<int>(text.size() - sent), 0);
        if (put > 0) {
            sent += static_cast<size_t>(put);
            continue;
        }
        bool timedOut = false;
        if (put < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK && WaitSocket(deadline, timedOut)) {
            WSANETWORKEVENTS events{};
            ::WSAEnumNetworkEvents(m_socket.Get(), m_hEvent, &events);
            continue;
        }
        failure = MakeFailure(timedOut ? RadioError::Timeout : RadioError::CannotConnect);
        return false;
    }
    return true;
}

bool CPlainHttpSource::Open(const std::u16string& url, const CHttpUrl& parsed, CHttpHop& hop,
                            CRadioFailure& failure) {
    m_info.bNetwork = true;
    if (parsed.bSecure) {
        failure = MakeFailure(RadioError::UnsupportedScheme);
        return false;
    }
    if (!Connect(parsed, failure)) {
        return false;
    }
    std::string host = Ascii(parsed.strHost);
    if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    if (parsed.nPort != 80) {
        host += ":" + std::to_string(parsed.nPort);
    }
    const std::string request = "GET " + RequestTarget(parsed.strPath) +
                                " HTTP/1.0\r\n"
                                "Host: " +
                                host + "\r\nUser-Agent: " + kUserAgent +
                                "\r\nAccept: */*\r\nIcy-MetaData: 1\r\nConnection: close\r\n\r\n";
    if (!SendAll(request, failure)) {
        return false;
    }
    CHttpHeadParser parser;
    std::vector<uint8_t> chunk(kRecvBytes);
    const ULONGLONG deadline = ::GetTickCount64() + CPlainHttpOpener::kNetworkTimeoutMs;
    HeadParse state = HeadParse::NeedMore;
    while (state == HeadParse::NeedMore) {
        const int got = Receive(chunk.data(), chunk.size());
        if (got == -1) {
            bool timedOut = false;
            if (!WaitSocket(deadline, timedOut)) {
                failure = MakeFailure(timedOut ? RadioError::Timeout : RadioError::CannotConnect);
                return false;
            }
            continue;
        }
        if (got <= 0) {
            // Closed (or broken) before the head was whole.
            failure = MakeFailure(RadioError::CannotConnect);
            return false;
        }
        size_t consumed = 0;
        state = parser.Feed({chunk.data(), static_cast<size_t>(got)}, consumed);
        if (state == HeadParse::Done) {
            m_held.assign(chunk.begin() + static_cast<ptrdiff_t>(consumed), chunk.begin() + got);
        }
    }
    if (state == HeadParse::Failed) {
        failure = parser.Failure();
        return false;
    }
    const CHttpResponseHead& head = parser.Head();
    hop.nStatus = head.nStatus;
    if (IsRedirectStatus(head.nStatus)) {
        if (const std::string* location = head.Find("location")) {
            hop.strLocation.assign(location->begin(), location->end());
        }
        return true;
    }
    if (head.nStatus < 200 || head.nStatus > 299) {
        failure = MakeHttpFailure(head.nStatus);
        return false;
    }
    if (const std::string* coding = head.Find("transfer-encoding")) {
        // An HTTP/1.0 request is never owed a chunked body.
        if (*coding != "identity") {
            failure = MakeFailure(RadioError::UnsupportedFormat);
            return false;
        }
    }
    m_info.strFinalUrl = url;
    if (!ApplyStreamHeaders(
            [&head](std::string_view name) -> std::optional<std::u16string> {
                const std::string* value = head.Find(name);
                if (value == nullptr) {
                    return std::nullopt;
                }
                return DecodeMetaText(*value);
            },
            m_info, failure)) {
        return false;
    }
    m_nLastData = ::GetTickCount64();
    return true;
}

ReadResult CPlainHttpSource::Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                                  CRadioFailure& failure) {
    got = 0;
    if (m_pAbort->Raised() || !m_socket) {
        failure = MakeFailure(RadioError::ConnectionLost);
        return ReadResult::Failed;
    }
    if (m_info.nLength >= 0) {
        const uint64_t left =
            static_cast<uint64_t>(m_info.nLength) - std::min<uint64_t>(m_nBodyRead, m_info.nLength);
        if (left == 0) {
            return ReadResult::End;
        }
        cap = static_cast<size_t>(std::min<uint64_t>(cap, left));
    }
    if (m_nHeldPos < m_held.size()) {
        got = std::min(cap, m_held.size() - m_nHeldPos);
        std::memcpy(buffer, m_held.data() + m_nHeldPos, got);
        m_nHeldPos += got;
        m_nBodyRead += got;
        return ReadResult::Data;
    }
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(std::max(waitMs, 0));
    while (true) {
        const int received = Receive(buffer, cap);
        if (received > 0) {
            got = static_cast<size_t>(received);
            m_nBodyRead += got;
            m_nLastData = ::GetTickCount64();
            return ReadResult::Data;
        }
        if (received == 0) {
            return ReadResult::End;
        }
        if (received == -2) {
            failure = MakeFailure(RadioError::ConnectionLost);
            return ReadResult::Failed;
        }
        // Silent as long as the WinHTTP source allows, then failed, as it
        // is; shorter silences are the session's to judge.
        if (::GetTickCount64() - m_nLastData >= static_cast<ULONGLONG>(kSourceSilenceMs)) {
            failure = MakeFailure(RadioError::Timeout);
            return ReadResult::Failed;
        }
        bool timedOut = false;
        if (!WaitSocket(deadline, timedOut)) {
            if (timedOut) {
                return ReadResult::Idle;
            }
            failure = MakeFailure(RadioError::ConnectionLost);
            return ReadResult::Failed;
        }
    }
}

}  // namespace

bool OpenPlainHttp(const std::u16string& url, const CHttpUrl& parsed,
                   const std::shared_ptr<CAbortSignal>& abort, CHttpHop& hop,
                   CRadioFailure& failure) {
    auto source = std::make_unique<CPlainHttpSource>(abort);
    if (!source->Open(url, parsed, hop, failure)) {
        return false;
    }
    if (!IsRedirectStatus(hop.nStatus)) {
        hop.pSource = std::move(source);
    }
    return true;
}

CPlainHttpOpener::CPlainHttpOpener(std::shared_ptr<CAbortSignal> abort)
    : m_pAbort(abort ? std::move(abort) : std::make_shared<CAbortSignal>()) {}

std::unique_ptr<ISource> CPlainHttpOpener::Open(const std::u16string& url, UrlOrigin,
                                                CRadioFailure& failure) {
    if (ClassifySource(url) != SourceKind::Http) {
        failure = MakeFailure(RadioError::UnsupportedScheme);
        return nullptr;
    }
    return FollowRedirects(
        url,
        [this](const std::u16string& address, const CHttpUrl& parsed, CHttpHop& hop,
               CRadioFailure& hopFailure) {
            return OpenPlainHttp(address, parsed, m_pAbort, hop, hopFailure);
        },
        failure);
}

}  // namespace radio
