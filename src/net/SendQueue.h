// Framed bytes waiting for one connection's socket to take them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/ByteStream.h"
#include "net/MemoryBudget.h"

class CSendQueue {
public:
    // pBudget bounds the bytes this queue holds together with the queues of
    // other connections; nullptr: only the per-connection cap applies.
    explicit CSendQueue(CMemoryBudget* pBudget = nullptr) : m_share(pBudget) {}
    CSendQueue(const CSendQueue&) = delete;
    CSendQueue& operator=(const CSendQueue&) = delete;

    // Queues one frame (header and payload) behind everything still unsent;
    // frames leave whole and in order. Returns false when the connection is
    // to be closed: the queue was already given up, the payload is too long
    // for the length field, or holding it would take the queues of all
    // connections past their shared budget.
    bool AppendFrame(const std::vector<uint8_t>& payload);

    // Sends as much as the socket takes. Returns false when the owner must
    // close the connection: a send error other than would-block, or more
    // than kMaxUnsent bytes left behind by a peer that stopped reading.
    // Once false, the queue drops its bytes and stays given up.
    bool Flush(IByteStream& stream);

    // AppendFrame, then Flush; the owner's one call per outgoing event.
    bool SendFrame(IByteStream& stream, const std::vector<uint8_t>& payload);

    size_t GetUnsentSize() const { return m_sendBuffer.size() - m_nSent; }
    bool IsGivenUp() const { return m_bGivenUp; }
    // Bytes of storage held now, as charged to the budget.
    size_t GetHeldBytes() const { return m_share.GetHeld(); }

private:
    bool MakeRoom(size_t count);
    void GiveUp();

    std::vector<uint8_t> m_sendBuffer;
    // Bytes at the front of m_sendBuffer that the socket has already taken.
    size_t m_nSent = 0;
    bool m_bGivenUp = false;
    CBudgetShare m_share;
};
