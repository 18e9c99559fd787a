// The checks CZvImageExt makes on a bitmap before copying it, kept apart
// from the GDI calls so that they are tested natively.
#pragma once

#include <cstddef>
#include <cstdint>

// Only these depths are taken: the launcher reads three or four bytes per
// pixel, blue first.
constexpr bool IsSupportedPictureDepth(int32_t bitsPerPixel) {
    return bitsPerPixel == 24 || bitsPerPixel == 32;
}

// The size of a buffer of height rows of rowBytes bytes each. False for
// negative values and for a size that GetBitmapBits, whose count is a signed
// 32-bit value, could not be asked for.
bool PictureBufferBytes(int32_t height, int32_t rowBytes, size_t& bytes);
