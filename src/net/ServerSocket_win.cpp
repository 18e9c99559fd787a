#include "net/ServerSocket_win.h"

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
    CWorkerSocket* pWorker = RegisterConnection(m_pFrame);
    if (pWorker == nullptr) {
        // Past the cap, or no object for it: the connection is accepted (so
        // that the peer learns at once instead of waiting in the backlog) and
        // closed, and no connection the helper serves notices.
        Refuse(*this);
        return;
    }
    if (!Accept(*pWorker)) {
        // No live connection came of it; it must not keep the helper alive,
        // and no live connection ended, so the helper goes on listening.
        DiscardConnection(m_pFrame, pWorker);
    }
}

void CServerSocket::OnClose(int nErrorCode) {
    IConnectionHost* pFrame = m_pFrame;
    CAsyncSocket::OnClose(nErrorCode);
    pFrame->OnServerSocketClosed();  // may destroy this object: last step
}
