// The application object, its message loop and the process-wide helpers.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "framework/AfxRes.h"

class CWnd;

// Anything that can take part in WM_COMMAND routing.
class CCmdTarget {
public:
    CCmdTarget() = default;
    virtual ~CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;

    // Returns TRUE if the command was handled; extra and handlerInfo are
    // passed through unchanged for targets that need them.
    virtual BOOL OnCmdMsg(UINT id, int code, void* extra, void* handlerInfo);
};

// The one application object. Constructing it (normally as a global) makes it
// the object AfxGetApp returns; the framework's wWinMain then calls
// InitInstance and Run.
class CWinApp : public CCmdTarget {
public:
    explicit CWinApp(const wchar_t* appName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance();
    // Pumps messages until WM_QUIT, then returns ExitInstance().
    virtual int Run();
    // Returns the WM_QUIT code (0 if the loop never ran).
    virtual int ExitInstance();
    // Gives the windows on the message's parent chain a chance to consume it
    // (accelerators, dialog navigation) before it is dispatched.
    virtual BOOL PreTranslateMessage(MSG* pMsg);

    // Handles the framework's own commands (ID_APP_EXIT).
    BOOL OnCmdMsg(UINT id, int code, void* extra, void* handlerInfo) override;
    // Closes the main window the way its close box would.
    void OnAppExit();

    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
    int m_nCmdShow = SW_SHOWNORMAL;
    const wchar_t* m_pszAppName = nullptr;

private:
    std::wstring m_strAppName;
    int m_nExitCode = 0;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();

// Loads a string resource of the resource module; FALSE if it is missing.
BOOL AfxLoadString(UINT id, std::wstring& text);
// Shows string resource stringId in a message box captioned with the
// application name; returns the MessageBoxW result.
int AfxMessageBox(UINT stringId, UINT type = MB_OK);

// Winsock 2.2 for the process; undone by AfxWinTerm.
BOOL AfxSocketInit(WSADATA* wsaData = nullptr);
// OLE on the calling thread; undone by AfxWinTerm only if this succeeded.
BOOL AfxOleInit();
// Does nothing: every dialog here hosts the controls its template names by
// itself, with no container to switch on. Start-up calls it all the same, at
// the point where a program of the full framework must, so that the order of
// start-up reads as it would there.
void AfxEnableControlContainer();
// Undoes AfxOleInit and AfxSocketInit; called on the way out of wWinMain.
void AfxWinTerm();

// The framework's program entry, called by wWinMain (link with -municode).
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR cmdLine, int cmdShow);
