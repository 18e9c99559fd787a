#include "launcher/ZvImageExt_win.h"

#include <new>

#include "framework/Handles.h"
#include "framework/WinApp.h"
#include "launcher/PictureLayout.h"
#include "res/resource.h"

CZvImageExt::~CZvImageExt() {
    Clear();
}

void CZvImageExt::Clear() {
    m_pBits.reset();
    m_nWidth = 0;
    m_nHeight = 0;
    m_nBitsPerPixel = 0;
    m_nBufferBytes = 0;
}

bool CZvImageExt::CopyFromBitmap(HBITMAP hBitmap) {
    if (hBitmap == nullptr) {
        return false;
    }
    BITMAP description{};
    if (::GetObjectW(hBitmap, sizeof(description), &description) == 0) {
        return false;
    }
    if (!IsSupportedPictureDepth(description.bmBitsPixel)) {
        return false;
    }
    Clear();
    size_t bytes = 0;
    if (!PictureBufferBytes(description.bmHeight, description.bmWidthBytes, bytes)) {
        return false;
    }
    std::unique_ptr<uint8_t[]> pBits(new (std::nothrow) uint8_t[bytes == 0 ? 1 : bytes]);
    if (pBits == nullptr) {
        return false;
    }
    m_pBits = std::move(pBits);
    m_nBufferBytes = bytes;
    m_nWidth = description.bmWidth;
    m_nHeight = description.bmHeight;
    m_nBitsPerPixel = description.bmBitsPixel;
    ::GetBitmapBits(hBitmap, static_cast<LONG>(bytes), m_pBits.get());
    return true;
}

bool CZvImageExt::LoadStartPicture() {
    const CBitmapHandle bitmap(
        ::LoadBitmapW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDB_START_PICTURE)));
    return bitmap && CopyFromBitmap(bitmap.Get());
}

bool CZvImageExt::CaptureWindow(HWND hWnd) {
    RECT area{};
    if (hWnd != nullptr) {
        // A window that closed after it was found: keep what we had rather
        // than capture from an undefined rectangle.
        if (!::GetClientRect(hWnd, &area)) {
            return false;
        }
    } else {
        area.right = ::GetSystemMetrics(SM_CXSCREEN);
        area.bottom = ::GetSystemMetrics(SM_CYSCREEN);
    }
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;

    // The whole-window DC: its origin is the window's corner, frame
    // included, which for the UI's frameless window is the client corner.
    const CWindowDc source = CWindowDc::FromWindow(hWnd);
    const CBitmapHandle bitmap(::CreateCompatibleBitmap(source.Get(), width, height));
    const CDcHandle memory(::CreateCompatibleDC(source.Get()));
    const HGDIOBJ hOld = ::SelectObject(memory.Get(), bitmap.Get());
    // A negative source height copies the rows bottom to top.
    ::StretchBlt(memory.Get(), 0, 0, width, height, source.Get(), 0, height - 1, width, -height,
                 SRCCOPY);
    // The bits are read from a bitmap that no DC holds any more.
    if (hOld != nullptr && hOld != HGDI_ERROR) {
        ::SelectObject(memory.Get(), hOld);
    }
    return CopyFromBitmap(bitmap.Get());
}
