// CAsyncSocket: a non-blocking socket whose readiness arrives as virtual
// notifications on the thread's message loop.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>

inline constexpr long kAllSocketEvents =
    FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

// Notifications come through WSAAsyncSelect to one hidden message-only window
// per thread; each registered socket gets its own message number there, so
// that closing a socket can drop exactly its queued notifications. A
// notification whose socket is no longer the registered one is ignored.
// A notification handler may delete its object: the framework does not touch
// it afterwards. Use a socket only on the thread that created it.
//
// Each notification is a window message, which costs a round trip through
// the system (under Wine, through its server). When more bytes wait than one
// OnReceive takes, a read notification is served in up to kMaxReadPasses
// OnReceive calls in a row, for as long as each read gets all it asked for;
// a socket that always has data then gives way to the messages queued behind
// it and is notified again for the rest.
class CAsyncSocket {
public:
    CAsyncSocket() = default;
    // Closes the socket if it is still open.
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Makes the socket, registers for events and binds it to port (0: any)
    // on address (dotted IPv4 text; nullptr: every local address). Sets no
    // address-reuse option. On failure the socket is closed again and
    // GetLastError() tells why.
    BOOL Create(UINT port = 0, int type = SOCK_STREAM, long events = kAllSocketEvents,
                LPCWSTR address = nullptr);
    BOOL Listen(int backlog = 5);
    // Accepts into connected, which must not hold a socket yet; the new
    // socket is registered for all events.
    virtual BOOL Accept(CAsyncSocket& connected, SOCKADDR* addr = nullptr, int* addrLen = nullptr);
    virtual int Receive(void* buf, int len, int flags = 0);
    virtual int Send(const void* buf, int len, int flags = 0);
    // Unregisters first, so that no queued notification reaches this object
    // (or a later socket given the same handle value), then closes.
    virtual void Close();
    BOOL AsyncSelect(long events = kAllSocketEvents);
    BOOL GetSockName(SOCKADDR* addr, int* addrLen) const;

    static int GetLastError();

    SOCKET m_hSocket = INVALID_SOCKET;

    static constexpr int kMaxReadPasses = 16;

protected:
    friend class CSocketNotifier;

    // While a read notification runs passes in a row, asks for one
    // OnDeferredSend when they end, so that what they queue leaves in one
    // send; returns false (send now) at any other time, and inside a message
    // sent from another thread or process, which can arrive in a handler's
    // wait and must not wait for it. A pass's command that blocks holds back
    // what the passes before it queued until it returns.
    bool DeferSend();
    virtual void OnDeferredSend();

    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);
    virtual void OnOutOfBandData(int errorCode);
    virtual void OnAccept(int errorCode);
    virtual void OnConnect(int errorCode);
    // Comes only after OnReceive has taken every byte it was willing to read.
    virtual void OnClose(int errorCode);

private:
    int m_nSlot = -1;  // index of the notification message number, or -1
    // Bytes taken by Receive, so that the read notification's passes can
    // tell a reader that took something from one that waits for more.
    uint64_t m_nBytesRead = 0;
    // The last Receive got all it asked for: more may be waiting.
    bool m_bLastReadFull = false;
    long m_lEvents = 0;  // what AsyncSelect last asked for
    // Read notifications are turned off while the socket streams.
    bool m_bReadsOff = false;
    bool m_bSendDeferred = false;
};

// Destroys the calling thread's notification window; AfxWinTerm calls it.
void AfxSocketTerm();
