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

}  // namespace

bool CSendQueue::AppendFrame(const std::vector<uint8_t>& payload) {
    if (m_bGivenUp) {
        return false;
    }
    // Only reachable where size_t is wider than the 32-bit length field.
    const uint64_t size = payload.size();
    if (size > UINT32_MAX) {
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

void CSendQueue::GiveUp() {
    m_bGivenUp = true;
    std::vector<uint8_t>().swap(m_sendBuffer);
    m_nSent = 0;
}
