// Cuts one connection's inbound byte stream into payloads.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "net/ByteStream.h"
#include "net/MemoryBudget.h"

// Receives each complete payload. It may run a message loop (and so re-enter
// CFrameReceiver::OnReceive) and may close the connection; the receiver only
// relies on itself staying alive until its OnReceive returns.
class IPayloadHandler {
public:
    virtual ~IPayloadHandler() = default;
    virtual void OnPayload(const std::vector<uint8_t>& payload) = 0;
};

// Why the peer's stream cannot be read on.
enum class FrameFault {
    None,
    // Header bytes 0..3 were not DA DA DA DA: not a UI speaking, and nothing
    // after them can be trusted to be a frame.
    BadMagic,
    // Collecting the payload would take the partial payloads of all
    // connections past their shared budget.
    OverBudget,
};

class CFrameReceiver {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // pBudget bounds the payload storage this receiver shares with others
    // (nullptr: only the per-frame cap applies); clock stamps the frame's
    // progress for HasStalled.
    explicit CFrameReceiver(CMemoryBudget* pBudget = nullptr,
                            Clock clock = &std::chrono::steady_clock::now);
    CFrameReceiver(const CFrameReceiver&) = delete;
    CFrameReceiver& operator=(const CFrameReceiver&) = delete;

    // One read notification. Each pass takes either (what has arrived of) a
    // header or one payload chunk of at most kReceiveChunk bytes; the socket
    // layer repeats the notification while unread bytes remain. A call made
    // while another is running (from inside the handler) is deferred and run
    // by the outer call afterwards, so no notification is lost.
    // Returns false once the connection must be closed (GetFault() says
    // why); from then on nothing more is read or delivered, and every later
    // call returns false at once.
    bool OnReceive(IByteStream& stream, IPayloadHandler& handler);

    FrameFault GetFault() const { return m_fault; }

    // True from the first header byte to the end of its payload.
    bool IsInFrame() const { return m_nPayloadLength != 0 || m_nHeaderReceived != 0; }
    // True when a frame is partly here and none of its bytes came for limit:
    // a peer that holds memory (or a slot) without ever finishing.
    bool HasStalled(std::chrono::steady_clock::duration limit) const;
    // Bytes of payload storage held now, as charged to the budget.
    size_t GetHeldBytes() const { return m_share.GetHeld(); }

private:
    void ReceiveOnce(IByteStream& stream, IPayloadHandler& handler);
    void ReceiveHeader(IByteStream& stream, IPayloadHandler& handler);
    void ReceivePayload(IByteStream& stream, IPayloadHandler& handler);
    bool MakeRoom(size_t count);
    void DeliverPayload(IPayloadHandler& handler);
    void KeepStorage(std::vector<uint8_t>& payload);

    std::vector<uint8_t> m_receiveBuffer;
    // The header of the next frame as far as it has arrived.
    std::array<uint8_t, 8> m_header{};
    uint32_t m_nHeaderReceived = 0;
    uint32_t m_nPayloadLength = 0;
    uint32_t m_nReceived = 0;
    bool m_bInReceive = false;
    bool m_bReceiveAgain = false;
    FrameFault m_fault = FrameFault::None;
    CBudgetShare m_share;
    Clock m_clock;
    std::chrono::steady_clock::time_point m_lastProgress{};
};
