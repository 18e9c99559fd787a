// The little a connection needs of its socket: read (optionally without
// consuming), write, and the error code of the last failed call. The Windows
// socket class implements it directly; the unit tests script it.
#pragma once

// Result of a failed Receive or Send.
inline constexpr int kSocketError = -1;
// Error code of a non-blocking call that would have had to wait.
inline constexpr int kWouldBlock = 10035;

class IByteStream {
public:
    virtual ~IByteStream() = default;

    // Each returns the number of bytes moved, or kSocketError.
    virtual int Receive(void* buf, int len, int flags) = 0;
    virtual int Send(const void* buf, int len, int flags) = 0;
    // The error code of the last call that returned kSocketError.
    virtual int GetLastError() = 0;
};
