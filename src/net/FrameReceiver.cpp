#include "net/FrameReceiver.h"

#include <algorithm>
#include <array>
#include <utility>

#include "net/Frame.h"

namespace {

// Payload storage kept between frames to spare an allocation per frame. A
// larger buffer, left by one big frame, is given back: it would otherwise
// stay charged to the shared budget for the life of the connection.
constexpr size_t kKeptCapacity = 64 * 1024;

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

CFrameReceiver::CFrameReceiver(CMemoryBudget* pBudget, Clock clock)
    : m_share(pBudget), m_clock(std::move(clock)) {}

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

bool CFrameReceiver::HasStalled(std::chrono::steady_clock::duration limit) const {
    return IsInFrame() && m_clock() - m_lastProgress >= limit;
}

void CFrameReceiver::ReceiveOnce(IByteStream& stream, IPayloadHandler& handler) {
    if (m_nPayloadLength == 0) {
        ReceiveHeader(stream, handler);
    } else {
        ReceivePayload(stream, handler);
    }
}

void CFrameReceiver::ReceiveHeader(IByteStream& stream, IPayloadHandler& handler) {
    // Header bytes are taken as they come and kept until all eight are here.
    // Leaving a partial header in the socket (peeking until it is whole)
    // looks simpler but stalls: a read notification comes again at once for
    // bytes that stay unread, so the thread spins, and the TCP window that
    // only real reads reopen can stay shut, so the rest of the header never
    // arrives.
    const int wanted = static_cast<int>(kFrameHeaderSize - m_nHeaderReceived);
    const int count = stream.Receive(m_header.data() + m_nHeaderReceived, wanted, 0);
    if (count <= 0 || count > wanted) {
        return;
    }
    m_nHeaderReceived += static_cast<uint32_t>(count);
    m_lastProgress = m_clock();
    // Judged as soon as the first byte is here, so that a request of another
    // protocol is turned away before anything of it is used.
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
}

void CFrameReceiver::ReceivePayload(IByteStream& stream, IPayloadHandler& handler) {
    std::array<uint8_t, kReceiveChunk> chunk;
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
            if (!MakeRoom(static_cast<size_t>(count))) {
                m_fault = FrameFault::OverBudget;
                return;
            }
            m_receiveBuffer.insert(m_receiveBuffer.end(), chunk.begin(), chunk.begin() + count);
        }
        m_nReceived += static_cast<uint32_t>(count);
        m_lastProgress = m_clock();
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

// Grows the storage itself, so that what is charged to the budget is what
// is allocated: doubling as a vector would, but never past the announced
// length, so a whole 16 MiB payload costs 16 MiB and not up to twice that.
bool CFrameReceiver::MakeRoom(size_t count) {
    const size_t needed = m_receiveBuffer.size() + count;
    if (needed <= m_receiveBuffer.capacity()) {
        return true;
    }
    const size_t grown = std::min<size_t>(std::max(needed, 2 * m_receiveBuffer.capacity()),
                                          std::max<size_t>(needed, m_nPayloadLength));
    if (!m_share.Resize(grown)) {
        return false;
    }
    try {
        // Exactly grown bytes: reserve beyond the capacity allocates that much.
        m_receiveBuffer.reserve(grown);
    } catch (...) {
        m_share.Resize(m_receiveBuffer.capacity());
        throw;
    }
    return true;
}

void CFrameReceiver::DeliverPayload(IPayloadHandler& handler) {
    // The state returns to "header awaited" before the handler runs, so the
    // receiver is consistent whatever the handler does. The payload's storage
    // is handed back afterwards to spare an allocation per frame.
    std::vector<uint8_t> payload;
    payload.swap(m_receiveBuffer);
    m_nPayloadLength = 0;
    m_nReceived = 0;
    try {
        handler.OnPayload(payload);
    } catch (...) {
        KeepStorage(payload);
        throw;
    }
    KeepStorage(payload);
}

void CFrameReceiver::KeepStorage(std::vector<uint8_t>& payload) {
    if (m_receiveBuffer.capacity() < payload.capacity() && payload.capacity() <= kKeptCapacity) {
        payload.clear();
        m_receiveBuffer.swap(payload);
    }
    if (m_receiveBuffer.capacity() > kKeptCapacity) {
        std::vector<uint8_t>().swap(m_receiveBuffer);
    }
    // Whatever payload still holds is freed as it goes out of scope.
    m_share.Resize(m_receiveBuffer.capacity());
}
