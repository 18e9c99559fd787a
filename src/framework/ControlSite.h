// COleControlSite: where one ActiveX control lives in its container window.
#pragma once

#include "framework/Handles.h"

#include <ole2.h>
#include <ocidl.h>

class CDialog;
class COleControlWnd;
class CEventSink;

// The site of one control: its client site, in-place site (the extended one:
// some controls refuse in-place activation without it), in-place frame and
// ambient properties. It creates the control, activates it in place in the
// container window and routes its events to the container's event sink map.
// Reference counted like any COM object; whoever created it holds one
// reference and calls DestroyControl before letting go.
class COleControlSite final : public IOleClientSite,
                              public IOleInPlaceSiteEx,
                              public IOleInPlaceFrame,
                              public IDispatch {
public:
    // hWndContainer is the parent of the control's window; pEventTarget
    // (may be null) gets the control's events.
    static CComPtr<COleControlSite> Create(HWND hWndContainer, CDialog* pEventTarget);

    // Creates the control, loads it from pInitStream when given (otherwise,
    // or when it cannot read the stream, it starts from its defaults),
    // connects the event sink and activates it in place at rect (pixels,
    // container client coordinates). A control that cannot be activated
    // keeps running without a window. FALSE if the control cannot be made.
    BOOL CreateControl(REFCLSID clsid, DWORD style, const RECT& rect, UINT nID,
                       IStream* pInitStream);
    // Disconnects the event sink, unbinds the window object, deactivates,
    // closes and releases the control. Safe to call more than once, and
    // from inside one of the control's own events.
    void DestroyControl();

    // Makes pWnd the object of the control's window (DDX_Control).
    BOOL BindWindow(COleControlWnd* pWnd);
    void UnbindWindow(COleControlWnd* pWnd);

    // Routes one event of the control to the container's sink map.
    void FireEvent(DISPID dispid, const DISPPARAMS& params);

    UINT GetID() const { return m_nID; }
    HWND GetControlWindow() const { return m_hWndCtrl; }
    // Null once the control is gone or if it has no automation interface.
    IDispatch* GetDispatch() const { return m_pDispatch.Get(); }
    IUnknown* GetControlUnknown() const { return m_pObject.Get(); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override;
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD whichMoniker,
                                         IMoniker** ppMoniker) override;
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** ppContainer) override;
    HRESULT STDMETHODCALLTYPE ShowObject() override;
    HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL show) override;
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override;

    // IOleWindow, shared by the in-place site and the in-place frame: both
    // are the container window.
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* phWnd) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enterMode) override;

    // IOleInPlaceSite
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override;
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override;
    HRESULT STDMETHODCALLTYPE OnUIActivate() override;
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** ppFrame,
                                               IOleInPlaceUIWindow** ppDoc, RECT* pPosRect,
                                               RECT* pClipRect,
                                               OLEINPLACEFRAMEINFO* pFrameInfo) override;
    HRESULT STDMETHODCALLTYPE Scroll(SIZE scrollExtent) override;
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(BOOL undoable) override;
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override;
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override;
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override;
    HRESULT STDMETHODCALLTYPE OnPosRectChange(const RECT* pPosRect) override;

    // IOleInPlaceSiteEx
    HRESULT STDMETHODCALLTYPE OnInPlaceActivateEx(BOOL* pNoRedraw, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivateEx(BOOL noRedraw) override;
    HRESULT STDMETHODCALLTYPE RequestUIActivate() override;

    // IOleInPlaceUIWindow
    HRESULT STDMETHODCALLTYPE GetBorder(RECT* pBorder) override;
    HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS pBorderWidths) override;
    HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS pBorderWidths) override;
    HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject* pActiveObject,
                                              LPCOLESTR objName) override;

    // IOleInPlaceFrame
    HRESULT STDMETHODCALLTYPE InsertMenus(HMENU hMenuShared,
                                          LPOLEMENUGROUPWIDTHS pMenuWidths) override;
    HRESULT STDMETHODCALLTYPE SetMenu(HMENU hMenuShared, HOLEMENU hOleMenu,
                                      HWND hWndActiveObject) override;
    HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU hMenuShared) override;
    HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR statusText) override;
    HRESULT STDMETHODCALLTYPE EnableModeless(BOOL enable) override;
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG pMsg, WORD id) override;

    // IDispatch: the ambient properties.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pCount) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** ppTypeInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* pDispIds) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* pParams, VARIANT* pResult, EXCEPINFO* pExcepInfo,
                                     UINT* pArgErr) override;

private:
    COleControlSite(HWND hWndContainer, CDialog* pEventTarget);
    ~COleControlSite();

    void ConnectSink();
    void DisconnectSink();

    LONG m_nRef = 1;
    HWND m_hWndContainer;
    CDialog* m_pEventTarget;
    UINT m_nID = 0;
    RECT m_rect{};
    HWND m_hWndCtrl = nullptr;
    bool m_bInPlaceActive = false;
    bool m_bDestroyed = false;
    COleControlWnd* m_pWndCtrl = nullptr;
    CComPtr<IOleObject> m_pObject;
    CComPtr<IOleInPlaceObject> m_pInPlaceObject;
    CComPtr<IDispatch> m_pDispatch;
    CComPtr<IConnectionPoint> m_pEventPoint;
    CComPtr<CEventSink> m_pEventSink;
    DWORD m_dwEventCookie = 0;
};
