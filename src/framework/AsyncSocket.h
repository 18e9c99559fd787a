// CAsyncSocket: a non-blocking socket whose readiness arrives as virtual
// notifications on the thread's message loop.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/SocketHold.h"

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
// the system (under Wine, through its server), and so does every recv. A
// socket may read through a buffer of its own (SetReadAhead): one recv then
// takes whatever has arrived, and Receive hands it out in the pieces the
// reader asks for. While input waits, a read notification is served in up to
// kMaxReadPasses OnReceive calls in a row, without a round trip through the
// message queue each; a socket that always has data then gives way to the
// messages queued behind it and is notified again for the rest.
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
    // Reads through a buffer of bytes bytes (0: straight from the socket).
    // Call it before the first Receive; FALSE (and no buffer) if the memory
    // is not there, which costs only speed.
    BOOL SetReadAhead(size_t bytes) noexcept;
    // Bytes that a Receive can take now: those read ahead, and those waiting
    // in the socket. False if the socket cannot tell.
    bool GetPendingBytes(u_long& count) const;
    BOOL GetSockName(SOCKADDR* addr, int* addrLen) const;
    BOOL SetSockOpt(int optionName, const void* optionValue, int optionLen, int level = SOL_SOCKET);

    static int GetLastError();

    SOCKET m_hSocket = INVALID_SOCKET;

    static constexpr int kMaxReadPasses = 64;
    // A read notification that comes within this long of the same socket's
    // last one belongs to a stream of commands (see DeferSend).
    static constexpr std::chrono::milliseconds kStreamGap{5};
    // What a listening socket holds back at most while another streams:
    // the time since its first held frame, its frames and their bytes.
    static constexpr UINT kMaxHoldMs = 10;
    static constexpr uint32_t kMaxHeldFrames = 256;
    static constexpr size_t kMaxHeldBytes = 64 * 1024;

protected:
    friend class CSocketNotifier;

    // Asks for one OnDeferredSend later instead of sending a frame of
    // nBytes now; false: send now. Everything queued leaves in the order in
    // which it was queued, whichever way: a socket that sends now sends
    // what it deferred before too.
    //
    // - While a read notification runs passes and more input waits behind
    //   the running one: when the passes end, so that what they queue
    //   leaves in one send. A handler that runs a message loop of its own
    //   gets these out from there: they are flushed by a message posted at
    //   the first.
    // - On any other socket than the one being read, while that one
    //   streams (its notifications come less than kStreamGap apart, or
    //   input waits): the copies of its events that the others get are
    //   held back and leave together, when kMaxHoldMs have passed since the
    //   first (at the end of a notification, one socket per notification,
    //   or on a timer when the link is quiet), or kMaxHeldFrames or
    //   kMaxHeldBytes are held. The streaming connection's own answer does
    //   not wait behind one send per listener each time; the listeners get
    //   their events up to kMaxHoldMs later and a notification per listener
    //   (on Windows the timer's resolution, some 16 ms, rounds it up).
    //   A lone command's events go to everyone at once.
    //
    // Never inside a message sent from another thread or process, which
    // can arrive in a handler's wait and must not wait for it.
    bool DeferSend(size_t nBytes = 0);
    virtual void OnDeferredSend();

    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);
    virtual void OnOutOfBandData(int errorCode);
    virtual void OnAccept(int errorCode);
    virtual void OnConnect(int errorCode);
    // Comes only after OnReceive has taken every byte it was willing to read.
    virtual void OnClose(int errorCode);

private:
    // The socket's recv, counted by the link trace.
    int ReceiveFromSocket(void* buf, int len, int flags);
    // Input waits that the next Receive can take without a notification:
    // bytes read ahead, or a last read that got all it asked for.
    bool HasInputWaiting() const { return m_nAheadBegin < m_nAheadEnd || m_bLastReadFull; }
    // The next Receive will ask the socket itself.
    bool NeedsSocketRead() const { return m_nAheadBegin == m_nAheadEnd; }

    int m_nSlot = -1;  // index of the notification message number, or -1
    // Bytes handed to the reader by Receive, so that the read notification's
    // passes can tell a reader that took something from one that waits.
    uint64_t m_nBytesRead = 0;
    // The last read from the socket got all it asked for: more may wait.
    bool m_bLastReadFull = false;
    long m_lEvents = 0;  // what AsyncSelect last asked for
    // Read notifications are turned off while the socket streams.
    bool m_bReadsOff = false;
    bool m_bSendDeferred = false;
    // Frames held back for a streaming connection's sake, and their bytes.
    bool m_bSendHeld = false;
    uint32_t m_nHold = 0;  // counts the holds, to tell the current one
    uint32_t m_nHeldFrames = 0;
    size_t m_nHeldBytes = 0;
    // When the last read notification of this socket ended (none yet: the
    // epoch), and whether the one now running came soon after it.
    std::chrono::steady_clock::time_point m_lastReadEnd{};
    bool m_bStreaming = false;
    std::vector<char> m_readAhead;
    // Bytes of m_readAhead not handed out yet: [m_nAheadBegin, m_nAheadEnd).
    size_t m_nAheadBegin = 0;
    size_t m_nAheadEnd = 0;
};

// Destroys the calling thread's notification window; AfxWinTerm calls it.
void AfxSocketTerm();
