#include "radio/RadioPlayer_win.h"

#include <cstring>
#include <new>

#include "framework/WideText.h"
#include "radio/RadioAutomation_win.h"
#include "radio/RadioDispatch_win.h"

namespace radio {

namespace {

constexpr UINT kNoticeMsg = WM_APP + 1;
constexpr wchar_t kNoticeClass[] = L"TunaraRadioPlayerNotice";
constexpr wchar_t kViewClass[] = L"TunaraRadioPlayerView";
// A host that never empties the queue must not make it grow for ever.
constexpr size_t kMaxQueuedErrors = 16;

// Open states, in the control's numbering.
constexpr int32_t kOpenUndefined = 0;
constexpr int32_t kOpenMediaChanging = 8;
constexpr int32_t kOpenMediaOpen = 13;

using player::kDispClose;
using player::kDispControls;
using player::kDispCurrentMedia;
using player::kDispError;
using player::kDispOpenState;
using player::kDispPlayState;
using player::kDispSettings;
using player::kDispUrl;

constexpr CDispName kPlayerNames[] = {{L"URL", kDispUrl},
                                      {L"openState", kDispOpenState},
                                      {L"close", kDispClose},
                                      {L"controls", kDispControls},
                                      {L"settings", kDispSettings},
                                      {L"currentMedia", kDispCurrentMedia},
                                      {L"playState", kDispPlayState},
                                      {L"error", kDispError}};

bool RegisterWindowClasses() {
    static const bool s_bRegistered = [] {
        WNDCLASSEXW notice{};
        notice.cbSize = sizeof notice;
        notice.lpfnWndProc = ::DefWindowProcW;
        notice.hInstance = ModuleHandle();
        notice.lpszClassName = kNoticeClass;
        WNDCLASSEXW view{};
        view.cbSize = sizeof view;
        view.lpfnWndProc = ::DefWindowProcW;
        view.hInstance = ModuleHandle();
        view.hbrBackground = static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH));
        view.lpszClassName = kViewClass;
        const bool noticeOk =
            ::RegisterClassExW(&notice) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        const bool viewOk =
            ::RegisterClassExW(&view) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        return noticeOk && viewOk;
    }();
    return s_bRegistered;
}

// Keeps the player alive while it raises events: a handler may let go of
// the host's last reference.
class CSelfReference {
public:
    explicit CSelfReference(CRadioPlayer& player) : m_player(player) { m_player.AddRef(); }
    ~CSelfReference() { m_player.Release(); }
    CSelfReference(const CSelfReference&) = delete;
    CSelfReference& operator=(const CSelfReference&) = delete;

private:
    CRadioPlayer& m_player;
};

}  // namespace

// --- the event connection point ---------------------------------------

HRESULT CPlayerEventPoint::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IConnectionPoint)) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CPlayerEventPoint::AddRef() {
    return m_player.AddRef();
}

ULONG CPlayerEventPoint::Release() {
    return m_player.Release();
}

HRESULT CPlayerEventPoint::GetConnectionInterface(IID* pIid) {
    if (pIid == nullptr) {
        return E_POINTER;
    }
    *pIid = kDiidPlayerEvents;
    return S_OK;
}

HRESULT CPlayerEventPoint::GetConnectionPointContainer(IConnectionPointContainer** pp) {
    if (pp == nullptr) {
        return E_POINTER;
    }
    *pp = static_cast<IConnectionPointContainer*>(&m_player);
    m_player.AddRef();
    return S_OK;
}

HRESULT CPlayerEventPoint::Advise(IUnknown* pSink, DWORD* pCookie) {
    if (pSink == nullptr || pCookie == nullptr) {
        return E_POINTER;
    }
    *pCookie = 0;
    CComPtr<IDispatch> pDispatch;
    if (FAILED(pSink->QueryInterface(kDiidPlayerEvents, reinterpret_cast<void**>(&pDispatch))) ||
        !pDispatch) {
        if (FAILED(pSink->QueryInterface(IID_PPV_ARGS(&pDispatch))) || !pDispatch) {
            return CONNECT_E_CANNOTCONNECT;
        }
    }
    try {
        m_sinks.emplace_back(m_dwNextCookie, std::move(pDispatch));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    *pCookie = m_dwNextCookie++;
    return S_OK;
}

HRESULT CPlayerEventPoint::Unadvise(DWORD cookie) {
    for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
        if (it->first == cookie) {
            m_sinks.erase(it);
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

HRESULT CPlayerEventPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum != nullptr) {
        *ppEnum = nullptr;
    }
    return E_NOTIMPL;
}

std::vector<CComPtr<IDispatch>> CPlayerEventPoint::Sinks() const {
    std::vector<CComPtr<IDispatch>> sinks;
    sinks.reserve(m_sinks.size());
    for (const auto& entry : m_sinks) {
        sinks.emplace_back(entry.second.Get());
    }
    return sinks;
}

// --- life ---------------------------------------------------------------

CRadioPlayer* CRadioPlayer::Create() {
    auto* player = new (std::nothrow) CRadioPlayer();
    if (player == nullptr) {
        return nullptr;
    }
    if (!player->CreateNoticeWindow()) {
        player->Release();
        return nullptr;
    }
    WarmUpAudio();
    return player;
}

CRadioPlayer::CRadioPlayer() : m_eventPoint(*this) {
    ModuleAddRef();
}

CRadioPlayer::~CRadioPlayer() {
    EndSession();
    m_eventPoint.Clear();
    if (m_hWnd != nullptr) {
        ::DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
    if (m_hNoticeWnd) {
        ::SetWindowLongPtrW(m_hNoticeWnd.Get(), GWLP_USERDATA, 0);
    }
    m_hNoticeWnd.Close();
    ModuleRelease();
}

bool CRadioPlayer::CreateNoticeWindow() {
    if (!RegisterWindowClasses()) {
        return false;
    }
    m_hNoticeWnd.Attach(::CreateWindowExW(0, kNoticeClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                          nullptr, ModuleHandle(), nullptr));
    if (!m_hNoticeWnd) {
        return false;
    }
    ::SetWindowLongPtrW(m_hNoticeWnd.Get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetWindowLongPtrW(m_hNoticeWnd.Get(), GWLP_WNDPROC,
                        reinterpret_cast<LONG_PTR>(&CRadioPlayer::NoticeWndProc));
    return true;
}

LRESULT CALLBACK CRadioPlayer::NoticeWndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kNoticeMsg) {
        auto* player = reinterpret_cast<CRadioPlayer*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        if (player != nullptr) {
            try {
                CSelfReference keep(*player);
                player->ProcessNotices();
            } catch (...) {
                // A notice that could not be handled is dropped; the next one
                // brings the state again.
            }
        }
        return 0;
    }
    return ::DefWindowProcW(hWnd, msg, wParam, lParam);
}

HRESULT CRadioPlayer::QueryInterface(REFIID iid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IDispatch)) {
        *ppv = static_cast<IDispatch*>(this);
    } else if (::IsEqualIID(iid, IID_IOleObject)) {
        *ppv = static_cast<IOleObject*>(this);
    } else if (::IsEqualIID(iid, IID_IOleWindow) || ::IsEqualIID(iid, IID_IOleInPlaceObject)) {
        *ppv = static_cast<IOleInPlaceObject*>(this);
    } else if (::IsEqualIID(iid, IID_IOleControl)) {
        *ppv = static_cast<IOleControl*>(this);
    } else if (::IsEqualIID(iid, IID_IPersist) || ::IsEqualIID(iid, IID_IPersistStreamInit)) {
        *ppv = static_cast<IPersistStreamInit*>(this);
    } else if (::IsEqualIID(iid, IID_IConnectionPointContainer)) {
        *ppv = static_cast<IConnectionPointContainer*>(this);
    } else if (::IsEqualIID(iid, IID_IProvideClassInfo) ||
               ::IsEqualIID(iid, IID_IProvideClassInfo2)) {
        *ppv = static_cast<IProvideClassInfo2*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG CRadioPlayer::AddRef() {
    return ++m_nRefs;
}

ULONG CRadioPlayer::Release() {
    const ULONG count = --m_nRefs;
    if (count == 0) {
        delete this;
    }
    return count;
}

// --- playing ------------------------------------------------------------

void CRadioPlayer::EndSession() {
    if (m_pSession) {
        m_pSession->Cancel();
        m_pSession.reset();
    }
}

void CRadioPlayer::StartSession() {
    auto session = std::make_shared<CEngineShared>(m_hNoticeWnd.Get(), kNoticeMsg, m_strUrl);
    session->SetVolume(m_props.nVolume, m_props.bMute);
    m_pSession = session;
    if (!StartEngine(session)) {
        CNotice notice;
        notice.kind = NoticeKind::Failed;
        notice.failure = {0x8007000Eu, u"The player could not start a stream."};
        session->Post(std::move(notice));
    }
}

void CRadioPlayer::PutUrl(std::u16string url) {
    EndSession();
    m_strUrl = std::move(url);
    m_media = {};
    m_bHaveMedia = false;
    if (m_strUrl.empty()) {
        Defer(m_machine.Apply(PlayInput::Stop));
        return;
    }
    m_media.strSourceUrl = m_strUrl;
    m_bHaveMedia = true;
    if (!m_props.bAutoStart) {
        Defer(m_machine.Apply(PlayInput::Load));
        return;
    }
    DeferEvent(kEventOpenStateChange, kOpenMediaChanging);
    Defer(m_machine.Apply(PlayInput::Open));
    StartSession();
}

void CRadioPlayer::Play() {
    if (m_machine.State() == PlayState::Paused && m_pSession) {
        m_pSession->SetPaused(false);
        Defer(m_machine.Apply(PlayInput::Resume));
        return;
    }
    if (m_machine.Active() || m_strUrl.empty()) {
        return;
    }
    EndSession();
    DeferEvent(kEventOpenStateChange, kOpenMediaChanging);
    Defer(m_machine.Apply(PlayInput::Open));
    StartSession();
}

void CRadioPlayer::Pause() {
    const PlayState state = m_machine.State();
    if (m_pSession && (state == PlayState::Playing || state == PlayState::Buffering)) {
        m_pSession->SetPaused(true);
        Defer(m_machine.Apply(PlayInput::Pause));
    }
}

void CRadioPlayer::Stop() {
    EndSession();
    // What was decided for the old stream and not yet raised is void now.
    m_pending.clear();
    // Raised here, inside the call: a host that clears its "playing" flag
    // after stop returns still sees this change.
    RaiseStates(m_machine.Apply(PlayInput::Stop));
}

void CRadioPlayer::SetVolume(int32_t volume) {
    m_props.nVolume = volume;
    if (m_pSession) {
        m_pSession->SetVolume(volume, m_props.bMute);
    }
}

void CRadioPlayer::SetMute(bool mute) {
    m_props.bMute = mute;
    if (m_pSession) {
        m_pSession->SetVolume(m_props.nVolume, mute);
    }
}

// --- events -------------------------------------------------------------

void CRadioPlayer::Defer(const std::vector<PlayState>& states) {
    for (PlayState state : states) {
        DeferEvent(kEventPlayStateChange, static_cast<int32_t>(state));
    }
}

void CRadioPlayer::DeferEvent(DISPID id, int32_t value) {
    m_pending.push_back({id, value});
    ::PostMessageW(m_hNoticeWnd.Get(), kNoticeMsg, 0, 0);
}

void CRadioPlayer::RaiseStates(const std::vector<PlayState>& states) {
    for (PlayState state : states) {
        RaiseIntEvent(kEventPlayStateChange, static_cast<int32_t>(state));
    }
}

void CRadioPlayer::RaiseIntEvent(DISPID id, int32_t value) {
    VARIANTARG arg;
    ::VariantInit(&arg);
    arg.vt = VT_I4;
    arg.lVal = value;
    RaiseEvent(id, &arg, 1);
}

void CRadioPlayer::RaiseMediaChange() {
    IDispatch* pMedia = radio::NewMediaObject(m_media);
    if (pMedia == nullptr) {
        return;
    }
    VARIANTARG arg;
    ::VariantInit(&arg);
    arg.vt = VT_DISPATCH;
    arg.pdispVal = pMedia;
    RaiseEvent(kEventMediaChange, &arg, 1);
    pMedia->Release();
}

void CRadioPlayer::RaiseEvent(DISPID id, VARIANTARG* args, UINT count) {
    if (m_nFreeze > 0) {
        return;
    }
    DISPPARAMS params{args, nullptr, count, 0};
    for (const auto& pSink : m_eventPoint.Sinks()) {
        VARIANT result;
        ::VariantInit(&result);
        pSink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr,
                      nullptr);
        ::VariantClear(&result);
    }
}

void CRadioPlayer::ProcessNotices() {
    // One at a time: a handler may stop, start or release the player, and
    // whatever it leaves behind is what the next round sees.
    while (!m_pending.empty()) {
        const CPendingEvent event = m_pending.front();
        m_pending.pop_front();
        RaiseIntEvent(event.id, event.nValue);
    }
    while (m_pSession) {
        const std::shared_ptr<CEngineShared> session = m_pSession;
        auto notice = session->Take();
        if (!notice) {
            break;
        }
        Handle(*notice);
    }
}

void CRadioPlayer::Handle(CNotice& notice) {
    const std::shared_ptr<CEngineShared> session = m_pSession;
    switch (notice.kind) {
        case NoticeKind::Started: {
            const auto states = m_machine.Apply(PlayInput::Started);
            if (!states.empty()) {
                RaiseIntEvent(kEventOpenStateChange, kOpenMediaOpen);
            }
            if (m_pSession == session) {
                RaiseStates(states);
            }
            break;
        }
        case NoticeKind::Stalled:
            RaiseStates(m_machine.Apply(PlayInput::Stalled));
            break;
        case NoticeKind::Dropped:
            RaiseStates(m_machine.Apply(PlayInput::Dropped));
            break;
        case NoticeKind::Ended:
            m_pSession.reset();
            RaiseStates(m_machine.Apply(PlayInput::Ended));
            break;
        case NoticeKind::Media:
            m_media = std::move(notice.media);
            m_bHaveMedia = true;
            RaiseMediaChange();
            break;
        case NoticeKind::Failed: {
            if (m_errors.size() >= kMaxQueuedErrors) {
                m_errors.erase(m_errors.begin());
            }
            const std::u16string description = notice.failure.description;
            m_errors.push_back(std::move(notice.failure));
            RaiseEvent(kEventError, nullptr, 0);
            // A host that stopped or moved on inside the event has said all
            // there is to say about this stream.
            if (m_pSession == session) {
                m_pSession.reset();
                RaiseStates(m_machine.Apply(PlayInput::Failed));
            }
            if (m_props.bEnableErrorDialogs) {
                const std::wstring text = ToWide(description);
                ::MessageBoxW(nullptr, text.c_str(), L"TunaraPlayer", MB_OK | MB_ICONERROR);
            }
            break;
        }
    }
}

// --- automation ---------------------------------------------------------

HRESULT CRadioPlayer::GetTypeInfoCount(UINT* pCount) {
    return NoTypeInfoCount(pCount);
}

HRESULT CRadioPlayer::GetTypeInfo(UINT, LCID, ITypeInfo** ppInfo) {
    return NoTypeInfo(ppInfo);
}

HRESULT CRadioPlayer::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    return FindDispIds(kPlayerNames, names, count, ids);
}

HRESULT CRadioPlayer::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
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
        CSelfReference keep(*this);
        hr = InvokeMember(id, flags, params, out, argErr);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    ::VariantClear(&scratch);
    return hr;
}

HRESULT CRadioPlayer::InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   UINT* argErr) {
    if (id == kDispUrl && IsPut(flags)) {
        CVariant value;
        if (const HRESULT hr = PutArgument(params, VT_BSTR, value, argErr); FAILED(hr)) {
            return hr;
        }
        const BSTR text = value.Get().bstrVal;
        PutUrl(text != nullptr ? ToU16(std::wstring_view(text, ::SysStringLen(text))) : u"");
        return S_OK;
    }
    if (id == kDispClose) {
        if ((flags & DISPATCH_METHOD) == 0) {
            return DISP_E_MEMBERNOTFOUND;
        }
        Stop();
        m_strUrl.clear();
        m_media = {};
        m_bHaveMedia = false;
        DeferEvent(kEventOpenStateChange, kOpenUndefined);
        return S_OK;
    }
    if (!IsGet(flags)) {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (const HRESULT hr = NoArguments(params); FAILED(hr)) {
        return hr;
    }
    switch (id) {
        case kDispUrl:
            return ReturnString(result, m_strUrl);
        case kDispOpenState:
            return ReturnLong(result, m_machine.Active() ? kOpenMediaOpen : kOpenUndefined);
        case kDispPlayState:
            return ReturnLong(result, static_cast<LONG>(m_machine.State()));
        case kDispControls:
        case kDispSettings:
        case kDispError: {
            IDispatch* pObject = id == kDispControls   ? NewControlsObject(*this)
                                 : id == kDispSettings ? NewSettingsObject(*this)
                                                       : NewErrorQueueObject(*this);
            return pObject != nullptr ? ReturnDispatch(result, pObject) : E_OUTOFMEMORY;
        }
        case kDispCurrentMedia: {
            if (!m_bHaveMedia) {
                return ReturnDispatch(result, nullptr);
            }
            IDispatch* pMedia = radio::NewMediaObject(m_media);
            return pMedia != nullptr ? ReturnDispatch(result, pMedia) : E_OUTOFMEMORY;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}

// --- IOleObject -----------------------------------------------------------

HRESULT CRadioPlayer::SetClientSite(IOleClientSite* pSite) {
    m_pClientSite.Release();
    if (pSite != nullptr) {
        pSite->AddRef();
        m_pClientSite.Attach(pSite);
    }
    return S_OK;
}

HRESULT CRadioPlayer::GetClientSite(IOleClientSite** ppSite) {
    return m_pClientSite.CopyTo(ppSite);
}

HRESULT CRadioPlayer::SetHostNames(LPCOLESTR, LPCOLESTR) {
    return S_OK;
}

HRESULT CRadioPlayer::Close(DWORD) {
    // Closing ends playback quietly: the host is taking the control down.
    EndSession();
    m_pending.clear();
    InPlaceDeactivate();
    return S_OK;
}

HRESULT CRadioPlayer::SetMoniker(DWORD, IMoniker*) {
    return E_NOTIMPL;
}

HRESULT CRadioPlayer::GetMoniker(DWORD, DWORD, IMoniker** ppmk) {
    if (ppmk != nullptr) {
        *ppmk = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT CRadioPlayer::InitFromData(IDataObject*, BOOL, DWORD) {
    return E_NOTIMPL;
}

HRESULT CRadioPlayer::GetClipboardData(DWORD, IDataObject** ppData) {
    if (ppData != nullptr) {
        *ppData = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT CRadioPlayer::DoVerb(LONG verb, LPMSG, IOleClientSite* pSite, LONG, HWND hWndParent,
                             LPCRECT pRect) {
    switch (verb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_OPEN:
        case OLEIVERB_UIACTIVATE:
        case OLEIVERB_INPLACEACTIVATE:
            break;
        case OLEIVERB_HIDE:
            if (m_hWnd != nullptr) {
                ::ShowWindow(m_hWnd, SW_HIDE);
            }
            return S_OK;
        default:
            return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
    }
    if (m_hWnd != nullptr) {
        return S_OK;
    }
    IOleClientSite* pClient = pSite != nullptr ? pSite : m_pClientSite.Get();
    CComPtr<IOleInPlaceSite> pInPlace;
    if (pClient != nullptr) {
        pClient->QueryInterface(IID_PPV_ARGS(&pInPlace));
    }
    HWND hParent = hWndParent;
    RECT pos = pRect != nullptr ? *pRect : RECT{0, 0, 0, 0};
    if (pInPlace) {
        if (pInPlace->CanInPlaceActivate() != S_OK) {
            return E_FAIL;
        }
        pInPlace->OnInPlaceActivate();
        HWND hSiteWnd = nullptr;
        if (SUCCEEDED(pInPlace->GetWindow(&hSiteWnd)) && hSiteWnd != nullptr) {
            hParent = hSiteWnd;
        }
        CComPtr<IOleInPlaceFrame> pFrame;
        CComPtr<IOleInPlaceUIWindow> pDoc;
        RECT sitePos{};
        RECT siteClip{};
        OLEINPLACEFRAMEINFO frameInfo{};
        frameInfo.cb = sizeof frameInfo;
        if (SUCCEEDED(
                pInPlace->GetWindowContext(&pFrame, &pDoc, &sitePos, &siteClip, &frameInfo)) &&
            !::IsRectEmpty(&sitePos)) {
            pos = sitePos;
        }
    }
    if (hParent == nullptr) {
        if (pInPlace) {
            pInPlace->OnInPlaceDeactivate();
        }
        return E_INVALIDARG;
    }
    m_hWnd = ::CreateWindowExW(0, kViewClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS,
                               pos.left, pos.top, pos.right - pos.left, pos.bottom - pos.top,
                               hParent, nullptr, ModuleHandle(), nullptr);
    if (m_hWnd == nullptr) {
        if (pInPlace) {
            pInPlace->OnInPlaceDeactivate();
        }
        return E_FAIL;
    }
    m_pInPlaceSite.Attach(pInPlace.Detach());
    return S_OK;
}

HRESULT CRadioPlayer::EnumVerbs(IEnumOLEVERB** ppEnum) {
    if (ppEnum != nullptr) {
        *ppEnum = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT CRadioPlayer::Update() {
    return S_OK;
}

HRESULT CRadioPlayer::IsUpToDate() {
    return S_OK;
}

HRESULT CRadioPlayer::GetUserClassID(CLSID* pClsid) {
    return GetClassID(pClsid);
}

HRESULT CRadioPlayer::GetUserType(DWORD, LPOLESTR* pType) {
    if (pType != nullptr) {
        *pType = nullptr;
    }
    return OLE_S_USEREG;
}

HRESULT CRadioPlayer::SetExtent(DWORD aspect, SIZEL* pSize) {
    if (pSize == nullptr) {
        return E_POINTER;
    }
    if (aspect != DVASPECT_CONTENT) {
        return DV_E_DVASPECT;
    }
    m_extent = *pSize;
    return S_OK;
}

HRESULT CRadioPlayer::GetExtent(DWORD aspect, SIZEL* pSize) {
    if (pSize == nullptr) {
        return E_POINTER;
    }
    if (aspect != DVASPECT_CONTENT) {
        return DV_E_DVASPECT;
    }
    *pSize = m_extent;
    return S_OK;
}

HRESULT CRadioPlayer::Advise(IAdviseSink*, DWORD* pConnection) {
    if (pConnection != nullptr) {
        *pConnection = 0;
    }
    return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT CRadioPlayer::Unadvise(DWORD) {
    return OLE_E_NOCONNECTION;
}

HRESULT CRadioPlayer::EnumAdvise(IEnumSTATDATA** ppEnum) {
    if (ppEnum != nullptr) {
        *ppEnum = nullptr;
    }
    return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT CRadioPlayer::GetMiscStatus(DWORD, DWORD* pStatus) {
    if (pStatus == nullptr) {
        return E_POINTER;
    }
    *pStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
               OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
    return S_OK;
}

HRESULT CRadioPlayer::SetColorScheme(LOGPALETTE*) {
    return E_NOTIMPL;
}

// --- IOleInPlaceObject ----------------------------------------------------

HRESULT CRadioPlayer::GetWindow(HWND* phWnd) {
    if (phWnd == nullptr) {
        return E_POINTER;
    }
    *phWnd = m_hWnd;
    return m_hWnd != nullptr ? S_OK : E_FAIL;
}

HRESULT CRadioPlayer::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}

HRESULT CRadioPlayer::InPlaceDeactivate() {
    if (m_hWnd != nullptr) {
        ::DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
    if (CComPtr<IOleInPlaceSite> pSite = std::move(m_pInPlaceSite)) {
        pSite->OnInPlaceDeactivate();
    }
    return S_OK;
}

HRESULT CRadioPlayer::UIDeactivate() {
    return S_OK;
}

HRESULT CRadioPlayer::SetObjectRects(LPCRECT pPos, LPCRECT) {
    if (pPos == nullptr) {
        return E_POINTER;
    }
    if (m_hWnd != nullptr) {
        ::MoveWindow(m_hWnd, pPos->left, pPos->top, pPos->right - pPos->left,
                     pPos->bottom - pPos->top, TRUE);
    }
    return S_OK;
}

HRESULT CRadioPlayer::ReactivateAndUndo() {
    return INPLACE_E_NOTUNDOABLE;
}

// --- IOleControl ----------------------------------------------------------

HRESULT CRadioPlayer::GetControlInfo(CONTROLINFO* pInfo) {
    if (pInfo == nullptr) {
        return E_POINTER;
    }
    pInfo->hAccel = nullptr;
    pInfo->cAccel = 0;
    pInfo->dwFlags = 0;
    return S_OK;
}

HRESULT CRadioPlayer::OnMnemonic(MSG*) {
    return E_NOTIMPL;
}

HRESULT CRadioPlayer::OnAmbientPropertyChange(DISPID) {
    return S_OK;
}

HRESULT CRadioPlayer::FreezeEvents(BOOL freeze) {
    if (freeze) {
        ++m_nFreeze;
    } else if (m_nFreeze > 0) {
        --m_nFreeze;
    }
    return S_OK;
}

// --- IPersistStreamInit -----------------------------------------------------

HRESULT CRadioPlayer::GetClassID(CLSID* pClsid) {
    if (pClsid == nullptr) {
        return E_POINTER;
    }
    *pClsid = kClsidRadioPlayer;
    return S_OK;
}

HRESULT CRadioPlayer::IsDirty() {
    return S_FALSE;
}

HRESULT CRadioPlayer::Load(IStream* pStream) {
    if (pStream == nullptr) {
        return E_POINTER;
    }
    try {
        auto read = [pStream](uint8_t* buffer, size_t size) {
            size_t done = 0;
            while (done < size) {
                ULONG got = 0;
                const HRESULT hr =
                    pStream->Read(buffer + done, static_cast<ULONG>(size - done), &got);
                if (FAILED(hr) || got == 0) {
                    return false;
                }
                done += got;
            }
            return true;
        };
        CPlayerProperties props = m_props;
        if (!ReadPlayerProperties(read, props)) {
            return E_FAIL;
        }
        m_props = props;
        m_extent = {props.nWidth, props.nHeight};
        // The uiMode, rate and display values mean nothing without a picture.
        if (!m_props.strUrl.empty()) {
            PutUrl(m_props.strUrl);
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRadioPlayer::Save(IStream* pStream, BOOL) {
    if (pStream == nullptr) {
        return E_POINTER;
    }
    try {
        CPlayerProperties props = m_props;
        props.strUrl = m_strUrl;
        props.nWidth = m_extent.cx;
        props.nHeight = m_extent.cy;
        const std::vector<uint8_t> bytes = WritePlayerProperties(props);
        ULONG written = 0;
        const HRESULT hr = pStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
        if (FAILED(hr)) {
            return hr;
        }
        return written == bytes.size() ? S_OK : STG_E_MEDIUMFULL;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRadioPlayer::GetSizeMax(ULARGE_INTEGER* pSize) {
    if (pSize == nullptr) {
        return E_POINTER;
    }
    try {
        CPlayerProperties props = m_props;
        props.strUrl = m_strUrl;
        pSize->QuadPart = WritePlayerProperties(props).size();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CRadioPlayer::InitNew() {
    m_props = CPlayerProperties{};
    return S_OK;
}

// --- IConnectionPointContainer / IProvideClassInfo2 ------------------------

HRESULT CRadioPlayer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (ppEnum != nullptr) {
        *ppEnum = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT CRadioPlayer::FindConnectionPoint(REFIID iid, IConnectionPoint** ppPoint) {
    if (ppPoint == nullptr) {
        return E_POINTER;
    }
    if (::IsEqualIID(iid, kDiidPlayerEvents) || ::IsEqualIID(iid, IID_IDispatch)) {
        *ppPoint = &m_eventPoint;
        AddRef();
        return S_OK;
    }
    *ppPoint = nullptr;
    return CONNECT_E_NOCONNECTION;
}

HRESULT CRadioPlayer::GetClassInfo(ITypeInfo** ppInfo) {
    if (ppInfo != nullptr) {
        *ppInfo = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT CRadioPlayer::GetGUID(DWORD kind, GUID* pGuid) {
    if (pGuid == nullptr) {
        return E_POINTER;
    }
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *pGuid = GUID_NULL;
        return E_INVALIDARG;
    }
    *pGuid = kDiidPlayerEvents;
    return S_OK;
}

}  // namespace radio
