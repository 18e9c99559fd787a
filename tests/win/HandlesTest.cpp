#include "framework/Afx.h"

#include <gtest/gtest.h>

namespace {

bool IsOpenHandle(HANDLE h) {
    DWORD flags = 0;
    return ::GetHandleInformation(h, &flags) != FALSE;
}

TEST(CUniqueHandle, ClosesExactlyOnceAndMovesOwnership) {
    const HANDLE hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(hEvent, nullptr);
    {
        CHandle first(hEvent);
        CHandle second(std::move(first));
        EXPECT_FALSE(first.IsValid());
        EXPECT_EQ(second.Get(), hEvent);
        CHandle third;
        third = std::move(second);
        EXPECT_TRUE(IsOpenHandle(hEvent));
    }
    EXPECT_FALSE(IsOpenHandle(hEvent));
}

// Counts references instead of freeing itself, so tests can watch them.
class CCountedUnknown : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (!::IsEqualIID(iid, IID_IUnknown)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_nRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_nRefs; }
    ULONG m_nRefs = 1;
};

TEST(CComPtr, HoldsOneReferenceAcrossMovesAndOutParameters) {
    CCountedUnknown object;
    {
        CComPtr<IUnknown> first(&object);
        EXPECT_EQ(object.m_nRefs, 2u);
        CComPtr<IUnknown> second(std::move(first));
        EXPECT_EQ(object.m_nRefs, 2u);

        CComPtr<IUnknown> queried;
        EXPECT_EQ(second.QueryInterface(&queried), S_OK);
        EXPECT_EQ(object.m_nRefs, 3u);
        // Taking the address for an out-parameter drops what was held.
        IUnknown** ppOut = &queried;
        EXPECT_EQ(*ppOut, nullptr);
        EXPECT_EQ(object.m_nRefs, 2u);

        CComPtr<IDispatch> missing;
        EXPECT_EQ(second.QueryInterface(&missing), E_NOINTERFACE);
        EXPECT_FALSE(missing);

        IUnknown* pRaw = second.Detach();
        EXPECT_EQ(object.m_nRefs, 2u);
        queried.Attach(pRaw);
        EXPECT_EQ(object.m_nRefs, 2u);
    }
    EXPECT_EQ(object.m_nRefs, 1u);
}

}  // namespace
