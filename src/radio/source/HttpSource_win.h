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

    // Connecting, sending and each wait for the answer or for data.
    static constexpr int kNetworkTimeoutMs = 5000;

private:
    std::shared_ptr<CAbortSignal> m_pAbort;
};

// WinHTTP calls back into this module until it has let go of every request
// handle, which a read in flight delays up to its timeout. A thread that
// holds the module loaded waits here (up to waitMs) before it lets go.
bool WaitForHttpCallbacks(DWORD waitMs);

}  // namespace radio
