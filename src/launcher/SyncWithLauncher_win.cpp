#include "launcher/SyncWithLauncher_win.h"

#include <vector>

#include "framework/SocketHold.h"
#include "framework/WideText.h"
#include "launcher/ZvImageExt_win.h"

namespace {

// A launcher that takes longer than this to take a record is given up on,
// so that a hung launcher cannot hold the helper for good.
constexpr UINT kSendTimeoutMs = 30000;

// A launcher may ask for the picture again from inside its handling of each
// answer; this many answers deep, further requests are dropped instead of
// nesting until the stack runs out.
constexpr int kMaxNestedSnapshots = 4;

}  // namespace

class SyncWithLauncher::CExchangeScope {
public:
    explicit CExchangeScope(int& depth) : m_nDepth(depth) { ++m_nDepth; }
    ~CExchangeScope() { --m_nDepth; }
    CExchangeScope(const CExchangeScope&) = delete;
    CExchangeScope& operator=(const CExchangeScope&) = delete;

private:
    int& m_nDepth;
};

SyncWithLauncher::SyncWithLauncher() {
    m_dwProcessId = ::GetCurrentProcessId();
    m_wndSync.CreateSyncWindow();
}

SyncWithLauncher::~SyncWithLauncher() {
    // The derived parts that requests call into are gone already.
    m_wndSync.ForgetOwner();
    m_wndSync.DestroyWindow();
}

bool SyncWithLauncher::CSyncWnd::CreateSyncWindow() {
    const HINSTANCE hInstance = AfxGetInstanceHandle();
    WNDCLASSW wc{};
    if (!::GetClassInfoW(hInstance, AsWide(kSyncWindowClass), &wc)) {
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = AfxWndProc;
        wc.hInstance = hInstance;
        wc.hIcon = ::LoadIconW(hInstance, L"AppIcon");
        wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
        wc.lpszClassName = AsWide(kSyncWindowClass);
        if (::RegisterClassW(&wc) == 0) {
            return false;
        }
    }
    return CreateEx(0, AsWide(kSyncWindowClass), L"", WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                    CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr) != FALSE;
}

BOOL SyncWithLauncher::CSyncWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam,
                                          LRESULT* pResult) {
    switch (message) {
        case WM_DESTROY:
            // Whoever ends the sync window ends the helper.
            ::PostQuitMessage(0);
            *pResult = 0;
            return TRUE;
        case WM_CLOSE:
            DestroyWindow();
            *pResult = 0;
            return TRUE;
        case WM_COPYDATA: {
            // The data is valid only during this call; the request is
            // decoded from it at once and not kept. The message then gets
            // its default handling, whatever its tag.
            const auto* pCopy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (m_pOwner != nullptr && pCopy != nullptr &&
                pCopy->dwData == COPYDATA_FROM_LAUNCHER) {
                m_pOwner->HandleLauncherRequest(pCopy->lpData, pCopy->cbData);
            }
            return FALSE;
        }
        default:
            return CWnd::OnWndMsg(message, wParam, lParam, pResult);
    }
}

void SyncWithLauncher::HandleLauncherRequest(const void* data, size_t size) {
    const DecodedLauncherRequest request = DecodeLauncherRequest(data, size);
    switch (request.kind) {
        case LauncherRequest::Acknowledge:
            m_bAcknowledged = true;
            break;
        case LauncherRequest::Activate:
            OnLauncherActivate(request.argument);
            break;
        case LauncherRequest::Release:
            m_bReleased = true;
            OnLauncherRelease();
            break;
        case LauncherRequest::SnapshotRequest:
            if (m_nSnapshotDepth < kMaxNestedSnapshots) {
                const CExchangeScope snapshot(m_nSnapshotDepth);
                OnLauncherSnapshotRequest();
            }
            break;
        case LauncherRequest::Ignore:
            break;
    }
}

bool SyncWithLauncher::IsLauncherRunning() {
    return ::FindWindowW(AsWide(kLauncherWindowClass), nullptr) != nullptr;
}

bool SyncWithLauncher::SendToLauncher(uint32_t code, const CZvImageExt& picture) {
    const HWND hLauncher = ::FindWindowW(AsWide(kLauncherWindowClass), nullptr);
    if (hLauncher == nullptr) {
        return false;
    }
    SyncRecordHeader header;
    header.code = code;
    header.syncWindow = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(SyncWindow()));
    header.processId = m_dwProcessId;
    header.width = picture.Width();
    header.height = picture.Height();
    header.bitsPerPixel = picture.BitsPerPixel();
    std::vector<uint8_t> record;
    if (!BuildSyncRecord(header, picture.Bits(), record)) {
        return false;
    }
    COPYDATASTRUCT copy{};
    copy.dwData = COPYDATA_TO_LAUNCHER;
    copy.cbData = static_cast<DWORD>(record.size());
    copy.lpData = record.data();

    // The launcher's requests are handled while this call blocks; the
    // frames that other connections are owed do not wait for it.
    AfxSocketReleaseHeld();
    const CExchangeScope exchange(m_nExchangeDepth);
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(hLauncher, WM_COPYDATA, reinterpret_cast<WPARAM>(SyncWindow()),
                                 reinterpret_cast<LPARAM>(&copy), SMTO_ABORTIFHUNG, kSendTimeoutMs,
                                 &result) != 0;
}

bool SyncWithLauncher::WaitForLauncher(uint32_t timeoutMs) {
    if (m_bReleased) {
        return false;
    }
    // Cleared only now, so an acknowledgement that came while the record was
    // still being sent does not count.
    m_bAcknowledged = false;
    AfxSocketReleaseHeld();
    const CExchangeScope exchange(m_nExchangeDepth);
    const DWORD startTick = ::GetTickCount();
    do {
        // Sent messages are delivered inside PeekMessageW whatever its
        // filter; of the queue, only WM_COPYDATA for the sync window is
        // taken, so socket notifications and the rest wait their turn.
        MSG msg{};
        if (::PeekMessageW(&msg, SyncWindow(), WM_COPYDATA, WM_COPYDATA, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (m_bAcknowledged) {
            return true;
        }
        ::Sleep(1);
    } while (TicksWithin(startTick, ::GetTickCount(), timeoutMs));
    return false;
}

bool SyncWithLauncher::NotifyClosing(const CZvImageExt& picture) {
    if (!SendToLauncher(SYNC_CLOSING, picture)) {
        return false;
    }
    WaitForLauncher(kLauncherAckTimeoutMs);
    return true;
}
