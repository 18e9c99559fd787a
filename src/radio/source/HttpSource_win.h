// http and https through WinHTTP, used asynchronously: every wait is the
// caller's to bound, and an abort ends each of them at once.
#pragma once

#include <memory>

#include "radio/source/AbortSignal_win.h"
#include "radio/source/Source.h"

namespace radio {

class CHttpOpener : public ISourceOpener {
public:
    explicit CHttpOpener(std::shared_ptr<CAbortSignal> abort = nullptr);

    // Follows redirects itself, up to kMaxRedirects.
    std::unique_ptr<ISource> Open(const std::u16string& url, UrlOrigin origin,
                                  CRadioFailure& failure) override;
    void Abort() override { m_pAbort->Raise(); }

    static constexpr int kMaxRedirects = 8;
    // Connecting, sending and each wait for the answer or for data.
    static constexpr int kNetworkTimeoutMs = 5000;

private:
    std::shared_ptr<CAbortSignal> m_pAbort;
};

}  // namespace radio
