// libFuzzer target for the AMF3 decoder: decode arbitrary bytes, and check
// the round-trip property of AmfFuzzCheck.h on whatever decodes.
#include <cstdio>
#include <cstdlib>

#include "AmfFuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string why = amf_fuzz::CheckDecode(data, size);
    if (!why.empty()) {
        std::fprintf(stderr, "AMF3 property broken: %s\n", why.c_str());
        std::abort();
    }
    return 0;
}
