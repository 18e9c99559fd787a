// Peak memory of decoding one payload: builds the payload named on the
// command line, decodes it once into a fresh message the way the receive path
// does, and prints the result, the values kept and the process's peak
// resident size before and after the decode (docs/robustness.md).
//
//   amf_peak refs32k | refs96k | zeros16m | budget16m | minimize
//
// budget16m is the most a 16 MiB frame may decode into: a string of almost
// 16 MiB (one copy in the value, one in the reference table) and one reference
// to it, which together just fit the text budget.
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "amf/Amf.h"

namespace {

long PeakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;  // KiB on Linux
}

void PutU29(std::vector<uint8_t>& out, uint32_t v) {
    if (v < 0x80) {
        out.push_back(static_cast<uint8_t>(v));
    } else if (v < 0x4000) {
        out.push_back(static_cast<uint8_t>((v >> 7) | 0x80));
        out.push_back(static_cast<uint8_t>(v & 0x7F));
    } else if (v < 0x200000) {
        out.push_back(static_cast<uint8_t>((v >> 14) | 0x80));
        out.push_back(static_cast<uint8_t>(((v >> 7) & 0x7F) | 0x80));
        out.push_back(static_cast<uint8_t>(v & 0x7F));
    } else {
        out.push_back(static_cast<uint8_t>(((v >> 22) & 0x7F) | 0x80));
        out.push_back(static_cast<uint8_t>(((v >> 15) & 0x7F) | 0x80));
        out.push_back(static_cast<uint8_t>(((v >> 8) & 0x7F) | 0x80));
        out.push_back(static_cast<uint8_t>(v & 0xFF));
    }
}

// One inline string of length bytes, then references to it (06 00).
std::vector<uint8_t> StringReferences(uint32_t length, uint32_t references) {
    std::vector<uint8_t> out{0x06};
    PutU29(out, (length << 1) | 1);
    out.insert(out.end(), length, 'a');
    for (uint32_t i = 0; i < references; ++i) {
        out.push_back(0x06);
        out.push_back(0x00);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string kind = argc > 1 ? argv[1] : "";
    std::vector<uint8_t> payload;
    if (kind == "refs32k") {
        payload = StringReferences(16384, 8192);
    } else if (kind == "refs96k") {
        payload = StringReferences(32768, 32768);
    } else if (kind == "zeros16m") {
        payload.assign(16u << 20, 0x00);
    } else if (kind == "budget16m") {
        payload = StringReferences((16u << 20) - 7, 1);
    } else if (kind == "minimize") {
        const char event[] =
            "\x09\x01\x09\x64\x61\x74\x61\x03\x09\x74\x79\x70\x65\x06\x1B"
            "minimizeEvent\x01";
        payload.assign(event, event + sizeof event - 1);
    } else {
        std::fprintf(stderr, "usage: amf_peak refs32k|refs96k|zeros16m|budget16m|minimize\n");
        return 2;
    }
    const long before = PeakKiB();
    bool ok = false;
    size_t values = 0;
    {
        CAmfMessage message;
        ok = message.Decode(payload);
        values = message.GetCount();
    }
    const long after = PeakKiB();
    std::printf(
        "%s: %zu payload bytes, decode %s, %zu top-level values kept, peak RSS %ld KiB "
        "before, %ld KiB after (+%ld KiB)\n",
        kind.c_str(), payload.size(), ok ? "succeeded" : "failed", values, before, after,
        after - before);
    return 0;
}
