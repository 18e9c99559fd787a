// Looks at a running or built TunaraHelper.exe from outside, the way another
// program on the machine sees it, and prints what it finds as JSON, one
// object per line, for the end-to-end tests.
//
//   HelperProbe resources <exe>   the executable's resources, read back with
//                                 the Win32 resource functions
//   HelperProbe frame             the helper's main frame and its view
//   HelperProbe send <msg> <wParam> <lParam>
//                                 a message sent to the frame, with its result
//   HelperProbe about             the About command posted to the frame; the
//                                 modal box found, described and closed
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr UINT kMainFrameId = 128;
constexpr wchar_t kFrameTitle[] = L"TunaraHelper";
constexpr wchar_t kAboutCaption[] = L"About KeloRadioHelper";
constexpr UINT kAppAbout = 0xE140;
constexpr UINT kFirstPaneId = 0xE900;

// --- JSON output -----------------------------------------------------------

std::string Quote(const std::wstring& text) {
    std::string out = "\"";
    for (const wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Hex(const void* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<const unsigned char*>(data)[i];
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
}

std::string Num(unsigned long long value) {
    return std::to_string(value);
}

void Print(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// --- resources -------------------------------------------------------------

class CModule {
public:
    explicit CModule(HMODULE hModule) : m_hModule(hModule) {}
    CModule(const CModule&) = delete;
    CModule& operator=(const CModule&) = delete;
    ~CModule() {
        if (m_hModule != nullptr) {
            ::FreeLibrary(m_hModule);
        }
    }
    HMODULE Get() const { return m_hModule; }

private:
    HMODULE m_hModule;
};

void PrintStrings(HMODULE hModule) {
    static const UINT kIds[] = {128,    100,    104,    0xE000, 0xE001, 0xE122, 0xE123,
                                0xE125, 0xE12B, 0xE140, 0xE141, 0xE150, 0xE151};
    for (const UINT id : kIds) {
        const wchar_t* text = nullptr;
        const int length = ::LoadStringW(hModule, id, reinterpret_cast<LPWSTR>(&text), 0);
        if (length > 0 && text != nullptr) {
            Print("{\"kind\":\"string\",\"id\":" + Num(id) +
                  ",\"text\":" + Quote(std::wstring(text, static_cast<size_t>(length))) + "}");
        }
    }
}

std::string MenuJson(HMENU hMenu) {
    std::string out = "[";
    const int count = ::GetMenuItemCount(hMenu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING | MIIM_SUBMENU;
        info.dwTypeData = text;
        info.cch = static_cast<UINT>(std::size(text));
        if (!::GetMenuItemInfoW(hMenu, static_cast<UINT>(i), TRUE, &info)) {
            continue;
        }
        if (out.size() > 1) {
            out += ",";
        }
        if ((info.fType & MFT_SEPARATOR) != 0) {
            out += "{\"separator\":true}";
        } else if (info.hSubMenu != nullptr) {
            out += "{\"text\":" + Quote(text) + ",\"items\":" + MenuJson(info.hSubMenu) + "}";
        } else {
            out += "{\"text\":" + Quote(text) + ",\"id\":" + Num(info.wID) + "}";
        }
    }
    return out + "]";
}

void PrintMenu(HMODULE hModule) {
    const HMENU hMenu = ::LoadMenuW(hModule, MAKEINTRESOURCEW(kMainFrameId));
    if (hMenu == nullptr) {
        return;
    }
    Print("{\"kind\":\"menu\",\"id\":128,\"items\":" + MenuJson(hMenu) + "}");
    ::DestroyMenu(hMenu);
}

void PrintAccelerators(HMODULE hModule) {
    // Resource accelerator tables belong to the module: not destroyed.
    const HACCEL hAccel = ::LoadAcceleratorsW(hModule, MAKEINTRESOURCEW(kMainFrameId));
    if (hAccel == nullptr) {
        return;
    }
    std::vector<ACCEL> entries(static_cast<size_t>(::CopyAcceleratorTableW(hAccel, nullptr, 0)));
    ::CopyAcceleratorTableW(hAccel, entries.data(), static_cast<int>(entries.size()));
    std::string out = "{\"kind\":\"accelerators\",\"id\":128,\"entries\":[";
    for (size_t i = 0; i < entries.size(); ++i) {
        out += (i != 0 ? ",[" : "[") + Num(entries[i].fVirt) + "," + Num(entries[i].key) + "," +
               Num(entries[i].cmd) + "]";
    }
    Print(out + "]}");
}

void PrintBitmap(HMODULE hModule, UINT id) {
    const auto hBitmap = static_cast<HBITMAP>(
        ::LoadImageW(hModule, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (hBitmap == nullptr) {
        return;
    }
    DIBSECTION dib{};
    if (::GetObjectW(hBitmap, sizeof(dib), &dib) == sizeof(dib)) {
        Print("{\"kind\":\"bitmap\",\"id\":" + Num(id) +
              ",\"width\":" + Num(static_cast<unsigned long>(dib.dsBmih.biWidth)) +
              ",\"height\":" + Num(static_cast<unsigned long>(dib.dsBmih.biHeight)) +
              ",\"bits\":" + Num(dib.dsBmih.biBitCount) + "}");
    }
    ::DeleteObject(hBitmap);
}

void PrintIcon(HMODULE hModule, int size) {
    const auto hIcon = static_cast<HICON>(
        ::LoadImageW(hModule, MAKEINTRESOURCEW(kMainFrameId), IMAGE_ICON, size, size, 0));
    if (hIcon == nullptr) {
        return;
    }
    ICONINFO info{};
    if (::GetIconInfo(hIcon, &info)) {
        BITMAP bitmap{};
        if (info.hbmColor != nullptr && ::GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap)) {
            Print("{\"kind\":\"icon\",\"id\":128,\"width\":" + Num(bitmap.bmWidth) +
                  ",\"height\":" + Num(bitmap.bmHeight) + "}");
        }
        if (info.hbmColor != nullptr) {
            ::DeleteObject(info.hbmColor);
        }
        if (info.hbmMask != nullptr) {
            ::DeleteObject(info.hbmMask);
        }
    }
    ::DestroyIcon(hIcon);
}

// The bytes of a resource as stored, for the formats Win32 has no reader
// for (dialog templates, initialisation data, the manifest).
void PrintRaw(HMODULE hModule, LPCWSTR type, UINT typeNumber, UINT id) {
    const HRSRC hResource = ::FindResourceW(hModule, MAKEINTRESOURCEW(id), type);
    if (hResource == nullptr) {
        return;
    }
    const HGLOBAL hData = ::LoadResource(hModule, hResource);
    const void* pData = hData != nullptr ? ::LockResource(hData) : nullptr;
    if (pData == nullptr) {
        return;
    }
    Print("{\"kind\":\"raw\",\"type\":" + Num(typeNumber) + ",\"id\":" + Num(id) + ",\"hex\":\"" +
          Hex(pData, ::SizeofResource(hModule, hResource)) + "\"}");
}

void PrintVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> block(size);
    if (size == 0 || !::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        return;
    }
    std::string out = "{\"kind\":\"version\"";
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT length = 0;
    if (::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&pFixed), &length) &&
        pFixed != nullptr) {
        out += ",\"file_version\":[" + Num(HIWORD(pFixed->dwFileVersionMS)) + "," +
               Num(LOWORD(pFixed->dwFileVersionMS)) + "," + Num(HIWORD(pFixed->dwFileVersionLS)) +
               "," + Num(LOWORD(pFixed->dwFileVersionLS)) + "]";
    }
    for (const wchar_t* name : {L"FileDescription", L"FileVersion", L"ProductName",
                                L"ProductVersion", L"OriginalFilename"}) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        wchar_t* pValue = nullptr;
        if (::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&pValue),
                             &length) &&
            pValue != nullptr && length > 0) {
            out += ",\"" + std::string(name, name + wcslen(name)) + "\":" + Quote(pValue);
        }
    }
    Print(out + "}");
}

int Resources(const std::wstring& path) {
    const CModule module(::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (module.Get() == nullptr) {
        Print("{\"kind\":\"error\",\"what\":\"cannot load\",\"code\":" + Num(::GetLastError()) +
              "}");
        return 1;
    }
    PrintStrings(module.Get());
    PrintMenu(module.Get());
    PrintAccelerators(module.Get());
    PrintBitmap(module.Get(), 133);
    for (const int size : {16, 32, 48}) {
        PrintIcon(module.Get(), size);
    }
    PrintRaw(module.Get(), RT_DIALOG, 5, 100);
    PrintRaw(module.Get(), RT_DIALOG, 5, 130);
    PrintRaw(module.Get(), MAKEINTRESOURCEW(240), 240, 130);
    PrintRaw(module.Get(), RT_MANIFEST, 24, 1);
    PrintVersion(path);
    return 0;
}

// --- windows ---------------------------------------------------------------

std::wstring WindowText(HWND hWnd) {
    wchar_t text[256] = {};
    ::GetWindowTextW(hWnd, text, static_cast<int>(std::size(text)));
    return text;
}

std::wstring ClassOf(HWND hWnd) {
    wchar_t name[256] = {};
    ::GetClassNameW(hWnd, name, static_cast<int>(std::size(name)));
    return name;
}

// The helper's frame: the top-level window with its title whose class the
// framework registered (the sync window and the player dialog have others).
BOOL CALLBACK MatchFrame(HWND hWnd, LPARAM lParam) {
    if (WindowText(hWnd) == kFrameTitle && ClassOf(hWnd).rfind(L"Afx", 0) == 0) {
        *reinterpret_cast<HWND*>(lParam) = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindFrame() {
    HWND hFound = nullptr;
    ::EnumWindows(MatchFrame, reinterpret_cast<LPARAM>(&hFound));
    return hFound;
}

std::string WindowJson(HWND hWnd) {
    return "\"hwnd\":" + Num(reinterpret_cast<uintptr_t>(hWnd)) +
           ",\"class\":" + Quote(ClassOf(hWnd)) + ",\"text\":" + Quote(WindowText(hWnd)) +
           ",\"visible\":" + Num(::IsWindowVisible(hWnd) ? 1 : 0) +
           ",\"enabled\":" + Num(::IsWindowEnabled(hWnd) ? 1 : 0) +
           ",\"style\":" + Num(static_cast<DWORD>(::GetWindowLongW(hWnd, GWL_STYLE))) +
           ",\"exstyle\":" + Num(static_cast<DWORD>(::GetWindowLongW(hWnd, GWL_EXSTYLE))) +
           ",\"id\":" + Num(static_cast<DWORD>(::GetWindowLongW(hWnd, GWL_ID)));
}

int Frame() {
    const HWND hFrame = FindFrame();
    if (hFrame == nullptr) {
        Print("{\"kind\":\"error\",\"what\":\"no frame\"}");
        return 1;
    }
    Print("{\"kind\":\"frame\"," + WindowJson(hFrame) + "}");
    for (HWND hChild = ::GetWindow(hFrame, GW_CHILD); hChild != nullptr;
         hChild = ::GetWindow(hChild, GW_HWNDNEXT)) {
        Print("{\"kind\":\"child\"," + WindowJson(hChild) +
              ",\"pane\":" + Num(::GetDlgCtrlID(hChild) == kFirstPaneId ? 1 : 0) + "}");
    }
    return 0;
}

int Send(UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND hFrame = FindFrame();
    if (hFrame == nullptr) {
        Print("{\"kind\":\"error\",\"what\":\"no frame\"}");
        return 1;
    }
    DWORD_PTR result = 0;
    const LRESULT sent =
        ::SendMessageTimeoutW(hFrame, message, wParam, lParam, SMTO_NORMAL, 10000, &result);
    Print("{\"kind\":\"sent\",\"message\":" + Num(message) + ",\"wparam\":" + Num(wParam) +
          ",\"delivered\":" + Num(sent != 0 ? 1 : 0) + ",\"result\":" + Num(result) + "}");
    return sent != 0 ? 0 : 1;
}

template <typename Predicate>
bool WaitFor(Predicate predicate, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (!predicate()) {
        if (::GetTickCount() - start > timeoutMs) {
            return false;
        }
        ::Sleep(20);
    }
    return true;
}

int About() {
    const HWND hFrame = FindFrame();
    if (hFrame == nullptr) {
        Print("{\"kind\":\"error\",\"what\":\"no frame\"}");
        return 1;
    }
    // Posted: the helper answers only when the modal box has ended.
    ::PostMessageW(hFrame, WM_COMMAND, MAKEWPARAM(kAppAbout, 0), 0);
    HWND hDialog = nullptr;
    WaitFor(
        [&] {
            hDialog = ::FindWindowW(L"#32770", kAboutCaption);
            return hDialog != nullptr && ::IsWindowVisible(hDialog);
        },
        10000);
    if (hDialog == nullptr) {
        Print("{\"kind\":\"error\",\"what\":\"no about box\"}");
        return 1;
    }
    Print("{\"kind\":\"about\"," + WindowJson(hDialog) +
          ",\"owner_is_frame\":" + Num(::GetWindow(hDialog, GW_OWNER) == hFrame ? 1 : 0) +
          ",\"frame_enabled\":" + Num(::IsWindowEnabled(hFrame) ? 1 : 0) +
          ",\"frame_visible\":" + Num(::IsWindowVisible(hFrame) ? 1 : 0) + "}");
    for (HWND hChild = ::GetWindow(hDialog, GW_CHILD); hChild != nullptr;
         hChild = ::GetWindow(hChild, GW_HWNDNEXT)) {
        Print("{\"kind\":\"about_item\"," + WindowJson(hChild) + "}");
    }
    // As a click on OK would.
    ::PostMessageW(hDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(hDialog, IDOK)));
    const bool closed = WaitFor([&] { return !::IsWindow(hDialog); }, 10000);
    // The owner is enabled again just before the box is destroyed.
    Print("{\"kind\":\"about_closed\",\"closed\":" + Num(closed ? 1 : 0) +
          ",\"frame_enabled\":" + Num(::IsWindowEnabled(hFrame) ? 1 : 0) +
          ",\"frame_visible\":" + Num(::IsWindowVisible(hFrame) ? 1 : 0) + "}");
    return closed ? 0 : 1;
}

unsigned long Number(const wchar_t* text) {
    return std::wcstoul(text, nullptr, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"resources" && argc == 3) {
        return Resources(argv[2]);
    }
    if (command == L"frame" && argc == 2) {
        return Frame();
    }
    if (command == L"send" && argc == 5) {
        return Send(static_cast<UINT>(Number(argv[2])), Number(argv[3]),
                    static_cast<LPARAM>(Number(argv[4])));
    }
    if (command == L"about" && argc == 2) {
        return About();
    }
    std::fputs(
        "usage: HelperProbe resources <exe> | frame | send <msg> <wParam> <lParam> | about\n",
        stderr);
    return 2;
}
