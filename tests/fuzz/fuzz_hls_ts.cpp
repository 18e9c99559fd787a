// libFuzzer target for the MPEG-TS demuxer: the property of HlsFuzzCheck.h.
#include <cstdio>
#include <cstdlib>

#include "HlsFuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string why = hls_fuzz::CheckTs(data, size);
    if (!why.empty()) {
        std::fprintf(stderr, "HLS property broken: %s\n", why.c_str());
        std::abort();
    }
    return 0;
}
