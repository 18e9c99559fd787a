#include "framework/ThreadTimer.h"

#include <map>
#include <utility>

namespace {

// A thread timer's procedure is told only the timer's id; this finds the
// object. Timers belong to the thread that made them, and so does the map.
std::map<UINT_PTR, CThreadTimer*>& Timers() {
    thread_local std::map<UINT_PTR, CThreadTimer*> timers;
    return timers;
}

}  // namespace

CThreadTimer::~CThreadTimer() {
    Stop();
}

bool CThreadTimer::Start(UINT periodMs, std::function<void()> tick) {
    Stop();
    auto& timers = Timers();
    const UINT_PTR id = ::SetTimer(nullptr, 0, periodMs, &CThreadTimer::OnTimer);
    if (id == 0) {
        return false;
    }
    try {
        timers[id] = this;
    } catch (...) {
        ::KillTimer(nullptr, id);
        return false;
    }
    m_nId = id;
    m_tick = std::move(tick);
    return true;
}

void CThreadTimer::Stop() {
    if (m_nId == 0) {
        return;
    }
    const UINT_PTR id = std::exchange(m_nId, 0);
    ::KillTimer(nullptr, id);
    Timers().erase(id);
}

void CALLBACK CThreadTimer::OnTimer(HWND, UINT, UINT_PTR id, DWORD) {
    auto& timers = Timers();
    auto it = timers.find(id);
    if (it == timers.end()) {
        return;  // stopped, with its tick already queued
    }
    try {
        // A copy: the tick may destroy the timer and the callback it holds.
        std::function<void()> tick = it->second->m_tick;
        if (tick) {
            tick();
        }
    } catch (...) {
        // No exception crosses the message loop.
    }
}
