// CRadioPlayer: the control itself. An in-place activatable object with the
// player's automation surface, its persisted form and its event connection
// point; the playing is done by one engine session per URL (RadioEngine).
//
// Everything here runs on the thread that created the control. Engine
// notices arrive as messages to a message-only window of the control and
// events are raised from there, never from inside the call that caused
// them, except for the stop's "stopped", which the host expects to see
// while it is still inside the stop.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/Handles.h"
#include "player/PlayerContract.h"
#include "radio/MediaInfo.h"
#include "radio/PlayState.h"
#include "radio/PlayerProperties.h"
#include "radio/RadioEngine_win.h"
#include "radio/RadioErrors.h"

namespace radio {

// The class id the player registers for, and its event interface.
inline constexpr CLSID kClsidRadioPlayer = player::AsGuid<CLSID>(player::kPlayerClassId);
inline constexpr IID kDiidPlayerEvents = player::AsGuid<IID>(player::kPlayerEventsId);

// Event dispatch ids.
using player::kEventError;
using player::kEventMediaChange;
using player::kEventOpenStateChange;
using player::kEventPlayStateChange;

class CRadioPlayer;

// The event connection point; its lifetime is the player's.
class CPlayerEventPoint final : public IConnectionPoint {
public:
    explicit CPlayerEventPoint(CRadioPlayer& player) : m_player(player) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** pp) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pSink, DWORD* pCookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

    // The sinks at this moment, each with a reference of its own, so that
    // one that unadvises while an event runs stays valid until it returns.
    std::vector<CComPtr<IDispatch>> Sinks() const;
    void Clear() { m_sinks.clear(); }

private:
    CRadioPlayer& m_player;
    // A list: CComPtr is move-only and erasing from a list moves nothing.
    std::list<std::pair<DWORD, CComPtr<IDispatch>>> m_sinks;
    DWORD m_dwNextCookie = 1;
};

class CRadioPlayer final : public IDispatch,
                           public IOleObject,
                           public IOleInPlaceObject,
                           public IOleControl,
                           public IPersistStreamInit,
                           public IConnectionPointContainer,
                           public IProvideClassInfo2 {
public:
    // The object with one reference, or null if its window could not be made.
    static CRadioPlayer* Create();

    // What the automation objects use.
    void Play();
    void Stop();
    void Pause();
    int32_t Volume() const { return m_props.nVolume; }
    void SetVolume(int32_t volume);
    bool Mute() const { return m_props.bMute; }
    void SetMute(bool mute);
    bool AutoStart() const { return m_props.bAutoStart; }
    void SetAutoStart(bool autoStart) { m_props.bAutoStart = autoStart; }
    bool ErrorDialogs() const { return m_props.bEnableErrorDialogs; }
    void SetErrorDialogs(bool enable) { m_props.bEnableErrorDialogs = enable; }
    const std::vector<CRadioFailure>& Errors() const { return m_errors; }
    void ClearErrors() { m_errors.clear(); }
    PlayState State() const { return m_machine.State(); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pCount) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** ppInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                     UINT* argErr) override;

    // IOleObject
    HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* pSite) override;
    HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** ppSite) override;
    HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR app, LPCOLESTR obj) override;
    HRESULT STDMETHODCALLTYPE Close(DWORD saveOption) override;
    HRESULT STDMETHODCALLTYPE SetMoniker(DWORD which, IMoniker* pmk) override;
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD which, IMoniker** ppmk) override;
    HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* pData, BOOL creation,
                                           DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD reserved, IDataObject** ppData) override;
    HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG msg, IOleClientSite* pSite, LONG index,
                                     HWND hWndParent, LPCRECT pRect) override;
    HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** ppEnum) override;
    HRESULT STDMETHODCALLTYPE Update() override;
    HRESULT STDMETHODCALLTYPE IsUpToDate() override;
    HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* pClsid) override;
    HRESULT STDMETHODCALLTYPE GetUserType(DWORD form, LPOLESTR* pType) override;
    HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* pSize) override;
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* pSize) override;
    HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* pSink, DWORD* pConnection) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD connection) override;
    HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** ppEnum) override;
    HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* pStatus) override;
    HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* pLogpal) override;

    // IOleWindow / IOleInPlaceObject
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* phWnd) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enterMode) override;
    HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override;
    HRESULT STDMETHODCALLTYPE UIDeactivate() override;
    HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT pPos, LPCRECT pClip) override;
    HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override;

    // IOleControl
    HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* pInfo) override;
    HRESULT STDMETHODCALLTYPE OnMnemonic(MSG* pMsg) override;
    HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID id) override;
    HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL freeze) override;

    // IPersist / IPersistStreamInit
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClsid) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override;
    HRESULT STDMETHODCALLTYPE Load(IStream* pStream) override;
    HRESULT STDMETHODCALLTYPE Save(IStream* pStream, BOOL clearDirty) override;
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pSize) override;
    HRESULT STDMETHODCALLTYPE InitNew() override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** ppPoint) override;

    // IProvideClassInfo2
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppInfo) override;
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* pGuid) override;

private:
    // An event decided on this thread, raised from the message loop.
    struct CPendingEvent {
        DISPID id;
        int32_t nValue;
    };

    CRadioPlayer();
    ~CRadioPlayer();
    bool CreateNoticeWindow();
    static LRESULT CALLBACK NoticeWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);

    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, UINT* argErr);
    void PutUrl(std::u16string url);
    void StartSession();
    void EndSession();
    // Queues the announced states as PlayStateChange events.
    void Defer(const std::vector<PlayState>& states);
    void DeferEvent(DISPID id, int32_t value);
    void RaiseStates(const std::vector<PlayState>& states);
    void RaiseEvent(DISPID id, VARIANTARG* args, UINT count);
    void RaiseIntEvent(DISPID id, int32_t value);
    void RaiseMediaChange();
    void ProcessNotices();
    void Handle(CNotice& notice);

    std::atomic<ULONG> m_nRefs{1};
    CPlayerEventPoint m_eventPoint;
    CWindowHandle m_hNoticeWnd;
    HWND m_hWnd = nullptr;  // the in-place window, while active
    CComPtr<IOleClientSite> m_pClientSite;
    CComPtr<IOleInPlaceSite> m_pInPlaceSite;
    SIZEL m_extent{11986, 6376};
    int m_nFreeze = 0;
    bool m_bProcessing = false;

    CPlayerProperties m_props;
    std::u16string m_strUrl;
    CPlayStateMachine m_machine;
    std::shared_ptr<CEngineShared> m_pSession;
    std::deque<CPendingEvent> m_pending;
    std::vector<CRadioFailure> m_errors;
    CStreamInfo m_media;
    bool m_bHaveMedia = false;
};

}  // namespace radio
