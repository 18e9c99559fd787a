#include "app/MainFrame.h"

#include <shellapi.h>
#include <shlobj.h>

#include <new>
#include <vector>

#include "app/DisplayOrientation.h"
#include "framework/WideText.h"
#include "launcher/SyncRecord.h"
#include "net/EventSender.h"
#include "net/VolumeScan.h"
#include "net/WorkerSocket_win.h"
#include "player/WMPDialog_win.h"
#include "touch/Touch.h"

namespace {

// The UI runs on the same machine; listening on every address would let any
// host on the network drive the helper, shell execution included.
constexpr wchar_t kListenAddress[] = L"127.0.0.1";
constexpr int kListenBacklog = 5;

const wchar_t* AsWide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace

IMPLEMENT_DYNAMIC(CMainFrame, CFrameWnd)

CMainFrame::CMainFrame() = default;

// Connections delete themselves; the registry only points to them.
CMainFrame::~CMainFrame() = default;

BOOL CMainFrame::PreCreateWindow(CREATESTRUCTW& cs) {
    if (!CFrameWnd::PreCreateWindow(cs)) {
        return FALSE;
    }
    cs.dwExStyle &= ~WS_EX_CLIENTEDGE;
    // Whatever style was asked for, the frame is never visible.
    cs.style = WS_CAPTION | WS_SYSMENU | FWS_ADDTOTITLE;
    cs.lpszClass = AfxRegisterWndClass(0, nullptr, nullptr, nullptr);
    return TRUE;
}

BOOL CMainFrame::OnCmdMsg(UINT nId, int nCode, void* pExtra, void* pHandlerInfo) {
    if (m_wndView.OnCmdMsg(nId, nCode, pExtra, pHandlerInfo)) {
        return TRUE;
    }
    return CFrameWnd::OnCmdMsg(nId, nCode, pExtra, pHandlerInfo);
}

BOOL CMainFrame::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    switch (message) {
        case WM_SETFOCUS:
            if (m_wndView.GetSafeHwnd() != nullptr) {
                ::SetFocus(m_wndView.GetSafeHwnd());
            }
            *pResult = 0;
            return TRUE;
        case WM_QUERYENDSESSION:
            *pResult = TRUE;
            return TRUE;
        case WM_POWERBROADCAST:
            // Every power event is granted, suspend requests included.
            *pResult = TRUE;
            return TRUE;
        default:
            return CFrameWnd::OnWndMsg(message, wParam, lParam, pResult);
    }
}

int CMainFrame::OnCreate(LPCREATESTRUCTW lpCreateStruct) {
    if (CFrameWnd::OnCreate(lpCreateStruct) == -1) {
        return -1;
    }
    const RECT empty = {0, 0, 0, 0};
    if (!m_wndView.Create(nullptr, nullptr, WS_CHILD | WS_VISIBLE | WS_BORDER, empty, this,
                          AFX_IDW_PANE_FIRST)) {
        return -1;
    }
    // The player dialog comes before the socket, so that a command from the
    // UI always finds it.
    CreatePlayerDialog();
    if (!CreateServerSocket()) {
        return -1;
    }
    CSystemDisplaySettings display;
    ResetRotatedDisplay(display);
    // Last, the UI: it connects to the socket opened above.
    return LaunchUi() ? 0 : -1;
}

void CMainFrame::CreatePlayerDialog() {
    auto* pDialog = new (std::nothrow) CWMPDialog(this);
    if (pDialog == nullptr) {
        return;
    }
    m_pPlayerDialog = pDialog;
    // Without a player the helper still serves everything else. A dialog
    // whose window never came is deleted here; one whose window came and
    // went has already deleted itself and cleared the pointer.
    if (!pDialog->Create(CWMPDialog::IDD) && m_pPlayerDialog == pDialog) {
        m_pPlayerDialog = nullptr;
        delete pDialog;
    }
}

bool CMainFrame::CreateServerSocket() {
    auto pSocket = std::make_unique<CServerSocket>(this);
    if (!pSocket->Create(static_cast<UINT>(m_nPort), SOCK_STREAM, kAllSocketEvents,
                         kListenAddress) ||
        !pSocket->Listen(kListenBacklog)) {
        return false;
    }
    m_pServerSocket = std::move(pSocket);
    return true;
}

void CMainFrame::OnClose() {
    if (DeferCloseDuringExchange()) {
        return;
    }
    if (m_pServerSocket) {
        m_pServerSocket->Close();
        m_pServerSocket.reset();
    }
    // Exactly one SYNC_CLOSING on this path: the base's handler is not used.
    NotifyLauncherOfClose();
    CFrameWnd::OnClose();
}

void CMainFrame::OnLastConnectionClosed() {
    if (m_pPlayerDialog != nullptr) {
        // Playback ends with the last UI; the flag is left as it is.
        CWMPControls controls = m_pPlayerDialog->m_player.get_controls();
        controls.stop();
    }
    PostMessage(WM_CLOSE, 0, 0);
}

void CMainFrame::OnServerSocketClosed() {
    m_pClosedServerSocket = std::move(m_pServerSocket);
}

// The flag changes only after the player call returns, in both directions:
// a state change raised inside the call sees the flag as it was before.
void CMainFrame::PlayUrl(const std::u16string& url) {
    if (m_pPlayerDialog == nullptr) {
        return;
    }
    m_pPlayerDialog->m_player.put_URL(ToWide(url));
    m_bPlaying = 1;
}

void CMainFrame::StopPlayback() {
    if (m_pPlayerDialog == nullptr) {
        return;
    }
    CWMPControls controls = m_pPlayerDialog->m_player.get_controls();
    controls.stop();
    m_bPlaying = 0;
}

void CMainFrame::ApplyVolume(const std::u16string& text) {
    // The value is stored even without a player; text that is not a number
    // keeps the stored value, which is then applied again.
    if (ScanVolume(text, m_nVolume) == VolumeScanResult::EndOfInput || m_pPlayerDialog == nullptr) {
        return;
    }
    CWMPSettings settings = m_pPlayerDialog->m_player.get_settings();
    settings.put_volume(m_nVolume);
}

void CMainFrame::SendStatusEvent(long newState) {
    // Only what the UI asked to play is reported.
    if (m_bPlaying == 0) {
        return;
    }
    auto message = BuildStatusEvent(static_cast<int32_t>(newState));
    BroadcastEvent(*this, *message);
}

void CMainFrame::SendMediaEvent() {
    MediaAttributes attributes;
    if (m_pPlayerDialog == nullptr || !ReadCurrentMedia(m_pPlayerDialog->m_player, attributes)) {
        return;
    }
    auto message = BuildMediaEvent(attributes);
    BroadcastEvent(*this, *message);
}

void CMainFrame::SendErrorEvent() {
    if (m_pPlayerDialog == nullptr) {
        return;
    }
    CWMPError queue = m_pPlayerDialog->m_player.get_error();
    std::vector<PlayerError> errors;
    if (!ReadErrorQueue(queue, errors)) {
        return;  // nothing to report: playback goes on
    }
    // Emptied as soon as it is read, so that an error raised by a later call
    // (the stop below included) finds only new entries; stopped after the
    // event, so that the UI hears of the error before the stop's own state
    // changes.
    queue.clearErrorQueue();
    auto message = BuildErrorEvent(errors);
    BroadcastEvent(*this, *message);
    if (m_pPlayerDialog != nullptr) {
        CWMPControls controls = m_pPlayerDialog->m_player.get_controls();
        controls.stop();
    }
    m_bPlaying = 0;
}

void CMainFrame::OnPlayerDialogDestroyed(CWMPDialog* pDialog) {
    if (m_pPlayerDialog == pDialog) {
        m_pPlayerDialog = nullptr;
    }
}

void CMainFrame::ShowTouchKeyboard() {
    ::ShowTouchKeyboard();
}

void CMainFrame::StylusShow() {
    RunStylusShow();
}

void CMainFrame::StylusHide() {
    RunStylusHide();
}

void CMainFrame::OpenUrl(const std::u16string& url) {
    ::ShellExecuteW(nullptr, L"open", AsWide(url), nullptr, nullptr, SW_SHOW);
}

void CMainFrame::LauncherMinimize() {
    if (!IsLauncherRunning()) {
        SendMinimizeEvent(*this);
        return;
    }
    // Minimising is the launcher's business: it gets a fresh picture, the UI
    // gets no event.
    m_snapshot.CaptureWindow(m_process.FindMainWindow());
    if (m_snapshot.HasPixels() && SendToLauncher(SYNC_MINIMIZING, m_snapshot)) {
        WaitForLauncher(kLauncherAckTimeoutMs);
    }
}

void CMainFrame::LauncherClose() {
    if (!IsLauncherRunning()) {
        SendCloseEvent(*this);
        return;
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
}
