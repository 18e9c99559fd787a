// The system's clock for the session: milliseconds since boot, and sleeps
// that a cancel ends at once.
#pragma once

#include <windows.h>

#include "radio/session/Clock.h"

namespace radio {

class CSystemClock : public IClock {
public:
    // hCancel, a manual-reset event, ends every sleep once set; it must
    // outlive the clock.
    explicit CSystemClock(HANDLE hCancel) : m_hCancel(hCancel) {}

    int64_t NowMs() const override { return static_cast<int64_t>(::GetTickCount64()); }
    bool SleepMs(int ms) override {
        return ::WaitForSingleObject(m_hCancel, static_cast<DWORD>(ms < 0 ? 0 : ms)) !=
               WAIT_OBJECT_0;
    }

private:
    HANDLE m_hCancel;
};

}  // namespace radio
