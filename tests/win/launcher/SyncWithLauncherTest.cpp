#include <gtest/gtest.h>

#include <windows.h>

#include <thread>
#include <vector>

#include "LauncherTestSupport.h"
#include "launcher/FrameWndLauncher_win.h"

namespace {

// The frame base without a message loop of its own, for its launcher slots.
class CTestFrame : public CFrameWndLauncher {
public:
    using CFrameWndLauncher::OnLauncherSnapshotRequest;
};

void FillPicture(CZvImageExt& picture) {
    const CBitmapHandle bitmap(::CreateBitmap(4, 4, 1, 32, nullptr));
    ASSERT_TRUE(picture.CopyFromBitmap(bitmap.Get()));
}

DWORD Elapsed(DWORD startTick) {
    return ::GetTickCount() - startTick;
}

class SyncWithLauncherTest : public testing::Test {
protected:
    // Frames are deleted with their windows, or here.
    void TearDown() override {
        delete m_pFrame;
        DiscardQuitMessage();
    }

    CTestFrame* m_pFrame = new CTestFrame;
};

TEST_F(SyncWithLauncherTest, AnAcknowledgementAfterTheSendEndsTheWait) {
    CFakeLauncher launcher(
        [](CFakeLauncher& self, const CReceivedRecord&) { self.SendLater(SYNC_ACK, 50); });
    FillPicture(m_pFrame->m_snapshot);
    ASSERT_TRUE(m_pFrame->SendToLauncher(SYNC_MINIMIZING, m_pFrame->m_snapshot));
    const DWORD start = ::GetTickCount();
    EXPECT_TRUE(m_pFrame->WaitForLauncher(5000));
    EXPECT_LT(Elapsed(start), 2000u);
}

TEST_F(SyncWithLauncherTest, AnAcknowledgementDuringTheSendIsLost) {
    CFakeLauncher launcher(
        [](CFakeLauncher&, const CReceivedRecord&) { CFakeLauncher::SendRequest(SYNC_ACK); });
    FillPicture(m_pFrame->m_snapshot);
    ASSERT_TRUE(m_pFrame->SendToLauncher(SYNC_MINIMIZING, m_pFrame->m_snapshot));
    EXPECT_TRUE(m_pFrame->m_bAcknowledged);
    const DWORD start = ::GetTickCount();
    EXPECT_FALSE(m_pFrame->WaitForLauncher(300));
    EXPECT_GE(Elapsed(start), 300u);
}

TEST_F(SyncWithLauncherTest, AFrameClosedDuringAWaitClosesOnlyAfterTheWait) {
    ASSERT_TRUE(m_pFrame->CreateEx(0, nullptr, L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    const HWND hFrame = m_pFrame->m_hWnd;
    CFakeLauncher launcher(
        [](CFakeLauncher& self, const CReceivedRecord&) { self.SendLater(SYNC_ACK, 300); });
    FillPicture(m_pFrame->m_snapshot);
    ASSERT_TRUE(m_pFrame->SendToLauncher(SYNC_MINIMIZING, m_pFrame->m_snapshot));
    std::thread closer([hFrame] {
        ::Sleep(50);
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(hFrame, WM_CLOSE, 0, 0, SMTO_NORMAL, 5000, &result);
    });
    EXPECT_TRUE(m_pFrame->WaitForLauncher(5000));
    closer.join();
    // Destroyed inside the wait, the frame would have been deleted under the
    // code still waiting.
    ASSERT_TRUE(::IsWindow(hFrame));
    MSG msg;
    while (::PeekMessageW(&msg, hFrame, 0, 0, PM_REMOVE)) {
        ::DispatchMessageW(&msg);
    }
    EXPECT_FALSE(::IsWindow(hFrame));
    m_pFrame = nullptr;  // deleted with its window
    const std::vector<CReceivedRecord> records = launcher.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].Code(), SYNC_CLOSING);
}

TEST_F(SyncWithLauncherTest, ASnapshotRequestBeforeAnyPictureSendsNothing) {
    CFakeLauncher launcher;
    m_pFrame->OnLauncherSnapshotRequest();
    EXPECT_TRUE(launcher.Records().empty());
}

}  // namespace
