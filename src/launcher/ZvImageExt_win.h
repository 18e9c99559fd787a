// CZvImageExt: the picture of the UI that goes with every record sent to the
// launcher, held as the raw bits of a device-dependent bitmap.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

class CZvImageExt {
public:
    CZvImageExt() = default;
    virtual ~CZvImageExt();
    CZvImageExt(const CZvImageExt&) = delete;
    CZvImageExt& operator=(const CZvImageExt&) = delete;

    // Fills the picture from the start-screen resource (IDB_START_PICTURE,
    // 1024 x 600), converted by the system to the display's depth.
    bool LoadStartPicture();
    // Fills the picture from hWnd's client-sized area, counted from the
    // window's top-left corner, or from the whole screen for a null hWnd.
    // The rows end up mirrored: the first row held is the bottom one. A
    // window that has gone away leaves the previous picture in place.
    bool CaptureWindow(HWND hWnd);
    // Replaces the picture with the size, depth and bits of hBitmap. Only 24
    // and 32 bits per pixel are taken; another depth keeps the old picture.
    bool CopyFromBitmap(HBITMAP hBitmap);

    bool HasPixels() const { return m_pBits != nullptr; }
    int32_t Width() const { return m_nWidth; }
    int32_t Height() const { return m_nHeight; }
    int32_t BitsPerPixel() const { return m_nBitsPerPixel; }
    // Height rows of the bitmap's own row length (even), first row first.
    std::span<const uint8_t> Bits() const { return {m_pBits.get(), m_nBufferBytes}; }

private:
    void Clear();

    std::unique_ptr<uint8_t[]> m_pBits;
    int32_t m_nWidth = 0;
    int32_t m_nHeight = 0;
    int32_t m_nBitsPerPixel = 0;
    size_t m_nBufferBytes = 0;
};
