#include "TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

namespace {

constexpr UINT kThrowMessage = WM_USER + 5;
constexpr UINT kForeignMessage = WM_USER + 7;

std::string Msg(UINT message) {
    return "msg:" + std::to_string(message);
}

enum class Fault { kNone, kPreCreateFails, kNcCreateFails, kCreateFails, kCreateThrows };

// Logs messages and hooks in order; with bDeleteSelf its life is its window's.
class CRecordingWnd : public CWnd {
public:
    CRecordingWnd(std::vector<std::string>& log, Fault fault, bool bDeleteSelf)
        : m_log(log), m_fault(fault), m_bDeleteSelf(bDeleteSelf) {}

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        m_log.push_back(Msg(message));
        if (message == WM_NCCREATE && m_fault == Fault::kNcCreateFails) {
            return FALSE;
        }
        if (message == kThrowMessage) {
            throw std::runtime_error("handler failed");
        }
        return CWnd::WindowProc(message, wParam, lParam);
    }
    BOOL PreCreateWindow(CREATESTRUCTW& cs) override {
        m_log.push_back("PreCreateWindow");
        return m_fault != Fault::kPreCreateFails && CWnd::PreCreateWindow(cs);
    }
    void PostNcDestroy() override {
        m_log.push_back(m_hWnd == nullptr ? "PostNcDestroy" : "PostNcDestroy(still bound)");
        if (m_bDeleteSelf) {
            delete this;
        }
    }

protected:
    int OnCreate(LPCREATESTRUCT lpCreateStruct) override {
        m_log.push_back(FromHandlePermanent(m_hWnd) == this ? "OnCreate" : "OnCreate(unbound)");
        if (m_fault == Fault::kCreateThrows) {
            throw std::runtime_error("creation failed");
        }
        return m_fault == Fault::kCreateFails ? -1 : CWnd::OnCreate(lpCreateStruct);
    }
    void OnClose() override {
        m_log.push_back("OnClose");
        CWnd::OnClose();
    }
    void OnDestroy() override {
        m_log.push_back("OnDestroy");
        CWnd::OnDestroy();
    }

private:
    std::vector<std::string>& m_log;
    Fault m_fault;
    bool m_bDeleteSelf;
};

BOOL CreatePopup(CWnd& wnd, LPCWSTR className = nullptr) {
    return wnd.CreateEx(0, className, L"test", WS_POPUP, RECT{0, 0, 10, 10}, nullptr, 0);
}

enum class Action { kNone, kClose, kDestroy };

struct CSequenceCase {
    const char* name;
    Fault fault;
    Action action;
    bool bCreated;
    std::vector<std::string> expected;
};

class WndSequenceTest : public ::testing::TestWithParam<CSequenceCase> {};

TEST_P(WndSequenceTest, MessagesAndHooksArriveInOrder) {
    const CSequenceCase& c = GetParam();
    std::vector<std::string> log;
    auto* pWnd = new CRecordingWnd(log, c.fault, true);
    const BOOL bCreated = CreatePopup(*pWnd);
    ASSERT_EQ(bCreated != FALSE, c.bCreated) << Join(log);
    HWND hWnd = nullptr;
    if (bCreated) {
        hWnd = pWnd->m_hWnd;
        EXPECT_EQ(CWnd::FromHandlePermanent(hWnd), pWnd);
        if (c.action == Action::kClose) {
            pWnd->SendMessage(WM_CLOSE);
        } else if (c.action == Action::kDestroy) {
            pWnd->DestroyWindow();
        }
    }
    EXPECT_TRUE(ContainsInOrder(log, c.expected)) << Join(log);
    EXPECT_FALSE(ContainsInOrder(log, {"OnCreate(unbound)"})) << Join(log);
    EXPECT_FALSE(ContainsInOrder(log, {"PostNcDestroy(still bound)"})) << Join(log);
    const bool bGone = !c.bCreated || c.action != Action::kNone;
    if (bGone) {
        EXPECT_EQ(log.back(), "PostNcDestroy") << Join(log);
        EXPECT_FALSE(ContainsInOrder(log, {"PostNcDestroy", "PostNcDestroy"})) << Join(log);
        if (hWnd != nullptr) {
            EXPECT_EQ(CWnd::FromHandlePermanent(hWnd), nullptr);
        }
    } else {
        ::DestroyWindow(hWnd);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Wnd, WndSequenceTest,
    ::testing::Values(
        CSequenceCase{"Create",
                      Fault::kNone,
                      Action::kNone,
                      true,
                      {"PreCreateWindow", Msg(WM_NCCREATE), Msg(WM_CREATE), "OnCreate"}},
        CSequenceCase{"CloseGoesThroughOnClose",
                      Fault::kNone,
                      Action::kClose,
                      true,
                      {Msg(WM_CLOSE), "OnClose", Msg(WM_DESTROY), "OnDestroy", Msg(WM_NCDESTROY),
                       "PostNcDestroy"}},
        CSequenceCase{"DestroyWindow",
                      Fault::kNone,
                      Action::kDestroy,
                      true,
                      {Msg(WM_DESTROY), "OnDestroy", Msg(WM_NCDESTROY), "PostNcDestroy"}},
        CSequenceCase{"OnCreateFails",
                      Fault::kCreateFails,
                      Action::kNone,
                      false,
                      {Msg(WM_CREATE), "OnCreate", Msg(WM_NCDESTROY), "PostNcDestroy"}},
        CSequenceCase{"OnCreateThrows",
                      Fault::kCreateThrows,
                      Action::kNone,
                      false,
                      {Msg(WM_CREATE), "OnCreate", Msg(WM_NCDESTROY), "PostNcDestroy"}},
        CSequenceCase{"NcCreateFails",
                      Fault::kNcCreateFails,
                      Action::kNone,
                      false,
                      {Msg(WM_NCCREATE), "PostNcDestroy"}},
        CSequenceCase{"PreCreateWindowFails",
                      Fault::kPreCreateFails,
                      Action::kNone,
                      false,
                      {"PreCreateWindow", "PostNcDestroy"}}),
    [](const auto& info) { return std::string(info.param.name); });

class CStyledWnd : public CWnd {
public:
    BOOL PreCreateWindow(CREATESTRUCTW& cs) override {
        cs.style = WS_POPUP | WS_CLIPCHILDREN;
        cs.dwExStyle |= WS_EX_TOOLWINDOW;
        cs.lpszClass = AfxRegisterWndClass(CS_DBLCLKS);
        return cs.lpszClass != nullptr;
    }
};

TEST(Wnd, PreCreateWindowDecidesClassAndStyles) {
    CStyledWnd wnd;
    ASSERT_TRUE(wnd.CreateEx(0, nullptr, L"", WS_POPUP | WS_CAPTION, RECT{}, nullptr, 0));
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(wnd, GWL_STYLE));
    EXPECT_TRUE(style & WS_CLIPCHILDREN);
    EXPECT_FALSE((style & WS_CAPTION) == WS_CAPTION);
    EXPECT_TRUE(::GetWindowLongPtrW(wnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    wchar_t className[128] = {};
    ::GetClassNameW(wnd, className, 128);
    EXPECT_STREQ(className, AfxRegisterWndClass(CS_DBLCLKS));
}

LRESULT CALLBACK ForeignProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return message == kForeignMessage ? 42 : ::DefWindowProcW(hWnd, message, wParam, lParam);
}

TEST(Wnd, WindowOfForeignClassIsSubclassed) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ForeignProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TunaraForeignTestClass";
    ASSERT_NE(::RegisterClassW(&wc), 0);

    std::vector<std::string> log;
    auto* pWnd = new CRecordingWnd(log, Fault::kNone, true);
    ASSERT_TRUE(CreatePopup(*pWnd, wc.lpszClassName));
    const HWND hWnd = pWnd->m_hWnd;
    // Seen by the object, answered by the class's own procedure.
    EXPECT_EQ(::SendMessageW(hWnd, kForeignMessage, 0, 0), 42);
    EXPECT_TRUE(ContainsInOrder(log, {Msg(kForeignMessage)}));
    ::DestroyWindow(hWnd);
    EXPECT_EQ(log.back(), "PostNcDestroy");
    EXPECT_EQ(CWnd::FromHandlePermanent(hWnd), nullptr);
}

TEST(Wnd, ExceptionInHandlerStaysInsideWindowProcedure) {
    std::vector<std::string> log;
    CRecordingWnd wnd(log, Fault::kNone, false);
    ASSERT_TRUE(CreatePopup(wnd));
    EXPECT_EQ(wnd.SendMessage(kThrowMessage), 0);
    EXPECT_TRUE(wnd.IsWindow());
}

TEST(AfxRegisterWndClass, OneClassPerDistinctCombination) {
    struct CArgs {
        UINT style;
        HCURSOR hCursor;
        HBRUSH hBrush;
        HICON hIcon;
    };
    const HCURSOR hArrow = ::LoadCursorW(nullptr, IDC_ARROW);
    const CArgs variants[] = {
        {CS_DBLCLKS, hArrow, nullptr, nullptr},
        {CS_DBLCLKS | CS_HREDRAW, hArrow, nullptr, nullptr},
        {CS_DBLCLKS, hArrow, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1),
         ::LoadIconW(nullptr, IDI_APPLICATION)},
    };
    std::set<std::wstring> names;
    for (const CArgs& v : variants) {
        const LPCWSTR name = AfxRegisterWndClass(v.style, v.hCursor, v.hBrush, v.hIcon);
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(AfxRegisterWndClass(v.style, v.hCursor, v.hBrush, v.hIcon), name);
        EXPECT_EQ(std::wstring(name).rfind(L"Afx:", 0), 0u);
        names.insert(name);

        WNDCLASSW wc{};
        ASSERT_TRUE(::GetClassInfoW(::GetModuleHandleW(nullptr), name, &wc));
        EXPECT_EQ(wc.style, v.style);
        EXPECT_EQ(wc.hCursor, v.hCursor);
        EXPECT_EQ(wc.hbrBackground, v.hBrush);
        EXPECT_EQ(wc.hIcon, v.hIcon);
        EXPECT_EQ(wc.lpfnWndProc, &AfxWndProc);
    }
    EXPECT_EQ(names.size(), std::size(variants));
}

}  // namespace
