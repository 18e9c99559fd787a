#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "LauncherTestSupport.h"
#include "launcher/FrameWndLauncher_win.h"

namespace {

// The UI double logs to C:\tunara-test\ui.log and ends when ui-exit-all
// exists there.
const std::wstring kTestDir = L"C:\\tunara-test";

std::string UiLog() {
    const std::vector<uint8_t> bytes = ReadWholeFile(kTestDir + L"\\ui.log");
    return std::string(bytes.begin(), bytes.end());
}

class CActivatingFrame : public CFrameWndLauncher {
public:
    using CFrameWndLauncher::OnActivateApp;
};

TEST(ProcessTest, LaunchRefusesNoPathAndAMissingProgram) {
    CProcess process;
    EXPECT_FALSE(process.Launch(nullptr));
    EXPECT_FALSE(process.Launch(L"C:\\no\\such\\TunaraUI.exe"));
    EXPECT_FALSE(process.IsAlive());
    EXPECT_EQ(process.FindMainWindow(), nullptr);
}

TEST(ProcessTest, ActivationReachesTheUiOnlyWhenTheHelperBecomesActive) {
    ::CreateDirectoryW(kTestDir.c_str(), nullptr);
    for (const wchar_t* name : {L"\\ui.log", L"\\ui-start.txt", L"\\ui-exit-all"}) {
        ::DeleteFileW((kTestDir + name).c_str());
    }
    const std::wstring ui = WinePath(UI_DOUBLE_EXE);
    auto* pFrame = new CActivatingFrame;
    ASSERT_TRUE(pFrame->m_process.Launch(ui.c_str()));
    EXPECT_FALSE(pFrame->m_process.Launch(ui.c_str())) << "a second start while one runs";
    ASSERT_NE(pFrame->m_process.FindMainWindow(), nullptr);

    pFrame->OnActivateApp(FALSE, 4343);
    pFrame->OnActivateApp(TRUE, 4242);
    const DWORD start = ::GetTickCount();
    while (UiLog().find("ACTIVATEAPP 1 4242") == std::string::npos &&
           ::GetTickCount() - start < 10000) {
        PumpSentMessages(20);
    }
    const std::string log = UiLog();
    EXPECT_NE(log.find("ACTIVATEAPP 1 4242"), std::string::npos);
    EXPECT_EQ(log.find("4343"), std::string::npos);
    EXPECT_EQ(log.find("START"), log.rfind("START")) << "one copy only";

    {
        // The UI keeps running after the helper; this ends the test's copy.
        const CHandle exitAll(::CreateFileW((kTestDir + L"\\ui-exit-all").c_str(), GENERIC_WRITE, 0,
                                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                            nullptr));
    }
    ::WaitForSingleObject(pFrame->m_process.m_processInfo.hProcess.Get(), 10000);
    ::DeleteFileW((kTestDir + L"\\ui-exit-all").c_str());
    delete pFrame;
    DiscardQuitMessage();
}

}  // namespace
