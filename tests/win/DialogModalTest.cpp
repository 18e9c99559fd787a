#include "TestResource.h"
#include "TestSupport.h"
#include "framework/Dialog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the modal loop's timer does to the dialog, one step per tick.
enum class Step { ClickOk, ClickCancel, Close, Escape, Enter };

struct ModalScript {
    std::vector<Step> steps;
    size_t next = 0;
    HWND hOwner = nullptr;
    // Per tick with the dialog up: was the owner disabled, was it visible.
    std::vector<bool> ownerDisabled;
    std::vector<bool> dialogVisible;
    int ticks = 0;
};

ModalScript* g_pScript = nullptr;

void Perform(HWND hDialog, Step step) {
    switch (step) {
        case Step::ClickOk:
            ::SendMessageW(hDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(hDialog, IDOK)));
            break;
        case Step::ClickCancel:
            ::SendMessageW(hDialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(hDialog, IDCANCEL)));
            break;
        case Step::Close:
            ::SendMessageW(hDialog, WM_CLOSE, 0, 0);
            break;
        case Step::Escape:
        case Step::Enter: {
            // Through the dialog box's own loop, as typed keys arrive.
            const WPARAM key = step == Step::Escape ? VK_ESCAPE : VK_RETURN;
            HWND hFocus = ::GetFocus();
            ::PostMessageW(hFocus != nullptr ? hFocus : hDialog, WM_KEYDOWN, key, 1);
            break;
        }
    }
}

void CALLBACK DriveModal(HWND, UINT, UINT_PTR, DWORD) {
    ModalScript& script = *g_pScript;
    if (++script.ticks > 200) {
        // The script did not end the dialog: end it so that the test fails
        // instead of hanging.
        if (HWND hDialog = ::FindWindowW(L"#32770", L"Modal Test"); hDialog != nullptr) {
            ::EndDialog(hDialog, 12345);
        }
        return;
    }
    const HWND hDialog = ::FindWindowW(L"#32770", L"Modal Test");
    if (hDialog == nullptr || script.next >= script.steps.size()) {
        return;
    }
    // The dialog box's loop shows the window when its queue first runs dry;
    // a tick can come before that. Act only on a shown dialog: one never
    // shown runs into the bound above and fails with its code.
    if (!::IsWindowVisible(hDialog)) {
        return;
    }
    script.ownerDisabled.push_back(!::IsWindowEnabled(script.hOwner));
    script.dialogVisible.push_back(::IsWindowVisible(hDialog) != FALSE);
    Perform(hDialog, script.steps[script.next++]);
}

class CModalTestDialog : public CDialog {
public:
    CModalTestDialog() : CDialog(IDD_TEST_MODAL) {}
    explicit CModalTestDialog(UINT nIDTemplate) : CDialog(nIDTemplate) {}

    bool m_bRefuseSave = false;
    int m_nSaves = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        if (pDX->m_bSaveAndValidate) {
            ++m_nSaves;
            if (m_bRefuseSave) {
                pDX->Fail();
            }
        }
    }
};

class DialogModalTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pOwner = new CFrameWnd;
        ASSERT_TRUE(m_pOwner->LoadFrame(IDR_TESTFRAME, WS_OVERLAPPEDWINDOW));
        m_app.m_pMainWnd = m_pOwner;
        m_hOwner = m_pOwner->m_hWnd;
        m_script.hOwner = m_hOwner;
        g_pScript = &m_script;
    }
    void TearDown() override {
        g_pScript = nullptr;
        if (::IsWindow(m_hOwner)) {
            ::DestroyWindow(m_hOwner);
        }
        TakeQuitMessage();
    }

    INT_PTR RunModal(CModalTestDialog& dialog, std::vector<Step> steps) {
        m_script.steps = std::move(steps);
        const UINT_PTR timer = ::SetTimer(nullptr, 0, 20, DriveModal);
        const INT_PTR result = dialog.DoModal();
        ::KillTimer(nullptr, timer);
        return result;
    }

    CWinApp m_app;
    CFrameWnd* m_pOwner = nullptr;
    HWND m_hOwner = nullptr;
    ModalScript m_script;
};

struct EndCase {
    const char* name;
    Step step;
    INT_PTR expected;
    int saves;
};

TEST_F(DialogModalTest, EveryWayOutEndsWithItsCodeAndFreesTheOwner) {
    const EndCase cases[] = {
        {"OK button", Step::ClickOk, IDOK, 1},
        {"Cancel button", Step::ClickCancel, IDCANCEL, 0},
        {"close box", Step::Close, IDCANCEL, 0},
        {"Esc", Step::Escape, IDCANCEL, 0},
        {"Enter on the default button", Step::Enter, IDOK, 1},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        m_script = ModalScript{};
        m_script.hOwner = m_hOwner;
        CModalTestDialog dialog;
        EXPECT_EQ(RunModal(dialog, {c.step}), c.expected);
        EXPECT_EQ(dialog.m_nSaves, c.saves);
        EXPECT_EQ(dialog.m_hWnd, nullptr);
        EXPECT_EQ(m_script.ownerDisabled, std::vector<bool>{true});
        EXPECT_EQ(m_script.dialogVisible, std::vector<bool>{true});
        EXPECT_TRUE(::IsWindowEnabled(m_hOwner));
        // The owner stays as it was: hidden.
        EXPECT_FALSE(::IsWindowVisible(m_hOwner));
    }
}

TEST_F(DialogModalTest, OkWithDataThatFailsToSaveKeepsTheDialogOpen) {
    CModalTestDialog dialog;
    dialog.m_bRefuseSave = true;
    EXPECT_EQ(RunModal(dialog, {Step::ClickOk, Step::ClickCancel}), IDCANCEL);
    EXPECT_EQ(dialog.m_nSaves, 1);
    // Still up for the second step.
    EXPECT_EQ(m_script.dialogVisible, (std::vector<bool>{true, true}));
}

TEST_F(DialogModalTest, MissingTemplateIsAFailureNotAHang) {
    CModalTestDialog dialog(IDD_TEST_MISSING);
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_TRUE(::IsWindowEnabled(m_hOwner));
}

TEST_F(DialogModalTest, AModelessDialogIgnoresOkAndCancel) {
    CModalTestDialog dialog;
    ASSERT_TRUE(dialog.Create(IDD_TEST_MODAL));
    const HWND hDialog = dialog.m_hWnd;
    for (const UINT id : {IDOK, IDCANCEL}) {
        ::SendMessageW(hDialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
        PumpPosted();
        EXPECT_TRUE(::IsWindow(hDialog));
    }
    dialog.DestroyWindow();
}

TEST_F(DialogModalTest, ExitCommandClosesTheMainWindowAndEndsTheLoop) {
    m_pOwner->SendMessage(WM_COMMAND, MAKEWPARAM(ID_APP_EXIT, 0), 0);
    EXPECT_FALSE(::IsWindow(m_hOwner));
    EXPECT_EQ(m_app.m_pMainWnd, nullptr);
    EXPECT_TRUE(TakeQuitMessage());
}

}  // namespace
