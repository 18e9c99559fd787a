#include "launcher/Process_win.h"

#include "framework/Wnd.h"

namespace {

// Where the UI's window would appear if the helper's start-up information
// asked for a position: well off the screen until the UI places itself.
constexpr int kOffScreen = -3000;
constexpr DWORD kIdleTimeoutMs = 30000;

}  // namespace

bool CProcess::Launch(const wchar_t* path) {
    if (path == nullptr || m_processInfo.hProcess) {
        return false;
    }
    STARTUPINFOW startup{};
    ::GetStartupInfoW(&startup);
    // The flags stay as the helper's own start-up gave them, so position and
    // size take effect only if those asked for them too.
    if (CWnd* pMainWnd = AfxGetMainWnd(); pMainWnd != nullptr && pMainWnd->m_hWnd != nullptr) {
        RECT rect{};
        ::GetWindowRect(pMainWnd->m_hWnd, &rect);
        startup.dwX = static_cast<DWORD>(kOffScreen);
        startup.dwY = static_cast<DWORD>(kOffScreen);
        startup.dwXSize = static_cast<DWORD>(rect.right - rect.left);
        startup.dwYSize = static_cast<DWORD>(rect.bottom - rect.top);
    }
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &created)) {
        return false;
    }
    m_processInfo.hProcess.Attach(created.hProcess);
    m_processInfo.hThread.Attach(created.hThread);
    m_processInfo.dwProcessId = created.dwProcessId;
    m_processInfo.dwThreadId = created.dwThreadId;
    return ::WaitForInputIdle(created.hProcess, kIdleTimeoutMs) == 0;
}

bool CProcess::IsAlive() const {
    DWORD exitCode = 0;
    return m_processInfo.hProcess &&
           ::GetExitCodeProcess(m_processInfo.hProcess.Get(), &exitCode) &&
           exitCode == STILL_ACTIVE;
}

HWND CProcess::FindMainWindow() {
    if (m_hMainWnd != nullptr && ::IsWindow(m_hMainWnd)) {
        return m_hMainWnd;
    }
    if (IsAlive()) {
        ::EnumWindows(EnumWindowsProc, reinterpret_cast<LPARAM>(this));
    }
    return m_hMainWnd;
}

bool CProcess::OnEnumWindow(HWND hWnd) {
    DWORD processId = 0;
    ::GetWindowThreadProcessId(hWnd, &processId);
    if (processId == 0 || processId != m_processInfo.dwProcessId) {
        return true;
    }
    m_hMainWnd = hWnd;
    return false;
}

BOOL CALLBACK EnumWindowsProc(HWND hWnd, LPARAM lParam) {
    auto* pProcess = reinterpret_cast<CProcess*>(lParam);
    if (pProcess == nullptr) {
        return TRUE;
    }
    try {
        return pProcess->OnEnumWindow(hWnd) ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}
