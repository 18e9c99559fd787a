// The frame's client window. The frame is never shown, so it draws nothing.
#pragma once

#include "framework/Wnd.h"

class CChildView : public CWnd {
public:
    BOOL PreCreateWindow(CREATESTRUCTW& cs) override;

protected:
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
};
