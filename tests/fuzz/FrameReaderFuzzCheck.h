// The property the frame reader's fuzz target checks, shared with the unit
// test that replays its seeds and saved inputs (tests/unit/fuzz).
//
// Input: byte 0 is the length N of a schedule, the next N bytes the
// schedule, the rest the peer's byte stream. Each Receive call takes the next
// schedule byte s (cyclically): s >= 0xC0 fails the call (would-block when s
// is even, a reset connection when odd); otherwise it hands over at most
// (s & 0x3F) + 1 bytes. Bit 6 of the byte for the k-th delivered payload
// makes the handler call OnReceive again from inside the delivery, as a
// nested message loop would. A schedule that fails N + 1 calls in a row is
// overruled once, the way data does arrive in the end.
//
// Properties, however the stream is cut:
//  - the payloads delivered are those of a plain reference parse of the whole
//    stream, in order (a length past the cap is skipped, not delivered);
//  - the reader faults exactly when a header's bytes 0..3 are not DA DA DA DA,
//    and then reads nothing past that header, delivers nothing more, and
//    every later notification returns false without reading;
//  - without a fault the whole stream is read, and the reader is inside a
//    frame exactly when the stream ends in an incomplete one;
//  - no read asks for more than one chunk;
//  - the payload storage held is what is charged to the shared budget, and
//    all of it is given back when the reader goes;
//  - with a clock that moves one second a read, the reader has stalled for
//    d exactly when it is inside a frame and no byte came for d.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "net/ByteStream.h"
#include "net/Frame.h"
#include "net/FrameReceiver.h"
#include "net/MemoryBudget.h"

namespace frame_fuzz {

struct Reference {
    std::vector<std::vector<uint8_t>> payloads;
    bool fault = false;
    size_t faultHeader = 0;  // where the refused header starts
    bool inFrame = false;
};

// The frame format read the simplest way, with the whole stream in hand.
inline Reference Parse(const std::vector<uint8_t>& stream) {
    Reference r;
    size_t pos = 0;
    while (pos < stream.size()) {
        const size_t left = stream.size() - pos;
        for (size_t i = 0; i < 4 && i < left; ++i) {
            if (stream[pos + i] != 0xDA) {
                r.fault = true;
                r.faultHeader = pos;
                return r;
            }
        }
        if (left < 8) {
            r.inFrame = true;
            return r;
        }
        const uint32_t length = static_cast<uint32_t>(stream[pos + 4]) |
                                static_cast<uint32_t>(stream[pos + 5]) << 8 |
                                static_cast<uint32_t>(stream[pos + 6]) << 16 |
                                static_cast<uint32_t>(stream[pos + 7]) << 24;
        pos += 8;
        if (stream.size() - pos < length) {
            r.inFrame = true;
            return r;
        }
        if (length <= kMaxPayload) {
            r.payloads.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                                    stream.begin() + static_cast<std::ptrdiff_t>(pos + length));
        }
        pos += length;
    }
    return r;
}

class CScheduledStream : public IByteStream {
public:
    CScheduledStream(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& schedule)
        : m_bytes(bytes), m_schedule(schedule) {}

    int Receive(void* buf, int len, int flags) override {
        ++m_nCalls;
        m_now += std::chrono::seconds(1);
        m_nLargestAsk = std::max(m_nLargestAsk, len);
        if (flags != 0 || len <= 0) {
            m_nLastError = 10022;  // the reader never peeks any more
            return kSocketError;
        }
        size_t allowed = static_cast<size_t>(len);
        if (!m_schedule.empty() && m_nFailedInRow <= m_schedule.size()) {
            const uint8_t s = m_schedule[m_nNext++ % m_schedule.size()];
            if (s >= 0xC0) {
                ++m_nFailedInRow;
                m_nLastError = (s & 1) ? 10054 : kWouldBlock;
                return kSocketError;
            }
            allowed = std::min<size_t>(allowed, (s & 0x3Fu) + 1);
        }
        m_nFailedInRow = 0;
        const size_t count = std::min(allowed, m_bytes.size() - m_nPos);
        if (count == 0) {
            m_nLastError = kWouldBlock;
            return kSocketError;
        }
        std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_nPos), count,
                    static_cast<uint8_t*>(buf));
        m_nPos += count;
        m_lastBytes = m_now;
        return static_cast<int>(count);
    }
    int Send(const void*, int, int) override {
        m_nLastError = 10057;
        return kSocketError;
    }
    int GetLastError() override { return m_nLastError; }

    size_t Position() const { return m_nPos; }
    size_t Calls() const { return m_nCalls; }
    int LargestAsk() const { return m_nLargestAsk; }
    // The stream's own clock: one second per read, bytes or not.
    std::chrono::steady_clock::time_point Now() const { return m_now; }
    std::chrono::steady_clock::time_point LastBytes() const { return m_lastBytes; }

private:
    const std::vector<uint8_t>& m_bytes;
    const std::vector<uint8_t>& m_schedule;
    size_t m_nPos = 0;
    size_t m_nNext = 0;
    size_t m_nFailedInRow = 0;
    size_t m_nCalls = 0;
    int m_nLargestAsk = 0;
    int m_nLastError = 0;
    std::chrono::steady_clock::time_point m_now{};
    std::chrono::steady_clock::time_point m_lastBytes{};
};

class CReentrantHandler : public IPayloadHandler {
public:
    CReentrantHandler(CFrameReceiver& receiver, IByteStream& stream,
                      const std::vector<uint8_t>& schedule)
        : m_receiver(receiver), m_stream(stream), m_schedule(schedule) {}

    void OnPayload(const std::vector<uint8_t>& payload) override {
        m_payloads.push_back(payload);
        const size_t k = m_payloads.size() - 1;
        if (!m_schedule.empty() && (m_schedule[k % m_schedule.size()] & 0x40) != 0) {
            // Deferred by the receiver: it must neither read nor deliver here.
            const size_t before = m_payloads.size();
            m_receiver.OnReceive(m_stream, *this);
            if (m_payloads.size() != before)
                m_bNestedDelivery = true;
        }
    }

    std::vector<std::vector<uint8_t>> m_payloads;
    bool m_bNestedDelivery = false;

private:
    CFrameReceiver& m_receiver;
    IByteStream& m_stream;
    const std::vector<uint8_t>& m_schedule;
};

inline std::string RunWith(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& schedule,
                           const Reference& expected, const std::string& where,
                           CMemoryBudget& budget, CScheduledStream& stream);

// Runs one reader over the stream with the schedule, as the socket layer
// would: a notification while unread bytes remain. Empty result when every
// property holds; otherwise what broke.
inline std::string Run(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& schedule,
                       const Reference& expected, const char* run) {
    const std::string where = std::string(run) + ": ";
    // Generous enough never to refuse a payload of the stream.
    CMemoryBudget budget(4 * bytes.size() + 65536);
    CScheduledStream stream(bytes, schedule);
    std::string why = RunWith(bytes, schedule, expected, where, budget, stream);
    if (why.empty() && budget.GetUsed() != 0)
        why = where + "storage not given back to the budget";
    return why;
}

inline std::string RunWith(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& schedule,
                           const Reference& expected, const std::string& where,
                           CMemoryBudget& budget, CScheduledStream& stream) {
    CFrameReceiver receiver(&budget, [&stream] { return stream.Now(); });
    CReentrantHandler handler(receiver, stream, schedule);
    bool open = true;
    // Every call either reads at least one byte or uses up a failing schedule
    // entry, and at most N of those come in a row, so this ends.
    const size_t limit = (bytes.size() + 2) * (schedule.size() + 2) + 16;
    size_t calls = 0;
    while (open && stream.Position() < bytes.size() && calls++ < limit) {
        open = receiver.OnReceive(stream, handler);
    }
    if (calls > limit)
        return where + "the stream was never read to its end";
    if (handler.m_bNestedDelivery)
        return where + "a nested notification delivered a payload";
    if (stream.LargestAsk() > static_cast<int>(kReceiveChunk))
        return where + "a read asked for more than one chunk";
    if (budget.GetUsed() != receiver.GetHeldBytes() || budget.GetUsed() > budget.GetLimit())
        return where + "storage held differs from what the budget was charged";
    if (handler.m_payloads != expected.payloads) {
        return where + "delivered " + std::to_string(handler.m_payloads.size()) +
               " payloads, the reference parse " + std::to_string(expected.payloads.size());
    }
    if (expected.fault) {
        if (open || receiver.GetFault() != FrameFault::BadMagic)
            return where + "a foreign header did not end the connection";
        if (stream.Position() > expected.faultHeader + kFrameHeaderSize)
            return where + "bytes past the refused header were read";
        const size_t callsBefore = stream.Calls();
        if (receiver.OnReceive(stream, handler) || receiver.OnReceive(stream, handler))
            return where + "a notification after the fault did not return false";
        if (stream.Calls() != callsBefore)
            return where + "the stream was read after the fault";
        if (handler.m_payloads.size() != expected.payloads.size())
            return where + "a payload was delivered after the fault";
        return {};
    }
    if (!open || receiver.GetFault() != FrameFault::None)
        return where + "a stream of well-formed headers ended the connection";
    if (stream.Position() != bytes.size())
        return where + "the stream was not read to its end";
    if (receiver.IsInFrame() != expected.inFrame)
        return where + (expected.inFrame ? "an incomplete frame was not noticed"
                                         : "the reader thinks it is inside a frame");
    // More notifications with nothing to read change nothing.
    for (int i = 0; i < 3; ++i) {
        if (!receiver.OnReceive(stream, handler))
            return where + "an idle notification failed";
    }
    if (handler.m_payloads != expected.payloads)
        return where + "an idle notification delivered";
    const auto quiet = stream.Now() - stream.LastBytes();
    for (const auto d :
         {std::chrono::steady_clock::duration::zero(), quiet, quiet + std::chrono::seconds(1)}) {
        if (receiver.HasStalled(d) != (expected.inFrame && quiet >= d))
            return where + "stall judged wrongly";
    }
    return {};
}

inline std::string CheckStream(const uint8_t* data, size_t size) {
    if (size == 0)
        return {};
    const size_t n = std::min<size_t>(data[0], size - 1);
    const std::vector<uint8_t> schedule(data + 1, data + 1 + n);
    const std::vector<uint8_t> bytes(data + 1 + n, data + size);
    const Reference expected = Parse(bytes);
    // The stream cut as the schedule says, and read whole: the same result.
    std::string why = Run(bytes, schedule, expected, "scheduled");
    if (!why.empty())
        return why;
    return Run(bytes, {}, expected, "whole");
}

}  // namespace frame_fuzz
