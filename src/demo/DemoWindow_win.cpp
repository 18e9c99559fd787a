#include "demo/DemoWindow_win.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <utility>

#include "amf/Amf.h"
#include "amf/Utf.h"
#include "demo/DemoFiles_win.h"
#include "framework/WideText.h"

namespace {

constexpr wchar_t kClassName[] = L"TunaraDemoUi";
constexpr wchar_t kTitle[] = L"Tunara Radio";

constexpr UINT kContinueScriptMessage = WM_APP + 2;
constexpr UINT_PTR kScriptTimerId = 200;
constexpr int kMaxEntries = 1000;
constexpr int kListItemHeight = 22;

// Colours of the panel.
constexpr COLORREF kPageColor = RGB(238, 242, 247);
constexpr COLORREF kHeaderTop = RGB(15, 30, 60);
constexpr COLORREF kHeaderBottom = RGB(32, 66, 128);
constexpr COLORREF kCardColor = RGB(255, 255, 255);
constexpr COLORREF kCardBorder = RGB(214, 222, 232);
constexpr COLORREF kTextColor = RGB(30, 41, 59);
constexpr COLORREF kMutedColor = RGB(100, 116, 139);
constexpr COLORREF kBlue = RGB(37, 99, 235);
constexpr COLORREF kSlate = RGB(51, 65, 85);
constexpr COLORREF kRed = RGB(220, 38, 38);
constexpr COLORREF kGreen = RGB(22, 163, 74);
constexpr COLORREF kAmber = RGB(217, 119, 6);
constexpr COLORREF kTeal = RGB(13, 148, 136);
constexpr COLORREF kAltRow = RGB(247, 249, 252);

enum ControlId : int {
    kIdUrl = 2001,
    kIdVolume,
    kIdVolumeTrack,
    kIdWeb,
    kIdEvents,
    kIdPlay = 3001,
    kIdStop,
    kIdSetVolume,
    kIdGetUrl,
    kIdTipShow,
    kIdStylusShow,
    kIdStylusHide,
    kIdMinimize,
    kIdClose,
};

// Which field, if any, a button's command takes its data from.
enum class DataSource { None, Url, Volume, Web };

struct CButtonInfo {
    int m_nId;
    const wchar_t* m_pszLabel;
    const char* m_pszCommand;
    DataSource m_source;
    COLORREF m_color;
    RECT m_rect;
};

// The bottom row shares the panel's width among its five buttons.
constexpr RECT BottomRowButton(int index) {
    constexpr int kLeft = 24;
    constexpr int kSpan = 976 + 12;
    return RECT{kLeft + index * kSpan / 5, 377, kLeft + (index + 1) * kSpan / 5 - 12, 421};
}

constexpr CButtonInfo kButtons[] = {
    {kIdPlay, L"Play", "wmpPlay", DataSource::Url, kBlue, {732, 211, 860, 255}},
    {kIdStop, L"Stop", "wmpStop", DataSource::None, kRed, {872, 211, 1000, 255}},
    {kIdSetVolume,
     L"Set volume",
     "wmpSetVolume",
     DataSource::Volume,
     kSlate,
     {732, 265, 1000, 309}},
    {kIdGetUrl, L"Open web page", "getURL", DataSource::Web, kSlate, {732, 319, 1000, 363}},
    {kIdTipShow, L"Keyboard", "tipShow", DataSource::None, kTeal, BottomRowButton(0)},
    {kIdStylusShow, L"Show stylus", "stylusShow", DataSource::None, kTeal, BottomRowButton(1)},
    {kIdStylusHide, L"Hide stylus", "stylusHide", DataSource::None, kTeal, BottomRowButton(2)},
    {kIdMinimize, L"Minimize", "launcherMinimize", DataSource::None, kSlate, BottomRowButton(3)},
    {kIdClose, L"Close", "launcherClose", DataSource::None, kRed, BottomRowButton(4)},
};

constexpr RECT kHeaderRect = {0, 0, 1024, 76};
constexpr RECT kCardRect = {24, 92, 1000, 200};
constexpr RECT kUrlRect = {110, 218, 720, 248};
constexpr RECT kTrackRect = {104, 268, 640, 306};
constexpr RECT kVolumeRect = {652, 272, 720, 302};
constexpr RECT kWebRect = {110, 326, 720, 356};
constexpr RECT kEventsRect = {24, 454, 1000, 588};

struct CLabelInfo {
    const wchar_t* m_pszText;
    RECT m_rect;
};

constexpr CLabelInfo kLabels[] = {
    {L"Station", {24, 211, 104, 255}},
    {L"Volume", {24, 265, 104, 309}},
    {L"Web page", {24, 319, 104, 363}},
    {L"Events", {24, 428, 400, 452}},
};

const CButtonInfo* FindButton(int id) {
    for (const CButtonInfo& button : kButtons) {
        if (button.m_nId == id) {
            return &button;
        }
    }
    return nullptr;
}

COLORREF Darker(COLORREF color, int percent) {
    const auto scale = [percent](int channel) { return channel * (100 - percent) / 100; };
    return RGB(scale(GetRValue(color)), scale(GetGValue(color)), scale(GetBValue(color)));
}

COLORREF Mix(COLORREF a, COLORREF b, int percentOfB) {
    const auto mix = [percentOfB](int x, int y) { return x + (y - x) * percentOfB / 100; };
    return RGB(mix(GetRValue(a), GetRValue(b)), mix(GetGValue(a), GetGValue(b)),
               mix(GetBValue(a), GetBValue(b)));
}

std::wstring Wide(const std::string& utf8) {
    return ToWide(amf::Utf8ToUtf16(utf8));
}

std::string Utf8(const std::wstring& text) {
    return amf::Utf16ToUtf8(ToU16(text));
}

CGdiObjectHandle<HFONT> MakeFont(int pixels, int weight) {
    return CGdiObjectHandle<HFONT>(::CreateFontW(
        -pixels, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
        CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma"));
}

void FillSolid(HDC hDC, const RECT& rect, COLORREF color) {
    ::SetBkColor(hDC, color);
    ::ExtTextOutW(hDC, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
}

void FillRounded(HDC hDC, const RECT& rect, COLORREF fill, COLORREF border, int radius) {
    CGdiObjectHandle<HBRUSH> brush(::CreateSolidBrush(fill));
    CGdiObjectHandle<HPEN> pen(::CreatePen(PS_SOLID, 1, border));
    const HGDIOBJ oldBrush = ::SelectObject(hDC, brush.Get());
    const HGDIOBJ oldPen = ::SelectObject(hDC, pen.Get());
    ::RoundRect(hDC, rect.left, rect.top, rect.right, rect.bottom, radius, radius);
    ::SelectObject(hDC, oldPen);
    ::SelectObject(hDC, oldBrush);
}

void DrawTextIn(HDC hDC, const std::wstring& text, RECT rect, HFONT hFont, COLORREF color,
                UINT format) {
    const HGDIOBJ oldFont = ::SelectObject(hDC, hFont);
    ::SetTextColor(hDC, color);
    ::SetBkMode(hDC, TRANSPARENT);
    ::DrawTextW(hDC, text.c_str(), static_cast<int>(text.size()), &rect,
                format | DT_NOPREFIX | DT_END_ELLIPSIS);
    ::SelectObject(hDC, oldFont);
}

std::string NowText() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "%02u:%02u:%02u", now.wHour, now.wMinute, now.wSecond);
    return buffer;
}

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') {
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    }
    return text;
}

// The member of an event's data array, as text: a string as it is, other
// kinds in the list's notation.
std::string MemberText(const CAmfValue& data, const char16_t* key) {
    const CAmfValue* member = data.FindMember(key);
    if (member == nullptr) {
        return {};
    }
    if (member->m_nType == AMF_STRING) {
        return amf::Utf16ToUtf8(member->m_strValue);
    }
    return demo::DescribeValue(*member);
}

}  // namespace

CDemoWindow::CDemoWindow(demo::CDemoOptions options) : m_options(std::move(options)) {}

CDemoWindow::~CDemoWindow() {
    if (m_hWnd != nullptr) {
        ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
        ::DestroyWindow(m_hWnd);
    }
}

bool CDemoWindow::Create(HINSTANCE hInstance, int nCmdShow,
                         const std::vector<std::string>& startNotes) {
    m_hInstance = hInstance;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = hInstance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.lpszClassName = kClassName;
    if (::RegisterClassExW(&windowClass) == 0) {
        return false;
    }
    // A frameless panel covering the screen, as the real UI is; the helper
    // finds it as the first top-level window of this process.
    const HWND hWnd = ::CreateWindowExW(0, kClassName, kTitle,
                                        WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN, 0,
                                        0, kWidth, kHeight, nullptr, nullptr, hInstance, this);
    if (hWnd == nullptr) {
        return false;
    }
    for (const std::string& note : startNotes) {
        Note(note);
    }
    ::ShowWindow(hWnd, nCmdShow);
    ::UpdateWindow(hWnd);
    LoadScript();
    m_pConnection->Start();
    return true;
}

LRESULT CALLBACK CDemoWindow::WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* pWindow = static_cast<CDemoWindow*>(create->lpCreateParams);
        pWindow->m_hWnd = hWnd;
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pWindow));
    }
    auto* pWindow = reinterpret_cast<CDemoWindow*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pWindow == nullptr) {
        return ::DefWindowProcW(hWnd, message, wParam, lParam);
    }
    try {
        return pWindow->OnMessage(message, wParam, lParam);
    } catch (...) {
        // A failed allocation loses one update of the panel, nothing more.
        return ::DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

LRESULT CDemoWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate() ? 0 : -1;
        case WM_ERASEBKGND:
            return 1;  // WM_PAINT covers everything
        case WM_PAINT:
            OnPaint();
            return 0;
        case WM_CTLCOLORSTATIC: {
            // The trackbar paints its background with this.
            const auto hDC = reinterpret_cast<HDC>(wParam);
            ::SetBkColor(hDC, kPageColor);
            return reinterpret_cast<LRESULT>(m_hPageBrush.Get());
        }
        case WM_MEASUREITEM: {
            auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            if (measure->CtlType == ODT_LISTBOX) {
                measure->itemHeight = kListItemHeight;
            }
            return TRUE;
        }
        case WM_DRAWITEM:
            OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                OnCommand(LOWORD(wParam));
            }
            return 0;
        case WM_HSCROLL:
            if (reinterpret_cast<HWND>(lParam) == ::GetDlgItem(m_hWnd, kIdVolumeTrack)) {
                OnTrackbar(wParam);
            }
            return 0;
        case WM_TIMER:
            OnTimer(static_cast<UINT_PTR>(wParam));
            return 0;
        case CDemoConnection::kSocketMessage:
            if (m_pConnection) {
                m_pConnection->OnSocketMessage(wParam, lParam);
            }
            return 0;
        case kContinueScriptMessage:
            ContinueScript();
            return 0;
        case WM_DESTROY:
            if (m_pConnection) {
                m_pConnection->Stop();
            }
            ::KillTimer(m_hWnd, kScriptTimerId);
            ::PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY:
            ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
            m_hWnd = nullptr;
            return 0;
        default:
            return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
    }
}

bool CDemoWindow::OnCreate() {
    m_hTitleFont = MakeFont(34, FW_BOLD);
    m_hLargeFont = MakeFont(26, FW_BOLD);
    m_hNormalFont = MakeFont(16, FW_NORMAL);
    m_hButtonFont = MakeFont(17, FW_BOLD);
    m_hSmallFont = MakeFont(12, FW_NORMAL);
    m_hPageBrush = CGdiObjectHandle<HBRUSH>(::CreateSolidBrush(kPageColor));
    m_pConnection = std::make_unique<CDemoConnection>(m_hWnd, *this);

    const HFONT hFont = m_hNormalFont.Get();
    const DWORD editStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL;
    CreateChild(L"EDIT", Wide(m_options.m_strUrl).c_str(), editStyle, kUrlRect, kIdUrl, hFont);
    CreateChild(L"EDIT", std::to_wstring(m_options.m_nVolume).c_str(), editStyle, kVolumeRect,
                kIdVolume, hFont);
    CreateChild(L"EDIT", Wide(m_options.m_strWebUrl).c_str(), editStyle, kWebRect, kIdWeb, hFont);
    const HWND hTrack = CreateChild(TRACKBAR_CLASSW, L"",
                                    WS_CHILD | WS_VISIBLE | WS_TABSTOP | TBS_HORZ | TBS_NOTICKS,
                                    kTrackRect, kIdVolumeTrack, nullptr);
    ::SendMessageW(hTrack, TBM_SETRANGE, FALSE, MAKELPARAM(0, 100));
    ::SendMessageW(hTrack, TBM_SETPOS, TRUE, m_options.m_nVolume);
    CreateChild(L"LISTBOX", L"",
                WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOSEL | LBS_OWNERDRAWFIXED |
                    LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT,
                kEventsRect, kIdEvents, hFont);
    for (const CButtonInfo& button : kButtons) {
        CreateChild(L"BUTTON", button.m_pszLabel, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW,
                    button.m_rect, button.m_nId, m_hButtonFont.Get());
    }

    if (!m_options.m_strLogPath.empty()) {
        // Appending only, shared, so that another program can follow the
        // file while it grows.
        m_hLogFile.Attach(::CreateFileW(Wide(m_options.m_strLogPath).c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!m_hLogFile) {
            Note("cannot open the log " + m_options.m_strLogPath);
        }
    }
    return true;
}

HWND CDemoWindow::CreateChild(const wchar_t* className, const wchar_t* text, DWORD style,
                              const RECT& rect, int id, HFONT hFont) {
    const DWORD exStyle = wcscmp(className, L"EDIT") == 0 || wcscmp(className, L"LISTBOX") == 0
                              ? WS_EX_CLIENTEDGE
                              : 0;
    const HWND hChild =
        ::CreateWindowExW(exStyle, className, text, style, rect.left, rect.top,
                          rect.right - rect.left, rect.bottom - rect.top, m_hWnd,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), m_hInstance, nullptr);
    if (hChild != nullptr && hFont != nullptr) {
        ::SendMessageW(hChild, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), FALSE);
    }
    return hChild;
}

std::string CDemoWindow::GetControlText(int id) const {
    const HWND hControl = ::GetDlgItem(m_hWnd, id);
    const int length = ::GetWindowTextLengthW(hControl);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(hControl, text.data(), length + 1)));
    return Utf8(text);
}

void CDemoWindow::SetControlText(int id, const std::string& text) {
    ::SetWindowTextW(::GetDlgItem(m_hWnd, id), Wide(text).c_str());
}

void CDemoWindow::OnPaint() {
    PAINTSTRUCT paint;
    const HDC hDC = ::BeginPaint(m_hWnd, &paint);
    // Drawn off screen first, so that the card does not flicker on updates.
    CDcHandle memoryDc(::CreateCompatibleDC(hDC));
    CBitmapHandle bitmap(::CreateCompatibleBitmap(hDC, kWidth, kHeight));
    if (memoryDc && bitmap) {
        const HGDIOBJ oldBitmap = ::SelectObject(memoryDc.Get(), bitmap.Get());
        PaintPanel(memoryDc.Get());
        const RECT& area = paint.rcPaint;
        ::BitBlt(hDC, area.left, area.top, area.right - area.left, area.bottom - area.top,
                 memoryDc.Get(), area.left, area.top, SRCCOPY);
        ::SelectObject(memoryDc.Get(), oldBitmap);
    } else {
        PaintPanel(hDC);
    }
    ::EndPaint(m_hWnd, &paint);
}

void CDemoWindow::PaintPanel(HDC hDC) {
    FillSolid(hDC, RECT{0, 0, kWidth, kHeight}, kPageColor);

    // Header: a vertical gradient, the name and the connection state.
    const int headerHeight = kHeaderRect.bottom;
    for (int y = 0; y < headerHeight; y += 2) {
        FillSolid(hDC, RECT{0, y, kWidth, y + 2},
                  Mix(kHeaderTop, kHeaderBottom, y * 100 / headerHeight));
    }
    DrawTextIn(hDC, kTitle, RECT{28, 0, 600, headerHeight}, m_hTitleFont.Get(), RGB(255, 255, 255),
               DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    const bool connected = m_pConnection && m_pConnection->IsConnected();
    const RECT pill = {760, 22, 1000, 54};
    FillRounded(hDC, pill, connected ? kGreen : kAmber, connected ? kGreen : kAmber, 30);
    DrawTextIn(hDC, connected ? L"Connected to the helper" : L"Waiting for the helper", pill,
               m_hNormalFont.Get(), RGB(255, 255, 255), DT_SINGLELINE | DT_VCENTER | DT_CENTER);

    // The "now playing" card.
    FillRounded(hDC, kCardRect, kCardColor, kCardBorder, 16);
    const RECT card = kCardRect;
    DrawTextIn(hDC, L"NOW PLAYING",
               RECT{card.left + 20, card.top + 12, card.left + 400, card.top + 28},
               m_hSmallFont.Get(), kMutedColor, DT_SINGLELINE | DT_LEFT);
    const std::string title = m_strTitle.empty() ? m_options.m_strUrl : m_strTitle;
    DrawTextIn(hDC, Wide(title),
               RECT{card.left + 20, card.top + 30, card.right - 240, card.top + 66},
               m_hLargeFont.Get(), kTextColor, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    DrawTextIn(hDC, Wide(m_strDetails.empty() ? "No stream information yet" : m_strDetails),
               RECT{card.left + 20, card.top + 70, card.right - 20, card.bottom - 10},
               m_hNormalFont.Get(), kMutedColor, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    const COLORREF stateColor = m_bError ? kRed : (m_strState == "Playing" ? kGreen : kSlate);
    DrawTextIn(hDC, Wide(m_strState),
               RECT{card.right - 240, card.top + 30, card.right - 24, card.top + 66},
               m_hLargeFont.Get(), stateColor, DT_SINGLELINE | DT_VCENTER | DT_RIGHT);

    for (const CLabelInfo& label : kLabels) {
        DrawTextIn(hDC, label.m_pszText, label.m_rect, m_hButtonFont.Get(), kTextColor,
                   DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    }
}

void CDemoWindow::OnDrawItem(const DRAWITEMSTRUCT& item) {
    if (item.CtlType == ODT_BUTTON) {
        DrawButton(item);
    } else if (item.CtlType == ODT_LISTBOX) {
        DrawListItem(item);
    }
}

void CDemoWindow::DrawButton(const DRAWITEMSTRUCT& item) {
    const CButtonInfo* button = FindButton(static_cast<int>(item.CtlID));
    if (button == nullptr) {
        return;
    }
    const HDC hDC = item.hDC;
    FillSolid(hDC, item.rcItem, kPageColor);
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const COLORREF color = pressed ? Darker(button->m_color, 25) : button->m_color;
    FillRounded(hDC, item.rcItem, color, color, 14);
    // The label, and under it the command the button sends.
    RECT top = item.rcItem;
    top.bottom = top.top + (top.bottom - top.top) * 62 / 100;
    RECT bottom = item.rcItem;
    bottom.top = top.bottom - 2;
    DrawTextIn(hDC, button->m_pszLabel, top, m_hButtonFont.Get(), RGB(255, 255, 255),
               DT_SINGLELINE | DT_BOTTOM | DT_CENTER);
    DrawTextIn(hDC, Wide(button->m_pszCommand), bottom, m_hSmallFont.Get(),
               Mix(color, RGB(255, 255, 255), 70), DT_SINGLELINE | DT_TOP | DT_CENTER);
}

void CDemoWindow::DrawListItem(const DRAWITEMSTRUCT& item) {
    if (item.itemID == static_cast<UINT>(-1)) {
        return;
    }
    const HDC hDC = item.hDC;
    FillSolid(hDC, item.rcItem, item.itemID % 2 == 0 ? kCardColor : kAltRow);
    const auto kind = static_cast<EntryKind>(item.itemData);
    const int length =
        static_cast<int>(::SendMessageW(item.hwndItem, LB_GETTEXTLEN, item.itemID, 0));
    if (length <= 0) {
        return;
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    ::SendMessageW(item.hwndItem, LB_GETTEXT, item.itemID, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length));

    // "hh:mm:ss " first, then a mark for the direction and the text.
    const std::wstring time = text.substr(0, std::min<size_t>(8, text.size()));
    const std::wstring rest = text.size() > 9 ? text.substr(9) : std::wstring();
    RECT rect = item.rcItem;
    COLORREF mark = kMutedColor;
    COLORREF color = kMutedColor;
    const wchar_t* direction = L"";
    switch (kind) {
        case EntryKind::Event:
            mark = kGreen;
            color = kTextColor;
            direction = L"in";
            break;
        case EntryKind::Command:
            mark = kBlue;
            color = kBlue;
            direction = L"out";
            break;
        case EntryKind::Note:
            break;
    }
    FillSolid(hDC, RECT{rect.left, rect.top + 3, rect.left + 4, rect.bottom - 3}, mark);
    DrawTextIn(hDC, time, RECT{rect.left + 12, rect.top, rect.left + 80, rect.bottom},
               m_hNormalFont.Get(), kMutedColor, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    DrawTextIn(hDC, direction, RECT{rect.left + 84, rect.top, rect.left + 112, rect.bottom},
               m_hSmallFont.Get(), mark, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    DrawTextIn(hDC, rest, RECT{rect.left + 116, rect.top, rect.right - 8, rect.bottom},
               m_hNormalFont.Get(), color, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
}

void CDemoWindow::OnCommand(int id) {
    const CButtonInfo* button = FindButton(id);
    if (button == nullptr) {
        return;
    }
    std::optional<std::string> data;
    switch (button->m_source) {
        case DataSource::None:
            break;
        case DataSource::Url:
            data = GetControlText(kIdUrl);
            break;
        case DataSource::Volume:
            data = GetControlText(kIdVolume);
            break;
        case DataSource::Web:
            data = GetControlText(kIdWeb);
            break;
    }
    SendUiCommand(button->m_pszCommand, data);
}

void CDemoWindow::OnTrackbar(WPARAM wParam) {
    const HWND hTrack = ::GetDlgItem(m_hWnd, kIdVolumeTrack);
    const auto position = static_cast<int>(::SendMessageW(hTrack, TBM_GETPOS, 0, 0));
    SetControlText(kIdVolume, std::to_string(position));
    // One command per completed move, not one per pixel of a drag.
    if (LOWORD(wParam) == TB_ENDTRACK) {
        SendUiCommand("wmpSetVolume", std::to_string(position));
    }
}

void CDemoWindow::OnTimer(UINT_PTR id) {
    if (id == CDemoConnection::kRetryTimerId) {
        if (m_pConnection) {
            m_pConnection->OnRetryTimer();
        }
    } else if (id == kScriptTimerId) {
        ::KillTimer(m_hWnd, kScriptTimerId);
        if (m_scriptState == ScriptState::Waiting) {
            Note("wait timed out: " + m_strAwaited);
        }
        if (m_scriptState == ScriptState::Waiting || m_scriptState == ScriptState::Sleeping) {
            m_scriptState = ScriptState::Running;
            ContinueScript();
        }
    }
}

void CDemoWindow::SendUiCommand(const std::string& type, const std::optional<std::string>& data) {
    const std::string text = data ? type + " " + *data : type;
    const std::vector<uint8_t> frame = demo::EncodeCommandFrame(type, data);
    if (!m_pConnection || !m_pConnection->Send(frame)) {
        Note("not connected, not sent: " + text);
        return;
    }
    m_recentEvents.clear();
    AddEntry(EntryKind::Command, text);
    AppendToLog("> " + text);
}

void CDemoWindow::OnConnected() {
    Note("connected to the helper");
    ::InvalidateRect(m_hWnd, &kHeaderRect, FALSE);
    if (m_scriptState == ScriptState::Idle && !m_script.empty()) {
        m_scriptState = ScriptState::Running;
        PostContinueScript();
    }
}

void CDemoWindow::OnDisconnected() {
    Note("the helper closed the connection");
    ::InvalidateRect(m_hWnd, &kHeaderRect, FALSE);
}

void CDemoWindow::OnEventPayload(const std::vector<uint8_t>& payload) {
    CAmfMessage message;
    const demo::CEventText text = demo::DescribeEvent(payload, message);
    ShowEvent(text);
    AddEntry(EntryKind::Event, text.m_strLine);
    AppendToLog(text.m_strLine);

    m_recentEvents.push_back(text.m_strLine);
    if (m_scriptState == ScriptState::Waiting && demo::MatchesWait(text.m_strLine, m_strAwaited)) {
        ::KillTimer(m_hWnd, kScriptTimerId);
        m_scriptState = ScriptState::Running;
        PostContinueScript();
    }

    // As a real UI does when no launcher runs. Closing is posted: the
    // connection that delivered this event is still on the stack.
    if (text.m_strType == "minimizeEvent") {
        ::ShowWindow(m_hWnd, SW_MINIMIZE);
    } else if (text.m_strType == "closeEvent") {
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    }
}

void CDemoWindow::ShowEvent(const demo::CEventText& event) {
    const CAmfValue* data = event.m_pData;
    const std::string& type = event.m_strType;
    if (data == nullptr) {
        return;
    }
    if (type == "wmpStatusEvent" && data->m_nType == AMF_INTEGER) {
        const std::string name = demo::PlayStateName(data->m_nValue);
        m_strState = name.empty() ? "State " + std::to_string(data->m_nValue) : Capitalised(name);
        m_bError = false;
    } else if (type == "wmpMediaEvent" && data->m_nType == AMF_ARRAY) {
        m_strTitle = MemberText(*data, u"Title");
        // "station name · 128 kbit/s · address", leaving out what is missing.
        std::string details;
        const auto add = [&details](const std::string& part) {
            if (!part.empty()) {
                details += (details.empty() ? "" : "  \xC2\xB7  ") + part;
            }
        };
        add(MemberText(*data, u"Name"));
        if (const std::string bitrate = MemberText(*data, u"Bitrate"); !bitrate.empty()) {
            const long bits = std::strtol(bitrate.c_str(), nullptr, 10);
            add(bits >= 1000 ? std::to_string(bits / 1000) + " kbit/s" : bitrate + " bit/s");
        }
        add(MemberText(*data, u"SourceURL"));
        m_strDetails = details;
    } else if (type == "wmpErrorEvent" && data->m_nType == AMF_ARRAY) {
        m_strState = "Error";
        m_bError = true;
        m_strDetails.clear();
        if (!data->m_elements.empty() && data->m_elements.front()->m_nType == AMF_ARRAY) {
            m_strDetails = MemberText(*data->m_elements.front(), u"description");
        }
    } else {
        return;
    }
    ::InvalidateRect(m_hWnd, &kCardRect, FALSE);
}

void CDemoWindow::AddEntry(EntryKind kind, const std::string& text) {
    const HWND hList = ::GetDlgItem(m_hWnd, kIdEvents);
    if (hList == nullptr) {
        return;
    }
    if (::SendMessageW(hList, LB_GETCOUNT, 0, 0) >= kMaxEntries) {
        ::SendMessageW(hList, LB_DELETESTRING, 0, 0);
    }
    const std::wstring entry = Wide(NowText() + " " + text);
    const LRESULT index =
        ::SendMessageW(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    if (index >= 0) {
        ::SendMessageW(hList, LB_SETITEMDATA, static_cast<WPARAM>(index),
                       static_cast<LPARAM>(kind));
        ::SendMessageW(hList, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
    }
}

void CDemoWindow::Note(const std::string& text) {
    AddEntry(EntryKind::Note, text);
    AppendToLog("# " + text);
}

void CDemoWindow::AppendToLog(const std::string& line) {
    if (!m_hLogFile) {
        return;
    }
    // One write per line, so a reader never sees half of one.
    const std::string record = line + "\n";
    DWORD written = 0;
    ::WriteFile(m_hLogFile.Get(), record.data(), static_cast<DWORD>(record.size()), &written,
                nullptr);
}

void CDemoWindow::LoadScript() {
    if (m_options.m_strScriptPath.empty()) {
        return;
    }
    std::string text;
    if (!demo::ReadFileText(Wide(m_options.m_strScriptPath), text)) {
        Note("cannot read the script " + m_options.m_strScriptPath);
        return;
    }
    std::vector<std::string> errors;
    m_script = demo::ParseScript(text, errors);
    for (const std::string& error : errors) {
        Note("script " + error);
    }
    Note("script of " + std::to_string(m_script.size()) + " steps, waiting for the helper");
}

void CDemoWindow::PostContinueScript() {
    ::PostMessageW(m_hWnd, kContinueScriptMessage, 0, 0);
}

void CDemoWindow::ContinueScript() {
    if (m_scriptState != ScriptState::Running) {
        return;
    }
    while (m_nScriptNext < m_script.size()) {
        const demo::CScriptStep& step = m_script[m_nScriptNext++];
        switch (step.m_kind) {
            case demo::StepKind::Command:
                SendUiCommand(step.m_strText, step.m_data);
                break;
            case demo::StepKind::Note:
                Note(step.m_strText);
                break;
            case demo::StepKind::Sleep:
                m_scriptState = ScriptState::Sleeping;
                ::SetTimer(m_hWnd, kScriptTimerId, std::max<UINT>(step.m_nMs, USER_TIMER_MINIMUM),
                           nullptr);
                return;
            case demo::StepKind::Wait: {
                const auto it = std::find_if(m_recentEvents.begin(), m_recentEvents.end(),
                                             [&step](const std::string& line) {
                                                 return demo::MatchesWait(line, step.m_strText);
                                             });
                if (it != m_recentEvents.end()) {
                    break;
                }
                m_scriptState = ScriptState::Waiting;
                m_strAwaited = step.m_strText;
                ::SetTimer(m_hWnd, kScriptTimerId, std::max<UINT>(step.m_nMs, USER_TIMER_MINIMUM),
                           nullptr);
                return;
            }
        }
        // A command may have ended everything (the connection or the window).
        if (m_hWnd == nullptr || m_scriptState != ScriptState::Running) {
            return;
        }
    }
    m_scriptState = ScriptState::Done;
    Note("script done");
}
