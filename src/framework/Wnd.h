// CWnd: a C++ object bound to one window, with virtual message handlers.
#pragma once

#include "framework/WinApp.h"

// Notification code of menu and accelerator commands in OnCmdMsg.
inline constexpr int CN_COMMAND = 0;

// Registers (once per distinct combination) a class whose window procedure
// is the framework's, and returns its name; the pointer stays valid for the
// life of the process. Returns nullptr if the class cannot be registered.
LPCWSTR AfxRegisterWndClass(UINT classStyle, HCURSOR hCursor = nullptr,
                            HBRUSH hbrBackground = nullptr, HICON hIcon = nullptr);

// The window procedure of every class the framework registers.
LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// A window object. It is bound to its HWND from the first message of
// CreateWindowEx (before WM_NCCREATE) until WM_NCDESTROY, after which
// PostNcDestroy runs; an object whose life is its window's deletes itself
// there. Windows of other classes created through CreateEx are subclassed.
class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    // Destroys a window that is still alive; derived handlers no longer run.
    ~CWnd() override;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // The object bound to hWnd, or nullptr. No temporary wrapper objects are
    // made for foreign windows, so both return nullptr for those.
    static CWnd* FromHandlePermanent(HWND hWnd);
    static CWnd* FromHandle(HWND hWnd);

    // Binds an existing window without subclassing it: the object sees no
    // messages, and Detach must be called before the window goes away.
    BOOL Attach(HWND hWnd);
    HWND Detach();

    // The rectangle gives position and size; parent may be nullptr; id is the
    // child id (or 0 for a top-level window). If creation fails, PostNcDestroy
    // has run, so a self-deleting object is gone and must not be touched.
    BOOL CreateEx(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style,
                  const RECT& rect, CWnd* parent, UINT id, LPVOID param = nullptr);
    BOOL CreateEx(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                  int width, int height, HWND hWndParent, HMENU hMenuOrId, LPVOID param = nullptr);
    BOOL Create(LPCWSTR className, LPCWSTR windowName, DWORD style, const RECT& rect, CWnd* parent,
                UINT id);

    // May delete this object (through PostNcDestroy).
    virtual BOOL DestroyWindow();

    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL ShowWindow(int cmdShow);
    // Returns the window that had the focus, if it is one of ours.
    CWnd* SetFocus();
    BOOL IsWindow() const;

    // Gives the window a chance to consume a queued message before dispatch.
    virtual BOOL PreTranslateMessage(MSG* pMsg);

    // Called by AfxWndProc for every message; routes through OnWndMsg and
    // falls back to DefWindowProc.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The message map: a derived class handles its messages in a switch,
    // sets *pResult and returns TRUE, and chains to its base for the rest.
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL PreCreateWindow(CREATESTRUCTW& cs);
    // Called after the window is gone and the object unbound; the last thing
    // the framework does with the object.
    virtual void PostNcDestroy();

    HWND m_hWnd = nullptr;

protected:
    // Default processing of the message being handled.
    LRESULT Default();

    // Named handlers; the base versions do the default processing.
    virtual int OnCreate(LPCREATESTRUCT lpCreateStruct);
    virtual void OnClose();
    virtual void OnDestroy();
    virtual void OnSetFocus(CWnd* pOldWnd);
    virtual void OnActivateApp(BOOL bActive, DWORD dwThreadId);
    virtual BOOL OnQueryEndSession();
    virtual LRESULT OnPowerBroadcast(WPARAM powerEvent, LPARAM eventData);
    virtual void OnPaint();
    virtual BOOL OnEraseBkgnd(HDC hDC);
    // WM_COMMAND: offers the command to OnCmdMsg.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);

private:
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
    void FinishNcDestroy();

    WNDPROC m_pfnSuper = nullptr;  // original procedure of a subclassed window
};
