// TunaraDemoUi: a small stand-in for the radio UI, for demonstrations and
// for trying the helper by hand. See DemoScript.h for its options.
#include "framework/Handles.h"

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

#include "amf/Utf.h"
#include "demo/DemoFiles_win.h"
#include "demo/DemoScript.h"
#include "demo/DemoWindow_win.h"
#include "framework/WideText.h"

namespace {

// Read when the program gets no arguments, as when the helper starts it.
constexpr wchar_t kOptionsFileName[] = L"demo-options.txt";

struct CLocalFree {
    void operator()(void* p) const { ::LocalFree(p); }
};

class CWinsock {
public:
    CWinsock() {
        WSADATA data;
        m_bStarted = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~CWinsock() {
        if (m_bStarted) {
            ::WSACleanup();
        }
    }
    CWinsock(const CWinsock&) = delete;
    CWinsock& operator=(const CWinsock&) = delete;
    bool IsStarted() const { return m_bStarted; }

private:
    bool m_bStarted = false;
};

std::vector<std::string> CommandLineArguments() {
    std::vector<std::string> args;
    int count = 0;
    std::unique_ptr<LPWSTR, CLocalFree> argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!argv) {
        return args;
    }
    for (int i = 1; i < count; ++i) {
        args.push_back(amf::Utf16ToUtf8(ToU16(argv.get()[i])));
    }
    return args;
}

// Options from the command line, or from the file beside the program when
// there are none. Problems are returned as notes for the event list.
demo::CDemoOptions LoadOptions(std::vector<std::string>& notes) {
    demo::CDemoOptions options;
    const std::vector<std::string> args = CommandLineArguments();
    if (!args.empty()) {
        std::string error;
        if (!demo::ParseArguments(args, options, error)) {
            notes.push_back("command line: " + error);
        }
        return options;
    }
    const std::wstring path = demo::ProgramFolder() + L"\\" + kOptionsFileName;
    std::string text;
    if (demo::ReadFileText(path, text)) {
        std::vector<std::string> errors;
        demo::ParseOptionsText(text, options, errors);
        for (const std::string& error : errors) {
            notes.push_back("demo-options.txt " + error);
        }
    }
    return options;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int nCmdShow) {
    try {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
        ::InitCommonControlsEx(&controls);
        CWinsock winsock;
        if (!winsock.IsStarted()) {
            return 1;
        }
        std::vector<std::string> notes;
        CDemoWindow window(LoadOptions(notes));
        if (!window.Create(hInstance, nCmdShow, notes)) {
            return 1;
        }
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        return static_cast<int>(message.wParam);
    } catch (...) {
        return 1;
    }
}
