// A stand-in for the UI program: a frameless top-level window painted with a
// pattern that tells rows apart, and a message loop.
//
// Start options, from the command line or, for the copy the helper starts
// (with no arguments), from C:\tunara-test\ui-start.txt:
//   idle-delay=<ms>    sleep before the message loop, so the UI is slow to
//                      become idle
//   no-window          end at once without a window
//   window-delay=<ms>  run the message loop first, create the window later
//   size=<w>x<h>       the window's size (640x400 by default)
//   connect            connect to the helper's port first, as the real UI
//                      does, and read from it until the end
// Commands, from C:\tunara-test\ui-cmd-<pid>.txt (the file is consumed):
//   exit | destroy | recreate [<w>x<h>] | minimize | report
// Every copy also ends when C:\tunara-test\ui-exit-all exists.
//
// C:\tunara-test\ui.log, one line per event: <pid> <tick> <event> ...
//   START <command line>   WINDOW <hwnd> <w> <h>   DESTROYED <hwnd>
//   ACTIVATEAPP <wParam> <lParam>   CLOSE   STATE visible=<0|1> iconic=<0|1>
//   foreground=<0|1> focus=<0|1>   PORT accepted|refused <error>
//   RECEIVED <bytes so far>   EXIT
// Pixel (x, y) of the window is red y & 255, green (y >> 8) * 64 + 32,
// blue x & 255.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "DoubleSupport.h"

using namespace doubles;

namespace {

constexpr wchar_t kClassName[] = L"TunaraUiDouble";
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT_PTR kWindowTimer = 2;
constexpr UINT kPollMs = 20;

HINSTANCE g_hInstance = nullptr;
HWND g_hWnd = nullptr;
int g_nWidth = 640;
int g_nHeight = 400;
std::vector<uint32_t> g_pattern;

void Log(const std::string& text) {
    AppendLine(TestPath(L"ui.log"), std::to_string(::GetCurrentProcessId()) + " " +
                                        std::to_string(::GetTickCount()) + " " + text);
}

void ParseSize(const std::string& text) {
    const size_t x = text.find('x');
    if (x == std::string::npos) {
        return;
    }
    const int width = std::atoi(text.c_str());
    const int height = std::atoi(text.c_str() + x + 1);
    if (width > 0 && height > 0) {
        g_nWidth = width;
        g_nHeight = height;
    }
}

void MakePattern() {
    g_pattern.assign(static_cast<size_t>(g_nWidth) * static_cast<size_t>(g_nHeight), 0);
    for (int y = 0; y < g_nHeight; ++y) {
        for (int x = 0; x < g_nWidth; ++x) {
            const uint32_t red = static_cast<uint32_t>(y & 255);
            const uint32_t green = static_cast<uint32_t>((y >> 8) * 64 + 32) & 255;
            const uint32_t blue = static_cast<uint32_t>(x & 255);
            g_pattern[static_cast<size_t>(y) * g_nWidth + x] = red << 16 | green << 8 | blue;
        }
    }
}

void Paint(HWND hWnd) {
    PAINTSTRUCT paint;
    const HDC hDC = ::BeginPaint(hWnd, &paint);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = g_nWidth;
    info.bmiHeader.biHeight = -g_nHeight;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    ::SetDIBitsToDevice(hDC, 0, 0, g_nWidth, g_nHeight, 0, 0, 0, g_nHeight, g_pattern.data(), &info,
                        DIB_RGB_COLORS);
    ::EndPaint(hWnd, &paint);
}

void CreateMainWindow() {
    MakePattern();
    g_hWnd = ::CreateWindowExW(0, kClassName, L"Tunara UI double", WS_POPUP | WS_VISIBLE, 0, 0,
                               g_nWidth, g_nHeight, nullptr, nullptr, g_hInstance, nullptr);
    ::UpdateWindow(g_hWnd);
    Log("WINDOW " + Hex(static_cast<unsigned long>(reinterpret_cast<uintptr_t>(g_hWnd))) + " " +
        std::to_string(g_nWidth) + " " + std::to_string(g_nHeight));
}

void DestroyMainWindow() {
    if (g_hWnd != nullptr) {
        const HWND hWnd = g_hWnd;
        g_hWnd = nullptr;
        ::DestroyWindow(hWnd);
        Log("DESTROYED " + Hex(static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hWnd))));
    }
}

void Report() {
    const HWND hWnd = g_hWnd;
    const bool exists = hWnd != nullptr;
    std::string line = std::string("STATE visible=") +
                       (exists && ::IsWindowVisible(hWnd) ? "1" : "0") +
                       " iconic=" + (exists && ::IsIconic(hWnd) ? "1" : "0") +
                       " foreground=" + (exists && ::GetForegroundWindow() == hWnd ? "1" : "0") +
                       " focus=" + (exists && ::GetFocus() == hWnd ? "1" : "0");
    Log(line);
}

void RunCommands() {
    std::string marker;
    if (ReadText(TestPath(L"ui-exit-all"), marker)) {
        ::PostQuitMessage(0);
        return;
    }
    const std::wstring path =
        TestPath(L"ui-cmd-" + std::to_wstring(::GetCurrentProcessId()) + L".txt");
    for (const std::string& line : TakeCommands(path)) {
        const std::vector<std::string> words = SplitWords(line);
        if (words.empty()) {
            continue;
        }
        if (words[0] == "exit") {
            ::PostQuitMessage(0);
        } else if (words[0] == "destroy") {
            DestroyMainWindow();
        } else if (words[0] == "recreate") {
            DestroyMainWindow();
            if (words.size() > 1) {
                ParseSize(words[1]);
            }
            CreateMainWindow();
        } else if (words[0] == "minimize") {
            ::ShowWindow(g_hWnd, SW_MINIMIZE);
        } else if (words[0] == "report") {
            Report();
        }
    }
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            Paint(hWnd);
            return 0;
        case WM_ERASEBKGND:
            return TRUE;
        case WM_ACTIVATEAPP:
            Log("ACTIVATEAPP " + std::to_string(wParam) + " " +
                std::to_string(static_cast<unsigned long>(lParam)));
            return 0;
        case WM_CLOSE:
            // As a real program would: the window goes, and with it the UI.
            Log("CLOSE");
            DestroyMainWindow();
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

// Logs the running count of bytes the helper sends until the connection
// ends.
void ReadFromHelper(SOCKET s) {
    char buffer[4096];
    unsigned long total = 0;
    for (;;) {
        const int got = ::recv(s, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            return;
        }
        total += static_cast<unsigned long>(got);
        Log("RECEIVED " + std::to_string(total));
    }
}

// Connects to the helper's port once. The connection is kept open until
// the process ends, as the real UI keeps its own.
SOCKET ConnectToHelper() {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        Log("PORT refused startup");
        return INVALID_SOCKET;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(33645);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET ||
        ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        Log("PORT refused " + std::to_string(::WSAGetLastError()));
        if (s != INVALID_SOCKET) {
            ::closesocket(s);
        }
        return INVALID_SOCKET;
    }
    Log("PORT accepted");
    return s;
}

// The options: the command line's, else the start file's.
std::vector<std::string> StartOptions() {
    int count = 0;
    LPWSTR* args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> options;
    for (int i = 1; args != nullptr && i < count; ++i) {
        options.push_back(Narrow(args[i]));
    }
    ::LocalFree(args);
    if (options.empty()) {
        std::string text;
        if (ReadText(TestPath(L"ui-start.txt"), text)) {
            for (const std::string& line : SplitWords(text, '\n')) {
                for (const std::string& word : SplitWords(line)) {
                    options.push_back(word);
                }
            }
        }
    }
    return options;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int) {
    g_hInstance = hInstance;
    Log("START " + Narrow(::GetCommandLineW()));
    DWORD idleDelay = 0;
    long windowDelay = -1;
    SOCKET helperConnection = INVALID_SOCKET;
    for (std::string option : StartOptions()) {
        while (!option.empty() && (option.back() == '\r' || option.back() == ' ')) {
            option.pop_back();
        }
        if (option == "no-window") {
            Log("EXIT");
            return 0;
        }
        if (option.rfind("idle-delay=", 0) == 0) {
            idleDelay = static_cast<DWORD>(std::strtoul(option.c_str() + 11, nullptr, 10));
        } else if (option.rfind("window-delay=", 0) == 0) {
            windowDelay = std::strtol(option.c_str() + 13, nullptr, 10);
        } else if (option.rfind("size=", 0) == 0) {
            ParseSize(option.substr(5));
        } else if (option == "connect") {
            helperConnection = ConnectToHelper();
        }
    }

    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInstance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kClassName;
    ::RegisterClassW(&wc);

    std::thread reader;
    if (helperConnection != INVALID_SOCKET) {
        reader = std::thread(ReadFromHelper, helperConnection);
    }
    ::Sleep(idleDelay);
    if (windowDelay < 0) {
        CreateMainWindow();
    }
    // Thread timers: they keep running while the window comes and goes.
    const UINT_PTR pollTimer = ::SetTimer(nullptr, kPollTimer, kPollMs, nullptr);
    UINT_PTR windowTimer = 0;
    if (windowDelay >= 0) {
        windowTimer = ::SetTimer(nullptr, kWindowTimer, static_cast<UINT>(windowDelay), nullptr);
    }
    MSG msg{};
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr) {
            if (msg.wParam == pollTimer) {
                RunCommands();
            } else if (msg.wParam == windowTimer) {
                ::KillTimer(nullptr, windowTimer);
                windowTimer = 0;
                CreateMainWindow();
            }
            continue;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    DestroyMainWindow();
    if (helperConnection != INVALID_SOCKET) {
        ::shutdown(helperConnection, SD_BOTH);
        ::closesocket(helperConnection);
        reader.join();
    }
    Log("EXIT");
    return 0;
}
