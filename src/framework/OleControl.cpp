#include "framework/OleControl.h"

bool AfxGetEventArg(const VARIANTARG& arg, long& value) {
    const bool bByRef = (arg.vt & VT_BYREF) != 0;
    if (bByRef && arg.byref == nullptr) {
        return false;
    }
    switch (arg.vt & ~VT_BYREF) {
        case VT_I4:
            value = bByRef ? *arg.plVal : arg.lVal;
            return true;
        case VT_UI4:
            value = static_cast<long>(bByRef ? *arg.pulVal : arg.ulVal);
            return true;
        case VT_INT:
            value = bByRef ? *arg.pintVal : arg.intVal;
            return true;
        case VT_UINT:
            value = static_cast<long>(bByRef ? *arg.puintVal : arg.uintVal);
            return true;
        case VT_I2:
            value = bByRef ? *arg.piVal : arg.iVal;
            return true;
        case VT_UI2:
            value = bByRef ? *arg.puiVal : arg.uiVal;
            return true;
        default:
            return false;
    }
}

bool AfxGetEventArg(const VARIANTARG& arg, IDispatch*& value) {
    switch (arg.vt) {
        case VT_DISPATCH:
            value = arg.pdispVal;
            return true;
        case VT_DISPATCH | VT_BYREF:
            if (arg.ppdispVal == nullptr) {
                return false;
            }
            value = *arg.ppdispVal;
            return true;
        case VT_EMPTY:
        case VT_NULL:
            value = nullptr;
            return true;
        default:
            return false;
    }
}

COleControlWnd::~COleControlWnd() {
    // A local reference: the site may let go of ours on the way.
    if (CComPtr<COleControlSite> pSite(m_pCtrlSite.Get()); pSite) {
        pSite->UnbindWindow(this);
    }
}

BOOL COleControlWnd::DestroyWindow() {
    CComPtr<COleControlSite> pSite(m_pCtrlSite.Get());
    if (!pSite) {
        return CWnd::DestroyWindow();
    }
    // Closing the control takes its window with it; this object is
    // unbound first so that nothing here destroys it a second time.
    pSite->DestroyControl();
    return TRUE;
}

LPUNKNOWN COleControlWnd::GetControlUnknown() const {
    return m_pCtrlSite ? m_pCtrlSite->GetControlUnknown() : nullptr;
}
