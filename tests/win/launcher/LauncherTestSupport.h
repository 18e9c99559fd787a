// Helpers of the Windows launcher tests: a launcher window on a thread of
// its own, message pumping, files and paths.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/Handles.h"
#include "launcher/SyncRecord.h"

// Build paths are Linux paths; Wine shows the Linux root as drive Z.
std::wstring WinePath(const char* linuxPath);
std::vector<uint8_t> ReadWholeFile(const std::wstring& path);

// Handles sent messages (and only those) for about ms milliseconds, as a
// blocked GUI thread would.
void PumpSentMessages(DWORD ms);
// Removes the quit message a destroyed sync window posts.
void DiscardQuitMessage();

struct CReceivedRecord {
    WPARAM wParam = 0;
    ULONG_PTR tag = 0;
    std::vector<uint8_t> bytes;

    uint32_t Word(size_t index) const;
    uint32_t Code() const { return Word(0); }
};

// A window of the launcher's class, run by a thread of its own with a stack
// large enough for full-screen records, as the real launcher needs.
class CFakeLauncher {
public:
    // Called on the launcher's thread inside its handling of each record.
    using RecordHandler = std::function<void(CFakeLauncher&, const CReceivedRecord&)>;

    explicit CFakeLauncher(RecordHandler onRecord = nullptr);
    // Waits for the requests still on their way, handling sent messages
    // meanwhile so that they can arrive.
    ~CFakeLauncher();
    CFakeLauncher(const CFakeLauncher&) = delete;
    CFakeLauncher& operator=(const CFakeLauncher&) = delete;

    bool IsValid() const { return m_hWnd != nullptr; }
    HWND Window() const { return m_hWnd; }

    // Sends a request to the helper's sync window from the calling thread.
    static bool SendRequest(uint32_t code, uint32_t arg = 0, DWORD bytes = 8,
                            ULONG_PTR tag = COPYDATA_FROM_LAUNCHER);
    // Sends a request delayMs from now, from a thread of its own. Asked for
    // inside the handling of a record, the clock starts once the helper's
    // send has been answered, as a launcher that answers after taking the
    // record would.
    void SendLater(uint32_t code, DWORD delayMs, uint32_t arg = 0);

    std::vector<CReceivedRecord> Records() const;

private:
    static DWORD WINAPI ThreadMain(LPVOID param);
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    RecordHandler m_onRecord;
    HANDLE m_hThread = nullptr;
    HANDLE m_hReady = nullptr;
    HWND m_hWnd = nullptr;
    mutable std::mutex m_mutex;
    std::vector<CReceivedRecord> m_records;
    std::vector<std::thread> m_senders;
    // Requests asked for by the record handler running on the launcher's
    // thread, started once it has answered; null outside a handler.
    struct CLater {
        uint32_t code;
        DWORD delayMs;
        uint32_t arg;
    };
    std::vector<CLater>* m_pLater = nullptr;
    void StartLater(const CLater& later);
    std::atomic<int> m_nSending{0};
};
