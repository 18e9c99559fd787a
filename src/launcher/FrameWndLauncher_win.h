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

    // "launcherMinimize" and "launcherClose" when a launcher runs: it gets a
    // fresh picture of the UI and, for a close, hears of it before the UI's
    // window is told to close. False, and nothing done, when no launcher
    // runs: then the UI has to be asked itself.
    bool MinimizeThroughLauncher();
    bool CloseThroughLauncher();

protected:
    void OnLauncherActivate(int arg) override;
    void OnLauncherSnapshotRequest() override;

    void OnActivateApp(BOOL bActive, DWORD dwThreadId) override;
    // The launcher hears of the close (SYNC_CLOSING with the stored picture,
    // then the wait) before the frame goes, exactly once on this path.
    void OnClose() override;
    // Called by OnClose before the launcher is told: ends what a derived
    // frame serves. The base serves nothing.
    virtual void CloseService() {}

private:
    // A close that arrives nested inside a launcher exchange would destroy
    // the frame under the code still waiting; it is posted again instead, to
    // be handled once the exchange is over. True if it was deferred.
    bool DeferCloseDuringExchange();
};
