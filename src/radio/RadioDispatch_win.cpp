#include "radio/RadioDispatch_win.h"

#include <new>

namespace radio {

HRESULT FindDispIds(std::span<const CDispName> table, LPOLESTR* names, UINT count, DISPID* ids) {
    if (names == nullptr || ids == nullptr) {
        return E_POINTER;
    }
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        // Only the member name (the first) is looked up; this surface has
        // no named parameters.
        if (i == 0 && names[0] != nullptr) {
            for (const CDispName& entry : table) {
                if (::CompareStringOrdinal(names[0], -1, entry.pszName, -1, TRUE) == CSTR_EQUAL) {
                    ids[0] = entry.id;
                    break;
                }
            }
        }
        if (ids[i] == DISPID_UNKNOWN) {
            hr = DISP_E_UNKNOWNNAME;
        }
    }
    return hr;
}

namespace {

HRESULT Coerce(VARIANT& source, VARTYPE type, CVariant& value, UINT* argErr, UINT position) {
    // By-reference arguments are dereferenced by the coercion itself.
    const HRESULT hr = ::VariantChangeType(&value.Get(), &source, 0, type);
    if (FAILED(hr)) {
        if (argErr != nullptr) {
            *argErr = position;
        }
        return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

}  // namespace

HRESULT PutArgument(DISPPARAMS* params, VARTYPE type, CVariant& value, UINT* argErr) {
    if (params == nullptr || params->cArgs != 1 || params->rgvarg == nullptr) {
        return DISP_E_BADPARAMCOUNT;
    }
    if (params->cNamedArgs > 1 ||
        (params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)) {
        return DISP_E_PARAMNOTFOUND;
    }
    return Coerce(params->rgvarg[0], type, value, argErr, 0);
}

HRESULT CallArgument(DISPPARAMS* params, UINT index, UINT count, VARTYPE type, CVariant& value,
                     UINT* argErr) {
    if (params == nullptr || params->cArgs != count || params->rgvarg == nullptr) {
        return DISP_E_BADPARAMCOUNT;
    }
    if (params->cNamedArgs != 0) {
        return DISP_E_NONAMEDARGS;
    }
    // Arguments arrive last first.
    const UINT position = count - 1 - index;
    return Coerce(params->rgvarg[position], type, value, argErr, position);
}

HRESULT NoArguments(DISPPARAMS* params) {
    return params == nullptr || params->cArgs == 0 ? S_OK : DISP_E_BADPARAMCOUNT;
}

HRESULT ReturnLong(VARIANT* result, LONG value) {
    result->vt = VT_I4;
    result->lVal = value;
    return S_OK;
}

HRESULT ReturnDouble(VARIANT* result, double value) {
    result->vt = VT_R8;
    result->dblVal = value;
    return S_OK;
}

HRESULT ReturnBool(VARIANT* result, bool value) {
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT ReturnString(VARIANT* result, const std::u16string& value) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    BSTR text = ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(value.data()),
                                    static_cast<UINT>(value.size()));
    if (text == nullptr) {
        return E_OUTOFMEMORY;
    }
    result->vt = VT_BSTR;
    result->bstrVal = text;
    return S_OK;
}

HRESULT ReturnDispatch(VARIANT* result, IDispatch* pDispatch) {
    result->vt = VT_DISPATCH;
    result->pdispVal = pDispatch;
    return S_OK;
}

HRESULT CDispatchObject::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IDispatch)) {
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CDispatchObject::AddRef() {
    return ++m_nRefs;
}

ULONG CDispatchObject::Release() {
    const ULONG count = --m_nRefs;
    if (count == 0) {
        delete this;
    }
    return count;
}

HRESULT NoTypeInfoCount(UINT* pCount) {
    if (pCount == nullptr) {
        return E_POINTER;
    }
    *pCount = 0;
    return S_OK;
}

HRESULT NoTypeInfo(ITypeInfo** ppInfo) {
    if (ppInfo != nullptr) {
        *ppInfo = nullptr;
    }
    return DISP_E_BADINDEX;
}

HRESULT CDispatchObject::GetTypeInfoCount(UINT* pCount) {
    return NoTypeInfoCount(pCount);
}

HRESULT CDispatchObject::GetTypeInfo(UINT, LCID, ITypeInfo** ppInfo) {
    return NoTypeInfo(ppInfo);
}

HRESULT CDispatchObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    return FindDispIds(Names(), names, count, ids);
}

HRESULT CDispatchObject::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO*, UINT* argErr) {
    if (!::IsEqualIID(iid, IID_NULL)) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    VARIANT scratch;
    ::VariantInit(&scratch);
    VARIANT* out = result != nullptr ? result : &scratch;
    if (result != nullptr) {
        ::VariantInit(result);
    }
    HRESULT hr;
    try {
        hr = InvokeMember(id, flags, params, out, argErr);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    ::VariantClear(&scratch);
    return hr;
}

}  // namespace radio
