#include "TestResource.h"
#include "TestSupport.h"
#include "app/MainFrame.h"

#include <gtest/gtest.h>

namespace {

class CTestApp : public CWinApp {
public:
    using CWinApp::CWinApp;
    BOOL OnCmdMsg(UINT id, int code, void*, void*) override {
        if (code != CN_COMMAND || (id != ID_TEST_NEXT_PANE && id != ID_TEST_EXIT)) {
            return FALSE;
        }
        m_commands.push_back(id);
        return TRUE;
    }
    std::vector<UINT> m_commands;
};

class CTestFrame : public CFrameWnd {
public:
    CTestFrame() { ++s_nAlive; }
    ~CTestFrame() override { --s_nAlive; }

    static inline int s_nAlive = 0;
    int m_nCreateResult = 0;
    void* m_pContextSeen = nullptr;

protected:
    int OnCreate(LPCREATESTRUCT lpCreateStruct) override {
        if (CFrameWnd::OnCreate(lpCreateStruct) == -1) {
            return -1;
        }
        m_pContextSeen = lpCreateStruct->lpCreateParams;
        return m_nCreateResult;
    }
};

std::wstring WindowText(HWND hWnd) {
    wchar_t text[256] = {};
    ::GetWindowTextW(hWnd, text, 256);
    return text;
}

class FrameWndTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(CTestFrame::s_nAlive, 0);
        TakeQuitMessage();
    }
    CTestApp m_app;
};

TEST_F(FrameWndTest, ApplicationNameComesFromStringTable) {
    EXPECT_EQ(AfxGetApp(), &m_app);
    EXPECT_STREQ(m_app.m_pszAppName, L"FrameworkTests");
    CTestApp named(L"Named");
    EXPECT_STREQ(named.m_pszAppName, L"Named");
}

TEST_F(FrameWndTest, LoadFrameUsesResourcesAndPassesContext) {
    auto* pFrame = new CTestFrame;
    int context = 0;
    ASSERT_TRUE(
        pFrame->LoadFrame(IDR_TESTFRAME, WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE, nullptr, &context));
    const HWND hWnd = pFrame->m_hWnd;
    EXPECT_EQ(WindowText(hWnd), L"Test Frame");
    EXPECT_NE(::GetMenu(hWnd), nullptr);
    EXPECT_NE(pFrame->m_hAccelTable, nullptr);
    EXPECT_TRUE(::GetWindowLongPtrW(hWnd, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_FALSE(::IsWindowVisible(hWnd));
    EXPECT_EQ(pFrame->m_pContextSeen, &context);

    // Not the main window: closing it deletes it but does not end the program.
    pFrame->SendMessage(WM_CLOSE);
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_FALSE(TakeQuitMessage());
}

TEST_F(FrameWndTest, MainFrameWhoseCreationFailsIsDeletedAndPostsQuit) {
    auto* pFrame = new CTestFrame;
    pFrame->m_nCreateResult = -1;
    m_app.m_pMainWnd = pFrame;
    EXPECT_FALSE(pFrame->LoadFrame(IDR_TESTFRAME, WS_OVERLAPPEDWINDOW));
    EXPECT_EQ(CTestFrame::s_nAlive, 0);
    EXPECT_EQ(m_app.m_pMainWnd, nullptr);
    WPARAM code = 99;
    EXPECT_TRUE(TakeQuitMessage(&code));
    EXPECT_EQ(code, 0u);
}

void CALLBACK QuitAfterTimeout(HWND, UINT, UINT_PTR, DWORD) {
    ::PostQuitMessage(99);
}

TEST_F(FrameWndTest, ClosingTheMainFrameEndsRun) {
    auto* pFrame = new CTestFrame;
    m_app.m_pMainWnd = pFrame;
    ASSERT_TRUE(pFrame->LoadFrame(IDR_TESTFRAME, WS_OVERLAPPEDWINDOW));
    pFrame->PostMessage(WM_CLOSE);
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 5000, QuitAfterTimeout);
    EXPECT_EQ(m_app.Run(), 0);
    ::KillTimer(nullptr, timer);
    EXPECT_EQ(CTestFrame::s_nAlive, 0);
    EXPECT_EQ(m_app.m_pMainWnd, nullptr);
}

TEST_F(FrameWndTest, RunWithoutMainWindowEndsAtOnce) {
    EXPECT_EQ(m_app.Run(), 0);
}

TEST_F(FrameWndTest, CommandsReachTheApplicationThroughTheFrame) {
    auto* pFrame = new CTestFrame;
    ASSERT_TRUE(pFrame->LoadFrame(IDR_TESTFRAME, WS_OVERLAPPEDWINDOW));
    pFrame->SendMessage(WM_COMMAND, MAKEWPARAM(ID_TEST_EXIT, 0), 0);

    // F6 is in the frame's accelerator table.
    MSG key{pFrame->m_hWnd, WM_KEYDOWN, VK_F6, 1, 0, {}};
    EXPECT_TRUE(m_app.PreTranslateMessage(&key));
    MSG other{pFrame->m_hWnd, WM_KEYDOWN, VK_F7, 1, 0, {}};
    EXPECT_FALSE(m_app.PreTranslateMessage(&other));

    EXPECT_EQ(m_app.m_commands, (std::vector<UINT>{ID_TEST_EXIT, ID_TEST_NEXT_PANE}));
    pFrame->DestroyWindow();
}

}  // namespace
