// The opener the engine uses: http and https through WinHTTP, local paths
// through the file source (only for addresses from the host), one abort
// for all of them.
#pragma once

#include <memory>

#include "radio/source/FileSource_win.h"
#include "radio/source/HttpSource_win.h"

namespace radio {

class CSourceOpener : public ISourceOpener {
public:
    CSourceOpener();

    std::unique_ptr<ISource> Open(const std::u16string& url, UrlOrigin origin,
                                  CRadioFailure& failure) override;
    // May be called from any thread; the sources made here must not outlive
    // the opener's signal, which they share.
    void Abort() override { m_pAbort->Raise(); }
    bool Aborted() const { return m_pAbort->Raised(); }
    // Every source made here waits on the one signal, so it carries idle.
    void SetIdle(std::function<bool()> idle) override { m_pAbort->SetIdle(std::move(idle)); }

private:
    std::shared_ptr<CAbortSignal> m_pAbort;
    CHttpOpener m_http;
    CFileOpener m_file;
};

}  // namespace radio
