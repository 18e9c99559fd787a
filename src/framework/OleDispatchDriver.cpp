#include "framework/OleDispatchDriver.h"

#include <utility>

namespace {

// A result variant that is cleared whatever path the call takes.
class CVariantResult {
public:
    CVariantResult() noexcept { ::VariantInit(&m_var); }
    ~CVariantResult() { ::VariantClear(&m_var); }
    CVariantResult(const CVariantResult&) = delete;
    CVariantResult& operator=(const CVariantResult&) = delete;

    VARIANT m_var;
};

// Integers are taken by their bits: players report codes such as
// 0xC00D1197 as VT_UI4, which a range-checked conversion would refuse.
bool ToLong(VARIANT& result, long& value) {
    switch (result.vt) {
        case VT_I4:
            value = result.lVal;
            return true;
        case VT_UI4:
            value = static_cast<long>(result.ulVal);
            return true;
        case VT_INT:
            value = result.intVal;
            return true;
        case VT_UINT:
            value = static_cast<long>(result.uintVal);
            return true;
        default:
            if (FAILED(::VariantChangeType(&result, &result, 0, VT_I4))) {
                return false;
            }
            value = result.lVal;
            return true;
    }
}

bool ToDispatch(VARIANT& result, IDispatch*& pDispatch) {
    switch (result.vt) {
        case VT_EMPTY:
        case VT_NULL:
            pDispatch = nullptr;
            return true;
        case VT_DISPATCH:
            // The reference moves to the caller; clearing the result must
            // not release it again.
            pDispatch = std::exchange(result.pdispVal, nullptr);
            result.vt = VT_EMPTY;
            return true;
        case VT_UNKNOWN:
            if (result.punkVal == nullptr) {
                pDispatch = nullptr;
                return true;
            }
            {
                IDispatch* pFound = nullptr;
                if (FAILED(result.punkVal->QueryInterface(IID_PPV_ARGS(&pFound)))) {
                    return false;
                }
                pDispatch = pFound;
                return true;
            }
        default:
            return false;
    }
}

bool StoreResult(VARIANT& result, VARTYPE vtRet, void* pvRet) {
    try {
        switch (vtRet) {
            case VT_EMPTY:
                return true;
            case VT_I4:
                return ToLong(result, *static_cast<long*>(pvRet));
            case VT_BOOL:
                if (FAILED(::VariantChangeType(&result, &result, 0, VT_BOOL))) {
                    return false;
                }
                *static_cast<BOOL*>(pvRet) = result.boolVal != VARIANT_FALSE;
                return true;
            case VT_R8:
                if (FAILED(::VariantChangeType(&result, &result, 0, VT_R8))) {
                    return false;
                }
                *static_cast<double*>(pvRet) = result.dblVal;
                return true;
            case VT_BSTR: {
                if (FAILED(::VariantChangeType(&result, &result, 0, VT_BSTR))) {
                    return false;
                }
                // By length: a BSTR may hold NULs.
                const BSTR text = result.bstrVal;
                std::wstring value;
                if (text != nullptr) {
                    value.assign(text, ::SysStringLen(text));
                }
                *static_cast<std::wstring*>(pvRet) = std::move(value);
                return true;
            }
            case VT_DISPATCH:
                return ToDispatch(result, *static_cast<IDispatch**>(pvRet));
            default:
                return false;
        }
    } catch (...) {
        return false;
    }
}

}  // namespace

bool AfxSetVariantArg(VARIANT& arg, int value) {
    arg.vt = VT_I4;
    arg.lVal = value;
    return true;
}

bool AfxSetVariantArg(VARIANT& arg, long value) {
    arg.vt = VT_I4;
    arg.lVal = value;
    return true;
}

bool AfxSetVariantArg(VARIANT& arg, double value) {
    arg.vt = VT_R8;
    arg.dblVal = value;
    return true;
}

bool AfxSetVariantArg(VARIANT& arg, bool value) {
    arg.vt = VT_BOOL;
    arg.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return true;
}

bool AfxSetVariantArg(VARIANT& arg, std::wstring_view value) {
    // SysAllocStringLen takes a UINT length and copies from a null pointer
    // nothing but the terminator.
    if (value.size() > 0x7FFFFFFEu) {
        return false;
    }
    const BSTR text =
        ::SysAllocStringLen(value.empty() ? L"" : value.data(), static_cast<UINT>(value.size()));
    if (text == nullptr) {
        return false;
    }
    arg.vt = VT_BSTR;
    arg.bstrVal = text;
    return true;
}

bool AfxSetVariantArg(VARIANT& arg, const wchar_t* value) {
    return AfxSetVariantArg(arg, value != nullptr ? std::wstring_view(value) : std::wstring_view());
}

bool AfxSetVariantArg(VARIANT& arg, const std::wstring& value) {
    return AfxSetVariantArg(arg, std::wstring_view(value));
}

bool AfxSetVariantArg(VARIANT& arg, IDispatch* value) {
    if (value != nullptr) {
        value->AddRef();  // VariantClear releases it after the call
    }
    arg.vt = VT_DISPATCH;
    arg.pdispVal = value;
    return true;
}

BOOL AfxInvokeDispatch(IDispatch* pDispatch, DISPID dwDispID, WORD wFlags, VARTYPE vtRet,
                       void* pvRet, VARIANTARG* pArgs, UINT nArgs) noexcept {
    if (pDispatch == nullptr || (vtRet != VT_EMPTY && pvRet == nullptr)) {
        return FALSE;
    }
    DISPID dispidNamed = DISPID_PROPERTYPUT;
    DISPPARAMS params{};
    params.rgvarg = pArgs;
    params.cArgs = nArgs;
    if ((wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
        // The value of a put travels as the one named argument.
        params.rgdispidNamedArgs = &dispidNamed;
        params.cNamedArgs = 1;
    }
    // The callee may raise events that end up here again, or release what
    // it is called on: keep it alive until the call is over.
    const CComPtr<IDispatch> pKeep(pDispatch);
    CVariantResult result;
    EXCEPINFO excepInfo{};
    UINT argErr = 0;
    const HRESULT hr =
        pKeep->Invoke(dwDispID, IID_NULL, LOCALE_USER_DEFAULT, wFlags, &params,
                      vtRet == VT_EMPTY ? nullptr : &result.m_var, &excepInfo, &argErr);
    if (hr == DISP_E_EXCEPTION) {
        if (excepInfo.pfnDeferredFillIn != nullptr) {
            excepInfo.pfnDeferredFillIn(&excepInfo);
        }
        ::SysFreeString(excepInfo.bstrSource);
        ::SysFreeString(excepInfo.bstrDescription);
        ::SysFreeString(excepInfo.bstrHelpFile);
    }
    if (FAILED(hr)) {
        return FALSE;
    }
    return StoreResult(result.m_var, vtRet, pvRet) ? TRUE : FALSE;
}

COleDispatchDriver::COleDispatchDriver(LPDISPATCH lpDispatch, BOOL bAutoRelease) noexcept
    : m_lpDispatch(lpDispatch), m_bAutoRelease(bAutoRelease) {}

COleDispatchDriver::~COleDispatchDriver() {
    ReleaseDispatch();
}

void COleDispatchDriver::AttachDispatch(LPDISPATCH lpDispatch, BOOL bAutoRelease) noexcept {
    ReleaseDispatch();
    m_lpDispatch = lpDispatch;
    m_bAutoRelease = bAutoRelease;
}

LPDISPATCH COleDispatchDriver::DetachDispatch() noexcept {
    return std::exchange(m_lpDispatch, nullptr);
}

void COleDispatchDriver::ReleaseDispatch() noexcept {
    LPDISPATCH lpDispatch = std::exchange(m_lpDispatch, nullptr);
    if (lpDispatch != nullptr && m_bAutoRelease) {
        lpDispatch->Release();
    }
}
