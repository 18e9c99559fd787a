// Local files (and whatever else a local path names: pipes, shares,
// devices) as a source. Reads are overlapped and bounded in time, so that a
// pipe that never writes or a share that stalls cannot hold the worker.
#pragma once

#include <memory>

#include "radio/source/AbortSignal_win.h"
#include "radio/source/Source.h"

namespace radio {

class CFileOpener : public ISourceOpener {
public:
    // A read that brings no byte for stallMs fails: a file does not stall
    // the way a live stream may. With no signal given, the opener makes one.
    explicit CFileOpener(std::shared_ptr<CAbortSignal> abort = nullptr,
                         int stallMs = kDefaultStallMs);

    // Only an address from the host may name a local thing.
    std::unique_ptr<ISource> Open(const std::u16string& url, UrlOrigin origin,
                                  CRadioFailure& failure) override;
    void Abort() override { m_pAbort->Raise(); }

    static constexpr int kDefaultStallMs = 5000;

private:
    std::shared_ptr<CAbortSignal> m_pAbort;
    int m_nStallMs;
};

}  // namespace radio
