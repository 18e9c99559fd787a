// Control hosting for windows: COleControlWnd (InvokeHelper)
// and the event sink map that routes a control's events to handlers.
#pragma once

#include "framework/ControlSite.h"
#include "framework/OleDispatchDriver.h"
#include "framework/Wnd.h"

#include <cstddef>
#include <span>
#include <tuple>
#include <utility>

// One event sink map entry: event dispid of control nCtrlId goes to a
// handler. pfnInvoke unpacks the event's arguments and calls the handler;
// it returns false, without calling, when the arguments do not fit.
struct AFX_EVENTSINKMAP_ENTRY {
    UINT nCtrlId;
    DISPID dispid;
    bool (*pfnInvoke)(CCmdTarget* pTarget, const DISPPARAMS& params);
};

// A class's own entries, searched before its base class's map.
struct AFX_EVENTSINKMAP {
    const AFX_EVENTSINKMAP* pBaseMap;
    std::span<const AFX_EVENTSINKMAP_ENTRY> entries;
};

// Event arguments. Players pass 32-bit numbers as VT_I4 or VT_UI4
// (by value or by reference); both are taken by their bits.
bool AfxGetEventArg(const VARIANTARG& arg, long& value);
// A null object is a valid argument; the handler must not keep it.
bool AfxGetEventArg(const VARIANTARG& arg, IDispatch*& value);

namespace afx_detail {

template <typename T, typename... TArgs, size_t... I>
bool CallEventHandler(void (T::*pfn)(TArgs...), CCmdTarget* pTarget, const DISPPARAMS& params,
                      std::index_sequence<I...>) {
    if (params.cArgs != sizeof...(TArgs) || (sizeof...(TArgs) > 0 && params.rgvarg == nullptr)) {
        return false;
    }
    std::tuple<std::remove_cvref_t<TArgs>...> values{};
    // The first argument is the last in rgvarg.
    if (!(AfxGetEventArg(params.rgvarg[params.cArgs - 1 - I], std::get<I>(values)) && ...)) {
        return false;
    }
    (static_cast<T*>(pTarget)->*pfn)(std::get<I>(values)...);
    return true;
}

}  // namespace afx_detail

// The entry's pfnInvoke for a handler: AfxEventHandler<&CMyDlg::OnThing>.
// The handler's parameter types say how the arguments are read.
template <auto pfnHandler>
bool AfxEventHandler(CCmdTarget* pTarget, const DISPPARAMS& params) {
    return [&]<typename T, typename... TArgs>(void (T::*pfn)(TArgs...)) {
        return afx_detail::CallEventHandler(pfn, pTarget, params,
                                            std::index_sequence_for<TArgs...>{});
    }(pfnHandler);
}

// A window whose window is an ActiveX control's, attached to a control of a
// dialog template by DDX_Control. Calls into the control go through
// InvokeHelper; the dialog that created the control also ends it.
class COleControlWnd : public CWnd {
public:
    COleControlWnd() = default;
    // Unbinds from the control, which its dialog ends.
    ~COleControlWnd() override;

    // Destroys the control (and with it its window).
    BOOL DestroyWindow() override;

    // A property get, property put or method call on the control, as
    // COleDispatchDriver::InvokeHelper describes. FALSE without a control.
    template <typename... TArgs>
    BOOL InvokeHelper(DISPID dwDispID, WORD wFlags, VARTYPE vtRet, void* pvRet,
                      const BYTE* pbParamInfo, const TArgs&... args) noexcept {
        IDispatch* pDispatch = m_pCtrlSite ? m_pCtrlSite->GetDispatch() : nullptr;
        if (pDispatch == nullptr) {
            return FALSE;
        }
        return afx_detail::InvokeWithArgs(pDispatch, dwDispID, wFlags, vtRet, pvRet, pbParamInfo,
                                          args...);
    }

    // The control's IUnknown, no reference added; null without a control.
    LPUNKNOWN GetControlUnknown() const;

    // The site this window is bound to; set and cleared by the site.
    CComPtr<COleControlSite> m_pCtrlSite;
};
