// http and https through WinHTTP, used asynchronously: every wait is the
// caller's to bound, and an abort ends each of them at once.
#pragma once

#include <windows.h>

#include <memory>

#include "radio/source/AbortSignal_win.h"
#include "radio/source/Source.h"

namespace radio {

class CHttpOpener : public ISourceOpener {
public:
    explicit CHttpOpener(std::shared_ptr<CAbortSignal> abort = nullptr);

    // Follows redirects itself (see FollowRedirects). An http answer that
    // WinHTTP refuses is asked for again with the plain-socket client.
    std::unique_ptr<ISource> Open(const std::u16string& url, UrlOrigin origin,
                                  CRadioFailure& failure) override;
    void Abort() override { m_pAbort->Raise(); }
    void SetIdle(std::function<bool()> idle) override { m_pAbort->SetIdle(std::move(idle)); }

    // Connecting, sending and the wait for the answer's head. Once the
    // stream has answered, WinHTTP waits up to kSourceSilenceMs for data.
    static constexpr int kNetworkTimeoutMs = 5000;
    // How long a thread that lets go of its last request may wait for
    // WinHTTP's callbacks: a receive in flight ends at the latest with its
    // timeout.
    static constexpr DWORD kCallbackDrainMs = kSourceSilenceMs + 2000;

private:
    std::shared_ptr<CAbortSignal> m_pAbort;
};

// WinHTTP calls back into this module until it has let go of every request
// handle, which a read in flight delays up to its timeout. A thread that
// holds the module loaded waits here (up to waitMs) before it lets go.
bool WaitForHttpCallbacks(DWORD waitMs);

// Opens and closes a WinHTTP session, so that the first station does not
// pay for loading WinHTTP and its thread pool.
void WarmUpHttp();

}  // namespace radio
