// The hidden main frame: the hub that holds every long-lived piece of the
// helper and starts them, in a fixed order, when its window is created.
#pragma once

#include <cstdint>
#include <memory>

#include "app/ChildView.h"
#include "app/PlayerEventSender.h"
#include "framework/FrameWnd.h"
#include "launcher/FrameWndLauncher_win.h"
#include "net/ConnectionHost.h"
#include "net/ServerSocket_win.h"
#include "player/PlayerHost_win.h"

class CMainFrame : public CFrameWndLauncher, public IConnectionHost {
public:
    CMainFrame();
    ~CMainFrame() override;

    BOOL PreCreateWindow(CREATESTRUCTW& cs) override;
    BOOL OnCmdMsg(UINT nId, int nCode, void* pExtra, void* pHandlerInfo) override;

    // IConnectionHost
    ConnectionRegistry& Connections() override { return m_connections; }
    void OnLastConnectionClosed() override;
    void OnServerSocketClosed() override;

    // ICommandTarget: the operations behind the UI's commands, each handed
    // to the object that carries it out.
    bool HasPlayerDialog() override { return m_player.HasPlayer(); }
    void PlayUrl(const std::u16string& url) override;
    void StopPlayback() override;
    void ApplyVolume(const std::u16string& text) override;
    void ShowTouchKeyboard() override;
    void StylusShow() override;
    void StylusHide() override;
    void OpenUrl(const std::u16string& url) override;
    void LauncherMinimize() override;
    void LauncherClose() override;

    CChildView m_wndView;
    // m_pPlayerDialog, m_nVolume and m_bPlaying are the player's state;
    // m_player alone reads and changes them.
    CWMPDialog* m_pPlayerDialog = nullptr;
    int32_t m_nPort = 33645;
    int32_t m_nVolume = 100;
    bool m_bPlaying = false;
    std::unique_ptr<CServerSocket> m_pServerSocket;
    ConnectionRegistry m_connections;

protected:
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
    int OnCreate(LPCREATESTRUCTW lpCreateStruct) override;
    // Closes the listening socket before the launcher hears of the close.
    void CloseService() override;

private:
    bool CreateServerSocket();

    // What the player reports goes to every UI.
    CPlayerEventSender m_playerEvents{m_connections};
    CPlayerHost m_player{m_playerEvents, m_pPlayerDialog, m_nVolume, m_bPlaying};
    // A listening socket that reported its own close: it is forgotten at
    // once, but deleted only after its notification has returned.
    std::unique_ptr<CServerSocket> m_pClosedServerSocket;
};
