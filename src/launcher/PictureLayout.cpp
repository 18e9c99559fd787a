#include "launcher/PictureLayout.h"

bool PictureBufferBytes(int32_t height, int32_t rowBytes, size_t& bytes) {
    bytes = 0;
    if (height < 0 || rowBytes < 0) {
        return false;
    }
    const int64_t total = static_cast<int64_t>(height) * rowBytes;
    if (total > INT32_MAX) {
        return false;
    }
    bytes = static_cast<size_t>(total);
    return true;
}
