#include "radio/RadioEngine_win.h"

#include <new>
#include <utility>

#include "radio/decoder/AcmDecoder_win.h"
#include "radio/hls/SegmentCipher_win.h"
#include "radio/session/Clock_win.h"
#include "radio/session/Session.h"

namespace radio {

namespace {

struct CThreadStart {
    std::shared_ptr<CEngineShared> pShared;
    HMODULE hModule = nullptr;
};

// One session from start to end on the worker's own stages. The decoders
// are made here because a Media Foundation transform belongs to the thread
// that made it.
void RunSession(const std::shared_ptr<CEngineShared>& shared) {
    CWinDecoderFactory decoders;
    CWaveOutput output(shared->OutputControl());
    CSystemClock clock(shared->CancelEvent());
    const CSessionStages stages{shared->Opener(), decoders, output, clock, *shared};
    CSession session(stages, shared->Url());
    session.SetHlsCipher([](std::span<const uint8_t> key) -> std::unique_ptr<hls::ICbcDecryptor> {
        return hls::CCngAesDecryptor::Create(key);
    });
    session.Run();
}

DWORD WINAPI EngineThread(void* parameter) {
    auto* start = static_cast<CThreadStart*>(parameter);
    const HMODULE hModule = start->hModule;
    {
        const std::shared_ptr<CEngineShared> shared = std::move(start->pShared);
        delete start;
        try {
            RunSession(shared);
        } catch (...) {
            // Out of memory in the middle of a stream: report it as the
            // stream's failure rather than let it end the host.
            try {
                CNotice notice;
                notice.kind = NoticeKind::Failed;
                notice.failure = {0x8007000Eu, u"Not enough memory to play the stream."};
                shared->Post(std::move(notice));
            } catch (...) {
            }
        }
    }
    // WinHTTP may still call back into this DLL for a request it holds;
    // the thread is abandoned already, so it can wait for that.
    WaitForHttpCallbacks(CHttpOpener::kCallbackDrainMs);
    // The thread's reference keeps the DLL's code alive until here.
    ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

DWORD WINAPI WarmUpThread(void* parameter) {
    const auto hModule = static_cast<HMODULE>(parameter);
    // Opening the device once brings the whole output path up (under Wine
    // that is several hundred milliseconds); nothing is ever written to it.
    WarmUpWaveOut();
    WarmUpAcm();
    WarmUpHttp();
    ::FreeLibraryAndExitThread(hModule, 0);
    return 0;
}

}  // namespace

void WarmUpAudio() {
    static std::atomic<bool> s_bStarted{false};
    if (s_bStarted.exchange(true)) {
        return;
    }
    HMODULE hModule = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&WarmUpThread), &hModule)) {
        return;
    }
    CHandle thread(::CreateThread(nullptr, 0, WarmUpThread, hModule, 0, nullptr));
    if (!thread) {
        ::FreeLibrary(hModule);
    }
}

CEngineShared::CEngineShared(HWND hNotifyWnd, UINT nNotifyMsg, std::u16string url)
    : m_hNotifyWnd(hNotifyWnd), m_nNotifyMsg(nNotifyMsg), m_strUrl(std::move(url)) {}

void CEngineShared::Post(CNotice notice) {
    bool wake = false;
    {
        CLockGuard lock(m_noticeMutex);
        if (m_bCancel.load()) {
            return;
        }
        // The control drains the whole queue on each wake-up, so one
        // message per batch is enough; a flood of titles posts nothing.
        wake = m_notices.Push(std::move(notice));
    }
    if (wake) {
        ::PostMessageW(m_hNotifyWnd, m_nNotifyMsg, 0, 0);
    }
}

std::optional<CNotice> CEngineShared::Take() {
    CLockGuard lock(m_noticeMutex);
    return m_notices.Take();
}

void CEngineShared::Cancel() {
    {
        CLockGuard lock(m_noticeMutex);
        m_bCancel.store(true);
        m_notices.Clear();
    }
    // Every wait of the worker ends: the source's and the output's.
    m_opener.Abort();
    m_output.Cancel();
}

bool StartEngine(const std::shared_ptr<CEngineShared>& shared) {
    HMODULE hModule = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&EngineThread), &hModule)) {
        return false;
    }
    auto* start = new (std::nothrow) CThreadStart{shared, hModule};
    if (start == nullptr) {
        ::FreeLibrary(hModule);
        return false;
    }
    CHandle thread(::CreateThread(nullptr, 0, EngineThread, start, 0, nullptr));
    if (!thread) {
        delete start;
        ::FreeLibrary(hModule);
        return false;
    }
    return true;
}

}  // namespace radio
