// A socket stand-in: bytes the peer sent wait until read; bytes we send go
// to a wire up to a window the test opens, beyond which sends would block.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "net/ByteStream.h"

// recv's flag that leaves the bytes in the queue (MSG_PEEK): the reader is
// expected never to use it, and the fake counts the reads that do.
inline constexpr int kPeekFlag = 2;

class CFakeByteStream : public IByteStream {
public:
    void Arrive(const std::vector<uint8_t>& bytes) {
        m_inbound.insert(m_inbound.end(), bytes.begin(), bytes.end());
    }
    size_t Waiting() const { return m_inbound.size() - m_nReadPos; }

    int Receive(void* buf, int len, int flags) override {
        const bool peek = (flags & kPeekFlag) != 0;
        (peek ? m_peekSizes : m_readSizes).push_back(len);
        if (Waiting() == 0) {
            return Fail(kWouldBlock);
        }
        const size_t count = std::min(Waiting(), static_cast<size_t>(len));
        std::memcpy(buf, m_inbound.data() + m_nReadPos, count);
        m_nReadPos += peek ? 0 : count;
        return static_cast<int>(count);
    }

    int Send(const void* buf, int len, int flags) override {
        m_bNonZeroSendFlags |= flags != 0;
        if (m_nFailWith != 0 || m_bReturnZero) {
            return m_bReturnZero ? 0 : Fail(m_nFailWith);
        }
        const size_t count = std::min({m_nWindow, m_nMaxPerSend, static_cast<size_t>(len)});
        if (count == 0) {
            return Fail(kWouldBlock);
        }
        const auto* bytes = static_cast<const uint8_t*>(buf);
        m_wire.insert(m_wire.end(), bytes, bytes + count);
        m_nWindow -= count;
        return static_cast<int>(count);
    }

    int GetLastError() override { return m_nLastError; }

    std::vector<uint8_t> m_inbound;
    size_t m_nReadPos = 0;
    std::vector<int> m_peekSizes;
    std::vector<int> m_readSizes;

    std::vector<uint8_t> m_wire;
    size_t m_nWindow = SIZE_MAX;
    size_t m_nMaxPerSend = SIZE_MAX;
    int m_nFailWith = 0;
    bool m_bReturnZero = false;
    bool m_bNonZeroSendFlags = false;

private:
    int Fail(int code) {
        m_nLastError = code;
        return kSocketError;
    }

    int m_nLastError = 0;
};
