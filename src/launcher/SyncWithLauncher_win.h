// SyncWithLauncher: the helper's side of the channel to the optional
// launcher. It owns the hidden sync window the launcher sends requests to,
// sends records announcing the UI's state, and waits for acknowledgements.
#pragma once

#include <windows.h>

#include <cstdint>

#include "launcher/SyncRecord.h"

class CZvImageExt;

class SyncWithLauncher {
public:
    // Creates the sync window for the running program's module.
    SyncWithLauncher();
    SyncWithLauncher(const SyncWithLauncher&) = delete;
    SyncWithLauncher& operator=(const SyncWithLauncher&) = delete;

    // Registers the window class on first use (again after a failure) and
    // creates the hidden window; null if either fails.
    static HWND CreateSyncWindow(HINSTANCE hInstance);
    static LRESULT CALLBACK SyncWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

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

    HWND m_hSyncWnd = nullptr;
    DWORD m_dwProcessId = 0;
    bool m_bReleased = false;
    bool m_bAcknowledged = false;

protected:
    // Not virtual: the object is only ever deleted as the frame it is part of.
    ~SyncWithLauncher();

    // SYNC_ACTIVATE, with word 1 of the request.
    virtual void OnLauncherActivate(int arg) = 0;
    // SYNC_SNAPSHOT_REQUEST.
    virtual void OnLauncherSnapshotRequest() = 0;
    // Called after SYNC_RELEASE has been noted.
    virtual void OnLauncherRelease() {}

private:
    class CExchangeScope;

    int m_nExchangeDepth = 0;
    int m_nSnapshotDepth = 0;
};
