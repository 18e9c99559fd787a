#include "net/ServerSocket_win.h"

#include "net/ConnectionLimits.h"
#include "net/WorkerSocket_win.h"

namespace {

// Takes a pending connection off the queue and ends it at once.
void Refuse(CAsyncSocket& listener) {
    CAsyncSocket discard;
    listener.Accept(discard);
    discard.Close();
}

}  // namespace

void CServerSocket::OnAccept(int /*nErrorCode*/) {
    ConnectionRegistry& connections = m_pFrame->Connections();
    // Past the cap a connection is accepted (so that the peer learns at once
    // instead of waiting in the backlog) and closed; the registry is not
    // touched, so no connection the helper serves notices.
    if (connections.size() >= SharedConnectionLimits().nMaxConnections) {
        Refuse(*this);
        return;
    }
    const std::u16string strId = RegisterConnection(m_pFrame);
    auto it = connections.find(strId);
    CWorkerSocket* pWorker = it != connections.end() ? it->second : nullptr;
    if (pWorker == nullptr) {
        // No object for it: take the connection off the queue and end it.
        if (it != connections.end()) {
            connections.erase(it);
        }
        Refuse(*this);
        return;
    }
    if (!Accept(*pWorker)) {
        // No live connection came of it; it must not keep the helper alive,
        // and no live connection ended, so the helper goes on listening.
        connections.erase(it);
        delete pWorker;
    }
}

void CServerSocket::OnClose(int nErrorCode) {
    IConnectionHost* pFrame = m_pFrame;
    CAsyncSocket::OnClose(nErrorCode);
    pFrame->OnServerSocketClosed();  // may destroy this object: last step
}
