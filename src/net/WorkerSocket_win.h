// One accepted UI connection: cuts its byte stream into payloads, runs the
// commands they carry and queues the events that go back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/AsyncSocket.h"
#include "framework/ThreadTimer.h"
#include "net/ByteStream.h"
#include "net/ConnectionHost.h"
#include "net/FrameReceiver.h"
#include "net/SendQueue.h"

class CWorkerSocket : public CAsyncSocket, public IByteStream, private IPayloadHandler {
public:
    CWorkerSocket(IConnectionHost* pFrame, std::u16string strId);
    ~CWorkerSocket() override;

    CWorkerSocket(const CWorkerSocket&) = delete;
    CWorkerSocket& operator=(const CWorkerSocket&) = delete;

    // One socket serves both the framework's notifications and the
    // platform-free receive and send logic.
    int Receive(void* buf, int len, int flags) override;
    int Send(const void* buf, int len, int flags) override;
    int GetLastError() override;

    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnDeferredSend() override;

    // Queues one frame with payload and sends what the socket takes now, or,
    // while a read notification is being handled, when it ends: the events
    // of all the commands it ran then leave in one send per connection.
    void SendFrame(const std::vector<uint8_t>& payload);

    // Ends the connection if a frame of it has stalled (kFrameStallLimit).
    // The connection's own timer calls it every kStallCheckPeriodMs.
    void OnStallCheck();
    static constexpr UINT kStallCheckPeriodMs = 1000;
    // What one recv takes at most: some 1,700 small commands.
    static constexpr size_t kReadAheadBytes = 64 * 1024;

    IConnectionHost* m_pFrame;
    std::u16string m_strId;

private:
    void OnPayload(const std::vector<uint8_t>& payload) override;
    // Runs one handler of this object; it returns false when the connection
    // must end. Whatever it throws (an allocation failure deep in a command,
    // say) ends the connection too: its state can no longer be trusted.
    template <typename Handler>
    void Serve(Handler&& handler);
    // Ends the connection: unregisters it, closes the socket and deletes the
    // object as soon as no handler of it is running any more.
    void Drop() noexcept;
    void DeleteIfIdle();

    CFrameReceiver m_receiver;
    CSendQueue m_sendQueue;
    CThreadTimer m_stallTimer;
    // Handlers of this object now running; a close may arrive inside a
    // nested message loop, and the object must outlive the outer handler.
    int m_nBusy = 0;
    bool m_bDropped = false;
};

// The connection registry's operations.
std::u16string NewConnectionId();
// Makes a connection object under a fresh identifier and registers it; null
// when the registry is at its cap or the object could not be made.
CWorkerSocket* RegisterConnection(IConnectionHost* pFrame);
// Unregisters and deletes a connection that never went live, without the
// reaction to the last connection ending.
void DiscardConnection(IConnectionHost* pFrame, CWorkerSocket* pWorker);
void UnregisterConnection(IConnectionHost* pFrame, const std::u16string& strId,
                          const CWorkerSocket* pWorker);
void HandlePayload(CWorkerSocket& worker, const std::vector<uint8_t>& payload);
