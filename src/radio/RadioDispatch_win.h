// Plumbing shared by the player's automation objects: name tables, argument
// coercion, results, and a reference-counted IDispatch base that keeps
// exceptions inside.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <span>
#include <string>

namespace radio {

// Objects alive in this DLL, for DllCanUnloadNow.
void ModuleAddRef();
void ModuleRelease();
HMODULE ModuleHandle();

struct CDispName {
    const wchar_t* pszName;
    DISPID id;
};

// Case-insensitive, as automation clients expect. Unknown names get
// DISPID_UNKNOWN and the call fails with DISP_E_UNKNOWNNAME.
HRESULT FindDispIds(std::span<const CDispName> table, LPOLESTR* names, UINT count, DISPID* ids);

// Our objects publish no type information: IDispatch's two type-info calls
// answer the same for every one of them.
HRESULT NoTypeInfoCount(UINT* pCount);
HRESULT NoTypeInfo(ITypeInfo** ppInfo);

inline bool IsGet(WORD flags) {
    return (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0;
}
inline bool IsPut(WORD flags) {
    return (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
}

// A VARIANT that clears itself.
class CVariant {
public:
    CVariant() { ::VariantInit(&m_value); }
    ~CVariant() { ::VariantClear(&m_value); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
    VARIANT* operator&() { return &m_value; }
    VARIANT& Get() { return m_value; }

private:
    VARIANT m_value;
};

// The value of a property put (the argument named DISPID_PROPERTYPUT, or the
// only one), coerced to type.
HRESULT PutArgument(DISPPARAMS* params, VARTYPE type, CVariant& value, UINT* argErr);
// Positional argument index of a call that takes `count` arguments.
HRESULT CallArgument(DISPPARAMS* params, UINT index, UINT count, VARTYPE type, CVariant& value,
                     UINT* argErr);
HRESULT NoArguments(DISPPARAMS* params);

HRESULT ReturnLong(VARIANT* result, LONG value);
HRESULT ReturnDouble(VARIANT* result, double value);
HRESULT ReturnBool(VARIANT* result, bool value);
HRESULT ReturnString(VARIANT* result, const std::u16string& value);
// Hands over one reference of pDispatch (which may be null).
HRESULT ReturnDispatch(VARIANT* result, IDispatch* pDispatch);

// IUnknown + IDispatch for the small automation objects. They start with
// one reference, owned by whoever made them.
class CDispatchObject : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pCount) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** ppInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                     UINT* argErr) override;

protected:
    CDispatchObject() { ModuleAddRef(); }
    virtual ~CDispatchObject() { ModuleRelease(); }

    virtual std::span<const CDispName> Names() const = 0;
    // result is initialised (VT_EMPTY) and never null.
    virtual HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                                 UINT* argErr) = 0;

private:
    std::atomic<ULONG> m_nRefs{1};
};

}  // namespace radio
