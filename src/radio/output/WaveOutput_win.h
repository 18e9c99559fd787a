// The output stage on waveOut: a small ring of buffers that the device
// plays in turn. The control's thread reaches the device through
// CWaveOutControl (volume, pause, and a stop that silences at once); the
// worker writes through CWaveOutput.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <vector>

#include "framework/Handles.h"
#include "radio/output/Output.h"

namespace radio {

// A slim lock for state shared with the control's thread. The DLL's own
// threads are plain Win32 threads, so the lock is the system's, not the C++
// runtime's.
class CSlimLock {
public:
    CSlimLock() = default;
    CSlimLock(const CSlimLock&) = delete;
    CSlimLock& operator=(const CSlimLock&) = delete;
    void lock() { ::AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ::ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class CLockGuard {
public:
    explicit CLockGuard(CSlimLock& lock) : m_lock(lock) { m_lock.lock(); }
    ~CLockGuard() { m_lock.unlock(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CSlimLock& m_lock;
};

// What the control's thread may do to a playing device. Cancel is final:
// the device is reset at once and no later write reaches it.
class CWaveOutControl {
public:
    CWaveOutControl();
    CWaveOutControl(const CWaveOutControl&) = delete;
    CWaveOutControl& operator=(const CWaveOutControl&) = delete;

    void SetVolume(int volume, bool mute) {
        m_nVolume.store(volume);
        m_bMute.store(mute);
    }
    int EffectiveVolume() const { return m_bMute.load() ? 0 : m_nVolume.load(); }

    void SetPaused(bool paused);
    bool Paused() const { return m_bPaused.load(); }

    void Cancel();
    bool Cancelled() const { return m_bCancel.load(); }
    // Set once cancelled, so that waits of the worker return.
    HANDLE CancelEvent() const { return m_hCancel.Get(); }

    // The worker registers its device so that Cancel and pausing reach it.
    void Attach(HWAVEOUT hWaveOut);
    void Detach();
    // Runs f on the device unless cancelled; the lock keeps Cancel from
    // resetting the device in the middle of it.
    template <typename F>
    bool WithDevice(F&& f) {
        CLockGuard lock(m_mutex);
        if (m_bCancel.load() || m_hWaveOut == nullptr) {
            return false;
        }
        return f(m_hWaveOut);
    }

private:
    CHandle m_hCancel;
    std::atomic<bool> m_bCancel{false};
    std::atomic<int> m_nVolume{50};
    std::atomic<bool> m_bMute{false};
    std::atomic<bool> m_bPaused{false};
    CSlimLock m_mutex;
    HWAVEOUT m_hWaveOut = nullptr;
};

// waveOut with a ring of kBuffers buffers of kBufferMs each. Write takes
// what fits and never blocks; a device that fails a write is closed, so
// IsOpen() says whether writing can go on.
class CWaveOutput : public IOutput {
public:
    static constexpr size_t kBuffers = 4;
    static constexpr int kBufferMs = 100;

    explicit CWaveOutput(CWaveOutControl& control) : m_control(control) {}
    CWaveOutput(const CWaveOutput&) = delete;
    CWaveOutput& operator=(const CWaveOutput&) = delete;
    ~CWaveOutput() override { Close(); }

    bool Open(const CPcmFormat& format, CRadioFailure& failure) override;
    bool IsOpen() const override { return m_hWaveOut != nullptr; }
    CPcmFormat Format() const override { return m_format; }
    size_t Write(const int16_t* samples, size_t count) override;
    void Flush() override;
    int64_t QueuedMs() const override;
    void WaitForRoom(int waitMs) override;
    void Close() override;

private:
    struct CBuffer {
        std::vector<int16_t> samples;
        WAVEHDR header{};
        bool bQueued = false;
    };

    bool Playing(const CBuffer& buffer) const {
        return buffer.bQueued && (buffer.header.dwFlags & WHDR_DONE) == 0;
    }
    // Unprepares a buffer the device has finished with; false while it plays.
    bool Reclaim(CBuffer& buffer);
    bool Submit();

    CWaveOutControl& m_control;
    HWAVEOUT m_hWaveOut = nullptr;
    CHandle m_hDone;
    CBuffer m_buffers[kBuffers];
    CPcmFormat m_format;
    size_t m_nBufferSamples = 0;
    size_t m_nCurrent = 0;
    size_t m_nFill = 0;
};

// Opens the default device once and closes it again: under Wine that brings
// the whole output path up, which otherwise costs the first stream several
// hundred milliseconds.
void WarmUpWaveOut();

}  // namespace radio
