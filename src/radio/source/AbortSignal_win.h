// One stop for every source an opener made: once raised, every wait of a
// source returns at once and no new operation starts.
#pragma once

#include <windows.h>

#include <atomic>

#include "framework/Handles.h"

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

    // Waits for hObject, the abort or the time; WAIT_OBJECT_0 is hObject,
    // WAIT_OBJECT_0 + 1 the abort.
    DWORD Wait(HANDLE hObject, DWORD waitMs) const {
        const HANDLE handles[2] = {hObject, m_hEvent.Get()};
        const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, waitMs);
        return m_bRaised.load() ? WAIT_OBJECT_0 + 1 : result;
    }

private:
    CHandle m_hEvent;
    std::atomic<bool> m_bRaised{false};
};

}  // namespace radio
