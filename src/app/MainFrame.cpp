#include "app/MainFrame.h"

#include <shellapi.h>

#include <vector>

#include "app/DisplayOrientation.h"
#include "framework/WideText.h"
#include "net/EventSender.h"
#include "net/WorkerSocket_win.h"
#include "touch/Touch.h"

namespace {

// The UI runs on the same machine; listening on every address would let any
// host on the network drive the helper, shell execution included.
constexpr wchar_t kListenAddress[] = L"127.0.0.1";
constexpr int kListenBacklog = 5;

}  // namespace

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
    // UI always finds it. Without a player the helper still serves the rest.
    m_player.CreatePlayerDialog(this);
    if (!CreateServerSocket()) {
        return -1;
    }
    CSystemDisplaySettings display;
    ResetRotatedDisplay(display);
    // Last, the UI: it connects to the socket opened above.
    return LaunchUi() ? 0 : -1;
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

void CMainFrame::CloseService() {
    if (m_pServerSocket) {
        m_pServerSocket->Close();
        m_pServerSocket.reset();
    }
}

void CMainFrame::OnLastConnectionClosed() {
    m_player.StopForLastUi();
    PostMessage(WM_CLOSE, 0, 0);
}

void CMainFrame::OnServerSocketClosed() {
    m_pClosedServerSocket = std::move(m_pServerSocket);
}

void CMainFrame::PlayUrl(const std::u16string& url) {
    m_player.PlayUrl(url);
}

void CMainFrame::StopPlayback() {
    m_player.StopPlayback();
}

void CMainFrame::ApplyVolume(const std::u16string& text) {
    m_player.ApplyVolume(text);
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
    if (!MinimizeThroughLauncher()) {
        SendMinimizeEvent(m_connections);
    }
}

void CMainFrame::LauncherClose() {
    if (!CloseThroughLauncher()) {
        SendCloseEvent(m_connections);
    }
}
