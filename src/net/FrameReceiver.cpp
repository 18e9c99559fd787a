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

void CFrameReceiver::OnReceive(IByteStream& stream, IPayloadHandler& handler) {
    if (m_bInReceive) {
        m_bReceiveAgain = true;
        return;
    }
    bool again = true;
    while (again) {
        {
            CReceiveScope scope(m_bInReceive);
            ReceiveOnce(stream, handler);
        }
        again = m_bReceiveAgain;
        m_bReceiveAgain = false;
    }
}

void CFrameReceiver::ReceiveOnce(IByteStream& stream, IPayloadHandler& handler) {
    std::array<uint8_t, kReceiveChunk> chunk;
    if (m_nPayloadLength == 0) {
        // Peek first so that a header arriving in pieces stays in the socket
        // until it is whole.
        const int headerSize = static_cast<int>(kFrameHeaderSize);
        if (stream.Receive(chunk.data(), headerSize, kPeekFlag) != headerSize) {
            return;
        }
        if (stream.Receive(chunk.data(), headerSize, 0) != headerSize) {
            return;
        }
        m_nPayloadLength = ReadInboundLength(chunk.data());
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
