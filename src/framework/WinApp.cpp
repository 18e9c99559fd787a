#include "framework/WinApp.h"

#include "framework/AsyncSocket.h"
#include "framework/Wnd.h"

#include <ole2.h>

#include <string_view>

namespace {

// Plain pointers with constant initialisation: the application object is a
// global whose constructor may run before this file's dynamic initialisers.
constinit CWinApp* g_pApp = nullptr;
constinit bool g_bSocketsStarted = false;
constinit bool g_bOleStarted = false;
constinit WSADATA g_wsaData{};

std::wstring ModuleBaseName(HINSTANCE hInstance) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(hInstance, path, MAX_PATH);
    std::wstring_view name(path, length < MAX_PATH ? length : 0);
    if (const size_t slash = name.find_last_of(L"\\/"); slash != std::wstring_view::npos) {
        name.remove_prefix(slash + 1);
    }
    if (const size_t dot = name.rfind(L'.'); dot != std::wstring_view::npos) {
        name = name.substr(0, dot);
    }
    return std::wstring(name);
}

}  // namespace

BOOL CCmdTarget::OnCmdMsg(UINT, int, void*, void*) {
    return FALSE;
}

CWinApp::CWinApp(const wchar_t* appName) {
    g_pApp = this;
    m_hInstance = ::GetModuleHandleW(nullptr);
    if (appName != nullptr) {
        m_strAppName = appName;
    } else if (!AfxLoadString(AFX_IDS_APP_TITLE, m_strAppName)) {
        m_strAppName = ModuleBaseName(m_hInstance);
    }
    m_pszAppName = m_strAppName.c_str();
}

CWinApp::~CWinApp() {
    if (g_pApp == this) {
        g_pApp = nullptr;
    }
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::Run() {
    // Nothing would ever post WM_QUIT for a program whose main window could
    // not be made, so such a program ends here instead of waiting forever.
    if (m_pMainWnd == nullptr) {
        ::PostQuitMessage(0);
    }
    MSG msg{};
    for (;;) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            m_nExitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (got == -1) {
            m_nExitCode = -1;
            break;
        }
        if (!PreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return ExitInstance();
}

int CWinApp::ExitInstance() {
    return m_nExitCode;
}

BOOL CWinApp::PreTranslateMessage(MSG* pMsg) {
    const HWND hWndStop = m_pMainWnd != nullptr ? m_pMainWnd->m_hWnd : nullptr;
    for (HWND hWnd = pMsg->hwnd; hWnd != nullptr; hWnd = ::GetParent(hWnd)) {
        if (CWnd* pWnd = CWnd::FromHandlePermanent(hWnd);
            pWnd != nullptr && pWnd->PreTranslateMessage(pMsg)) {
            return TRUE;
        }
        if (hWnd == hWndStop) {
            break;
        }
    }
    return FALSE;
}

BOOL CWinApp::OnCmdMsg(UINT id, int code, void* extra, void* handlerInfo) {
    if (code == CN_COMMAND && id == ID_APP_EXIT) {
        OnAppExit();
        return TRUE;
    }
    return CCmdTarget::OnCmdMsg(id, code, extra, handlerInfo);
}

void CWinApp::OnAppExit() {
    if (m_pMainWnd != nullptr && m_pMainWnd->m_hWnd != nullptr) {
        m_pMainWnd->SendMessage(WM_CLOSE, 0, 0);
    }
}

CWinApp* AfxGetApp() {
    return g_pApp;
}

CWnd* AfxGetMainWnd() {
    return g_pApp != nullptr ? g_pApp->m_pMainWnd : nullptr;
}

HINSTANCE AfxGetInstanceHandle() {
    if (g_pApp != nullptr && g_pApp->m_hInstance != nullptr) {
        return g_pApp->m_hInstance;
    }
    return ::GetModuleHandleW(nullptr);
}

HINSTANCE AfxGetResourceHandle() {
    return AfxGetInstanceHandle();
}

BOOL AfxLoadString(UINT id, std::wstring& text) {
    // With a zero buffer size LoadStringW hands out a pointer into the
    // resource itself, so no length limit applies.
    const wchar_t* pText = nullptr;
    const int length =
        ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&pText), 0);
    if (length <= 0 || pText == nullptr) {
        text.clear();
        return FALSE;
    }
    text.assign(pText, static_cast<size_t>(length));
    return TRUE;
}

int AfxMessageBox(UINT stringId, UINT type) {
    std::wstring text;
    AfxLoadString(stringId, text);
    if ((type & MB_ICONMASK) == 0) {
        switch (type & MB_TYPEMASK) {
            case MB_OK:
            case MB_OKCANCEL:
                type |= MB_ICONEXCLAMATION;
                break;
            case MB_YESNO:
            case MB_YESNOCANCEL:
                type |= MB_ICONQUESTION;
                break;
            default:
                break;
        }
    }
    // A hidden owner would keep the box out of sight behind nothing.
    HWND hWndOwner = nullptr;
    if (CWnd* pMainWnd = AfxGetMainWnd();
        pMainWnd != nullptr && ::IsWindowVisible(pMainWnd->m_hWnd)) {
        hWndOwner = pMainWnd->m_hWnd;
    }
    const wchar_t* caption = g_pApp != nullptr ? g_pApp->m_pszAppName : nullptr;
    return ::MessageBoxW(hWndOwner, text.c_str(), caption, type);
}

BOOL AfxSocketInit(WSADATA* wsaData) {
    if (!g_bSocketsStarted) {
        WSADATA data{};
        if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            return FALSE;
        }
        if (data.wVersion != MAKEWORD(2, 2)) {
            ::WSACleanup();
            return FALSE;
        }
        g_wsaData = data;
        g_bSocketsStarted = true;
    }
    if (wsaData != nullptr) {
        *wsaData = g_wsaData;
    }
    return TRUE;
}

BOOL AfxOleInit() {
    if (g_bOleStarted) {
        return TRUE;
    }
    // S_FALSE (already initialised) still needs its matching uninitialise;
    // a failure such as RPC_E_CHANGED_MODE must not get one.
    if (FAILED(::OleInitialize(nullptr))) {
        return FALSE;
    }
    g_bOleStarted = true;
    return TRUE;
}

void AfxEnableControlContainer() {}

void AfxWinTerm() {
    if (g_bOleStarted) {
        g_bOleStarted = false;
        ::OleUninitialize();
    }
    AfxSocketTerm();
    if (g_bSocketsStarted) {
        g_bSocketsStarted = false;
        ::WSACleanup();
    }
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int cmdShow) {
    CWinApp* pApp = AfxGetApp();
    if (pApp == nullptr) {
        return -1;
    }
    int exitCode = -1;
    try {
        pApp->m_hInstance = hInstance;
        pApp->m_nCmdShow = cmdShow;
        if (pApp->InitInstance()) {
            exitCode = pApp->Run();
        } else {
            if (pApp->m_pMainWnd != nullptr) {
                pApp->m_pMainWnd->DestroyWindow();
            }
            exitCode = pApp->ExitInstance();
        }
    } catch (...) {
        exitCode = -1;
    }
    AfxWinTerm();
    return exitCode;
}

// Linked into every program that has a CWinApp: the application object's
// constructor pulls this file out of the library, and with -municode the C
// runtime's start-up code calls wWinMain.
extern "C" int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR cmdLine,
                               int cmdShow) {
    return AfxWinMain(hInstance, hPrevInstance, cmdLine, cmdShow);
}
