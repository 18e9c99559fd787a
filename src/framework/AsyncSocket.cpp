#include "framework/AsyncSocket.h"

#include "framework/Handles.h"
#include "framework/LinkTrace.h"
#include "framework/WinApp.h"

#include <ws2tcpip.h>

#include <utility>
#include <vector>

namespace {

// Message numbers kFirstNotifyMessage + slot are private to our own window
// class, so the whole WM_USER range above it is free.
constexpr UINT kFirstNotifyMessage = WM_USER + 0x100;
constexpr UINT kLastNotifyMessage = 0x7FFF;
constexpr size_t kMaxSlots = kLastNotifyMessage - kFirstNotifyMessage + 1;
constexpr wchar_t kNotifyClassName[] = L"AfxSocketNotifyWnd";

struct CSocketSlot {
    SOCKET hSocket = INVALID_SOCKET;
    CAsyncSocket* pSocket = nullptr;
    unsigned nSerial = 0;  // tells a re-registered slot from the one we saw
    // Winsock reports a close again each time the events are selected anew
    // (as the read passes do); a socket is told of its close once.
    bool bCloseDelivered = false;
};

bool SameRegistration(const CSocketSlot& a, const CSocketSlot& b) {
    return a.pSocket == b.pSocket && a.hSocket == b.hSocket && a.nSerial == b.nSerial;
}

// FIONREAD, with its cost counted when the link trace is on.
bool PendingBytes(SOCKET hSocket, u_long& pending) {
    if (!LinkTrace::IsOn()) {
        return ::ioctlsocket(hSocket, FIONREAD, &pending) == 0;
    }
    const int64_t start = LinkTrace::Now();
    const bool ok = ::ioctlsocket(hSocket, FIONREAD, &pending) == 0;
    LinkTrace::Add(LinkTrace::Counter::PendingQueries);
    LinkTrace::Add(LinkTrace::Counter::PendingQueryNs, LinkTrace::Now() - start);
    return ok;
}

// More than any one pass of a reader of frames takes (a header, or a chunk of
// at most 4096 payload bytes): with this much waiting, several passes will
// find their bytes.
constexpr u_long kLargestPiece = 8 + 4096;

bool ParseAddress(LPCWSTR address, IN_ADDR& result) {
    if (address == nullptr) {
        result.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return ::InetPtonW(AF_INET, address, &result) == 1;
}

}  // namespace

// The calling thread's notification window and its table of registered
// sockets, indexed by message number.
class CSocketNotifier {
public:
    static CSocketNotifier& ForThread() {
        thread_local CSocketNotifier notifier;
        return notifier;
    }

    // Registers pSocket under a free message number; -1 if none is left or
    // the window cannot be made.
    int Register(CAsyncSocket* pSocket) {
        if (!EnsureWindow()) {
            return -1;
        }
        size_t slot = 0;
        if (!m_freeSlots.empty()) {
            slot = m_freeSlots.back();
            m_freeSlots.pop_back();
        } else if (m_slots.size() < kMaxSlots) {
            slot = m_slots.size();
            m_slots.emplace_back();
        } else {
            return -1;
        }
        CSocketSlot& entry = m_slots[slot];
        entry.hSocket = pSocket->m_hSocket;
        entry.pSocket = pSocket;
        entry.bCloseDelivered = false;
        ++entry.nSerial;
        return static_cast<int>(slot);
    }

    // Forgets the slot's socket so that nothing more is delivered for it.
    void Unregister(int slot) {
        if (IsSlot(slot)) {
            m_slots[static_cast<size_t>(slot)].pSocket = nullptr;
            m_slots[static_cast<size_t>(slot)].hSocket = INVALID_SOCKET;
        }
    }

    // After the socket is closed Winsock posts nothing more for it, so once
    // its queued notifications are gone the number can be handed out again.
    void Release(int slot) {
        if (!IsSlot(slot)) {
            return;
        }
        if (m_hWnd) {
            DropQueued(MessageFor(slot));
        }
        try {
            m_freeSlots.push_back(static_cast<size_t>(slot));
        } catch (...) {
            // The number is lost for reuse, nothing worse.
        }
    }

    // Remembers pSocket for one OnDeferredSend when the passes in a row now
    // running end; false if none are.
    bool Defer(CAsyncSocket* pSocket) {
        if (m_nReadDepth == 0 || !IsSlot(pSocket->m_nSlot) || ::InSendMessage()) {
            return false;
        }
        const size_t slot = static_cast<size_t>(pSocket->m_nSlot);
        try {
            m_deferred.emplace_back(slot, m_slots[slot]);
        } catch (...) {
            return false;
        }
        return true;
    }

    HWND Window() const { return m_hWnd.Get(); }
    static UINT MessageFor(int slot) { return kFirstNotifyMessage + static_cast<UINT>(slot); }

    void DestroyWindow() { m_hWnd.Close(); }

private:
    bool IsSlot(int slot) const { return slot >= 0 && static_cast<size_t>(slot) < m_slots.size(); }

    bool EnsureWindow() {
        if (m_hWnd) {
            return true;
        }
        const HINSTANCE hInstance = ::GetModuleHandleW(nullptr);
        WNDCLASSW wc{};
        if (!::GetClassInfoW(hInstance, kNotifyClassName, &wc)) {
            wc.lpfnWndProc = &CSocketNotifier::WindowProc;
            wc.hInstance = hInstance;
            wc.lpszClassName = kNotifyClassName;
            if (::RegisterClassW(&wc) == 0) {
                return false;
            }
        }
        m_hWnd.Attach(::CreateWindowExW(0, kNotifyClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, hInstance, nullptr));
        return static_cast<bool>(m_hWnd);
    }

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message < kFirstNotifyMessage || message > kLastNotifyMessage) {
            return ::DefWindowProcW(hWnd, message, wParam, lParam);
        }
        try {
            ForThread().Dispatch(message, static_cast<SOCKET>(wParam), lParam);
        } catch (...) {
        }
        return 0;
    }

    bool IsCurrent(size_t slot, const CSocketSlot& seen) const {
        return slot < m_slots.size() && SameRegistration(m_slots[slot], seen);
    }

    // Every handler may close or delete its object, so after each call the
    // object is reached again only through a registration that is unchanged.
    void Dispatch(UINT message, SOCKET hSocket, LPARAM lParam) {
        const size_t slot = message - kFirstNotifyMessage;
        if (slot >= m_slots.size()) {
            return;
        }
        const CSocketSlot seen = m_slots[slot];
        if (seen.pSocket == nullptr || seen.hSocket != hSocket) {
            return;  // closed, or meant for an earlier socket with this value
        }
        const int error = WSAGETSELECTERROR(lParam);
        const long event = WSAGETSELECTEVENT(lParam);
        if (LinkTrace::IsOn() && event != FD_READ) {
            LinkTrace::Add(event == FD_WRITE ? LinkTrace::Counter::WriteNotifications
                                             : LinkTrace::Counter::OtherNotifications);
        }
        switch (event) {
            case FD_READ:
                DispatchRead(slot, seen, error);
                break;
            case FD_WRITE:
                seen.pSocket->OnSend(error);
                break;
            case FD_OOB:
                seen.pSocket->OnOutOfBandData(error);
                break;
            case FD_ACCEPT:
                seen.pSocket->OnAccept(error);
                break;
            case FD_CONNECT:
                seen.pSocket->OnConnect(error);
                break;
            case FD_CLOSE:
                DispatchClose(message, slot, seen, error, lParam);
                break;
            default:
                break;
        }
    }

    // Holds the read depth up while a read notification runs passes in a
    // row; the outermost one hands out the sends deferred meanwhile as it
    // ends.
    class CReadScope {
    public:
        explicit CReadScope(CSocketNotifier& notifier) : m_notifier(notifier) {
            ++m_notifier.m_nReadDepth;
        }
        ~CReadScope() {
            if (--m_notifier.m_nReadDepth == 0) {
                m_notifier.FlushDeferred();
            }
        }
        CReadScope(const CReadScope&) = delete;
        CReadScope& operator=(const CReadScope&) = delete;

    private:
        CSocketNotifier& m_notifier;
    };

    // The passes of one read notification. Each OnReceive takes what it
    // takes (a header or one chunk of a payload). Most notifications need
    // one: Winsock posts FD_READ again after every read that leaves bytes
    // behind, and for a frame or two that re-post is the cheapest way to the
    // next piece. When more is waiting than one pass can take, the passes
    // follow each other here instead, without a round trip through the
    // message queue each, for as long as every read gets all it asked for.
    //
    // Read notifications are turned off for a socket that streams like this:
    // each read would post another, each of those would run passes of its
    // own and post as many again, and the queue would grow until it starved
    // every other connection. While they are off, a socket that reached
    // kMaxReadPasses posts itself one notification, behind whatever else is
    // queued, and so gives way; one whose bytes ran out turns them on again,
    // which has Winsock post one at once if bytes came in meanwhile.
    void DispatchRead(size_t slot, const CSocketSlot& seen, int error) {
        if (LinkTrace::IsOn()) {
            LinkTrace::OnNotification();
            LinkTrace::Add(LinkTrace::Counter::Passes);
        }
        CAsyncSocket* pSocket = seen.pSocket;
        uint64_t before = pSocket->m_nBytesRead;
        pSocket->OnReceive(error);
        if (!IsCurrent(slot, seen)) {
            return;
        }
        u_long pending = 0;
        if (error != 0 || pSocket->m_nBytesRead == before || !pSocket->m_bLastReadFull ||
            !PendingBytes(seen.hSocket, pending) || pending <= kLargestPiece ||
            !SetReadsOff(slot, *pSocket, true)) {
            SetReadsOff(slot, *pSocket, false);
            return;
        }
        // Only passes in a row hold their sends back: a lone pass's command
        // sends at once, as it always did.
        CReadScope scope(*this);
        bool bDrained = false;
        for (int pass = 1; pass < CAsyncSocket::kMaxReadPasses && !bDrained; ++pass) {
            if (LinkTrace::IsOn()) {
                LinkTrace::Add(LinkTrace::Counter::Passes);
            }
            before = pSocket->m_nBytesRead;
            pSocket->OnReceive(0);
            if (!IsCurrent(slot, seen)) {
                return;  // closed
            }
            // A reader that took nothing waits for more bytes (or is busy
            // further out, in a handler of its own); a short read emptied
            // the socket.
            bDrained = pSocket->m_nBytesRead == before || !pSocket->m_bLastReadFull;
        }
        if (bDrained ||
            !::PostMessageW(m_hWnd.Get(), MessageFor(static_cast<int>(slot)),
                            static_cast<WPARAM>(seen.hSocket), WSAMAKESELECTREPLY(FD_READ, 0))) {
            SetReadsOff(slot, *pSocket, false);
        }
    }

    // Turns the socket's read notifications off or on again; false if that
    // failed. Turning them on when they are on does nothing.
    bool SetReadsOff(size_t slot, CAsyncSocket& socket, bool bOff) {
        if (socket.m_bReadsOff == bOff) {
            return true;
        }
        const long events = bOff ? socket.m_lEvents & ~FD_READ : socket.m_lEvents;
        if (::WSAAsyncSelect(socket.m_hSocket, m_hWnd.Get(), MessageFor(static_cast<int>(slot)),
                             events) != 0) {
            return false;
        }
        socket.m_bReadsOff = bOff;
        return true;
    }

    // Posted messages only: dispatching sent ones here would run other code
    // in the middle of a Close.
    void DropQueued(UINT message) {
        MSG msg;
        while (::PeekMessageW(&msg, m_hWnd.Get(), message, message,
                              PM_REMOVE | PM_NOYIELD | PM_QS_POSTMESSAGE)) {
        }
    }

    void FlushDeferred() noexcept {
        if (LinkTrace::IsOn() && !m_deferred.empty()) {
            LinkTrace::Add(LinkTrace::Counter::DeferredFlushes);
        }
        // The read depth is 0 again, so what a flush sends goes at once; a
        // flush may close its socket, and a socket closed since it deferred
        // is not current any more.
        for (size_t i = 0; i < m_deferred.size(); ++i) {
            const auto [slot, seen] = m_deferred[i];
            if (IsCurrent(slot, seen)) {
                seen.pSocket->m_bSendDeferred = false;
                try {
                    seen.pSocket->OnDeferredSend();
                } catch (...) {
                }
            }
        }
        m_deferred.clear();
    }

    // Windows may post FD_CLOSE while bytes are still unread, ahead of the
    // FD_READs it re-posts after partial reads, and a socket that reads only
    // in OnReceive would then lose the peer's last bytes. While bytes remain
    // and the reader keeps taking them, hand them to OnReceive and come back
    // to the close afterwards; a reader that takes nothing gets its OnClose at
    // once, so this cannot spin.
    void DispatchClose(UINT message, size_t slot, const CSocketSlot& seen, int error,
                       LPARAM lParam) {
        if (m_slots[slot].bCloseDelivered) {
            return;
        }
        u_long pending = 0;
        if (error == 0 && PendingBytes(seen.hSocket, pending) && pending > 0) {
            seen.pSocket->OnReceive(0);
            if (!IsCurrent(slot, seen)) {
                return;
            }
            u_long left = 0;
            if (PendingBytes(seen.hSocket, left) && left > 0 && left < pending &&
                ::PostMessageW(m_hWnd.Get(), message, static_cast<WPARAM>(seen.hSocket), lParam)) {
                return;
            }
        }
        m_slots[slot].bCloseDelivered = true;
        seen.pSocket->OnClose(error);
    }

    CWindowHandle m_hWnd;
    std::vector<CSocketSlot> m_slots;
    std::vector<size_t> m_freeSlots;
    int m_nReadDepth = 0;  // runs of passes in a row now going on, nested ones included
    std::vector<std::pair<size_t, CSocketSlot>> m_deferred;
};

void AfxSocketTerm() {
    CSocketNotifier::ForThread().DestroyWindow();
}

CAsyncSocket::~CAsyncSocket() {
    CAsyncSocket::Close();
}

BOOL CAsyncSocket::Create(UINT port, int type, long events, LPCWSTR address) {
    SOCKADDR_IN local{};
    local.sin_family = AF_INET;
    if (m_hSocket != INVALID_SOCKET || port > 0xFFFF || !ParseAddress(address, local.sin_addr)) {
        ::WSASetLastError(WSAEINVAL);
        return FALSE;
    }
    local.sin_port = htons(static_cast<u_short>(port));

    CSocketHandle socket(::socket(AF_INET, type, 0));
    if (!socket) {
        return FALSE;
    }
    m_hSocket = socket.Detach();
    if ((events == 0 || AsyncSelect(events)) &&
        ::bind(m_hSocket, reinterpret_cast<const SOCKADDR*>(&local), sizeof(local)) == 0) {
        return TRUE;
    }
    const int error = ::WSAGetLastError();
    Close();
    ::WSASetLastError(error);
    return FALSE;
}

BOOL CAsyncSocket::Listen(int backlog) {
    return ::listen(m_hSocket, backlog) == 0;
}

BOOL CAsyncSocket::Accept(CAsyncSocket& connected, SOCKADDR* addr, int* addrLen) {
    if (connected.m_hSocket != INVALID_SOCKET) {
        ::WSASetLastError(WSAEINVAL);
        return FALSE;
    }
    CSocketHandle accepted(::accept(m_hSocket, addr, addrLen));
    if (!accepted) {
        return FALSE;
    }
    // The new socket inherits our registration and message number until it
    // gets its own; what arrives for it under ours is dropped as foreign, and
    // Winsock re-reports what is still pending when it is registered again.
    connected.m_hSocket = accepted.Detach();
    if (connected.AsyncSelect(kAllSocketEvents)) {
        return TRUE;
    }
    const int error = ::WSAGetLastError();
    connected.Close();
    ::WSASetLastError(error);
    return FALSE;
}

int CAsyncSocket::Receive(void* buf, int len, int flags) {
    const int64_t start = LinkTrace::IsOn() ? LinkTrace::Now() : 0;
    const int count = ::recv(m_hSocket, static_cast<char*>(buf), len, flags);
    if ((flags & MSG_PEEK) == 0) {
        m_bLastReadFull = count == len && count > 0;
        if (count > 0) {
            m_nBytesRead += static_cast<uint64_t>(count);
        }
    }
    if (LinkTrace::IsOn()) {
        LinkTrace::Add(LinkTrace::Counter::Receives);
        LinkTrace::Add(LinkTrace::Counter::ReceiveNs, LinkTrace::Now() - start);
    }
    return count;
}

int CAsyncSocket::Send(const void* buf, int len, int flags) {
    const int64_t start = LinkTrace::IsOn() ? LinkTrace::Now() : 0;
    const int count = ::send(m_hSocket, static_cast<const char*>(buf), len, flags);
    if (LinkTrace::IsOn()) {
        LinkTrace::Add(LinkTrace::Counter::Sends);
        LinkTrace::Add(LinkTrace::Counter::SendNs, LinkTrace::Now() - start);
        if (count > 0) {
            LinkTrace::OnSent();
        }
    }
    return count;
}

bool CAsyncSocket::DeferSend() {
    if (m_bSendDeferred) {
        return true;
    }
    if (m_hSocket == INVALID_SOCKET || !CSocketNotifier::ForThread().Defer(this)) {
        return false;
    }
    m_bSendDeferred = true;
    return true;
}

void CAsyncSocket::Close() {
    if (m_hSocket == INVALID_SOCKET) {
        return;
    }
    const SOCKET hSocket = std::exchange(m_hSocket, INVALID_SOCKET);
    const int slot = std::exchange(m_nSlot, -1);
    m_bSendDeferred = false;
    m_bReadsOff = false;
    CSocketNotifier& notifier = CSocketNotifier::ForThread();
    notifier.Unregister(slot);
    ::closesocket(hSocket);
    notifier.Release(slot);
}

BOOL CAsyncSocket::AsyncSelect(long events) {
    if (m_hSocket == INVALID_SOCKET) {
        ::WSASetLastError(WSAENOTSOCK);
        return FALSE;
    }
    CSocketNotifier& notifier = CSocketNotifier::ForThread();
    if (m_nSlot < 0) {
        m_nSlot = notifier.Register(this);
        if (m_nSlot < 0) {
            ::WSASetLastError(WSAENOBUFS);
            return FALSE;
        }
    }
    if (::WSAAsyncSelect(m_hSocket, notifier.Window(), CSocketNotifier::MessageFor(m_nSlot),
                         events) != 0) {
        return FALSE;
    }
    m_lEvents = events;
    m_bReadsOff = false;
    return TRUE;
}

BOOL CAsyncSocket::GetSockName(SOCKADDR* addr, int* addrLen) const {
    return ::getsockname(m_hSocket, addr, addrLen) == 0;
}

int CAsyncSocket::GetLastError() {
    return ::WSAGetLastError();
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}
void CAsyncSocket::OnDeferredSend() {}
