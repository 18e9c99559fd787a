#include "LauncherTestSupport.h"

#include <cstring>
#include <utility>

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

}  // namespace

std::wstring WinePath(const char* linuxPath) {
    std::wstring path = L"Z:";
    for (const char* p = linuxPath; *p != '\0'; ++p) {
        path.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(*p));
    }
    return path;
}

std::vector<uint8_t> ReadWholeFile(const std::wstring& path) {
    const CHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::vector<uint8_t> bytes;
    if (!file) {
        return bytes;
    }
    uint8_t buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.insert(bytes.end(), buffer, buffer + read);
    }
    return bytes;
}

void PumpSentMessages(DWORD ms) {
    const DWORD start = ::GetTickCount();
    MSG msg;
    do {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_SENDMESSAGE);
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    } while (::GetTickCount() - start < ms);
}

void DiscardQuitMessage() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

uint32_t CReceivedRecord::Word(size_t index) const {
    uint32_t value = 0;
    if ((index + 1) * 4 <= bytes.size()) {
        std::memcpy(&value, bytes.data() + index * 4, 4);
    }
    return value;
}

CFakeLauncher::CFakeLauncher(RecordHandler onRecord) : m_onRecord(std::move(onRecord)) {
    m_hReady = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hThread = ::CreateThread(nullptr, 32 * 1024 * 1024, ThreadMain, this,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (m_hThread != nullptr) {
        ::WaitForSingleObject(m_hReady, 10000);
    }
}

CFakeLauncher::~CFakeLauncher() {
    while (m_nSending.load() > 0) {
        PumpSentMessages(5);
    }
    for (std::thread& sender : m_senders) {
        sender.join();
    }
    if (m_hWnd != nullptr) {
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    }
    if (m_hThread != nullptr) {
        // The window's thread may still be sending to us: keep answering.
        while (::MsgWaitForMultipleObjects(1, &m_hThread, FALSE, INFINITE, QS_SENDMESSAGE) !=
               WAIT_OBJECT_0) {
            MSG msg;
            ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
        ::CloseHandle(m_hThread);
    }
    ::CloseHandle(m_hReady);
}

DWORD WINAPI CFakeLauncher::ThreadMain(LPVOID param) {
    auto* self = static_cast<CFakeLauncher*>(param);
    static const bool registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = WndProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = Wide(kLauncherWindowClass);
        return ::RegisterClassW(&wc) != 0;
    }();
    if (registered) {
        self->m_hWnd = ::CreateWindowExW(0, Wide(kLauncherWindowClass), L"", WS_POPUP, 0, 0, 0, 0,
                                         nullptr, nullptr, ::GetModuleHandleW(nullptr), self);
    }
    ::SetEvent(self->m_hReady);
    if (self->m_hWnd == nullptr) {
        return 1;
    }
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::DispatchMessageW(&msg);
    }
    return 0;
}

LRESULT CALLBACK CFakeLauncher::WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CFakeLauncher*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    switch (message) {
        case WM_COPYDATA: {
            const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            CReceivedRecord record;
            record.wParam = wParam;
            record.tag = copy->dwData;
            const auto* bytes = static_cast<const uint8_t*>(copy->lpData);
            record.bytes.assign(bytes, bytes + copy->cbData);
            {
                const std::lock_guard lock(self->m_mutex);
                self->m_records.push_back(record);
            }
            std::vector<CLater> later;
            std::vector<CLater>* const pOuter = std::exchange(self->m_pLater, &later);
            if (self->m_onRecord) {
                self->m_onRecord(*self, record);
            }
            self->m_pLater = pOuter;
            ::ReplyMessage(TRUE);
            for (const CLater& request : later) {
                self->StartLater(request);
            }
            return TRUE;
        }
        case WM_CLOSE:
            ::DestroyWindow(hWnd);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

bool CFakeLauncher::SendRequest(uint32_t code, uint32_t arg, DWORD bytes, ULONG_PTR tag) {
    const HWND hSync = ::FindWindowW(Wide(kSyncWindowClass), nullptr);
    if (hSync == nullptr) {
        return false;
    }
    uint32_t words[2] = {code, arg};
    COPYDATASTRUCT copy{};
    copy.dwData = tag;
    copy.cbData = bytes;
    copy.lpData = words;
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(hSync, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy),
                                 SMTO_NORMAL, 10000, &result) != 0;
}

void CFakeLauncher::SendLater(uint32_t code, DWORD delayMs, uint32_t arg) {
    if (m_pLater != nullptr && ::GetCurrentThreadId() == ::GetThreadId(m_hThread)) {
        m_pLater->push_back({code, delayMs, arg});
        return;
    }
    StartLater({code, delayMs, arg});
}

void CFakeLauncher::StartLater(const CLater& later) {
    ++m_nSending;
    const std::lock_guard lock(m_mutex);
    m_senders.emplace_back([this, later] {
        ::Sleep(later.delayMs);
        SendRequest(later.code, later.arg);
        --m_nSending;
    });
}

std::vector<CReceivedRecord> CFakeLauncher::Records() const {
    const std::lock_guard lock(m_mutex);
    return m_records;
}
