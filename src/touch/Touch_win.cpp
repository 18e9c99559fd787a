#include "touch/Touch.h"

#include "framework/Handles.h"

#include <shellapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "touch/StylusSequence.h"
#include "touch/TouchPaths.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));
// The program is 32-bit; the stylus manager sees the record size it expects.
static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOW) == 68);

const wchar_t* AsWide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

class CStylusHost final : public IStylusHost {
public:
    bool GetProgramFilesFolder(std::u16string& folder) override {
        wchar_t buffer[MAX_PATH] = {};
        if (::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, buffer) !=
            S_OK) {
            return false;
        }
        folder.assign(reinterpret_cast<const char16_t*>(buffer));
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
        return ::WaitForSingleObject(event.Get(), kStylusWaitMs) == WAIT_OBJECT_0;
    }
};

}  // namespace

void ShowTouchKeyboard() {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_PROGRAM_FILES, FALSE)) {
        return;
    }
    std::u16string path;
    if (!ComposeKeyboardPath(reinterpret_cast<const char16_t*>(folder), path)) {
        return;
    }
    // Whether the keyboard opens is its own affair; nothing is reported.
    ::ShellExecuteW(nullptr, L"Open", AsWide(path), nullptr, nullptr, SW_SHOWNORMAL);
}

bool QueryStylusState() {
    CStylusHost host;
    return QueryStylusState(host);
}

void LaunchStylus() {
    CStylusHost host;
    LaunchStylus(host);
}

void ShowStylus(bool show) {
    CStylusHost host;
    ShowStylus(host, show);
}

void RunStylusShow() {
    CStylusHost host;
    RunStylusShow(host);
}

void RunStylusHide() {
    CStylusHost host;
    RunStylusHide(host);
}
