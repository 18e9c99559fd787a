// CThreadTimer: a periodic timer of the calling thread whose ticks arrive
// through its message loop, like the socket notifications, so that a tick
// never runs in the middle of other code on the thread.
#pragma once

#include <windows.h>

#include <functional>

class CThreadTimer {
public:
    CThreadTimer() = default;
    // Stops the timer: no tick comes after the object is gone.
    ~CThreadTimer();
    CThreadTimer(const CThreadTimer&) = delete;
    CThreadTimer& operator=(const CThreadTimer&) = delete;

    // Calls tick every periodMs while the thread dispatches messages, until
    // Stop. A tick may destroy the timer's owner, and the timer with it.
    // Restarting replaces the period and the callback. False if the system
    // has no timer left to give.
    bool Start(UINT periodMs, std::function<void()> tick);
    void Stop();
    bool IsRunning() const { return m_nId != 0; }

private:
    static void CALLBACK OnTimer(HWND hWnd, UINT message, UINT_PTR id, DWORD time);

    UINT_PTR m_nId = 0;
    std::function<void()> m_tick;
};
