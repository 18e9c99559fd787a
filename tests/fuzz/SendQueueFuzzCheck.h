// The property the send queue's fuzz target checks, shared with the unit
// test that replays its seeds and saved inputs (tests/unit/fuzz).
//
// Input: a script of operations, one byte each plus their argument bytes:
//   op % 4 == 0  queue a frame and flush, as SendFrame does; next byte L: a
//                payload of L & 0x7F bytes, or, when L has its top bit set, of
//                (L & 0x7F) x 16 KiB + L bytes (so that the 8 MiB cap is in
//                reach); its bytes number the frame
//   op % 4 == 1  flush while the peer takes at most (next byte) x 97 bytes a
//                send (at least 1), and op / 4 sends before it would block
//                (0: 4096 sends, so that a megabyte taken a byte at a time
//                does not make one input take seconds)
//   op % 4 == 2  flush where sending fails with a reset connection
//   op % 4 == 3  flush where sending returns 0
// and at the end a flush with the peer taking everything.
//
// Properties, however the sends are split:
//  - the bytes on the wire are always a prefix of the frames queued, each
//    frame DA DA DA DA, its length big-endian, its payload, in order;
//  - a flush that leaves more than the cap unsent, or meets an error other
//    than would-block, gives the queue up: it says false, holds nothing, and
//    from then on queues and sends nothing;
//  - otherwise the unsent count is what was queued minus what left, and the
//    final flush sends everything;
//  - the queue's storage is charged to a budget shared with other queues
//    (kBudget here, with a neighbour holding kNeighbour of it): what it holds
//    is what it was charged, never past the budget, and nothing once given
//    up; a frame is refused for the budget only when the queue held unsent
//    bytes (a frame into an emptied queue always fits), and the refusal
//    gives the queue up.
#pragma once

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

#include "net/ByteStream.h"
#include "net/Frame.h"
#include "net/MemoryBudget.h"
#include "net/SendQueue.h"

namespace send_fuzz {

class CPeer : public IByteStream {
public:
    int Receive(void*, int, int) override {
        m_nLastError = kWouldBlock;
        return kSocketError;
    }
    int Send(const void* buf, int len, int flags) override {
        ++m_nCalls;
        if (flags != 0 || len <= 0)
            return Fail(10022);
        if (m_nFail != 0)
            return Fail(m_nFail);
        if (m_bZero)
            return 0;
        if (m_nSendsLeft == 0)
            return Fail(kWouldBlock);
        if (m_nSendsLeft > 0)
            --m_nSendsLeft;
        const size_t count = std::min(m_nPerSend, static_cast<size_t>(len));
        const auto* bytes = static_cast<const uint8_t*>(buf);
        // Compared as it leaves, against what was queued, rather than kept.
        if (m_nWire + count > m_pExpected->size() ||
            std::memcmp(m_pExpected->data() + m_nWire, bytes, count) != 0)
            m_bWrong = true;
        m_nWire += count;
        return static_cast<int>(count);
    }
    int GetLastError() override { return m_nLastError; }

    void Allow(size_t perSend, long sends) {
        m_nPerSend = perSend;
        m_nSendsLeft = sends;
        m_nFail = 0;
        m_bZero = false;
    }

    explicit CPeer(const std::vector<uint8_t>& expected) : m_pExpected(&expected) {}

    const std::vector<uint8_t>* m_pExpected;  // every frame queued, framed
    size_t m_nWire = 0;                       // bytes sent so far
    bool m_bWrong = false;                    // a byte sent differs
    size_t m_nPerSend = SIZE_MAX;
    long m_nSendsLeft = -1;  // -1: unlimited
    int m_nFail = 0;
    bool m_bZero = false;
    size_t m_nCalls = 0;

private:
    int Fail(int code) {
        m_nLastError = code;
        return kSocketError;
    }
    int m_nLastError = 0;
};

// 12 MiB left for the queue: more than the 8 MiB unsent cap, so both bounds
// are in reach (unsent bytes behind a sent prefix not yet cut off, or a
// frame on top of 8 MiB, pass the budget first). Long frames are at most
// 2 MiB, so that most inputs stay cheap.
inline constexpr size_t kBudget = 16u << 20;
inline constexpr size_t kNeighbour = 4u << 20;

inline std::string CheckSendQueue(const uint8_t* data, size_t size) {
    CMemoryBudget budget(kBudget);
    CBudgetShare neighbour(&budget);  // another connection's queue
    neighbour.Resize(kNeighbour);
    CSendQueue queue(&budget);
    std::vector<uint8_t> expected;  // every frame queued, framed
    CPeer peer(expected);
    bool givenUp = false;
    uint32_t frames = 0;
    size_t i = 0;
    const auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };

    const auto flush = [&]() -> std::string {
        const size_t callsBefore = peer.m_nCalls;
        const bool ok = queue.Flush(peer);
        if (givenUp) {
            if (ok)
                return "a given-up queue flushed";
            if (peer.m_nCalls != callsBefore)
                return "a given-up queue sent";
            return {};
        }
        if (peer.m_bWrong)
            return "the wire is not a prefix of the frames queued";
        const size_t unsent = expected.size() - peer.m_nWire;
        if (!ok) {
            if (peer.m_nFail == 0 && unsent <= kMaxUnsent)
                return "flush gave up without an error and under the cap";
            if (queue.GetUnsentSize() != 0 || !queue.IsGivenUp())
                return "a queue given up still holds bytes";
            givenUp = true;
            return {};
        }
        if (peer.m_nFail != 0 && peer.m_nCalls != callsBefore)
            return "a send error was not reported";
        if (unsent > kMaxUnsent)
            return "more than the cap left unsent without giving up";
        if (queue.GetUnsentSize() != unsent)
            return "unsent count differs from the wire";
        return {};
    };

    while (i < size) {
        const uint8_t op = next();
        std::string why;
        switch (op % 4) {
            case 0: {
                // Long frames only while the record of what was queued stays
                // modest; short ones go on exercising the order.
                const uint8_t l = next();
                const bool longFrame = (l & 0x80) != 0 && expected.size() < (32u << 20);
                const size_t length = longFrame ? (l & 0x7Fu) * 16384u + l : (l & 0x7Fu);
                // Runs of 251 equal bytes counting up from the frame's number,
                // so that a lost, doubled or reordered piece shows.
                std::vector<uint8_t> payload(length);
                for (size_t k = 0; k < length; k += 251) {
                    std::fill_n(payload.begin() + static_cast<std::ptrdiff_t>(k),
                                std::min<size_t>(251, length - k),
                                static_cast<uint8_t>(frames + k / 251));
                }
                ++frames;
                const size_t unsentBefore = queue.GetUnsentSize();
                const bool ok = queue.AppendFrame(payload);
                if (givenUp) {
                    if (ok)
                        return "a given-up queue took a frame";
                    break;
                }
                if (!ok) {
                    if (unsentBefore == 0)
                        return "a frame that fits the budget was refused by an empty queue";
                    if (!queue.IsGivenUp() || queue.GetHeldBytes() != 0)
                        return "a frame refused for the budget did not give the queue up";
                    givenUp = true;
                    break;
                }
                AppendOutboundHeader(expected, static_cast<uint32_t>(length));
                expected.insert(expected.end(), payload.begin(), payload.end());
                if (queue.GetUnsentSize() != expected.size() - peer.m_nWire)
                    return "unsent count differs after queueing";
                // The owner flushes after every frame it queues (SendFrame),
                // with the peer as the last flush left it.
                why = flush();
                break;
            }
            case 1: {
                const size_t perSend = static_cast<size_t>(next()) * 97u;
                peer.Allow(perSend == 0 ? 1 : perSend, op / 4 == 0 ? 4096 : op / 4);
                why = flush();
                break;
            }
            case 2:
                peer.Allow(SIZE_MAX, -1);
                peer.m_nFail = 10054;
                why = flush();
                break;
            case 3:
                peer.Allow(SIZE_MAX, -1);
                peer.m_bZero = true;
                why = flush();
                break;
        }
        if (!why.empty())
            return why;
        if (queue.GetHeldBytes() + kNeighbour != budget.GetUsed() ||
            budget.GetUsed() > budget.GetLimit())
            return "storage held differs from what the budget was charged";
        if (queue.GetHeldBytes() < queue.GetUnsentSize())
            return "more unsent than the storage charged";
        if (givenUp && queue.GetHeldBytes() != 0)
            return "a given-up queue still holds storage";
    }
    peer.Allow(SIZE_MAX, -1);
    std::string why = flush();
    if (!why.empty())
        return why;
    if (!givenUp && peer.m_nWire != expected.size())
        return "the final flush did not send everything";
    if (!givenUp && queue.GetUnsentSize() != 0)
        return "bytes left after everything was sent";
    return {};
}

}  // namespace send_fuzz
