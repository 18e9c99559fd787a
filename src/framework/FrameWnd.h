// CFrameWnd: a top-level window made from resources, whose life is its window's.
#pragma once

#include "framework/Wnd.h"

// Frame styles carried in the class-specific low word of the window style.
inline constexpr DWORD FWS_ADDTOTITLE = 0x00008000;
inline constexpr DWORD FWS_PREFIXTITLE = 0x00004000;

// Must be made with new: PostNcDestroy deletes it. When it is the
// application's main window, destroying it ends the message loop.
class CFrameWnd : public CWnd {
public:
    CFrameWnd() = default;

    // Creates the window with default geometry. resourceId names the title
    // string and, where they exist, the menu, accelerator table and icon.
    // On FALSE the object has already been deleted: the caller must not
    // touch it again. The same holds when OnCreate fails: the window is torn
    // down, and as main window that also posts WM_QUIT.
    virtual BOOL LoadFrame(UINT resourceId, DWORD style = WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE,
                           CWnd* parent = nullptr, void* context = nullptr);

    // Supplies the frame class and WS_EX_CLIENTEDGE.
    BOOL PreCreateWindow(CREATESTRUCTW& cs) override;
    // Commands the frame does not handle go on to the application.
    BOOL OnCmdMsg(UINT id, int code, void* extra, void* handlerInfo) override;
    BOOL PreTranslateMessage(MSG* pMsg) override;

    HACCEL m_hAccelTable = nullptr;

protected:
    int OnCreate(LPCREATESTRUCT lpCreateStruct) override;
    // Destroys the window (and with it this object).
    void OnClose() override;
    void PostNcDestroy() override;
};
