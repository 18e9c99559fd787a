#include "net/ServerSocket_win.h"

#include "net/WorkerSocket_win.h"

void CServerSocket::OnAccept(int /*nErrorCode*/) {
    ConnectionRegistry& connections = m_pFrame->Connections();
    const std::u16string strId = RegisterConnection(m_pFrame);
    auto it = connections.find(strId);
    CWorkerSocket* pWorker = it != connections.end() ? it->second : nullptr;
    if (pWorker == nullptr) {
        // No object for it: take the connection off the queue and end it.
        if (it != connections.end()) {
            connections.erase(it);
        }
        CWorkerSocket discard(nullptr, std::u16string());
        Accept(discard);
        discard.Close();
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
