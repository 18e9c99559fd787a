// The listening socket: every accepted connection becomes a CWorkerSocket
// registered under a fresh identifier.
#pragma once

#include "framework/AsyncSocket.h"
#include "net/ConnectionHost.h"

class CServerSocket : public CAsyncSocket {
public:
    explicit CServerSocket(IConnectionHost* pFrame) : m_pFrame(pFrame) {}

    void OnAccept(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

    IConnectionHost* m_pFrame;
};
