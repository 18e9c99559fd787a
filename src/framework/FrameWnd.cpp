#include "framework/FrameWnd.h"

#include "framework/Handles.h"

#include <string>

namespace {

constexpr UINT kFrameClassStyle = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;

LPCWSTR FrameClass(HICON hIcon) {
    return AfxRegisterWndClass(kFrameClassStyle, ::LoadCursorW(nullptr, IDC_ARROW),
                               reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1), hIcon);
}

bool HasResource(HINSTANCE hInstance, UINT id, LPCWSTR type) {
    return ::FindResourceW(hInstance, MAKEINTRESOURCEW(id), type) != nullptr;
}

}  // namespace

BOOL CFrameWnd::LoadFrame(UINT resourceId, DWORD style, CWnd* parent, void* context) {
    const HINSTANCE hInstance = AfxGetResourceHandle();
    const LPCWSTR resourceName = MAKEINTRESOURCEW(resourceId);

    std::wstring title;
    AfxLoadString(resourceId, title);

    LPCWSTR className = nullptr;  // PreCreateWindow's default frame class
    if (HasResource(hInstance, resourceId, RT_GROUP_ICON)) {
        if (HICON hIcon = ::LoadIconW(hInstance, resourceName); hIcon != nullptr) {
            className = FrameClass(hIcon);
        }
    }
    CMenuHandle menu;
    if (HasResource(hInstance, resourceId, RT_MENU)) {
        menu.Attach(::LoadMenuW(hInstance, resourceName));
    }
    // Resource accelerator tables are freed with the module.
    if (HasResource(hInstance, resourceId, RT_ACCELERATOR)) {
        m_hAccelTable = ::LoadAcceleratorsW(hInstance, resourceName);
    }

    const HMENU hMenu = menu.Get();
    if (!CreateEx(0, className, title.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                  CW_USEDEFAULT, parent != nullptr ? parent->m_hWnd : nullptr, hMenu, context)) {
        // This object is gone. A window that existed destroyed its menu with
        // it; otherwise the menu is still ours to free.
        if (hMenu != nullptr && !::IsMenu(hMenu)) {
            (void)menu.Detach();
        }
        return FALSE;
    }
    (void)menu.Detach();  // the window owns it now
    return TRUE;
}

BOOL CFrameWnd::PreCreateWindow(CREATESTRUCTW& cs) {
    if (cs.lpszClass == nullptr) {
        cs.lpszClass = FrameClass(nullptr);
        if (cs.lpszClass == nullptr) {
            return FALSE;
        }
    }
    if ((cs.style & FWS_ADDTOTITLE) != 0) {
        cs.style |= FWS_PREFIXTITLE;
    }
    cs.dwExStyle |= WS_EX_CLIENTEDGE;
    return TRUE;
}

BOOL CFrameWnd::OnCmdMsg(UINT id, int code, void* extra, void* handlerInfo) {
    if (CWnd::OnCmdMsg(id, code, extra, handlerInfo)) {
        return TRUE;
    }
    CWinApp* pApp = AfxGetApp();
    return pApp != nullptr && pApp->OnCmdMsg(id, code, extra, handlerInfo);
}

BOOL CFrameWnd::PreTranslateMessage(MSG* pMsg) {
    if (m_hAccelTable != nullptr && pMsg->message >= WM_KEYFIRST && pMsg->message <= WM_KEYLAST) {
        return ::TranslateAcceleratorW(m_hWnd, m_hAccelTable, pMsg) != 0;
    }
    return FALSE;
}

int CFrameWnd::OnCreate(LPCREATESTRUCT) {
    return 0;
}

void CFrameWnd::OnClose() {
    DestroyWindow();
}

void CFrameWnd::PostNcDestroy() {
    // Also reached when creation failed before any window existed, where no
    // WM_NCDESTROY cleared the main-window pointer.
    if (CWinApp* pApp = AfxGetApp(); pApp != nullptr && pApp->m_pMainWnd == this) {
        pApp->m_pMainWnd = nullptr;
    }
    delete this;
}
