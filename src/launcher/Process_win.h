// CProcess: the UI program the helper starts, and its top-level window.
#pragma once

#include <windows.h>

#include "framework/Handles.h"

// What process creation hands back, with handles that close themselves.
struct CProcessInfo {
    CHandle hProcess;
    CHandle hThread;
    DWORD dwProcessId = 0;
    DWORD dwThreadId = 0;
};

class CProcess {
public:
    CProcess() = default;
    // Closes the handles; the process itself keeps running.
    virtual ~CProcess() = default;
    CProcess(const CProcess&) = delete;
    CProcess& operator=(const CProcess&) = delete;

    // Starts the program at path and waits up to 30 s for it to become idle.
    // True only when it started and became idle in time; a slow program is
    // kept all the same. Refused while a process is held.
    bool Launch(const wchar_t* path);
    // The stored window while it exists; otherwise, if the UI is alive, the
    // first top-level window of its process in Z order. May be null, or a
    // window that no longer exists when the UI has ended.
    HWND FindMainWindow();
    // A process is held and has not ended.
    bool IsAlive() const;

    // One window of the enumeration; false stops it.
    virtual bool OnEnumWindow(HWND hWnd);

    CProcessInfo m_processInfo;
    HWND m_hMainWnd = nullptr;
};

// The EnumWindows callback; lParam is the CProcess to ask.
BOOL CALLBACK EnumWindowsProc(HWND hWnd, LPARAM lParam);
