// The engine behind one URL: a worker thread that opens the source, follows
// playlists, cuts the audio out of the stream, decodes it and plays it, and
// reports what happens as notices that the control picks up on its own
// thread. One session per URL; a stopped session is abandoned, not joined,
// so that a hung network never holds the caller.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "framework/Handles.h"
#include "radio/MediaInfo.h"
#include "radio/RadioErrors.h"

namespace radio {

// A slim lock for the engine's shared state. The DLL's own threads are plain
// Win32 threads, so the lock is the system's, not the C++ runtime's.
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

enum class NoticeKind { Started, Stalled, Dropped, Ended, Failed, Media };

struct CEngineNotice {
    NoticeKind kind = NoticeKind::Started;
    CRadioFailure failure;  // Failed
    CStreamInfo media;      // Media
};

// What the control and the worker share. The control only ever cancels,
// changes the volume and pauses; the worker only posts notices.
class CEngineShared {
public:
    CEngineShared(HWND hNotifyWnd, UINT nNotifyMsg, std::u16string url);

    // Queues a notice and wakes the control; nothing once cancelled.
    void Post(CEngineNotice notice);
    // The next notice, if any.
    std::optional<CEngineNotice> Take();

    // Ends the session as far as anyone can see at once: no more notices,
    // the output falls silent, and every wait of the worker returns.
    void Cancel();
    bool Cancelled() const { return m_bCancel.load(); }
    HANDLE CancelEvent() const { return m_hCancel.Get(); }

    void SetVolume(int volume, bool mute) {
        m_nVolume.store(volume);
        m_bMute.store(mute);
    }
    int EffectiveVolume() const { return m_bMute.load() ? 0 : m_nVolume.load(); }

    void SetPaused(bool paused);
    bool Paused() const { return m_bPaused.load(); }

    // The worker registers its output so that Cancel and pausing reach it.
    void AttachOutput(HWAVEOUT hWaveOut);
    void DetachOutput();
    // Runs write on the output unless the session was cancelled; the lock
    // keeps Cancel from resetting the device in the middle of it.
    template <typename F>
    bool WithOutput(F&& write) {
        CLockGuard lock(m_outputMutex);
        if (m_bCancel.load() || m_hWaveOut == nullptr) {
            return false;
        }
        return write(m_hWaveOut);
    }

    const std::u16string& Url() const { return m_strUrl; }

private:
    const HWND m_hNotifyWnd;
    const UINT m_nNotifyMsg;
    const std::u16string m_strUrl;
    CHandle m_hCancel;
    std::atomic<bool> m_bCancel{false};
    std::atomic<int> m_nVolume{50};
    std::atomic<bool> m_bMute{false};
    std::atomic<bool> m_bPaused{false};

    CSlimLock m_noticeMutex;
    std::deque<CEngineNotice> m_notices;

    CSlimLock m_outputMutex;
    HWAVEOUT m_hWaveOut = nullptr;
};

// Loads the audio output and the MP3 decoder once per process, on a thread
// of its own, so that the first stream does not pay for it.
void WarmUpAudio();

// Starts the worker for shared->Url(). The thread keeps the DLL loaded
// until it ends. False if no thread could be started.
bool StartEngine(const std::shared_ptr<CEngineShared>& shared);

}  // namespace radio
