// A plain-socket HTTP/1.0 client for the servers whose answer WinHTTP
// refuses: old stations that answer "ICY 200 OK". http only; the head is
// read by the platform-free CHttpHeadParser with the same bounds as
// WinHTTP's answers.
#pragma once

#include <memory>

#include "radio/source/AbortSignal_win.h"
#include "radio/source/HttpResponse.h"
#include "radio/source/Source.h"

namespace radio {

// One request to an http address: the stream for a 2xx answer, the status
// and location for a redirect.
bool OpenPlainHttp(const std::u16string& url, const CHttpUrl& parsed,
                   const std::shared_ptr<CAbortSignal>& abort, CHttpHop& hop,
                   CRadioFailure& failure);

// The plain client on its own, redirects followed (to http addresses only).
class CPlainHttpOpener : public ISourceOpener {
public:
    explicit CPlainHttpOpener(std::shared_ptr<CAbortSignal> abort = nullptr);
    std::unique_ptr<ISource> Open(const std::u16string& url, UrlOrigin origin,
                                  CRadioFailure& failure) override;
    void Abort() override { m_pAbort->Raise(); }

    static constexpr int kNetworkTimeoutMs = 5000;

private:
    std::shared_ptr<CAbortSignal> m_pAbort;
};

}  // namespace radio
