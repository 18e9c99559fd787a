// Makes allocations fail on purpose, to see what the program does when the
// address space runs out: while a CAllocationFailure is alive, every
// allocation of at least its threshold throws std::bad_alloc. The test
// program's global operator new checks it; small allocations (the test
// framework's own) go on working.
#pragma once

#include <cstddef>

class CAllocationFailure {
public:
    explicit CAllocationFailure(size_t nThreshold);
    ~CAllocationFailure();
    CAllocationFailure(const CAllocationFailure&) = delete;
    CAllocationFailure& operator=(const CAllocationFailure&) = delete;

    // Allocations refused since this object was made.
    static int GetFailures();
};
