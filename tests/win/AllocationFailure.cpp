#include "AllocationFailure.h"

#include <cstdlib>
#include <new>

namespace {

// Zero: nothing fails. The tests run on one thread.
size_t g_nThreshold = 0;
int g_nFailures = 0;

}  // namespace

CAllocationFailure::CAllocationFailure(size_t nThreshold) {
    g_nThreshold = nThreshold;
    g_nFailures = 0;
}

CAllocationFailure::~CAllocationFailure() {
    g_nThreshold = 0;
}

int CAllocationFailure::GetFailures() {
    return g_nFailures;
}

// Replaces the runtime's operator new for the whole test program; the array
// and nothrow forms of the runtime forward to this one.
void* operator new(size_t size) {
    if (g_nThreshold != 0 && size >= g_nThreshold) {
        ++g_nFailures;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
