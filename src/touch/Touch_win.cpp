#include "touch/Touch.h"

#include "framework/Handles.h"

#include <shellapi.h>

#include <string>
#include <vector>

#include "framework/ShellFolder.h"
#include "framework/SocketHold.h"
#include "framework/WideText.h"
#include "touch/StylusSequence.h"
#include "touch/TouchPaths.h"

namespace {

// The program is 32-bit; the stylus manager sees the record size it expects.
static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68);

class CStylusHost final : public IStylusHost {
public:
    bool GetProgramFilesFolder(std::u16string& folder) override {
        std::wstring programFiles;
        if (!AfxGetProgramFilesFolder(programFiles)) {
            return false;
        }
        folder = ToU16(programFiles);
        return true;
    }

    bool RunProgram(const std::u16string& application, const std::u16string& commandLine,
                    const std::u16string& directory, uint32_t& exitCode) override {
        // CreateProcessW may write into the command line it is given.
        std::vector<wchar_t> commandLineCopy(commandLine.begin(), commandLine.end());
        commandLineCopy.push_back(L'\0');

        // All zero apart from its size: no window state is imposed.
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(AsWide(application), commandLineCopy.data(), nullptr, nullptr, FALSE,
                              0, nullptr, AsWide(directory), &startup, &info)) {
            return false;
        }
        CHandle process(info.hProcess);
        CHandle thread(info.hThread);

        // Nothing of the thread's queue is handled while we wait: what other
        // connections are owed goes first.
        AfxSocketReleaseHeld();
        ::WaitForSingleObject(process.Get(), kStylusWaitMs);
        DWORD code = STILL_ACTIVE;
        if (!::GetExitCodeProcess(process.Get(), &code)) {
            // Unknown counts as still running, as a program past its wait does.
            code = STILL_ACTIVE;
        }
        exitCode = code;
        return true;
    }

    bool WaitForReadyEvent() override {
        // Auto-reset and not signalled when we create it; an existing event
        // of that name is opened instead.
        CHandle event(::CreateEventW(nullptr, FALSE, FALSE, AsWide(kStylusReadyEventName)));
        if (!event) {
            return false;
        }
        AfxSocketReleaseHeld();
        return ::WaitForSingleObject(event.Get(), kStylusWaitMs) == WAIT_OBJECT_0;
    }
};

}  // namespace

void ShowTouchKeyboard() {
    std::wstring folder;
    std::u16string path;
    if (!AfxGetProgramFilesFolder(folder) || !ComposeKeyboardPath(ToU16(folder), path)) {
        return;
    }
    // Whether the keyboard opens is its own affair; nothing is reported.
    ::ShellExecuteW(nullptr, L"Open", AsWide(path), nullptr, nullptr, SW_SHOWNORMAL);
}

void RunStylusShow() {
    CStylusHost host;
    RunStylusShow(host);
}

void RunStylusHide() {
    CStylusHost host;
    RunStylusHide(host);
}
