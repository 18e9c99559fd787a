// The hidden main frame: the hub that holds every long-lived piece of the
// helper and starts them, in a fixed order, when its window is created.
#pragma once

#include <cstdint>
#include <memory>

#include "app/ChildView.h"
#include "framework/FrameWnd.h"
#include "launcher/FrameWndLauncher_win.h"
#include "net/ConnectionHost.h"
#include "net/ServerSocket_win.h"
#include "player/PlayerFrame_win.h"

class CWMPDialog;

class CMainFrame : public CFrameWndLauncher, public IConnectionHost, public IPlayerFrame {
    // Recorded with CFrameWnd as its base; it cannot be created by name.
    DECLARE_DYNAMIC(CMainFrame)

public:
    CMainFrame();
    ~CMainFrame() override;

    BOOL PreCreateWindow(CREATESTRUCTW& cs) override;
    BOOL OnCmdMsg(UINT nId, int nCode, void* pExtra, void* pHandlerInfo) override;

    // IConnectionHost
    ConnectionRegistry& Connections() override { return m_connections; }
    void OnLastConnectionClosed() override;
    void OnServerSocketClosed() override;

    // ICommandTarget: the operations behind the UI's commands.
    bool HasPlayerDialog() override { return m_pPlayerDialog != nullptr; }
    void PlayUrl(const std::u16string& url) override;
    void StopPlayback() override;
    void ApplyVolume(const std::u16string& text) override;
    void ShowTouchKeyboard() override;
    void StylusShow() override;
    void StylusHide() override;
    void OpenUrl(const std::u16string& url) override;
    void LauncherMinimize() override;
    void LauncherClose() override;

    // IPlayerFrame: the player's events, read from the player and sent to
    // every UI.
    void SendStatusEvent(long newState) override;
    void SendMediaEvent() override;
    void SendErrorEvent() override;
    void OnPlayerDialogDestroyed(CWMPDialog* pDialog) override;

    CChildView m_wndView;
    CWMPDialog* m_pPlayerDialog = nullptr;
    int32_t m_nPort = 33645;
    int32_t m_nVolume = 100;
    int32_t m_bPlaying = 0;
    std::unique_ptr<CServerSocket> m_pServerSocket;
    ConnectionRegistry m_connections;

protected:
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
    int OnCreate(LPCREATESTRUCTW lpCreateStruct) override;
    void OnClose() override;

private:
    void CreatePlayerDialog();
    bool CreateServerSocket();

    // A listening socket that reported its own close: it is forgotten at
    // once, but deleted only after its notification has returned.
    std::unique_ptr<CServerSocket> m_pClosedServerSocket;
};
