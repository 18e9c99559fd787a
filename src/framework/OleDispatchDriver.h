// Automation calls by dispatch id: the argument marshalling shared by
// COleDispatchDriver and the control windows, and COleDispatchDriver itself.
#pragma once

#include "framework/Handles.h"

#include <oleauto.h>

#include <array>
#include <string>
#include <string_view>

// Parameter descriptions, one byte per argument, as the framework spells
// them: the argument list of a call reads like its type library entry.
#define VTS_NONE ""
#define VTS_I4 "\x03"
#define VTS_R8 "\x05"
#define VTS_BSTR "\x08"
#define VTS_DISPATCH "\x09"
#define VTS_BOOL "\x0B"

// Fills one argument. Each returns false only when memory runs out; the
// variant's type says which VTS_ byte it answers to.
bool AfxSetVariantArg(VARIANT& arg, int value);
bool AfxSetVariantArg(VARIANT& arg, long value);
bool AfxSetVariantArg(VARIANT& arg, double value);
bool AfxSetVariantArg(VARIANT& arg, bool value);
// Text crosses as a BSTR of exactly these code units, embedded NULs
// included; a null pointer is the empty text.
bool AfxSetVariantArg(VARIANT& arg, std::wstring_view value);
bool AfxSetVariantArg(VARIANT& arg, const wchar_t* value);
bool AfxSetVariantArg(VARIANT& arg, const std::wstring& value);
// The callee gets its own reference.
bool AfxSetVariantArg(VARIANT& arg, IDispatch* value);

// Invokes dispid on pDispatch with args (last argument first, as DISPPARAMS
// has them). vtRet names what pvRet points to:
//   VT_EMPTY    nothing (pvRet may be null); any result is dropped
//   VT_I4       long; VT_UI4, VT_INT and VT_UINT results keep their bits
//   VT_BOOL     BOOL
//   VT_R8       double
//   VT_BSTR     std::wstring
//   VT_DISPATCH IDispatch*, holding a reference the caller owns (null when
//               the callee returned no object)
// Returns FALSE if the call fails or its result cannot be converted; *pvRet
// is then left untouched. Exception information is freed, never leaked.
BOOL AfxInvokeDispatch(IDispatch* pDispatch, DISPID dwDispID, WORD wFlags, VARTYPE vtRet,
                       void* pvRet, VARIANTARG* pArgs, UINT nArgs) noexcept;

namespace afx_detail {

// Owns the argument variants of one call.
template <size_t N>
class CVariantArgs {
public:
    CVariantArgs() noexcept {
        for (VARIANT& v : m_args) {
            ::VariantInit(&v);
        }
    }
    ~CVariantArgs() {
        for (VARIANT& v : m_args) {
            ::VariantClear(&v);
        }
    }
    CVariantArgs(const CVariantArgs&) = delete;
    CVariantArgs& operator=(const CVariantArgs&) = delete;

    VARIANT* Data() noexcept { return N == 0 ? nullptr : m_args.data(); }
    VARIANT& operator[](size_t i) noexcept { return m_args[i]; }

    // The described types must be exactly the given ones, so that a call
    // site cannot silently pass, say, a flag where a number is declared.
    bool Matches(const BYTE* pbParamInfo) const noexcept {
        const BYTE* p = pbParamInfo != nullptr ? pbParamInfo : reinterpret_cast<const BYTE*>("");
        for (size_t i = 0; i < N; ++i, ++p) {
            // Arguments are stored in reverse order.
            if (*p == 0 || *p != m_args[N - 1 - i].vt) {
                return false;
            }
        }
        return *p == 0;
    }

private:
    std::array<VARIANT, N> m_args;
};

template <typename... TArgs>
BOOL InvokeWithArgs(IDispatch* pDispatch, DISPID dwDispID, WORD wFlags, VARTYPE vtRet, void* pvRet,
                    const BYTE* pbParamInfo, const TArgs&... args) noexcept {
    constexpr size_t kCount = sizeof...(TArgs);
    CVariantArgs<kCount> variants;
    size_t next = kCount;
    // DISPPARAMS wants the last argument first.
    const bool bFilled = (AfxSetVariantArg(variants[--next], args) && ...);
    if (!bFilled || !variants.Matches(pbParamInfo)) {
        return FALSE;
    }
    return AfxInvokeDispatch(pDispatch, dwDispID, wFlags, vtRet, pvRet, variants.Data(),
                             static_cast<UINT>(kCount));
}

}  // namespace afx_detail

// Holds one dispatch pointer for calls by dispatch id. With auto-release on
// (the default) the driver owns the reference it was given and releases it
// exactly once: on ReleaseDispatch, on a new AttachDispatch or when it goes
// out of scope.
class COleDispatchDriver {
public:
    COleDispatchDriver() noexcept = default;
    // Takes over the reference that lpDispatch carries.
    explicit COleDispatchDriver(LPDISPATCH lpDispatch, BOOL bAutoRelease = TRUE) noexcept;
    ~COleDispatchDriver();

    COleDispatchDriver(const COleDispatchDriver&) = delete;
    COleDispatchDriver& operator=(const COleDispatchDriver&) = delete;

    void AttachDispatch(LPDISPATCH lpDispatch, BOOL bAutoRelease = TRUE) noexcept;
    // Hands the pointer back without releasing it.
    LPDISPATCH DetachDispatch() noexcept;
    void ReleaseDispatch() noexcept;

    // FALSE without a dispatch pointer, when pbParamInfo does not describe
    // the arguments given, or when the call fails (see AfxInvokeDispatch).
    template <typename... TArgs>
    BOOL InvokeHelper(DISPID dwDispID, WORD wFlags, VARTYPE vtRet, void* pvRet,
                      const BYTE* pbParamInfo, const TArgs&... args) const noexcept {
        if (m_lpDispatch == nullptr) {
            return FALSE;
        }
        return afx_detail::InvokeWithArgs(m_lpDispatch, dwDispID, wFlags, vtRet, pvRet, pbParamInfo,
                                          args...);
    }

    BOOL GetProperty(DISPID dwDispID, VARTYPE vtProp, void* pvProp) const noexcept {
        return InvokeHelper(dwDispID, DISPATCH_PROPERTYGET, vtProp, pvProp, nullptr);
    }

    LPDISPATCH m_lpDispatch = nullptr;
    BOOL m_bAutoRelease = TRUE;
};
