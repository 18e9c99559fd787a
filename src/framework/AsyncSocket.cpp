#include "framework/AsyncSocket.h"

#include "framework/Handles.h"
#include "framework/LinkTrace.h"
#include "framework/WinApp.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Message numbers kFirstNotifyMessage + slot are private to our own window
// class, so the whole WM_USER range above it is free.
constexpr UINT kFirstNotifyMessage = WM_USER + 0x100;
// Flushes the sends deferred by read passes, if they are still held: posted
// at the first deferral, it is handled at once by any message loop that a
// handler runs, and finds nothing to do when the passes ended normally.
constexpr UINT kFlushDeferredMessage = WM_USER + 0xFF;
// Sends what listening sockets hold back once the link goes quiet.
constexpr UINT_PTR kHoldTimerId = 1;
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

    // Decides whether pSocket's next frame (of nBytes) waits; see
    // CAsyncSocket::DeferSend.
    //
    // A frame that is not held takes the socket's held frames along, now or
    // with its deferred send: the socket's hold ends there. Frames deferred
    // to the end of the passes wait only while more input waits behind the
    // running pass: the command of the last frame there sends at once and
    // takes the deferred ones along, so that a batch costs one send and a
    // lone command no wait.
    bool Defer(CAsyncSocket* pSocket, size_t nBytes) {
        if (m_nReadDepth == 0 || !IsSlot(pSocket->m_nSlot) || ::InSendMessage() ||
            !IsCurrent(m_readingSlot, m_readingSeen)) {
            EndHold(*pSocket);
            return false;
        }
        CAsyncSocket* pReader = m_readingSeen.pSocket;
        const bool bInputWaits = pReader->HasInputWaiting();
        if (pSocket != pReader && (pReader->m_bStreaming || bInputWaits) && Hold(pSocket, nBytes)) {
            return true;
        }
        EndHold(*pSocket);
        if (pSocket->m_bSendDeferred) {
            return true;
        }
        if (!bInputWaits) {
            return false;
        }
        if (m_deferred.empty() && !m_bFlushPosted) {
            if (!::PostMessageW(m_hWnd.Get(), kFlushDeferredMessage, 0, 0)) {
                return false;
            }
            m_bFlushPosted = true;
        }
        const size_t slot = static_cast<size_t>(pSocket->m_nSlot);
        try {
            m_deferred.emplace_back(slot, m_slots[slot]);
        } catch (...) {
            return false;
        }
        pSocket->m_bSendDeferred = true;
        return true;
    }

    // Sends everything the listening sockets hold back, now.
    void ReleaseHeld() noexcept {
        m_bReleaseDue = false;
        if (m_held.empty()) {
            StopHoldTimer();
            return;
        }
        // Taken out first, as in FlushDeferred.
        std::vector<CHeldSocket> held;
        held.swap(m_held);
        for (const CHeldSocket& entry : held) {
            Release(entry);
        }
        held.clear();
        if (m_held.empty()) {
            m_held.swap(held);  // keeps the storage
            StopHoldTimer();
        }
    }

    // Sends what up to nMax sockets hold back whose holds began kMaxHoldMs
    // ago or more, oldest first.
    void ReleaseDue(std::chrono::steady_clock::time_point now, size_t nMax) noexcept {
        for (size_t nReleased = 0; !m_held.empty() && nReleased < nMax;) {
            const CHeldSocket entry = m_held.front();
            if (IsHolding(entry)) {
                if (now - entry.since < std::chrono::milliseconds(CAsyncSocket::kMaxHoldMs)) {
                    break;
                }
                ++nReleased;
            }
            // Out of the list before its send, which may hold anew.
            m_held.erase(m_held.begin());
            Release(entry);
        }
        if (m_held.empty()) {
            StopHoldTimer();
        }
    }

    HWND Window() const { return m_hWnd.Get(); }
    static UINT MessageFor(int slot) { return kFirstNotifyMessage + static_cast<UINT>(slot); }

    void DestroyWindow() { m_hWnd.Close(); }

private:
    bool IsSlot(int slot) const { return slot >= 0 && static_cast<size_t>(slot) < m_slots.size(); }

    // A socket holding frames back, and since when; listed in the order in
    // which the holds began. The serial tells this hold from a later one.
    struct CHeldSocket {
        size_t nSlot;
        CSocketSlot seen;
        uint32_t nHold;
        std::chrono::steady_clock::time_point since;
    };

    // Holds pSocket's frame back for the streaming reader's sake; false
    // (send now) if the timer that bounds the hold cannot be had.
    bool Hold(CAsyncSocket* pSocket, size_t nBytes) {
        if (!pSocket->m_bSendHeld) {
            const size_t slot = static_cast<size_t>(pSocket->m_nSlot);
            if (!m_bHoldTimer) {
                if (::SetTimer(m_hWnd.Get(), kHoldTimerId, CAsyncSocket::kMaxHoldMs, nullptr) ==
                    0) {
                    return false;
                }
                m_bHoldTimer = true;
            }
            try {
                m_held.push_back(CHeldSocket{slot, m_slots[slot], pSocket->m_nHold + 1,
                                             std::chrono::steady_clock::now()});
            } catch (...) {
                return false;
            }
            ++pSocket->m_nHold;
            pSocket->m_bSendHeld = true;
        }
        ++pSocket->m_nHeldFrames;
        pSocket->m_nHeldBytes += nBytes;
        if (pSocket->m_nHeldFrames >= CAsyncSocket::kMaxHeldFrames ||
            pSocket->m_nHeldBytes >= CAsyncSocket::kMaxHeldBytes) {
            m_bReleaseDue = true;  // at the end of the running notification
        }
        return true;
    }

    static void EndHold(CAsyncSocket& socket) {
        socket.m_bSendHeld = false;
        socket.m_nHeldFrames = 0;
        socket.m_nHeldBytes = 0;
    }

    // The entry's hold is still on: the socket has sent nothing since.
    bool IsHolding(const CHeldSocket& entry) const {
        return IsCurrent(entry.nSlot, entry.seen) && entry.seen.pSocket->m_bSendHeld &&
               entry.seen.pSocket->m_nHold == entry.nHold;
    }

    void Release(const CHeldSocket& entry) noexcept {
        if (!IsHolding(entry)) {
            return;
        }
        EndHold(*entry.seen.pSocket);
        if (LinkTrace::IsOn()) {
            LinkTrace::Add(LinkTrace::Counter::HeldReleases);
        }
        try {
            entry.seen.pSocket->OnDeferredSend();
        } catch (...) {
        }
    }

    void StopHoldTimer() {
        if (m_bHoldTimer) {
            ::KillTimer(m_hWnd.Get(), kHoldTimerId);
            m_bHoldTimer = false;
        }
    }

    // At the end of each read notification: all that is held goes once a
    // bound is reached; otherwise one socket whose time is up, so that the
    // streaming connection's next command waits behind one send at most,
    // not behind one per listener. The timer alone would not do: its message
    // comes only when the queue has nothing posted, and a flood keeps
    // posting.
    void ReleaseHeldIfDue(std::chrono::steady_clock::time_point now) noexcept {
        m_lastReadEnd = now;
        if (m_bReleaseDue) {
            ReleaseHeld();
        } else if (!m_held.empty()) {
            ReleaseDue(now, 1);
        }
    }

    // The hold's timer: once the link is quiet (or a handler waits in a
    // message loop of its own) everything goes; while a connection still
    // streams, one socket whose time is up, as at the end of a notification.
    // All of them at once would put their sends back in front of one
    // command: the holds of a broadcast all begin together.
    void OnHoldTimer() noexcept {
        const auto now = std::chrono::steady_clock::now();
        if (m_nReadDepth > 0 || now - m_lastReadEnd >= CAsyncSocket::kStreamGap) {
            ReleaseHeld();
        } else {
            ReleaseDue(now, 1);
        }
    }

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
        if (message == kFlushDeferredMessage) {
            CSocketNotifier& notifier = ForThread();
            notifier.m_bFlushPosted = false;
            notifier.FlushDeferred();
            return 0;
        }
        if (message == WM_TIMER && wParam == kHoldTimerId) {
            ForThread().OnHoldTimer();
            return 0;
        }
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

    // Holds the read depth up, and names the socket whose passes run, while
    // a read notification is served; the sends deferred meanwhile leave as
    // it ends (a nested one's end included: earlier is never wrong), and so
    // do the held ones that are due. Also tells whether the socket streams.
    class CReadScope {
    public:
        CReadScope(CSocketNotifier& notifier, size_t slot, const CSocketSlot& seen)
            : m_notifier(notifier),
              m_nSlot(slot),
              m_seen(seen),
              m_nSavedSlot(notifier.m_readingSlot),
              m_savedSeen(notifier.m_readingSeen) {
            ++m_notifier.m_nReadDepth;
            m_notifier.m_readingSlot = slot;
            m_notifier.m_readingSeen = seen;
            seen.pSocket->m_bStreaming =
                std::chrono::steady_clock::now() - seen.pSocket->m_lastReadEnd <
                CAsyncSocket::kStreamGap;
        }
        ~CReadScope() {
            const auto now = std::chrono::steady_clock::now();
            if (m_notifier.IsCurrent(m_nSlot, m_seen)) {
                m_seen.pSocket->m_lastReadEnd = now;
            }
            --m_notifier.m_nReadDepth;
            m_notifier.m_readingSlot = m_nSavedSlot;
            m_notifier.m_readingSeen = m_savedSeen;
            m_notifier.FlushDeferred();
            m_notifier.ReleaseHeldIfDue(now);
        }
        CReadScope(const CReadScope&) = delete;
        CReadScope& operator=(const CReadScope&) = delete;

    private:
        CSocketNotifier& m_notifier;
        size_t m_nSlot;
        CSocketSlot m_seen;
        size_t m_nSavedSlot;
        CSocketSlot m_savedSeen;
    };

    // The passes of one read notification. Each OnReceive takes what it
    // takes (a header or one chunk of a payload); while input waits behind
    // it (read ahead, or a read that got all it asked for) the next follows
    // here, without a round trip through the message queue.
    //
    // Read notifications are turned off before a pass that reads from the
    // socket itself: each such read would have Winsock post another while
    // bytes remain, each of those would run passes of its own and post as
    // many again, and the queue would grow until it starved every other
    // connection. While they are off, a socket that reached kMaxReadPasses
    // posts itself one notification, behind whatever else is queued, and so
    // gives way; one whose input ran out turns them on again.
    //
    // A reader that takes nothing while bytes wait is busy further out (in a
    // handler that runs a message loop): the outer call reads on when it
    // returns, so nothing is posted for it here.
    void DispatchRead(size_t slot, const CSocketSlot& seen, int error) {
        if (LinkTrace::IsOn()) {
            LinkTrace::OnNotification();
        }
        CAsyncSocket* pSocket = seen.pSocket;
        CReadScope scope(*this, slot, seen);
        for (int pass = 0; pass < CAsyncSocket::kMaxReadPasses; ++pass) {
            if (pass > 0 && pSocket->NeedsSocketRead()) {
                SetReadsOff(slot, *pSocket, true);
            }
            if (LinkTrace::IsOn()) {
                LinkTrace::Add(LinkTrace::Counter::Passes);
            }
            const uint64_t before = pSocket->m_nBytesRead;
            pSocket->OnReceive(pass == 0 ? error : 0);
            if (!IsCurrent(slot, seen)) {
                return;  // closed
            }
            if (error != 0 || pSocket->m_nBytesRead == before || !pSocket->HasInputWaiting()) {
                SetReadsOff(slot, *pSocket, false);
                return;
            }
        }
        if (!SetReadsOff(slot, *pSocket, true) ||
            !::PostMessageW(m_hWnd.Get(), MessageFor(static_cast<int>(slot)),
                            static_cast<WPARAM>(seen.hSocket), WSAMAKESELECTREPLY(FD_READ, 0))) {
            SetReadsOff(slot, *pSocket, false);
        }
    }

    // Turns the socket's read notifications off or on again; false if that
    // failed. Turning them on when they are on does nothing.
    //
    // Selecting FD_READ again is not relied on to announce bytes that came
    // while it was off: under Wine a read notification, once held back, may
    // be armed again only by a recv, and bytes that arrived in that window
    // would then sit unread with nothing to announce them. So after turning
    // reads on we look, and notify ourselves if anything waits; a
    // notification too many costs one empty pass.
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
        u_long pending = 0;
        if (!bOff && (socket.m_lEvents & FD_READ) != 0 &&
            (!PendingBytes(socket.m_hSocket, pending) || pending > 0)) {
            ::PostMessageW(m_hWnd.Get(), MessageFor(static_cast<int>(slot)),
                           static_cast<WPARAM>(socket.m_hSocket), WSAMAKESELECTREPLY(FD_READ, 0));
        }
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
        if (m_deferred.empty()) {
            return;
        }
        if (LinkTrace::IsOn()) {
            LinkTrace::Add(LinkTrace::Counter::DeferredFlushes);
        }
        // Taken out first: a flush may close its socket (a socket closed
        // since it deferred is not current any more), and what it sends goes
        // at once, each socket's deferral being over.
        std::vector<std::pair<size_t, CSocketSlot>> deferred;
        deferred.swap(m_deferred);
        for (const auto& [slot, seen] : deferred) {
            if (IsCurrent(slot, seen)) {
                seen.pSocket->m_bSendDeferred = false;
            }
        }
        for (const auto& [slot, seen] : deferred) {
            if (IsCurrent(slot, seen)) {
                try {
                    seen.pSocket->OnDeferredSend();
                } catch (...) {
                }
            }
        }
        deferred.clear();
        if (m_deferred.empty()) {
            m_deferred.swap(deferred);  // keeps the storage
        }
    }

    // Windows may post FD_CLOSE while bytes are still unread, ahead of the
    // FD_READs it re-posts after partial reads, and a socket that reads only
    // in OnReceive would then lose the peer's last bytes. While bytes remain
    // and the reader keeps taking them, hand them to OnReceive, in passes in
    // a row as a read notification would, and come back to the close
    // afterwards; a reader that takes nothing gets its OnClose at once, so
    // this cannot spin.
    void DispatchClose(UINT message, size_t slot, const CSocketSlot& seen, int error,
                       LPARAM lParam) {
        if (m_slots[slot].bCloseDelivered) {
            return;
        }
        u_long pending = 0;
        CAsyncSocket* pSocket = seen.pSocket;
        if (error == 0 && pSocket->GetPendingBytes(pending) && pending > 0) {
            bool bTook = false;
            {
                CReadScope scope(*this, slot, seen);
                for (int pass = 0; pass < CAsyncSocket::kMaxReadPasses; ++pass) {
                    const uint64_t before = pSocket->m_nBytesRead;
                    pSocket->OnReceive(0);
                    if (!IsCurrent(slot, seen)) {
                        return;
                    }
                    if (pSocket->m_nBytesRead == before) {
                        break;
                    }
                    bTook = true;
                }
            }
            if (!IsCurrent(slot, seen)) {
                return;  // closed by a deferred send
            }
            u_long left = 0;
            if (bTook && pSocket->GetPendingBytes(left) && left > 0 &&
                ::PostMessageW(m_hWnd.Get(), message, static_cast<WPARAM>(seen.hSocket), lParam)) {
                return;
            }
        }
        m_slots[slot].bCloseDelivered = true;
        pSocket->OnClose(error);
    }

    CWindowHandle m_hWnd;
    std::vector<CSocketSlot> m_slots;
    std::vector<size_t> m_freeSlots;
    int m_nReadDepth = 0;  // read notifications now being served, nested ones included
    // The socket whose passes run now (innermost), as it was registered.
    size_t m_readingSlot = 0;
    CSocketSlot m_readingSeen;
    std::vector<std::pair<size_t, CSocketSlot>> m_deferred;
    bool m_bFlushPosted = false;
    // Sockets holding frames back for a streaming one (CAsyncSocket::m_bSendHeld).
    std::vector<CHeldSocket> m_held;
    bool m_bHoldTimer = false;
    // When the last read notification of any socket ended.
    std::chrono::steady_clock::time_point m_lastReadEnd{};
    bool m_bReleaseDue = false;
};

void AfxSocketTerm() {
    CSocketNotifier::ForThread().DestroyWindow();
}

void AfxSocketReleaseHeld() {
    CSocketNotifier::ForThread().ReleaseHeld();
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

int CAsyncSocket::ReceiveFromSocket(void* buf, int len, int flags) {
    const int64_t start = LinkTrace::IsOn() ? LinkTrace::Now() : 0;
    const int count = ::recv(m_hSocket, static_cast<char*>(buf), len, flags);
    if ((flags & MSG_PEEK) == 0) {
        m_bLastReadFull = count == len && count > 0;
    }
    if (LinkTrace::IsOn()) {
        LinkTrace::Add(LinkTrace::Counter::Receives);
        LinkTrace::Add(LinkTrace::Counter::ReceiveNs, LinkTrace::Now() - start);
    }
    return count;
}

int CAsyncSocket::Receive(void* buf, int len, int flags) {
    const bool bPeek = (flags & MSG_PEEK) != 0;
    if (m_readAhead.empty() || len <= 0 || (bPeek && NeedsSocketRead())) {
        const int count = ReceiveFromSocket(buf, len, flags);
        if (count > 0 && !bPeek) {
            m_nBytesRead += static_cast<uint64_t>(count);
        }
        return count;
    }
    if (NeedsSocketRead()) {
        // Everything that has arrived, up to the buffer's size: a result of
        // 0 or an error is the caller's, as from a recv of its own.
        const int count =
            ReceiveFromSocket(m_readAhead.data(), static_cast<int>(m_readAhead.size()), flags);
        if (count <= 0) {
            return count;
        }
        m_nAheadBegin = 0;
        m_nAheadEnd = std::min(static_cast<size_t>(count), m_readAhead.size());
    }
    const size_t count = std::min(static_cast<size_t>(len), m_nAheadEnd - m_nAheadBegin);
    std::memcpy(buf, m_readAhead.data() + m_nAheadBegin, count);
    if (!bPeek) {
        m_nAheadBegin += count;
        m_nBytesRead += count;
    }
    return static_cast<int>(count);
}

BOOL CAsyncSocket::SetReadAhead(size_t bytes) noexcept {
    if (m_nAheadBegin < m_nAheadEnd || bytes > static_cast<size_t>(INT_MAX)) {
        return FALSE;  // bytes read ahead would be lost
    }
    try {
        std::vector<char>(bytes).swap(m_readAhead);
    } catch (...) {
        std::vector<char>().swap(m_readAhead);
        return FALSE;
    }
    m_nAheadBegin = m_nAheadEnd = 0;
    return TRUE;
}

bool CAsyncSocket::GetPendingBytes(u_long& count) const {
    u_long inSocket = 0;
    if (!PendingBytes(m_hSocket, inSocket)) {
        return false;
    }
    count = inSocket + static_cast<u_long>(m_nAheadEnd - m_nAheadBegin);
    return true;
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

bool CAsyncSocket::DeferSend(size_t nBytes) {
    return m_hSocket != INVALID_SOCKET && CSocketNotifier::ForThread().Defer(this, nBytes);
}

void CAsyncSocket::Close() {
    if (m_hSocket == INVALID_SOCKET) {
        return;
    }
    const SOCKET hSocket = std::exchange(m_hSocket, INVALID_SOCKET);
    const int slot = std::exchange(m_nSlot, -1);
    m_bSendDeferred = false;
    m_bSendHeld = false;
    m_nHeldFrames = 0;
    m_nHeldBytes = 0;
    m_bReadsOff = false;
    m_bLastReadFull = false;
    if (m_nAheadBegin < m_nAheadEnd) {
        // A socket closed with input unread resets the connection; bytes
        // read ahead are unread input all the same, so the peer learns the
        // same, and the port is not left waiting out an orderly close.
        const LINGER abort{1, 0};
        ::setsockopt(hSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                     sizeof(abort));
    }
    m_nAheadBegin = m_nAheadEnd = 0;
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

BOOL CAsyncSocket::SetSockOpt(int optionName, const void* optionValue, int optionLen, int level) {
    return ::setsockopt(m_hSocket, level, optionName, static_cast<const char*>(optionValue),
                        optionLen) == 0;
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
