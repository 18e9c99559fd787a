#include "net/WorkerSocket_win.h"

#include <windows.h>
#include <objbase.h>

#include <new>
#include <utility>

CWorkerSocket::CWorkerSocket(IConnectionHost* pFrame, std::u16string strId)
    : m_pFrame(pFrame), m_strId(std::move(strId)) {}

CWorkerSocket::~CWorkerSocket() = default;

int CWorkerSocket::Receive(void* buf, int len, int flags) {
    return CAsyncSocket::Receive(buf, len, flags);
}

int CWorkerSocket::Send(const void* buf, int len, int flags) {
    return CAsyncSocket::Send(buf, len, flags);
}

int CWorkerSocket::GetLastError() {
    return CAsyncSocket::GetLastError();
}

void CWorkerSocket::OnReceive(int /*nErrorCode*/) {
    if (m_bDropped) {
        return;
    }
    ++m_nBusy;
    // A stream that is not ours (another protocol's request) ends the
    // connection as a close from the peer would.
    if (!m_receiver.OnReceive(*this, *this)) {
        Drop();
    }
    --m_nBusy;
    DeleteIfIdle();
}

void CWorkerSocket::OnSend(int /*nErrorCode*/) {
    if (m_bDropped) {
        return;
    }
    ++m_nBusy;
    if (!m_sendQueue.Flush(*this)) {
        Drop();
    }
    --m_nBusy;
    DeleteIfIdle();
}

void CWorkerSocket::OnClose(int /*nErrorCode*/) {
    // The socket layer has already handed every byte still unread to
    // OnReceive, so a command sent just before the close is not lost.
    if (m_bDropped) {
        return;
    }
    Drop();
    DeleteIfIdle();
}

void CWorkerSocket::SendFrame(const std::vector<uint8_t>& payload) {
    if (m_bDropped) {
        return;
    }
    ++m_nBusy;
    if (!m_sendQueue.SendFrame(*this, payload)) {
        Drop();
    }
    --m_nBusy;
    DeleteIfIdle();
}

void CWorkerSocket::OnPayload(const std::vector<uint8_t>& payload) {
    HandlePayload(*this, payload);
}

void CWorkerSocket::Drop() {
    if (m_bDropped) {
        return;
    }
    m_bDropped = true;
    Close();
    UnregisterConnection(m_pFrame, m_strId, this);
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

std::u16string RegisterConnection(IConnectionHost* pFrame) {
    std::u16string strId = NewConnectionId();
    auto* pWorker = new (std::nothrow) CWorkerSocket(pFrame, strId);
    pFrame->Connections()[strId] = pWorker;
    return strId;
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
    CAmfMessage message;
    if (message.Decode(payload)) {
        DispatchCommand(message, *worker.m_pFrame);
    }
}
