// One stop for every source an opener made: once raised, every wait of a
// source returns at once and no new operation starts.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <utility>

#include "framework/Handles.h"
#include "radio/source/Source.h"

namespace radio {

class CAbortSignal {
public:
    CAbortSignal() : m_hEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    CAbortSignal(const CAbortSignal&) = delete;
    CAbortSignal& operator=(const CAbortSignal&) = delete;

    void Raise() {
        m_bRaised.store(true);
        ::SetEvent(m_hEvent.Get());
    }
    bool Raised() const { return m_bRaised.load(); }
    HANDLE Event() const { return m_hEvent.Get(); }

    // Set and cleared on the thread that waits (ISourceOpener::SetIdle).
    void SetIdle(std::function<bool()> idle) { m_idle = std::move(idle); }

    // Waits for hObject, the abort or the time; WAIT_OBJECT_0 is hObject,
    // WAIT_OBJECT_0 + 1 the abort, which an idle function that returned
    // false counts as.
    DWORD Wait(HANDLE hObject, DWORD waitMs) const {
        const HANDLE handles[2] = {hObject, m_hEvent.Get()};
        if (!m_idle || m_bInIdle || waitMs <= static_cast<DWORD>(kOpenIdleMs)) {
            const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, waitMs);
            return m_bRaised.load() ? WAIT_OBJECT_0 + 1 : result;
        }
        const ULONGLONG deadline = ::GetTickCount64() + waitMs;
        while (true) {
            const ULONGLONG now = ::GetTickCount64();
            const DWORD slice = static_cast<DWORD>(
                std::min<ULONGLONG>(deadline > now ? deadline - now : 0, kOpenIdleMs));
            const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, slice);
            if (m_bRaised.load()) {
                return WAIT_OBJECT_0 + 1;
            }
            if (result != WAIT_TIMEOUT || ::GetTickCount64() >= deadline) {
                return result;
            }
            // The idle work must not wait on this signal itself.
            m_bInIdle = true;
            const bool goOn = m_idle();
            m_bInIdle = false;
            if (!goOn) {
                return WAIT_OBJECT_0 + 1;
            }
        }
    }

private:
    CHandle m_hEvent;
    std::atomic<bool> m_bRaised{false};
    std::function<bool()> m_idle;
    mutable bool m_bInIdle = false;
};

}  // namespace radio
