// Stand-ins for the stylus manager, the stylus tool and the on-screen
// keyboard. Each start is appended to C:\tunara-test\touch-starts.log as one
// UTF-8 line: module path, TAB, command line as received, TAB, working
// directory. The manager answers " -state" from C:\tunara-test\stylus-script.txt,
// one line per successive query (the last line repeats):
//     <exit code> [delay=<ms>] [ready=<ms>]
// delay: wait that long before exiting; ready: signal the ready event that
// long after the query started (from a detached copy of this program, so the
// manager itself can exit at once). No script means exit code 0.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef TOUCH_DOUBLE_MANAGER
#define TOUCH_DOUBLE_MANAGER 0
#endif

namespace {

constexpr wchar_t kTestDir[] = L"C:\\tunara-test";
constexpr wchar_t kLogPath[] = L"C:\\tunara-test\\touch-starts.log";
constexpr wchar_t kScriptPath[] = L"C:\\tunara-test\\stylus-script.txt";
constexpr wchar_t kCounterPath[] = L"C:\\tunara-test\\stylus-state-count.txt";
constexpr wchar_t kReadyEventName[] = L"E8950229-DE66-4b6e-B189-5EA7B36A1007";
constexpr wchar_t kSignalArgument[] = L" -signal-ready ";

class CFile {
public:
    explicit CFile(HANDLE handle) : m_hFile(handle) {}
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    ~CFile() {
        if (m_hFile != INVALID_HANDLE_VALUE && m_hFile != nullptr) {
            ::CloseHandle(m_hFile);
        }
    }
    HANDLE Get() const { return m_hFile; }
    bool Valid() const { return m_hFile != INVALID_HANDLE_VALUE && m_hFile != nullptr; }

private:
    HANDLE m_hFile;
};

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

// One WriteFile on a handle opened for appending only: concurrent starts
// never interleave within a line.
void RecordStart() {
    ::CreateDirectoryW(kTestDir, nullptr);
    wchar_t module[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
    wchar_t directory[MAX_PATH * 4] = {};
    ::GetCurrentDirectoryW(MAX_PATH * 4, directory);
    std::wstring line =
        std::wstring(module) + L"\t" + ::GetCommandLineW() + L"\t" + directory + L"\n";
    std::string bytes = ToUtf8(line);
    CFile log(::CreateFileW(kLogPath, FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log.Valid()) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(log.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string ReadFileText(const wchar_t* path) {
    CFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return {};
    }
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    return text;
}

void WriteFileText(const wchar_t* path, const std::string& text) {
    CFile file(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

struct StateAnswer {
    DWORD exitCode = 0;
    DWORD delayMs = 0;
    long readyMs = -1;  // no signal
};

// The answer to this query: the counter file says how many came before.
StateAnswer NextStateAnswer() {
    int index = std::atoi(ReadFileText(kCounterPath).c_str());
    WriteFileText(kCounterPath, std::to_string(index + 1));

    std::vector<std::string> lines;
    std::string script = ReadFileText(kScriptPath);
    size_t start = 0;
    while (start < script.size()) {
        size_t end = script.find('\n', start);
        if (end == std::string::npos) {
            end = script.size();
        }
        std::string line = script.substr(start, end - start);
        if (line.find_first_not_of(" \t\r") != std::string::npos) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    StateAnswer answer;
    if (lines.empty()) {
        return answer;
    }
    const std::string& line = lines[std::min(static_cast<size_t>(index), lines.size() - 1)];
    answer.exitCode = static_cast<DWORD>(std::strtol(line.c_str(), nullptr, 10));
    if (size_t at = line.find("delay="); at != std::string::npos) {
        answer.delayMs = static_cast<DWORD>(std::atol(line.c_str() + at + 6));
    }
    if (size_t at = line.find("ready="); at != std::string::npos) {
        answer.readyMs = std::atol(line.c_str() + at + 6);
    }
    return answer;
}

// A detached copy of this program that signals the ready event later.
void StartSignaller(long delayMs) {
    wchar_t module[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
    std::wstring commandLine = kSignalArgument + std::to_wstring(delayMs);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (::CreateProcessW(module, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                         nullptr, nullptr, &startup, &info)) {
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
}

int SignalReady(long delayMs) {
    // Holding the event from the start keeps a signal from being lost when
    // the waiter opens it late; lingering after it does the same.
    CFile event(::CreateEventW(nullptr, FALSE, FALSE, kReadyEventName));
    ::Sleep(static_cast<DWORD>(delayMs));
    ::SetEvent(event.Get());
    ::Sleep(1000);
    return 0;
}

int RunManager(const std::wstring& commandLine) {
    if (commandLine != L" -state") {
        return 0;
    }
    DWORD started = ::GetTickCount();
    StateAnswer answer = NextStateAnswer();
    if (answer.readyMs >= 0) {
        StartSignaller(answer.readyMs - static_cast<long>(::GetTickCount() - started));
    }
    ::Sleep(answer.delayMs);
    return static_cast<int>(answer.exitCode);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring commandLine = ::GetCommandLineW();
    if (commandLine.rfind(kSignalArgument, 0) == 0) {
        long delay = std::wcstol(commandLine.c_str() + std::wcslen(kSignalArgument), nullptr, 10);
        return SignalReady(delay < 0 ? 0 : delay);
    }
    RecordStart();
    return TOUCH_DOUBLE_MANAGER ? RunManager(commandLine) : 0;
}
