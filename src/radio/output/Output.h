// The output stage: 16-bit PCM to the sound device. Writing never blocks:
// the device takes what fits in its queue, and the session decides what to
// do while it is full or dry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "radio/RadioErrors.h"
#include "radio/decoder/Decoder.h"

namespace radio {

class IOutput {
public:
    virtual ~IOutput() = default;
    // Opens (or reopens, for another format) the device.
    virtual bool Open(const CPcmFormat& format, CRadioFailure& failure) = 0;
    virtual bool IsOpen() const = 0;
    virtual CPcmFormat Format() const = 0;
    // Takes up to count interleaved samples; returns how many it took (0
    // while the device's queue is full). Volume is applied here.
    virtual size_t Write(const int16_t* samples, size_t count) = 0;
    // Sends a partly filled buffer on its way (at the end of the input).
    virtual void Flush() = 0;
    // Milliseconds of audio handed to the device and not yet played.
    virtual int64_t QueuedMs() const = 0;
    // Waits up to waitMs for the device to finish a buffer (or for a
    // cancel); the session's idle wait when it has nothing else to do.
    virtual void WaitForRoom(int waitMs) = 0;
    virtual void Close() = 0;
};

}  // namespace radio
