// SyncWithLauncher: the helper's side of the channel to the optional
// launcher. It owns the hidden sync window the launcher sends requests to,
// sends records announcing the UI's state, and waits for acknowledgements.
#pragma once

#include <windows.h>

#include <cstdint>

#include "framework/Wnd.h"
#include "launcher/SyncRecord.h"

class CZvImageExt;

// Re-entrancy. Everything runs on the GUI thread, but the launcher's
// requests are sent messages, which the system delivers while this thread
// is blocked in SendToLauncher or waits in WaitForLauncher. So a request can
// run nested inside an exchange:
// - SYNC_ACK sets m_bAcknowledged, which the innermost wait is polling; the
//   wait clears it only once its own record has gone, so an acknowledgement
//   of an earlier record does not count.
// - SYNC_SNAPSHOT_REQUEST sends a record and waits again, nested; past a few
//   levels a request is dropped instead of nesting without bound.
// - IsInLauncherExchange says that an exchange is running, so that the frame
//   can put off a close that would destroy it under the waiting code.
class SyncWithLauncher {
public:
    // Creates the sync window for the running program's module.
    SyncWithLauncher();
    SyncWithLauncher(const SyncWithLauncher&) = delete;
    SyncWithLauncher& operator=(const SyncWithLauncher&) = delete;

    // Acts on one request; size is the data's byte count.
    void HandleLauncherRequest(const void* data, size_t size);

    // True when a launcher window exists.
    static bool IsLauncherRunning();
    // Sends one record carrying picture. True when the launcher's window took
    // it; false without a launcher, for a picture too large for a record, and
    // when the launcher is hung or does not answer within the send time-out.
    bool SendToLauncher(uint32_t code, const CZvImageExt& picture);
    // Waits for SYNC_ACK, handling only the launcher's messages meanwhile.
    // False at once after SYNC_RELEASE, and at the time-out.
    bool WaitForLauncher(uint32_t timeoutMs);
    // SYNC_CLOSING with picture, then the wait; false if nothing was sent.
    bool NotifyClosing(const CZvImageExt& picture);

    // True while a record is being sent or an acknowledgement awaited, that
    // is, while a request may be running nested inside one.
    bool IsInLauncherExchange() const { return m_nExchangeDepth > 0; }

    // The hidden sync window; null if it could not be made.
    HWND SyncWindow() const { return m_wndSync.GetSafeHwnd(); }

    DWORD m_dwProcessId = 0;
    bool m_bReleased = false;
    bool m_bAcknowledged = false;

protected:
    // Not virtual: the object is only ever deleted as the frame it is part of.
    // Destroys the sync window, which ends the message loop.
    ~SyncWithLauncher();

    // SYNC_ACTIVATE, with word 1 of the request.
    virtual void OnLauncherActivate(int arg) = 0;
    // SYNC_SNAPSHOT_REQUEST.
    virtual void OnLauncherSnapshotRequest() = 0;
    // Called after SYNC_RELEASE has been noted.
    virtual void OnLauncherRelease() {}

private:
    // The window the launcher finds by its class name and sends requests
    // to. The framework binds it to this object from its first message, so
    // its handlers reach the channel they belong to, and nothing else.
    class CSyncWnd final : public CWnd {
    public:
        explicit CSyncWnd(SyncWithLauncher& owner) : m_pOwner(&owner) {}
        // Registers the window class on first use (again after a failure)
        // and creates the hidden window.
        bool CreateSyncWindow();
        // From here on requests are ignored: the channel is being destroyed.
        void ForgetOwner() { m_pOwner = nullptr; }

    protected:
        BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

    private:
        SyncWithLauncher* m_pOwner;
    };

    class CExchangeScope;

    CSyncWnd m_wndSync{*this};
    int m_nExchangeDepth = 0;
    int m_nSnapshotDepth = 0;
};
