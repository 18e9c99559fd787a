// A bound on the bytes that many holders keep together. One connection may
// hold little, yet a hundred of them could still exhaust a 32-bit process;
// a shared budget lets the one that would pass the bound be turned away
// while the others go on untouched.
#pragma once

#include <cstddef>

class CMemoryBudget {
public:
    explicit CMemoryBudget(size_t nLimit) : m_nLimit(nLimit) {}
    CMemoryBudget(const CMemoryBudget&) = delete;
    CMemoryBudget& operator=(const CMemoryBudget&) = delete;

    size_t GetLimit() const { return m_nLimit; }
    // A lower limit takes nothing back from holders; it only refuses growth.
    void SetLimit(size_t nLimit) { m_nLimit = nLimit; }
    size_t GetUsed() const { return m_nUsed; }

private:
    friend class CBudgetShare;

    size_t m_nLimit;
    size_t m_nUsed = 0;
};

// One holder's part of a budget, given back when the share is destroyed.
// Without a budget every request is granted.
class CBudgetShare {
public:
    explicit CBudgetShare(CMemoryBudget* pBudget = nullptr) : m_pBudget(pBudget) {}
    ~CBudgetShare() { Resize(0); }
    CBudgetShare(const CBudgetShare&) = delete;
    CBudgetShare& operator=(const CBudgetShare&) = delete;

    // Makes the holder's part nBytes. Shrinking always succeeds; growing
    // fails, changing nothing, when the budget would pass its limit.
    bool Resize(size_t nBytes);
    size_t GetHeld() const { return m_nHeld; }

private:
    CMemoryBudget* m_pBudget;
    size_t m_nHeld = 0;
};
