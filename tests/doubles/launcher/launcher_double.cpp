// A stand-in for the launcher: a hidden window of the launcher's class that
// records every record the helper sends and answers as the harness says.
//
// C:\tunara-test\launcher.log, one line per event, the first word the tick:
//   READY <own window>
//   RECORD <seq> tag=<dwData> wparam=<wParam> bytes=<cbData> code=<w0> <w1> <w2> <w3>
//          <width> <height> <bpp> sum=<FNV-1a of the pixels> first=<4 bytes> last=<4 bytes>
//   DONE <seq>                 the handler of that record returned
//   SENT <code> <arg> bytes=<n> tag=<t> ok=<0|1> [inside <seq>]
//   CLOSED-SYNC ok=<0|1>   HUNG <ms>   VANISHED   EXIT
// "first" is the first pixel of the first row held, "last" that of the last.
//
// Commands, one per line, read at start from C:\tunara-test\launcher-cmd.txt
// and then whenever that file appears again (the file is consumed):
//   on <code|*> <action>...    how to answer records of that code, until
//                              replaced; the default is "on * ack". Actions:
//       ack[@ms]               SYNC_ACK, after the handler returns (+ms)
//       ack-inside             SYNC_ACK from inside the handler
//       inside:<code>[:<arg>]  a request from inside the handler
//       req:<code>[:<arg>][@ms] a request after the handler returns (+ms)
//       exit[@ms]              end after the handler returns (+ms)
//       vanish[@ms]            destroy the window (+ms) but finish the other
//                              actions; the program ends after the last
//       none                   nothing: the record is never acknowledged
//   send <code> [arg] [bytes=<n>] [tag=<hex>]   a request now
//   close-sync                 WM_CLOSE to the helper's sync window
//   hang <ms>                  stop handling messages for a while
//   dump on|off                save each record's bytes as launcher-record-<seq>.bin
//   exit
// Requests after a handler come from threads of their own, so that the
// window stays free to take nested records meanwhile.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "DoubleSupport.h"

using namespace doubles;

namespace {

constexpr wchar_t kLauncherClass[] = L"{2D7DBF7F-6121-43cd-A8EC-F41CA66EECDB}";
constexpr wchar_t kSyncClass[] = L"{A24F7236-E5C0-4894-A3B7-18FD6482EF39}";
constexpr ULONG_PTR kFromLauncher = 0x01326976;
constexpr uint32_t kAck = 10;
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollMs = 10;
constexpr UINT kSendTimeoutMs = 120000;

const std::wstring& LogPath() {
    static const std::wstring path = TestPath(L"launcher.log");
    return path;
}
const std::wstring& CommandPath() {
    static const std::wstring path = TestPath(L"launcher-cmd.txt");
    return path;
}

void Log(const std::string& text) {
    AppendLine(LogPath(), std::to_string(::GetTickCount()) + " " + text);
}

struct CRequest {
    uint32_t code = 0;
    uint32_t arg = 0;
    DWORD bytes = 8;
    ULONG_PTR tag = kFromLauncher;
};

HWND g_hWnd = nullptr;
DWORD g_dwMainThread = 0;
bool g_bDump = false;
// Set once the window has been destroyed on purpose; the program ends when
// the last delayed action is done.
bool g_bVanished = false;
LONG g_nPending = 0;
unsigned g_nSeq = 0;
std::map<std::string, std::vector<std::string>> g_rules = {{"*", {"ack"}}};

bool SendRequest(const CRequest& request, const std::string& note) {
    const HWND hSync = ::FindWindowW(kSyncClass, nullptr);
    uint32_t words[2] = {request.code, request.arg};
    std::vector<uint8_t> data(request.bytes > 8 ? request.bytes : 8, 0);
    memcpy(data.data(), words, sizeof(words));
    COPYDATASTRUCT copy{};
    copy.dwData = request.tag;
    copy.cbData = request.bytes;
    copy.lpData = request.bytes != 0 ? data.data() : nullptr;
    DWORD_PTR result = 0;
    const bool sent = hSync != nullptr &&
                      ::SendMessageTimeoutW(hSync, WM_COPYDATA, reinterpret_cast<WPARAM>(g_hWnd),
                                            reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL,
                                            kSendTimeoutMs, &result) != 0;
    Log("SENT " + std::to_string(request.code) + " " + std::to_string(request.arg) +
        " bytes=" + std::to_string(request.bytes) + " tag=" + Hex(request.tag) +
        " ok=" + (sent ? "1" : "0") + note);
    return sent;
}

// A request, or the end of this program, some time from now on a thread of
// its own.
struct CDelayed {
    DWORD delayMs = 0;
    bool exit = false;
    bool vanish = false;
    bool closeSync = false;
    CRequest request;
};

DWORD WINAPI RunDelayed(LPVOID param) {
    CDelayed* pTask = static_cast<CDelayed*>(param);
    ::Sleep(pTask->delayMs);
    if (pTask->exit) {
        ::PostMessageW(g_hWnd, WM_CLOSE, 0, 0);
    } else if (pTask->vanish) {
        ::PostThreadMessageW(g_dwMainThread, WM_APP, 0, 0);
    } else if (pTask->closeSync) {
        const HWND hSync = ::FindWindowW(kSyncClass, nullptr);
        DWORD_PTR result = 0;
        const bool ok =
            hSync != nullptr &&
            ::SendMessageTimeoutW(hSync, WM_CLOSE, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &result) != 0;
        Log(std::string("CLOSED-SYNC ok=") + (ok ? "1" : "0"));
    } else {
        SendRequest(pTask->request, "");
    }
    delete pTask;
    if (::InterlockedDecrement(&g_nPending) == 0) {
        ::PostThreadMessageW(g_dwMainThread, WM_APP + 1, 0, 0);
    }
    return 0;
}

void StartDelayed(const CDelayed& task) {
    CDelayed* pTask = new CDelayed(task);
    ::InterlockedIncrement(&g_nPending);
    const HANDLE hThread = ::CreateThread(nullptr, 0, RunDelayed, pTask, 0, nullptr);
    if (hThread == nullptr) {
        ::InterlockedDecrement(&g_nPending);
        delete pTask;
        return;
    }
    ::CloseHandle(hThread);
}

// "name[:code[:arg]][@ms]" split into its parts.
struct CAction {
    std::string name;
    uint32_t code = 0;
    uint32_t arg = 0;
    DWORD delayMs = 0;
};

CAction ParseAction(const std::string& text) {
    CAction action;
    std::string body = text;
    if (const size_t at = body.find('@'); at != std::string::npos) {
        action.delayMs = static_cast<DWORD>(std::strtoul(body.c_str() + at + 1, nullptr, 10));
        body.resize(at);
    }
    const std::vector<std::string> parts = SplitWords(body, ':');
    action.name = parts.empty() ? std::string() : parts[0];
    if (parts.size() > 1) {
        action.code = static_cast<uint32_t>(std::strtoul(parts[1].c_str(), nullptr, 0));
    }
    if (parts.size() > 2) {
        action.arg = static_cast<uint32_t>(std::strtoul(parts[2].c_str(), nullptr, 0));
    }
    return action;
}

uint32_t Word(const uint8_t* bytes, size_t size, size_t index) {
    uint32_t value = 0;
    if ((index + 1) * 4 <= size) {
        memcpy(&value, bytes + index * 4, 4);
    }
    return value;
}

void OnRecord(WPARAM wParam, const COPYDATASTRUCT& copy) {
    const unsigned seq = ++g_nSeq;
    const auto* bytes = static_cast<const uint8_t*>(copy.lpData);
    const size_t size = bytes != nullptr ? copy.cbData : 0;
    const uint32_t code = Word(bytes, size, 0);
    const int32_t height = static_cast<int32_t>(Word(bytes, size, 5));
    const size_t pixels = size >= 32 ? size - 32 : 0;
    uint32_t sum = 2166136261u;
    for (size_t i = 0; i < pixels; ++i) {
        sum = (sum ^ bytes[28 + i]) * 16777619u;
    }
    uint32_t first = 0;
    uint32_t last = 0;
    if (pixels >= 4 && height > 0) {
        const size_t row = pixels / static_cast<size_t>(height);
        memcpy(&first, bytes + 28, 4);
        memcpy(&last, bytes + 28 + row * static_cast<size_t>(height - 1), 4);
    }
    std::string line = "RECORD " + std::to_string(seq) + " tag=" + Hex(copy.dwData) +
                       " wparam=" + Hex(static_cast<unsigned long>(wParam)) +
                       " bytes=" + std::to_string(copy.cbData) + " code=" + std::to_string(code);
    for (size_t i = 1; i < 7; ++i) {
        line += " " + std::to_string(static_cast<int32_t>(Word(bytes, size, i)));
    }
    line += " sum=" + Hex(sum) + " first=" + Hex(first) + " last=" + Hex(last);
    // The dump is complete before the record is logged, so a reader that
    // sees the line finds the whole file.
    if (g_bDump && bytes != nullptr) {
        WriteBytes(TestPath(L"launcher-record-" + std::to_wstring(seq) + L".bin"), bytes, size);
    }
    Log(line);

    auto rule = g_rules.find(std::to_string(code));
    if (rule == g_rules.end()) {
        rule = g_rules.find("*");
    }
    const std::vector<std::string> actions =
        rule != g_rules.end() ? rule->second : std::vector<std::string>();
    std::vector<CDelayed> after;
    for (const std::string& text : actions) {
        const CAction action = ParseAction(text);
        CDelayed task;
        task.delayMs = action.delayMs;
        if (action.name == "ack") {
            task.request.code = kAck;
            after.push_back(task);
        } else if (action.name == "req") {
            task.request.code = action.code;
            task.request.arg = action.arg;
            after.push_back(task);
        } else if (action.name == "exit") {
            task.exit = true;
            after.push_back(task);
        } else if (action.name == "vanish") {
            task.vanish = true;
            after.push_back(task);
        } else if (action.name == "ack-inside") {
            CRequest request;
            request.code = kAck;
            SendRequest(request, " inside " + std::to_string(seq));
        } else if (action.name == "inside") {
            CRequest request;
            request.code = action.code;
            request.arg = action.arg;
            SendRequest(request, " inside " + std::to_string(seq));
        }
    }
    Log("DONE " + std::to_string(seq));
    // The helper's send is released first, so that even an immediate answer
    // arrives after it has returned: one that came while it was still
    // sending would not count.
    ::ReplyMessage(TRUE);
    for (const CDelayed& task : after) {
        StartDelayed(task);
    }
}

void RunCommand(const std::string& line) {
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty()) {
        return;
    }
    if (words[0] == "on" && words.size() >= 2) {
        std::vector<std::string> actions(words.begin() + 2, words.end());
        if (actions.size() == 1 && actions[0] == "none") {
            actions.clear();
        }
        g_rules[words[1]] = actions;
    } else if (words[0] == "send" && words.size() >= 2) {
        CDelayed task;
        task.request.code = static_cast<uint32_t>(std::strtoul(words[1].c_str(), nullptr, 0));
        for (size_t i = 2; i < words.size(); ++i) {
            if (words[i].rfind("bytes=", 0) == 0) {
                task.request.bytes =
                    static_cast<DWORD>(std::strtoul(words[i].c_str() + 6, nullptr, 0));
            } else if (words[i].rfind("tag=", 0) == 0) {
                task.request.tag = std::strtoul(words[i].c_str() + 4, nullptr, 16);
            } else {
                task.request.arg =
                    static_cast<uint32_t>(std::strtoul(words[i].c_str(), nullptr, 0));
            }
        }
        StartDelayed(task);
    } else if (words[0] == "close-sync") {
        CDelayed task;
        task.closeSync = true;
        StartDelayed(task);
    } else if (words[0] == "hang" && words.size() >= 2) {
        const DWORD ms = static_cast<DWORD>(std::strtoul(words[1].c_str(), nullptr, 10));
        Log("HUNG " + std::to_string(ms));
        ::Sleep(ms);
    } else if (words[0] == "dump" && words.size() >= 2) {
        g_bDump = words[1] == "on";
    } else if (words[0] == "exit") {
        ::DestroyWindow(g_hWnd);
    }
}

void RunCommands() {
    for (const std::string& line : TakeCommands(CommandPath())) {
        RunCommand(line);
    }
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COPYDATA: {
            const auto* pCopy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (pCopy != nullptr) {
                OnRecord(wParam, *pCopy);
            }
            return TRUE;
        }
        case WM_TIMER:
            if (wParam == kPollTimer) {
                RunCommands();
            }
            return 0;
        case WM_CLOSE:
            ::DestroyWindow(hWnd);
            return 0;
        case WM_DESTROY:
            if (!g_bVanished) {
                ::PostQuitMessage(0);
            }
            return 0;
        default:
            return ::DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = kLauncherClass;
    if (::RegisterClassW(&wc) == 0) {
        return 1;
    }
    RunCommands();
    g_hWnd = ::CreateWindowExW(0, kLauncherClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               hInstance, nullptr);
    if (g_hWnd == nullptr) {
        return 1;
    }
    g_dwMainThread = ::GetCurrentThreadId();
    ::SetTimer(g_hWnd, kPollTimer, kPollMs, nullptr);
    Log("READY " + Hex(reinterpret_cast<uintptr_t>(g_hWnd)));
    MSG msg{};
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == nullptr && msg.message == WM_APP) {
            g_bVanished = true;
            Log("VANISHED");
            ::DestroyWindow(g_hWnd);
        }
        if (msg.hwnd == nullptr && g_bVanished &&
            ::InterlockedCompareExchange(&g_nPending, 0, 0) == 0) {
            break;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    Log("EXIT");
    return 0;
}
