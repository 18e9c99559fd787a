// The engine behind one URL: a worker thread that builds the Windows stages
// (source opener, decoders, waveOut, the system clock) and runs the
// platform-free CSession over them. What the session reports arrives as
// notices that the control picks up on its own thread. One session per URL;
// a stopped session is abandoned, not joined, so that a hung network never
// holds the caller.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "radio/output/WaveOutput_win.h"
#include "radio/session/Notice.h"
#include "radio/source/SourceOpener_win.h"

namespace radio {

// What the control and the worker share. The control only ever cancels,
// changes the volume and pauses; the worker only posts notices.
class CEngineShared : public INoticeSink {
public:
    CEngineShared(HWND hNotifyWnd, UINT nNotifyMsg, std::u16string url);

    // Queues a notice and wakes the control; nothing once cancelled.
    void Post(CNotice notice) override;
    bool Cancelled() const override { return m_bCancel.load(); }
    // The next notice, if any.
    std::optional<CNotice> Take();

    // Ends the session as far as anyone can see at once: no more notices,
    // the output falls silent, and every wait of the worker returns.
    void Cancel();
    HANDLE CancelEvent() const { return m_output.CancelEvent(); }

    void SetVolume(int volume, bool mute) { m_output.SetVolume(volume, mute); }
    void SetPaused(bool paused) { m_output.SetPaused(paused); }

    // The stages' shared ends: the output's control and the source opener,
    // which Cancel reaches from the control's thread.
    CWaveOutControl& OutputControl() { return m_output; }
    CSourceOpener& Opener() { return m_opener; }

    const std::u16string& Url() const { return m_strUrl; }

private:
    const HWND m_hNotifyWnd;
    const UINT m_nNotifyMsg;
    const std::u16string m_strUrl;
    std::atomic<bool> m_bCancel{false};
    CWaveOutControl m_output;
    CSourceOpener m_opener;

    CSlimLock m_noticeMutex;
    CNoticeQueue m_notices;
};

// Brings up the audio output, the MP3 decoder and WinHTTP once per process,
// on a thread of its own, so that the first stream does not pay for them.
void WarmUpAudio();

// Starts the worker for shared->Url(). The thread keeps the DLL loaded
// until it ends. False if no thread could be started.
bool StartEngine(const std::shared_ptr<CEngineShared>& shared);

}  // namespace radio
