#include "net/SendQueue.h"

#include <algorithm>
#include <climits>

#include "net/Frame.h"

namespace {

// A sent prefix at least this long, and longer than the unsent tail, is cut
// off even though the buffer is not empty yet. Without it a peer that always
// lags a little would keep every byte ever sent; with it each byte is moved
// at most once, so the cost stays linear however the sends are split.
constexpr size_t kCompactThreshold = 64 * 1024;

// Storage kept once everything is sent, to spare an allocation per event; a
// larger buffer, left by a burst, is given back so that it does not stay
// charged to the shared budget.
constexpr size_t kKeptCapacity = 64 * 1024;

}  // namespace

bool CSendQueue::AppendFrame(const std::vector<uint8_t>& payload) {
    if (m_bGivenUp) {
        return false;
    }
    // Only reachable where size_t is wider than the 32-bit length field.
    const uint64_t size = payload.size();
    if (size > UINT32_MAX || !MakeRoom(kFrameHeaderSize + payload.size())) {
        GiveUp();
        return false;
    }
    AppendOutboundHeader(m_sendBuffer, static_cast<uint32_t>(payload.size()));
    m_sendBuffer.insert(m_sendBuffer.end(), payload.begin(), payload.end());
    return true;
}

bool CSendQueue::Flush(IByteStream& stream) {
    if (m_bGivenUp) {
        return false;
    }
    while (m_nSent < m_sendBuffer.size()) {
        const size_t remaining = m_sendBuffer.size() - m_nSent;
        const int wanted = static_cast<int>(std::min<size_t>(remaining, INT_MAX));
        const int count = stream.Send(m_sendBuffer.data() + m_nSent, wanted, 0);
        if (count < 0) {
            if (stream.GetLastError() == kWouldBlock) {
                break;
            }
            GiveUp();
            return false;
        }
        if (count == 0) {
            // Nothing taken without an error: wait for the next send
            // notification rather than spin.
            break;
        }
        m_nSent += std::min(static_cast<size_t>(count), remaining);
    }

    if (m_nSent == m_sendBuffer.size()) {
        m_sendBuffer.clear();
        m_nSent = 0;
        if (m_sendBuffer.capacity() > kKeptCapacity) {
            std::vector<uint8_t>().swap(m_sendBuffer);
            m_share.Resize(0);
        }
    } else if (m_nSent >= kCompactThreshold && m_nSent >= GetUnsentSize()) {
        m_sendBuffer.erase(m_sendBuffer.begin(),
                           m_sendBuffer.begin() + static_cast<std::ptrdiff_t>(m_nSent));
        m_nSent = 0;
    }

    if (GetUnsentSize() > kMaxUnsent) {
        GiveUp();
        return false;
    }
    return true;
}

bool CSendQueue::SendFrame(IByteStream& stream, const std::vector<uint8_t>& payload) {
    return AppendFrame(payload) && Flush(stream);
}

// Grows the storage itself, so that what is charged to the budget is what is
// allocated: doubling while the budget allows it, else exactly what is needed.
bool CSendQueue::MakeRoom(size_t count) {
    const size_t needed = m_sendBuffer.size() + count;
    if (needed <= m_sendBuffer.capacity()) {
        return true;
    }
    size_t grown = std::max(needed, 2 * m_sendBuffer.capacity());
    if (!m_share.Resize(grown)) {
        grown = needed;
        if (!m_share.Resize(grown)) {
            return false;
        }
    }
    try {
        // Exactly grown bytes: reserve beyond the capacity allocates that much.
        m_sendBuffer.reserve(grown);
    } catch (...) {
        m_share.Resize(m_sendBuffer.capacity());
        throw;
    }
    return true;
}

void CSendQueue::GiveUp() {
    m_bGivenUp = true;
    std::vector<uint8_t>().swap(m_sendBuffer);
    m_nSent = 0;
    m_share.Resize(0);
}
