// InvokeHelper's marshalling and COleDispatchDriver's reference handling,
// against an in-process fake IDispatch that records each call.
#include "framework/OleControl.h"
#include "framework/OleDispatchDriver.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// An argument as the callee saw it, copied out of the call.
struct CSeenArg {
    VARTYPE vt;
    long lValue;
    std::wstring text;
    VARIANT_BOOL boolValue;
    bool bNullBstr;
};

// Records each Invoke and answers with a preset result. Its references are
// counted, not freed, so tests can check them after the fact.
class CFakeDispatch : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_nRef); }
    ULONG STDMETHODCALLTYPE Release() override {
        if (m_nRef == 0) {
            ++m_nOverReleases;
            return 0;
        }
        return static_cast<ULONG>(--m_nRef);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pCount) override {
        *pCount = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* pParams,
                                     VARIANT* pResult, EXCEPINFO* pExcepInfo, UINT*) override {
        ++m_nCalls;
        m_dispid = dispid;
        m_flags = flags;
        m_args.clear();
        m_namedArgs.assign(pParams->rgdispidNamedArgs,
                           pParams->rgdispidNamedArgs + pParams->cNamedArgs);
        for (UINT i = 0; i < pParams->cArgs; ++i) {
            const VARIANT& v = pParams->rgvarg[i];
            CSeenArg seen{v.vt, 0, {}, VARIANT_FALSE, false};
            if (v.vt == VT_I4) {
                seen.lValue = v.lVal;
            } else if (v.vt == VT_BSTR) {
                seen.bNullBstr = v.bstrVal == nullptr;
                if (v.bstrVal != nullptr) {
                    seen.text.assign(v.bstrVal, ::SysStringLen(v.bstrVal));
                }
            } else if (v.vt == VT_BOOL) {
                seen.boolValue = v.boolVal;
            }
            m_args.push_back(seen);
        }
        if (m_onInvoke) {
            m_onInvoke();
        }
        m_bAliveAfterCallback = m_nRef > 0;
        if (FAILED(m_hr)) {
            if (m_hr == DISP_E_EXCEPTION && pExcepInfo != nullptr) {
                pExcepInfo->bstrDescription = ::SysAllocString(L"failed");
            }
            return m_hr;
        }
        if (pResult != nullptr) {
            ::VariantCopy(pResult, &m_result);
        }
        return S_OK;
    }

    ~CFakeDispatch() { ::VariantClear(&m_result); }

    LONG m_nRef = 1;
    int m_nOverReleases = 0;
    int m_nCalls = 0;
    DISPID m_dispid = 0;
    WORD m_flags = 0;
    std::vector<CSeenArg> m_args;  // as DISPPARAMS has them: last first
    std::vector<DISPID> m_namedArgs;
    HRESULT m_hr = S_OK;
    VARIANT m_result{};
    std::function<void()> m_onInvoke;
    bool m_bAliveAfterCallback = false;
};

const BYTE kNone[] = VTS_NONE;
const BYTE kText[] = VTS_BSTR;
const BYTE kLong[] = VTS_I4;
const BYTE kLongText[] = VTS_I4 VTS_BSTR;
const BYTE kBool[] = VTS_BOOL;
const BYTE kDispatch[] = VTS_DISPATCH;

struct CArgCase {
    const char* name;
    std::function<BOOL(COleDispatchDriver&)> call;
    WORD flags;
    bool bNamedPut;
    std::vector<CSeenArg> expected;  // last argument first
};

class ArgumentMarshalling : public ::testing::TestWithParam<CArgCase> {};

TEST_P(ArgumentMarshalling, CalleeSeesExactlyTheArguments) {
    const CArgCase& c = GetParam();
    CFakeDispatch fake;
    {
        COleDispatchDriver driver(&fake, FALSE);
        ASSERT_TRUE(c.call(driver));
    }
    ASSERT_EQ(fake.m_nCalls, 1);
    EXPECT_EQ(fake.m_dispid, 7);
    EXPECT_EQ(fake.m_flags, c.flags);
    if (c.bNamedPut) {
        EXPECT_EQ(fake.m_namedArgs, std::vector<DISPID>{DISPID_PROPERTYPUT});
    } else {
        EXPECT_TRUE(fake.m_namedArgs.empty());
    }
    ASSERT_EQ(fake.m_args.size(), c.expected.size());
    for (size_t i = 0; i < c.expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fake.m_args[i].vt, c.expected[i].vt);
        EXPECT_EQ(fake.m_args[i].lValue, c.expected[i].lValue);
        EXPECT_EQ(fake.m_args[i].text, c.expected[i].text);
        EXPECT_EQ(fake.m_args[i].boolValue, c.expected[i].boolValue);
        EXPECT_FALSE(fake.m_args[i].bNullBstr);
    }
    EXPECT_EQ(fake.m_nRef, 1);
}

const std::wstring kNonAscii = L"Gr\u00FC\u00DFe \u6771\u4EAC \U0001F3B5";
const std::wstring kWithNul(L"a\0b", 3);

CSeenArg Text(const std::wstring& text) {
    return {VT_BSTR, 0, text, VARIANT_FALSE, false};
}
CSeenArg Long(long value) {
    return {VT_I4, value, {}, VARIANT_FALSE, false};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArgumentMarshalling,
    ::testing::Values(
        CArgCase{"PutNonAsciiText",
                 [](COleDispatchDriver& d) {
                     return d.InvokeHelper(7, DISPATCH_PROPERTYPUT, VT_EMPTY, nullptr, kText,
                                           std::wstring_view(kNonAscii));
                 },
                 DISPATCH_PROPERTYPUT,
                 true,
                 {Text(kNonAscii)}},
        CArgCase{"TextWithNulKeepsItsLength",
                 [](COleDispatchDriver& d) {
                     return d.InvokeHelper(7, DISPATCH_PROPERTYPUT, VT_EMPTY, nullptr, kText,
                                           kWithNul);
                 },
                 DISPATCH_PROPERTYPUT,
                 true,
                 {Text(kWithNul)}},
        CArgCase{"EmptyAndNullTextAreEmptyBstrs",
                 [](COleDispatchDriver& d) {
                     const wchar_t* none = nullptr;
                     return d.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kText, none);
                 },
                 DISPATCH_METHOD,
                 false,
                 {Text(L"")}},
        CArgCase{"NegativeLong",
                 [](COleDispatchDriver& d) {
                     return d.InvokeHelper(7, DISPATCH_PROPERTYPUT, VT_EMPTY, nullptr, kLong, -5L);
                 },
                 DISPATCH_PROPERTYPUT,
                 true,
                 {Long(-5)}},
        CArgCase{"IntIsAnI4",
                 [](COleDispatchDriver& d) {
                     return d.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kLong,
                                           int{2147483647});
                 },
                 DISPATCH_METHOD,
                 false,
                 {Long(2147483647)}},
        CArgCase{"TwoArgumentsLastFirst",
                 [](COleDispatchDriver& d) {
                     return d.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kLongText, 3L,
                                           L"x");
                 },
                 DISPATCH_METHOD,
                 false,
                 {Text(L"x"), Long(3)}},
        CArgCase{"BoolIsVariantTrue",
                 [](COleDispatchDriver& d) {
                     return d.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kBool, true);
                 },
                 DISPATCH_METHOD,
                 false,
                 {{VT_BOOL, 0, {}, VARIANT_TRUE, false}}},
        CArgCase{"NoArguments",
                 [](COleDispatchDriver& d) {
                     return d.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kNone);
                 },
                 DISPATCH_METHOD,
                 false,
                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InvokeHelper, RefusesArgumentsThatDoNotMatchTheDescription) {
    CFakeDispatch fake;
    COleDispatchDriver driver(&fake, FALSE);
    EXPECT_FALSE(driver.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kText, 5L));
    EXPECT_FALSE(driver.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kLong));
    EXPECT_FALSE(driver.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kNone, 5L));
    EXPECT_FALSE(driver.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kLong, true));
    EXPECT_EQ(fake.m_nCalls, 0);
}

TEST(InvokeHelper, PassedObjectsKeepTheirReferenceCount) {
    CFakeDispatch fake;
    CFakeDispatch argument;
    COleDispatchDriver driver(&fake, FALSE);
    ASSERT_TRUE(driver.InvokeHelper(7, DISPATCH_METHOD, VT_EMPTY, nullptr, kDispatch,
                                    static_cast<IDispatch*>(&argument)));
    EXPECT_EQ(argument.m_nRef, 1);
    EXPECT_EQ(argument.m_nOverReleases, 0);
}

// One result conversion: what the callee returns, what is asked for.
struct CResultCase {
    const char* name;
    std::function<void(VARIANT&)> set;
    VARTYPE vtRet;
    bool bOk;
    long lExpected;
    std::wstring textExpected;
};

class ResultConversion : public ::testing::TestWithParam<CResultCase> {};

TEST_P(ResultConversion, GivesTheValueOrFailsWithoutTouchingIt) {
    const CResultCase& c = GetParam();
    CFakeDispatch fake;
    c.set(fake.m_result);
    COleDispatchDriver driver(&fake, FALSE);
    long number = 1234;
    std::wstring text = L"untouched";
    void* pvRet = c.vtRet == VT_I4 ? static_cast<void*>(&number) : static_cast<void*>(&text);
    EXPECT_EQ(driver.GetProperty(9, c.vtRet, pvRet), c.bOk ? TRUE : FALSE);
    EXPECT_EQ(fake.m_flags, DISPATCH_PROPERTYGET);
    if (c.vtRet == VT_I4) {
        EXPECT_EQ(number, c.bOk ? c.lExpected : 1234);
    } else {
        EXPECT_EQ(text, c.bOk ? c.textExpected : L"untouched");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResultConversion,
    ::testing::Values(
        CResultCase{"I4", [](VARIANT& v) { v.vt = VT_I4, v.lVal = -7; }, VT_I4, true, -7, {}},
        CResultCase{"UI4KeepsItsBits",
                    [](VARIANT& v) { v.vt = VT_UI4, v.ulVal = 0xFFFFFFFFu; },
                    VT_I4,
                    true,
                    -1,
                    {}},
        CResultCase{"I2Widens", [](VARIANT& v) { v.vt = VT_I2, v.iVal = -3; }, VT_I4, true, -3, {}},
        CResultCase{"TextIsNoNumber",
                    [](VARIANT& v) { v.vt = VT_BSTR, v.bstrVal = ::SysAllocString(L"abc"); },
                    VT_I4,
                    false,
                    0,
                    {}},
        CResultCase{"NonAsciiText",
                    [](VARIANT& v) {
                        v.vt = VT_BSTR;
                        v.bstrVal = ::SysAllocStringLen(kNonAscii.data(),
                                                        static_cast<UINT>(kNonAscii.size()));
                    },
                    VT_BSTR, true, 0, kNonAscii},
        CResultCase{"TextWithNul",
                    [](VARIANT& v) {
                        v.vt = VT_BSTR;
                        v.bstrVal = ::SysAllocStringLen(kWithNul.data(), 3);
                    },
                    VT_BSTR, true, 0, kWithNul},
        CResultCase{"NullBstrIsEmpty", [](VARIANT& v) { v.vt = VT_BSTR, v.bstrVal = nullptr; },
                    VT_BSTR, true, 0, L""},
        CResultCase{"NumberAsText", [](VARIANT& v) { v.vt = VT_I4, v.lVal = 42; }, VT_BSTR, true, 0,
                    L"42"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InvokeHelper, FailedCallsReturnFalse) {
    for (const HRESULT hr : {E_NOTIMPL, DISP_E_MEMBERNOTFOUND, DISP_E_EXCEPTION}) {
        SCOPED_TRACE(hr);
        CFakeDispatch fake;
        fake.m_hr = hr;
        COleDispatchDriver driver(&fake, FALSE);
        long value = 5;
        EXPECT_FALSE(driver.GetProperty(1, VT_I4, &value));
        EXPECT_EQ(value, 5);
        EXPECT_FALSE(driver.InvokeHelper(1, DISPATCH_PROPERTYPUT, VT_EMPTY, nullptr, kText, L"x"));
    }
}

TEST(InvokeHelper, WithoutAnObjectFails) {
    COleDispatchDriver driver;
    EXPECT_FALSE(driver.InvokeHelper(1, DISPATCH_METHOD, VT_EMPTY, nullptr, kNone));
}

TEST(COleDispatchDriver, DispatchResultIsReleasedExactlyOnce) {
    CFakeDispatch fake;
    CFakeDispatch sub;
    fake.m_result.vt = VT_DISPATCH;
    fake.m_result.pdispVal = &sub;
    sub.AddRef();  // held by the fake's result
    {
        COleDispatchDriver driver(&fake, FALSE);
        LPDISPATCH pResult = nullptr;
        ASSERT_TRUE(driver.GetProperty(4, VT_DISPATCH, &pResult));
        ASSERT_EQ(pResult, &sub);
        EXPECT_EQ(sub.m_nRef, 3);
        COleDispatchDriver subDriver(pResult);
    }
    EXPECT_EQ(sub.m_nRef, 2);
    fake.m_result.vt = VT_EMPTY;
    sub.Release();
    EXPECT_EQ(sub.m_nRef, 1);
    EXPECT_EQ(sub.m_nOverReleases, 0);
}

TEST(COleDispatchDriver, OwnershipFollowsAttachDetachAndAutoRelease) {
    CFakeDispatch first;
    CFakeDispatch second;
    first.AddRef();
    second.AddRef();
    {
        COleDispatchDriver driver(&first);
        driver.AttachDispatch(&second);  // gives the first one back
        EXPECT_EQ(first.m_nRef, 1);
        EXPECT_EQ(driver.DetachDispatch(), &second);
        driver.AttachDispatch(&second, FALSE);
    }
    EXPECT_EQ(second.m_nRef, 2);
    second.Release();
    EXPECT_EQ(first.m_nOverReleases + second.m_nOverReleases, 0);
}

TEST(COleDispatchDriver, NoObjectResultIsNullAndSucceeds) {
    CFakeDispatch fake;  // result VT_EMPTY: the player has no such object now
    COleDispatchDriver driver(&fake, FALSE);
    LPDISPATCH pResult = reinterpret_cast<LPDISPATCH>(1);
    EXPECT_TRUE(driver.GetProperty(6, VT_DISPATCH, &pResult));
    EXPECT_EQ(pResult, nullptr);
}

TEST(COleDispatchDriver, ObjectOutlivesACallThatDropsItsLastReference) {
    CFakeDispatch fake;  // one reference, the driver's
    COleDispatchDriver driver(&fake);
    fake.m_onInvoke = [&] { driver.ReleaseDispatch(); };
    EXPECT_TRUE(driver.InvokeHelper(52, DISPATCH_METHOD, VT_EMPTY, nullptr, kNone));
    EXPECT_TRUE(fake.m_bAliveAfterCallback);
    EXPECT_EQ(fake.m_nRef, 0);
    EXPECT_EQ(fake.m_nOverReleases, 0);
}

// Event arguments, as players pass them.
TEST(AfxGetEventArg, TakesThirtyTwoBitNumbersByTheirBits) {
    long byRefValue = 8;
    struct {
        const char* name;
        VARIANT arg;
        bool bOk;
        long expected;
    } cases[] = {
        {"I4", {}, true, 3},    {"UI4", {}, true, -1},   {"I4ByRef", {}, true, 8},
        {"Text", {}, false, 0}, {"Empty", {}, false, 0},
    };
    cases[0].arg.vt = VT_I4, cases[0].arg.lVal = 3;
    cases[1].arg.vt = VT_UI4, cases[1].arg.ulVal = 0xFFFFFFFFu;
    cases[2].arg.vt = VT_I4 | VT_BYREF, cases[2].arg.plVal = &byRefValue;
    cases[3].arg.vt = VT_BSTR, cases[3].arg.bstrVal = nullptr;
    cases[4].arg.vt = VT_EMPTY;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        long value = 99;
        EXPECT_EQ(AfxGetEventArg(c.arg, value), c.bOk);
        EXPECT_EQ(value, c.bOk ? c.expected : 99);
    }
}

class CSinkTarget : public CCmdTarget {
public:
    void OnTwo(long first, long second) { m_seen.push_back({first, second}); }
    void OnObject(IDispatch* pItem) { m_pItem = pItem, ++m_nObjectCalls; }
    void OnNothing() { ++m_nNothingCalls; }

    std::vector<std::pair<long, long>> m_seen;
    IDispatch* m_pItem = reinterpret_cast<IDispatch*>(1);
    int m_nObjectCalls = 0;
    int m_nNothingCalls = 0;
};

TEST(AfxEventHandler, UnpacksArgumentsInOrderAndRefusesWrongCounts) {
    CSinkTarget target;
    VARIANT args[2];
    args[0].vt = VT_UI4, args[0].ulVal = 20;  // the last argument
    args[1].vt = VT_I4, args[1].lVal = 10;    // the first
    DISPPARAMS two{args, nullptr, 2, 0};
    DISPPARAMS one{args, nullptr, 1, 0};
    DISPPARAMS none{nullptr, nullptr, 0, 0};

    EXPECT_TRUE(AfxEventHandler<&CSinkTarget::OnTwo>(&target, two));
    EXPECT_FALSE(AfxEventHandler<&CSinkTarget::OnTwo>(&target, one));
    ASSERT_EQ(target.m_seen.size(), 1u);
    EXPECT_EQ(target.m_seen[0], std::make_pair(10L, 20L));

    EXPECT_TRUE(AfxEventHandler<&CSinkTarget::OnNothing>(&target, none));
    EXPECT_FALSE(AfxEventHandler<&CSinkTarget::OnNothing>(&target, one));
    EXPECT_EQ(target.m_nNothingCalls, 1);

    VARIANT item;
    item.vt = VT_DISPATCH, item.pdispVal = nullptr;
    DISPPARAMS object{&item, nullptr, 1, 0};
    EXPECT_TRUE(AfxEventHandler<&CSinkTarget::OnObject>(&target, object));
    EXPECT_EQ(target.m_pItem, nullptr);
    EXPECT_FALSE(AfxEventHandler<&CSinkTarget::OnObject>(&target, one));  // a number
    EXPECT_EQ(target.m_nObjectCalls, 1);
}

}  // namespace
