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
        return;
    }
    // We gather what is queued into one send ourselves. With Nagle's
    // algorithm on top, a send behind one the peer has not acknowledged yet
    // waits for that acknowledgement, which a UI that only listens delays
    // by up to 40 ms (Linux) or 200 ms (Windows). Without it, a connection
    // still works, only later.
    const BOOL noDelay = TRUE;
    pWorker->SetSockOpt(TCP_NODELAY, &noDelay, sizeof(noDelay), IPPROTO_TCP);
}

void CServerSocket::OnClose(int nErrorCode) {
    IConnectionHost* pFrame = m_pFrame;
    CAsyncSocket::OnClose(nErrorCode);
    pFrame->OnServerSocketClosed();  // may destroy this object: last step
}
