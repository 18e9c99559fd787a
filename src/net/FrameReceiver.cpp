#include "net/FrameReceiver.h"

#include <algorithm>
#include <array>

#include "net/Frame.h"

namespace {

// Clears the running flag however the pass ends, so that a handler that
// unwinds cannot leave the connection deaf to every later notification.
class CReceiveScope {
public:
    explicit CReceiveScope(bool& bInReceive) : m_bInReceive(bInReceive) { m_bInReceive = true; }
    ~CReceiveScope() { m_bInReceive = false; }
    CReceiveScope(const CReceiveScope&) = delete;
    CReceiveScope& operator=(const CReceiveScope&) = delete;

private:
    bool& m_bInReceive;
};

}  // namespace

bool CFrameReceiver::OnReceive(IByteStream& stream, IPayloadHandler& handler) {
    if (m_fault != FrameFault::None) {
        return false;
    }
    if (m_bInReceive) {
        m_bReceiveAgain = true;
        return true;
    }
    bool again = true;
    while (again && m_fault == FrameFault::None) {
        {
            CReceiveScope scope(m_bInReceive);
            ReceiveOnce(stream, handler);
        }
        again = m_bReceiveAgain;
        m_bReceiveAgain = false;
    }
    return m_fault == FrameFault::None;
}

void CFrameReceiver::ReceiveOnce(IByteStream& stream, IPayloadHandler& handler) {
    std::array<uint8_t, kReceiveChunk> chunk;
    if (m_nPayloadLength == 0) {
        // Header bytes are taken as they come and kept until all eight are
        // here. Leaving a partial header in the socket (peeking until it is
        // whole) looks simpler but stalls: a read notification comes again
        // at once for bytes that stay unread, so the thread spins, and the
        // TCP window that only real reads reopen can stay shut, so the rest
        // of the header never arrives.
        const int wanted = static_cast<int>(kFrameHeaderSize - m_nHeaderReceived);
        const int count = stream.Receive(m_header.data() + m_nHeaderReceived, wanted, 0);
        if (count <= 0 || count > wanted) {
            return;
        }
        m_nHeaderReceived += static_cast<uint32_t>(count);
        // Judged as soon as the first byte is here, so that a request of
        // another protocol is turned away before anything of it is used.
        if (!HasFrameMagic(m_header.data(), m_nHeaderReceived)) {
            m_fault = FrameFault::BadMagic;
            m_nHeaderReceived = 0;
            return;
        }
        if (m_nHeaderReceived < kFrameHeaderSize) {
            return;
        }
        m_nHeaderReceived = 0;
        m_nPayloadLength = ReadInboundLength(m_header.data());
        m_nReceived = 0;
        m_receiveBuffer.clear();
        if (m_nPayloadLength == 0) {
            // An empty frame is still a frame: hand on its empty payload.
            DeliverPayload(handler);
        }
        return;
    }

    if (m_nReceived < m_nPayloadLength) {
        const uint32_t wanted = std::min<uint32_t>(m_nPayloadLength - m_nReceived,
                                                   static_cast<uint32_t>(kReceiveChunk));
        const int count = stream.Receive(chunk.data(), static_cast<int>(wanted), 0);
        // 0, errors (would-block included) and impossible counts change nothing.
        if (count <= 0 || static_cast<uint32_t>(count) > wanted) {
            return;
        }
        // Oversized payloads are skipped as they arrive, never buffered, so
        // an announced length cannot make us allocate more than the cap.
        if (m_nPayloadLength <= kMaxPayload) {
            m_receiveBuffer.insert(m_receiveBuffer.end(), chunk.begin(), chunk.begin() + count);
        }
        m_nReceived += static_cast<uint32_t>(count);
    }

    if (m_nReceived == m_nPayloadLength) {
        if (m_nPayloadLength <= kMaxPayload) {
            DeliverPayload(handler);
        } else {
            m_nPayloadLength = 0;
            m_nReceived = 0;
        }
    }
}

void CFrameReceiver::DeliverPayload(IPayloadHandler& handler) {
    // The state returns to "header awaited" before the handler runs, so the
    // receiver is consistent whatever the handler does. The payload's storage
    // is handed back afterwards to spare an allocation per frame.
    std::vector<uint8_t> payload;
    payload.swap(m_receiveBuffer);
    m_nPayloadLength = 0;
    m_nReceived = 0;
    handler.OnPayload(payload);
    if (m_receiveBuffer.capacity() < payload.capacity()) {
        payload.clear();
        m_receiveBuffer.swap(payload);
    }
}
