#include "framework/ControlSite.h"

#include <olectl.h>

#include <utility>

#include "framework/Dialog.h"
#include "framework/OleControl.h"

// The control's event interface is a dispinterface, so the sink is a plain
// IDispatch that also answers to the interface's id. It only points to its
// site, and the site cuts that link when it disconnects, so a control that
// fires after being told to stop reaches nothing.
class CEventSink final : public IDispatch {
public:
    CEventSink(REFIID iid, COleControlSite* pSite) : m_iid(iid), m_pSite(pSite) {}

    void Disconnect() { m_pSite = nullptr; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IDispatch) ||
            ::IsEqualIID(iid, m_iid)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_nRef); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = --m_nRef;
        if (count == 0) {
            delete this;
        }
        return static_cast<ULONG>(count);
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pCount) override {
        if (pCount == nullptr) {
            return E_POINTER;
        }
        *pCount = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTypeInfo) override {
        if (ppTypeInfo != nullptr) {
            *ppTypeInfo = nullptr;
        }
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* pParams,
                                     VARIANT* pResult, EXCEPINFO*, UINT*) override {
        if (pResult != nullptr) {
            ::VariantInit(pResult);
        }
        if (m_pSite == nullptr) {
            return S_OK;
        }
        try {
            // The handler may tear the site down; it stays valid until the
            // event is over.
            const CComPtr<COleControlSite> pSite(m_pSite);
            static DISPPARAMS s_noParams{};
            pSite->FireEvent(dispid, pParams != nullptr ? *pParams : s_noParams);
        } catch (...) {
        }
        // The control has no use for a handler's failure.
        return S_OK;
    }

private:
    ~CEventSink() = default;

    LONG m_nRef = 1;
    IID m_iid;
    COleControlSite* m_pSite;
};

namespace {

// The control's default event interface: from its class information if it
// offers that, else its first connection point that is not the property
// change notification.
bool FindEventInterface(IUnknown* pControl, IConnectionPointContainer* pContainer, IID& iid) {
    CComPtr<IProvideClassInfo2> pClassInfo2;
    if (SUCCEEDED(pControl->QueryInterface(IID_PPV_ARGS(&pClassInfo2))) &&
        SUCCEEDED(pClassInfo2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &iid))) {
        return true;
    }
    CComPtr<IEnumConnectionPoints> pEnum;
    if (FAILED(pContainer->EnumConnectionPoints(&pEnum)) || !pEnum) {
        return false;
    }
    for (;;) {
        CComPtr<IConnectionPoint> pPoint;
        ULONG fetched = 0;
        if (pEnum->Next(1, &pPoint, &fetched) != S_OK || fetched != 1 || !pPoint) {
            return false;
        }
        IID pointIid{};
        if (SUCCEEDED(pPoint->GetConnectionInterface(&pointIid)) &&
            !::IsEqualIID(pointIid, IID_IPropertyNotifySink)) {
            iid = pointIid;
            return true;
        }
    }
}

HRESULT SetBool(VARIANT* pResult, bool value) {
    pResult->vt = VT_BOOL;
    pResult->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT SetLong(VARIANT* pResult, long value) {
    pResult->vt = VT_I4;
    pResult->lVal = value;
    return S_OK;
}

// OLE_COLOR of a system colour.
long SystemColor(int index) {
    return static_cast<long>(0x80000000u | static_cast<unsigned>(index));
}

}  // namespace

CComPtr<COleControlSite> COleControlSite::Create(HWND hWndContainer, CDialog* pEventTarget) {
    CComPtr<COleControlSite> pSite;
    pSite.Attach(new COleControlSite(hWndContainer, pEventTarget));
    return pSite;
}

COleControlSite::COleControlSite(HWND hWndContainer, CDialog* pEventTarget)
    : m_hWndContainer(hWndContainer), m_pEventTarget(pEventTarget) {}

COleControlSite::~COleControlSite() = default;

BOOL COleControlSite::CreateControl(REFCLSID clsid, DWORD style, const RECT& rect, UINT nID,
                                    IStream* pInitStream) {
    if (m_pObject || m_bDestroyed) {
        return FALSE;
    }
    m_nID = nID;
    m_rect = rect;
    CComPtr<IOleObject> pObject;
    if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&pObject))) ||
        !pObject) {
        return FALSE;
    }
    m_pObject.Attach(pObject.Detach());

    DWORD miscStatus = 0;
    if (FAILED(m_pObject->GetMiscStatus(DVASPECT_CONTENT, &miscStatus))) {
        miscStatus = 0;
    }
    const bool bSiteFirst = (miscStatus & OLEMISC_SETCLIENTSITEFIRST) != 0;
    if (bSiteFirst) {
        m_pObject->SetClientSite(this);
    }
    CComPtr<IPersistStreamInit> pPersist;
    if (SUCCEEDED(m_pObject->QueryInterface(IID_PPV_ARGS(&pPersist))) && pPersist) {
        // A control that cannot read the stored state still works from its
        // own defaults, which is better than no control at all.
        if (pInitStream == nullptr || FAILED(pPersist->Load(pInitStream))) {
            pPersist->InitNew();
        }
    }
    if (!bSiteFirst) {
        m_pObject->SetClientSite(this);
    }
    if (FAILED(m_pObject->QueryInterface(IID_PPV_ARGS(&m_pDispatch)))) {
        m_pDispatch.Release();
    }
    // Before activation, so that events raised while it starts are seen.
    ConnectSink();

    RECT activeRect = m_rect;
    const CComPtr<IOleObject> pActivating(m_pObject.Get());
    const HRESULT hrActivate = pActivating->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, this, 0,
                                                   m_hWndContainer, &activeRect);
    if (m_bDestroyed) {
        return FALSE;  // taken down by an event raised while it started
    }
    if (SUCCEEDED(hrActivate)) {
        if (SUCCEEDED(m_pObject->QueryInterface(IID_PPV_ARGS(&m_pInPlaceObject))) &&
            m_pInPlaceObject) {
            HWND hWndCtrl = nullptr;
            if (SUCCEEDED(m_pInPlaceObject->GetWindow(&hWndCtrl)) && ::IsWindow(hWndCtrl)) {
                m_hWndCtrl = hWndCtrl;
            }
        } else {
            m_pInPlaceObject.Release();
        }
    }
    if (m_hWndCtrl != nullptr) {
        // So that the container finds it by its child id.
        ::SetWindowLongPtrW(m_hWndCtrl, GWLP_ID, static_cast<LONG_PTR>(nID));
        if ((style & WS_VISIBLE) == 0) {
            ::ShowWindow(m_hWndCtrl, SW_HIDE);
        }
    }
    return TRUE;
}

void COleControlSite::DestroyControl() {
    if (m_bDestroyed) {
        return;
    }
    m_bDestroyed = true;
    // Whoever called may hold the last reference other than the control's.
    const CComPtr<COleControlSite> pKeep(this);
    DisconnectSink();
    if (m_pWndCtrl != nullptr) {
        UnbindWindow(m_pWndCtrl);
    }
    if (CComPtr<IOleInPlaceObject> pInPlace = std::move(m_pInPlaceObject)) {
        pInPlace->InPlaceDeactivate();
    }
    if (CComPtr<IOleObject> pObject = std::move(m_pObject)) {
        pObject->Close(OLECLOSE_NOSAVE);
        pObject->SetClientSite(nullptr);
    }
    m_pDispatch.Release();
    m_hWndCtrl = nullptr;
    m_pEventTarget = nullptr;
}

BOOL COleControlSite::BindWindow(COleControlWnd* pWnd) {
    if (pWnd == nullptr || m_bDestroyed || m_pWndCtrl != nullptr || pWnd->m_pCtrlSite) {
        return FALSE;
    }
    // A control without a window of its own can still be called.
    if (m_hWndCtrl != nullptr && !pWnd->Attach(m_hWndCtrl)) {
        return FALSE;
    }
    m_pWndCtrl = pWnd;
    AddRef();
    pWnd->m_pCtrlSite.Attach(this);
    return TRUE;
}

void COleControlSite::UnbindWindow(COleControlWnd* pWnd) {
    if (pWnd == nullptr || pWnd != m_pWndCtrl) {
        return;
    }
    m_pWndCtrl = nullptr;
    // Before the control's window goes: a CWnd would otherwise destroy it.
    if (pWnd->m_hWnd != nullptr) {
        (void)pWnd->Detach();
    }
    // The reference that goes here is never the last: the caller holds one.
    pWnd->m_pCtrlSite.Release();
}

void COleControlSite::FireEvent(DISPID dispid, const DISPPARAMS& params) {
    if (m_pEventTarget != nullptr && !m_bDestroyed) {
        m_pEventTarget->OnEvent(m_nID, dispid, params);
    }
}

void COleControlSite::ConnectSink() {
    CComPtr<IConnectionPointContainer> pContainer;
    if (FAILED(m_pObject->QueryInterface(IID_PPV_ARGS(&pContainer))) || !pContainer) {
        return;
    }
    IID iid{};
    if (!FindEventInterface(m_pObject.Get(), pContainer.Get(), iid)) {
        return;
    }
    CComPtr<IConnectionPoint> pPoint;
    if (FAILED(pContainer->FindConnectionPoint(iid, &pPoint)) || !pPoint) {
        return;
    }
    CComPtr<CEventSink> pSink;
    pSink.Attach(new CEventSink(iid, this));
    DWORD cookie = 0;
    if (FAILED(pPoint->Advise(static_cast<IDispatch*>(pSink.Get()), &cookie))) {
        pSink->Disconnect();
        return;
    }
    m_pEventPoint.Attach(pPoint.Detach());
    m_pEventSink.Attach(pSink.Detach());
    m_dwEventCookie = cookie;
}

void COleControlSite::DisconnectSink() {
    if (m_pEventSink) {
        m_pEventSink->Disconnect();
    }
    if (m_pEventPoint) {
        m_pEventPoint->Unadvise(m_dwEventCookie);
    }
    m_pEventPoint.Release();
    m_pEventSink.Release();
    m_dwEventCookie = 0;
}

HRESULT COleControlSite::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IOleClientSite)) {
        *ppv = static_cast<IOleClientSite*>(this);
    } else if (::IsEqualIID(iid, IID_IOleWindow) || ::IsEqualIID(iid, IID_IOleInPlaceSite) ||
               ::IsEqualIID(iid, IID_IOleInPlaceSiteEx)) {
        *ppv = static_cast<IOleInPlaceSiteEx*>(this);
    } else if (::IsEqualIID(iid, IID_IOleInPlaceUIWindow) ||
               ::IsEqualIID(iid, IID_IOleInPlaceFrame)) {
        *ppv = static_cast<IOleInPlaceFrame*>(this);
    } else if (::IsEqualIID(iid, IID_IDispatch)) {
        *ppv = static_cast<IDispatch*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG COleControlSite::AddRef() {
    return static_cast<ULONG>(++m_nRef);
}

ULONG COleControlSite::Release() {
    const LONG count = --m_nRef;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

HRESULT COleControlSite::SaveObject() {
    return E_NOTIMPL;
}

HRESULT COleControlSite::GetMoniker(DWORD, DWORD, IMoniker** ppMoniker) {
    if (ppMoniker != nullptr) {
        *ppMoniker = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT COleControlSite::GetContainer(IOleContainer** ppContainer) {
    if (ppContainer != nullptr) {
        *ppContainer = nullptr;
    }
    return E_NOINTERFACE;
}

HRESULT COleControlSite::ShowObject() {
    return S_OK;
}

HRESULT COleControlSite::OnShowWindow(BOOL) {
    return S_OK;
}

HRESULT COleControlSite::RequestNewObjectLayout() {
    return E_NOTIMPL;
}

HRESULT COleControlSite::GetWindow(HWND* phWnd) {
    if (phWnd == nullptr) {
        return E_POINTER;
    }
    *phWnd = m_hWndContainer;
    return m_hWndContainer != nullptr ? S_OK : E_FAIL;
}

HRESULT COleControlSite::ContextSensitiveHelp(BOOL) {
    return S_OK;
}

HRESULT COleControlSite::CanInPlaceActivate() {
    return m_bDestroyed ? S_FALSE : S_OK;
}

HRESULT COleControlSite::OnInPlaceActivate() {
    m_bInPlaceActive = true;
    return S_OK;
}

HRESULT COleControlSite::OnUIActivate() {
    return S_OK;
}

HRESULT COleControlSite::GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc,
                                          RECT* pPosRect, RECT* pClipRect,
                                          OLEINPLACEFRAMEINFO* pFrameInfo) {
    if (ppFrame == nullptr || ppDoc == nullptr || pPosRect == nullptr || pClipRect == nullptr) {
        return E_POINTER;
    }
    *ppFrame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *ppDoc = nullptr;
    *pPosRect = m_rect;
    *pClipRect = m_rect;
    if (pFrameInfo != nullptr) {
        // cb is the caller's to fill in.
        pFrameInfo->fMDIApp = FALSE;
        pFrameInfo->hwndFrame = m_hWndContainer;
        pFrameInfo->haccel = nullptr;
        pFrameInfo->cAccelEntries = 0;
    }
    return S_OK;
}

HRESULT COleControlSite::Scroll(SIZE) {
    return S_FALSE;
}

HRESULT COleControlSite::OnUIDeactivate(BOOL) {
    return S_OK;
}

HRESULT COleControlSite::OnInPlaceDeactivate() {
    m_bInPlaceActive = false;
    return S_OK;
}

HRESULT COleControlSite::DiscardUndoState() {
    return S_OK;
}

HRESULT COleControlSite::DeactivateAndUndo() {
    if (m_pInPlaceObject) {
        m_pInPlaceObject->UIDeactivate();
    }
    return S_OK;
}

HRESULT COleControlSite::OnPosRectChange(const RECT* pPosRect) {
    if (pPosRect == nullptr) {
        return E_POINTER;
    }
    m_rect = *pPosRect;
    if (m_pInPlaceObject) {
        m_pInPlaceObject->SetObjectRects(&m_rect, &m_rect);
    }
    return S_OK;
}

HRESULT COleControlSite::OnInPlaceActivateEx(BOOL* pNoRedraw, DWORD) {
    if (pNoRedraw != nullptr) {
        *pNoRedraw = FALSE;
    }
    m_bInPlaceActive = true;
    return S_OK;
}

HRESULT COleControlSite::OnInPlaceDeactivateEx(BOOL) {
    m_bInPlaceActive = false;
    return S_OK;
}

HRESULT COleControlSite::RequestUIActivate() {
    return S_OK;
}

HRESULT COleControlSite::GetBorder(RECT* pBorder) {
    if (pBorder != nullptr) {
        ::SetRectEmpty(pBorder);
    }
    return INPLACE_E_NOTOOLSPACE;
}

HRESULT COleControlSite::RequestBorderSpace(LPCBORDERWIDTHS) {
    return INPLACE_E_NOTOOLSPACE;
}

HRESULT COleControlSite::SetBorderSpace(LPCBORDERWIDTHS) {
    return S_OK;
}

HRESULT COleControlSite::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) {
    return S_OK;
}

HRESULT COleControlSite::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) {
    return E_NOTIMPL;
}

HRESULT COleControlSite::SetMenu(HMENU, HOLEMENU, HWND) {
    return S_OK;
}

HRESULT COleControlSite::RemoveMenus(HMENU) {
    return E_NOTIMPL;
}

HRESULT COleControlSite::SetStatusText(LPCOLESTR) {
    return S_OK;
}

HRESULT COleControlSite::EnableModeless(BOOL) {
    return S_OK;
}

HRESULT COleControlSite::TranslateAccelerator(LPMSG, WORD) {
    return S_FALSE;
}

HRESULT COleControlSite::GetTypeInfoCount(UINT* pCount) {
    if (pCount == nullptr) {
        return E_POINTER;
    }
    *pCount = 0;
    return S_OK;
}

HRESULT COleControlSite::GetTypeInfo(UINT, LCID, ITypeInfo** ppTypeInfo) {
    if (ppTypeInfo != nullptr) {
        *ppTypeInfo = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT COleControlSite::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}

HRESULT COleControlSite::Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS*,
                                VARIANT* pResult, EXCEPINFO*, UINT*) {
    if ((flags & DISPATCH_PROPERTYGET) == 0) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (pResult == nullptr) {
        return E_POINTER;
    }
    ::VariantInit(pResult);
    // A hidden container that runs the control for real: user mode, no
    // design-time decorations.
    switch (dispid) {
        case DISPID_AMBIENT_USERMODE:
        case DISPID_AMBIENT_AUTOCLIP:
            return SetBool(pResult, true);
        case DISPID_AMBIENT_UIDEAD:
        case DISPID_AMBIENT_SHOWGRABHANDLES:
        case DISPID_AMBIENT_SHOWHATCHING:
        case DISPID_AMBIENT_MESSAGEREFLECT:
        case DISPID_AMBIENT_DISPLAYASDEFAULT:
        case DISPID_AMBIENT_SUPPORTSMNEMONICS:
            return SetBool(pResult, false);
        case DISPID_AMBIENT_LOCALEID:
            return SetLong(pResult, static_cast<long>(::GetUserDefaultLCID()));
        case DISPID_AMBIENT_BACKCOLOR:
            return SetLong(pResult, SystemColor(COLOR_BTNFACE));
        case DISPID_AMBIENT_FORECOLOR:
            return SetLong(pResult, SystemColor(COLOR_BTNTEXT));
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}
