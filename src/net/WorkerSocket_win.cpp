#include "net/WorkerSocket_win.h"

#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <new>
#include <utility>

#include "framework/LinkTrace.h"
#include "net/ConnectionLimits.h"

namespace {

// Holds a connection's busy count up for exactly one handler, however the
// handler ends, so that no path can leave the object undeletable.
class CBusyScope {
public:
    explicit CBusyScope(int& nBusy) : m_nBusy(nBusy) { ++m_nBusy; }
    ~CBusyScope() { --m_nBusy; }
    CBusyScope(const CBusyScope&) = delete;
    CBusyScope& operator=(const CBusyScope&) = delete;

private:
    int& m_nBusy;
};

// Each call reads the shared clock afresh, so that one put in later counts.
std::chrono::steady_clock::time_point SharedNow() {
    return SharedConnectionLimits().clock();
}

}  // namespace

CWorkerSocket::CWorkerSocket(IConnectionHost* pFrame, std::u16string strId)
    : m_pFrame(pFrame),
      m_strId(std::move(strId)),
      m_receiver(&SharedConnectionLimits().partial, &SharedNow),
      m_sendQueue(&SharedConnectionLimits().unsent) {
    // Without the timer a stalled frame is never noticed; everything else
    // works, so the connection is served all the same.
    m_stallTimer.Start(kStallCheckPeriodMs, [this] { OnStallCheck(); });
    // A frame is read a header and a chunk at a time; through the buffer a
    // whole batch of them costs one recv. Without it (no memory) they are
    // read from the socket piece by piece, slower but the same.
    SetReadAhead(kReadAheadBytes);
}

CWorkerSocket::~CWorkerSocket() = default;

int CWorkerSocket::Receive(void* buf, int len, int flags) {
    const bool bNewFrame = LinkTrace::IsOn() && !m_receiver.IsInFrame();
    const int count = CAsyncSocket::Receive(buf, len, flags);
    if (bNewFrame && count > 0) {
        LinkTrace::OnFrameStarted();
    }
    return count;
}

int CWorkerSocket::Send(const void* buf, int len, int flags) {
    return CAsyncSocket::Send(buf, len, flags);
}

int CWorkerSocket::GetLastError() {
    return CAsyncSocket::GetLastError();
}

template <typename Handler>
void CWorkerSocket::Serve(Handler&& handler) {
    if (m_bDropped) {
        return;
    }
    {
        CBusyScope busy(m_nBusy);
        bool keep = false;
        try {
            keep = handler();
        } catch (...) {
            keep = false;
        }
        if (!keep) {
            Drop();
        }
    }
    DeleteIfIdle();
}

void CWorkerSocket::OnReceive(int /*nErrorCode*/) {
    // A stream that is not ours (another protocol's request) or that would
    // pass the shared budget ends the connection as a close from the peer
    // would.
    Serve([this] { return m_receiver.OnReceive(*this, *this); });
}

void CWorkerSocket::OnSend(int /*nErrorCode*/) {
    Serve([this] { return m_sendQueue.Flush(*this); });
}

void CWorkerSocket::OnClose(int /*nErrorCode*/) {
    // The socket layer has already handed every byte still unread to
    // OnReceive, so a command sent just before the close is not lost.
    Serve([] { return false; });
}

void CWorkerSocket::SendFrame(const std::vector<uint8_t>& payload) {
    if (LinkTrace::IsOn()) {
        LinkTrace::OnQueued();
    }
    Serve([this, &payload] {
        if (DeferSend(kFrameHeaderSize + payload.size())) {
            return m_sendQueue.AppendFrame(payload);
        }
        return m_sendQueue.SendFrame(*this, payload);
    });
}

void CWorkerSocket::OnDeferredSend() {
    Serve([this] { return m_sendQueue.Flush(*this); });
}

void CWorkerSocket::OnStallCheck() {
    // A running handler (a command in a message loop of its own) is not the
    // peer's delay; nor are bytes that wait in the socket for us to read.
    if (m_nBusy > 0 || !m_receiver.HasStalled(kFrameStallLimit)) {
        return;
    }
    u_long pending = 0;
    if (GetPendingBytes(pending) && pending > 0) {
        return;
    }
    Serve([] { return false; });
}

void CWorkerSocket::OnPayload(const std::vector<uint8_t>& payload) {
    HandlePayload(*this, payload);
}

void CWorkerSocket::Drop() noexcept {
    if (m_bDropped) {
        return;
    }
    m_bDropped = true;
    m_stallTimer.Stop();
    Close();
    try {
        UnregisterConnection(m_pFrame, m_strId, this);
    } catch (...) {
        // The entry is gone before anything that could throw; what failed
        // is the reaction to the last close, which has nothing to undo.
    }
}

void CWorkerSocket::DeleteIfIdle() {
    if (m_bDropped && m_nBusy == 0) {
        delete this;  // a connection's life ends with its socket
    }
}

std::u16string NewConnectionId() {
    GUID guid;
    if (FAILED(::CoCreateGuid(&guid))) {
        return std::u16string();
    }
    wchar_t text[64] = {};
    const int count = ::StringFromGUID2(guid, text, 64);
    if (count <= 1) {
        return std::u16string();
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text), count - 1);
}

CWorkerSocket* RegisterConnection(IConnectionHost* pFrame) {
    ConnectionRegistry& connections = pFrame->Connections();
    if (connections.size() >= SharedConnectionLimits().nMaxConnections) {
        return nullptr;
    }
    std::u16string strId = NewConnectionId();
    auto* pWorker = new (std::nothrow) CWorkerSocket(pFrame, strId);
    // Without an object the registry is not touched: an entry left empty
    // would count against the cap, and one under a shared identifier would
    // hide the connection it replaced.
    if (pWorker != nullptr) {
        connections[std::move(strId)] = pWorker;
    }
    return pWorker;
}

void DiscardConnection(IConnectionHost* pFrame, CWorkerSocket* pWorker) {
    ConnectionRegistry& connections = pFrame->Connections();
    auto it = connections.find(pWorker->m_strId);
    if (it != connections.end() && it->second == pWorker) {
        connections.erase(it);
    }
    delete pWorker;
}

void UnregisterConnection(IConnectionHost* pFrame, const std::u16string& strId,
                          const CWorkerSocket* pWorker) {
    ConnectionRegistry& connections = pFrame->Connections();
    auto it = connections.find(strId);
    // Two connections can share an identifier only when both failed to get
    // a GUID; the later one took the entry, and the earlier one must not
    // remove it when it goes.
    if (it == connections.end() || it->second != pWorker) {
        return;
    }
    connections.erase(it);
    if (connections.empty()) {
        pFrame->OnLastConnectionClosed();
    }
}

void HandlePayload(CWorkerSocket& worker, const std::vector<uint8_t>& payload) {
    const bool bTrace = LinkTrace::IsOn();
    if (bTrace) {
        LinkTrace::OnPayloadComplete();
    }
    CAmfMessage message;
    if (message.Decode(payload)) {
        if (bTrace) {
            LinkTrace::OnDecoded();
        }
        DispatchCommand(message, *worker.m_pFrame);
    }
    if (bTrace) {
        LinkTrace::OnHandled();
    }
}
