#include "launcher/FrameWndLauncher_win.h"

#include <string>

#include "framework/ShellFolder.h"

namespace {

constexpr wchar_t kUiRelativePath[] = L"\\KELO\\Tunara\\TunaraUI\\TunaraUI.exe";

}  // namespace

bool CFrameWndLauncher::LaunchUi() {
    // Without the picture there is nothing to show the launcher, and the UI
    // is not started at all.
    if (!m_snapshot.LoadStartPicture()) {
        return false;
    }
    if (std::wstring folder; AfxGetProgramFilesFolder(folder)) {
        const std::wstring path = folder + kUiRelativePath;
        // A UI that is slow to become idle is still looked for below.
        m_process.Launch(path.c_str());
    }
    m_process.FindMainWindow();
    if (m_process.m_hMainWnd == nullptr) {
        return false;
    }
    if (SendToLauncher(SYNC_STARTED, m_snapshot)) {
        WaitForLauncher(kLauncherAckTimeoutMs);
    }
    return true;
}

void CFrameWndLauncher::ShowUiWindow(HWND hWnd) {
    if (!::IsWindow(hWnd)) {
        hWnd = m_process.FindMainWindow();
    }
    ::ShowWindow(hWnd, SW_SHOW);
    ::BringWindowToTop(hWnd);
}

void CFrameWndLauncher::OnLauncherActivate(int /*arg*/) {
    const DWORD helperThreadId = ::GetWindowThreadProcessId(SyncWindow(), nullptr);
    if (!m_process.IsAlive()) {
        return;
    }
    const HWND hUi = m_process.FindMainWindow();
    if (hUi == nullptr) {
        return;
    }
    // Joined input lets the helper hand the foreground and focus to the UI.
    const DWORD uiThreadId = m_process.m_processInfo.dwThreadId;
    ::AttachThreadInput(helperThreadId, uiThreadId, TRUE);
    ::SetForegroundWindow(hUi);
    ::SetFocus(hUi);
    ShowUiWindow(hUi);
    ::ShowWindow(hUi, SW_RESTORE);
    ::AttachThreadInput(helperThreadId, uiThreadId, FALSE);
}

void CFrameWndLauncher::OnLauncherSnapshotRequest() {
    // The stored picture, as it is: no fresh capture for the launcher.
    if (m_snapshot.HasPixels() && SendToLauncher(SYNC_SNAPSHOT, m_snapshot)) {
        WaitForLauncher(kSnapshotAckTimeoutMs);
    }
}

void CFrameWndLauncher::OnActivateApp(BOOL bActive, DWORD dwThreadId) {
    const HWND hUi = m_process.FindMainWindow();
    if (hUi == nullptr || !bActive) {
        return;
    }
    ShowUiWindow(hUi);
    ::SendMessageW(hUi, WM_ACTIVATEAPP, static_cast<WPARAM>(bActive),
                   static_cast<LPARAM>(dwThreadId));
}

bool CFrameWndLauncher::MinimizeThroughLauncher() {
    if (!IsLauncherRunning()) {
        return false;
    }
    // Minimising is the launcher's business: it gets a fresh picture, the UI
    // gets no event.
    m_snapshot.CaptureWindow(m_process.FindMainWindow());
    if (m_snapshot.HasPixels() && SendToLauncher(SYNC_MINIMIZING, m_snapshot)) {
        WaitForLauncher(kLauncherAckTimeoutMs);
    }
    return true;
}

bool CFrameWndLauncher::CloseThroughLauncher() {
    if (!IsLauncherRunning()) {
        return false;
    }
    const HWND hUi = m_process.FindMainWindow();
    m_snapshot.CaptureWindow(hUi);
    if (m_snapshot.HasPixels()) {
        NotifyClosing(m_snapshot);
    }
    // The launcher hears of the close before the UI's window is told.
    if (hUi != nullptr) {
        ::PostMessageW(hUi, WM_CLOSE, 0, 0);
    }
    return true;
}

bool CFrameWndLauncher::DeferCloseDuringExchange() {
    if (!IsInLauncherExchange()) {
        return false;
    }
    PostMessage(WM_CLOSE, 0, 0);
    return true;
}

void CFrameWndLauncher::OnClose() {
    if (DeferCloseDuringExchange()) {
        return;
    }
    CloseService();
    if (m_snapshot.HasPixels()) {
        NotifyClosing(m_snapshot);
    }
    CFrameWnd::OnClose();
}
