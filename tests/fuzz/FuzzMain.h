// The libFuzzer entry point of a target whose property lives in a header of
// its own (so that the unit tests replay the very same check): the check
// returns what broke, and a broken property aborts, which libFuzzer reports
// and saves like a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define TUNARA_FUZZ_PROPERTY(what, check)                                        \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {    \
        const std::string why = check(data, size);                               \
        if (!why.empty()) {                                                      \
            std::fprintf(stderr, "%s property broken: %s\n", what, why.c_str()); \
            std::abort();                                                        \
        }                                                                        \
        return 0;                                                                \
    }
