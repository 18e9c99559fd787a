// CFrameWndLauncher: a frame that starts the UI program, keeps track of its
// window and speaks for it to the launcher.
#pragma once

#include "framework/FrameWnd.h"
#include "launcher/Process_win.h"
#include "launcher/SyncWithLauncher_win.h"
#include "launcher/ZvImageExt_win.h"

class CFrameWndLauncher : public CFrameWnd, public SyncWithLauncher {
public:
    CFrameWndLauncher() = default;
    ~CFrameWndLauncher() override = default;

    // Loads the start picture, starts the UI from its fixed path, finds its
    // window and announces it to a launcher. True when the window is known.
    bool LaunchUi();
    // Shows hWnd, or the UI's window if hWnd is none, and raises it.
    void ShowUiWindow(HWND hWnd);

    CProcess m_process;
    CZvImageExt m_snapshot;

protected:
    void OnLauncherActivate(int arg) override;
    void OnLauncherSnapshotRequest() override;

    void OnActivateApp(BOOL bActive, DWORD dwThreadId) override;
    void OnClose() override;

    // Sends SYNC_CLOSING with the stored picture, if there is one, and waits.
    void NotifyLauncherOfClose();
    // A close that arrives nested inside a launcher exchange would destroy
    // the frame under the code still waiting; it is posted again instead, to
    // be handled once the exchange is over. True if it was deferred.
    bool DeferCloseDuringExchange();
};
