#include "framework/Wnd.h"

#include <cstdint>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>

namespace {

// Window bookkeeping of one thread: which object each window belongs to, the
// object whose window is being created, and the message being handled.
struct CThreadWndState {
    std::unordered_map<HWND, CWnd*> permanent;
    CWnd* pWndInit = nullptr;
    HWND hWndInitBound = nullptr;
    MSG current{};
};

CThreadWndState& WndState() {
    thread_local CThreadWndState state;
    return state;
}

CWnd* LookUp(HWND hWnd) {
    const auto& permanent = WndState().permanent;
    const auto it = permanent.find(hWnd);
    return it != permanent.end() ? it->second : nullptr;
}

// What a message returns when its handler threw: fail creation rather than
// leave a half-made object, and validate a window that could not paint so
// that WM_PAINT does not come back forever.
LRESULT ResultAfterException(HWND hWnd, UINT message) {
    switch (message) {
        case WM_NCCREATE:
            return FALSE;
        case WM_CREATE:
            return -1;
        case WM_PAINT:
            ::ValidateRect(hWnd, nullptr);
            return 0;
        default:
            return 0;
    }
}

void AppendHex(std::wstring& text, uintptr_t value) {
    wchar_t digits[2 * sizeof(value)];
    size_t count = 0;
    do {
        digits[count++] = L"0123456789ABCDEF"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (count > 0) {
        text.push_back(digits[--count]);
    }
}

// Frames and views: redraw on resize, double clicks, the arrow cursor.
constexpr UINT kDefaultClassStyle = CS_DBLCLKS | CS_HREDRAW | CS_VREDRAW;

}  // namespace

LPCWSTR AfxRegisterWndClass(UINT classStyle, HCURSOR hCursor, HBRUSH hbrBackground, HICON hIcon) {
    try {
        const HINSTANCE hInstance = AfxGetInstanceHandle();
        std::wstring name = L"Afx:";
        AppendHex(name, reinterpret_cast<uintptr_t>(hInstance));
        name += L':';
        AppendHex(name, classStyle);
        name += L':';
        AppendHex(name, reinterpret_cast<uintptr_t>(hCursor));
        name += L':';
        AppendHex(name, reinterpret_cast<uintptr_t>(hbrBackground));
        name += L':';
        AppendHex(name, reinterpret_cast<uintptr_t>(hIcon));

        // Node-based, so the names handed out never move.
        static std::mutex s_mutex;
        static std::set<std::wstring, std::less<>> s_names;
        const std::lock_guard lock(s_mutex);
        if (const auto it = s_names.find(name); it != s_names.end()) {
            return it->c_str();
        }
        WNDCLASSW wc{};
        if (!::GetClassInfoW(hInstance, name.c_str(), &wc)) {
            wc.style = classStyle;
            wc.lpfnWndProc = AfxWndProc;
            wc.hInstance = hInstance;
            wc.hIcon = hIcon;
            wc.hCursor = hCursor;
            wc.hbrBackground = hbrBackground;
            wc.lpszClassName = name.c_str();
            if (::RegisterClassW(&wc) == 0) {
                return nullptr;
            }
        }
        return s_names.insert(std::move(name)).first->c_str();
    } catch (...) {
        return nullptr;
    }
}

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CThreadWndState* pState = nullptr;
    CWnd* pWnd = nullptr;
    try {
        pState = &WndState();
        pWnd = LookUp(hWnd);
        if (pWnd == nullptr && pState->pWndInit != nullptr) {
            // The first message of a window that CreateEx is making. That is
            // WM_NCCREATE for most windows, but overlapped ones see
            // WM_GETMINMAXINFO before it, so bind on whatever comes first.
            pState->permanent.emplace(hWnd, pState->pWndInit);
            pWnd = std::exchange(pState->pWndInit, nullptr);
            pWnd->m_hWnd = hWnd;
            pState->hWndInitBound = hWnd;
        }
    } catch (...) {
        pWnd = nullptr;
    }
    if (pWnd == nullptr) {
        return ::DefWindowProcW(hWnd, message, wParam, lParam);
    }

    const MSG previous = pState->current;
    pState->current = MSG{hWnd, message, wParam, lParam, 0, {}};
    LRESULT result = 0;
    try {
        result = pWnd->WindowProc(message, wParam, lParam);
    } catch (...) {
        result = ResultAfterException(hWnd, message);
    }
    // Nothing may touch pWnd after WindowProc except here: WM_NCDESTROY is
    // the window's last message, and unbinding it is the framework's job.
    if (message == WM_NCDESTROY) {
        pWnd->FinishNcDestroy();
    }
    pState->current = previous;
    return result;
}

CWnd::~CWnd() {
    if (m_hWnd == nullptr) {
        return;
    }
    const HWND hWnd = m_hWnd;
    if (::IsWindow(hWnd)) {
        // Only this class's handlers run from here on; WM_NCDESTROY unbinds.
        ::DestroyWindow(hWnd);
    }
    if (m_hWnd != nullptr) {
        auto& permanent = WndState().permanent;
        if (const auto it = permanent.find(hWnd); it != permanent.end() && it->second == this) {
            permanent.erase(it);
        }
        m_hWnd = nullptr;
    }
}

void CWnd::FinishNcDestroy() {
    try {
        if (CWinApp* pApp = AfxGetApp(); pApp != nullptr && pApp->m_pMainWnd == this) {
            ::PostQuitMessage(0);
            pApp->m_pMainWnd = nullptr;
        }
        WndState().permanent.erase(m_hWnd);
        m_hWnd = nullptr;
        m_pfnSuper = nullptr;
        PostNcDestroy();
    } catch (...) {
    }
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
    return hWnd != nullptr ? LookUp(hWnd) : nullptr;
}

CWnd* CWnd::FromHandle(HWND hWnd) {
    return FromHandlePermanent(hWnd);
}

BOOL CWnd::Attach(HWND hWnd) {
    if (m_hWnd != nullptr || hWnd == nullptr || !::IsWindow(hWnd)) {
        return FALSE;
    }
    try {
        if (!WndState().permanent.emplace(hWnd, this).second) {
            return FALSE;
        }
    } catch (...) {
        return FALSE;
    }
    m_hWnd = hWnd;
    return TRUE;
}

HWND CWnd::Detach() {
    const HWND hWnd = std::exchange(m_hWnd, nullptr);
    if (hWnd == nullptr) {
        return nullptr;
    }
    if (m_pfnSuper != nullptr) {
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
        m_pfnSuper = nullptr;
    }
    auto& permanent = WndState().permanent;
    if (const auto it = permanent.find(hWnd); it != permanent.end() && it->second == this) {
        permanent.erase(it);
    }
    return hWnd;
}

BOOL CWnd::CreateEx(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style,
                    const RECT& rect, CWnd* parent, UINT id, LPVOID param) {
    return CreateEx(exStyle, className, windowName, style, rect.left, rect.top,
                    rect.right - rect.left, rect.bottom - rect.top,
                    parent != nullptr ? parent->m_hWnd : nullptr,
                    reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), param);
}

BOOL CWnd::CreateEx(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                    int width, int height, HWND hWndParent, HMENU hMenuOrId, LPVOID param) {
    if (m_hWnd != nullptr) {
        return FALSE;
    }
    CREATESTRUCTW cs{};
    cs.dwExStyle = exStyle;
    cs.lpszClass = className;
    cs.lpszName = windowName;
    cs.style = static_cast<LONG>(style);
    cs.x = x;
    cs.y = y;
    cs.cx = width;
    cs.cy = height;
    cs.hwndParent = hWndParent;
    cs.hMenu = hMenuOrId;
    cs.hInstance = AfxGetInstanceHandle();
    cs.lpCreateParams = param;
    if (!PreCreateWindow(cs)) {
        PostNcDestroy();
        return FALSE;
    }

    CThreadWndState& state = WndState();
    CWnd* const pPrevInit = std::exchange(state.pWndInit, this);
    const HWND hPrevBound = std::exchange(state.hWndInitBound, nullptr);
    const HWND hWnd = ::CreateWindowExW(cs.dwExStyle, cs.lpszClass, cs.lpszName,
                                        static_cast<DWORD>(cs.style), cs.x, cs.y, cs.cx, cs.cy,
                                        cs.hwndParent, cs.hMenu, cs.hInstance, cs.lpCreateParams);
    const DWORD createError = ::GetLastError();
    const bool bBound = state.pWndInit != this;
    const HWND hBound = state.hWndInitBound;
    state.pWndInit = pPrevInit;
    state.hWndInitBound = hPrevBound;

    if (hWnd == nullptr) {
        // A window that was bound and then torn down has already been through
        // WM_NCDESTROY, and the object may be gone: touch it only if it is
        // still registered, which means that message never came.
        if (!bBound) {
            PostNcDestroy();
        } else if (hBound != nullptr && LookUp(hBound) == this) {
            state.permanent.erase(hBound);
            m_hWnd = nullptr;
            PostNcDestroy();
        }
        ::SetLastError(createError);
        return FALSE;
    }
    if (!bBound) {
        // A class with its own window procedure: route it through ours.
        Attach(hWnd);
        m_pfnSuper = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(AfxWndProc)));
    }
    return TRUE;
}

BOOL CWnd::Create(LPCWSTR className, LPCWSTR windowName, DWORD style, const RECT& rect,
                  CWnd* parent, UINT id) {
    // Create makes child windows; top-level ones go through CreateEx.
    return CreateEx(0, className, windowName, style | WS_CHILD, rect, parent, id);
}

BOOL CWnd::DestroyWindow() {
    const HWND hWnd = m_hWnd;
    if (hWnd == nullptr) {
        return FALSE;
    }
    const BOOL bDestroyed = ::DestroyWindow(hWnd);
    // A window bound with Attach sends us no WM_NCDESTROY, so unbind it here.
    // Any other object was unbound (and perhaps deleted) by that message, and
    // is then no longer registered.
    if (LookUp(hWnd) == this && !::IsWindow(hWnd)) {
        WndState().permanent.erase(hWnd);
        m_hWnd = nullptr;
    }
    return bDestroyed;
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
    return ::PostMessageW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::ShowWindow(int cmdShow) {
    return ::ShowWindow(m_hWnd, cmdShow);
}

CWnd* CWnd::SetFocus() {
    return FromHandle(::SetFocus(m_hWnd));
}

BOOL CWnd::IsWindow() const {
    return m_hWnd != nullptr && ::IsWindow(m_hWnd);
}

BOOL CWnd::PreTranslateMessage(MSG*) {
    return FALSE;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (!OnWndMsg(message, wParam, lParam, &result)) {
        result = DefWindowProc(message, wParam, lParam);
    }
    return result;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    LRESULT result = 0;
    switch (message) {
        case WM_CREATE:
            result = OnCreate(reinterpret_cast<LPCREATESTRUCT>(lParam));
            break;
        case WM_CLOSE:
            OnClose();
            break;
        case WM_DESTROY:
            OnDestroy();
            break;
        case WM_SETFOCUS:
            OnSetFocus(FromHandle(reinterpret_cast<HWND>(wParam)));
            break;
        case WM_ACTIVATEAPP:
            OnActivateApp(static_cast<BOOL>(wParam), static_cast<DWORD>(lParam));
            break;
        case WM_QUERYENDSESSION:
            result = OnQueryEndSession();
            break;
        case WM_POWERBROADCAST:
            result = OnPowerBroadcast(wParam, lParam);
            break;
        case WM_PAINT:
            OnPaint();
            break;
        case WM_ERASEBKGND:
            result = OnEraseBkgnd(reinterpret_cast<HDC>(wParam));
            break;
        case WM_COMMAND:
            if (!OnCommand(wParam, lParam)) {
                return FALSE;
            }
            break;
        default:
            return FALSE;
    }
    if (pResult != nullptr) {
        *pResult = result;
    }
    return TRUE;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_pfnSuper != nullptr) {
        return ::CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam);
    }
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PreCreateWindow(CREATESTRUCTW& cs) {
    if (cs.lpszClass == nullptr) {
        cs.lpszClass = AfxRegisterWndClass(kDefaultClassStyle, ::LoadCursorW(nullptr, IDC_ARROW));
        if (cs.lpszClass == nullptr) {
            return FALSE;
        }
    }
    return TRUE;
}

void CWnd::PostNcDestroy() {}

LRESULT CWnd::Default() {
    const MSG& current = WndState().current;
    if (current.hwnd != m_hWnd || m_hWnd == nullptr) {
        return 0;
    }
    return DefWindowProc(current.message, current.wParam, current.lParam);
}

int CWnd::OnCreate(LPCREATESTRUCT) {
    return static_cast<int>(Default());
}

void CWnd::OnClose() {
    Default();
}

void CWnd::OnDestroy() {
    Default();
}

void CWnd::OnSetFocus(CWnd*) {
    Default();
}

void CWnd::OnActivateApp(BOOL, DWORD) {
    Default();
}

BOOL CWnd::OnQueryEndSession() {
    return static_cast<BOOL>(Default());
}

LRESULT CWnd::OnPowerBroadcast(WPARAM, LPARAM) {
    return Default();
}

void CWnd::OnPaint() {
    Default();
}

BOOL CWnd::OnEraseBkgnd(HDC) {
    return static_cast<BOOL>(Default());
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
    // Menus and accelerators carry no control window; controls pass their
    // notification code in the high word.
    const int code = lParam == 0 ? CN_COMMAND : static_cast<int>(HIWORD(wParam));
    return OnCmdMsg(LOWORD(wParam), code, nullptr, nullptr);
}
