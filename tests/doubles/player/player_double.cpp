// A scriptable stand-in for the player control: an in-process COM server that
// the end-to-end tests register for the player's class id, so that the helper
// hosts it exactly as it hosts the real control.
//
// It records, one line each, in C:\tunara-test\player-calls.log:
//   create | destroy live=<sub-objects still alive>
//   set-client-site ex=<0|1> | set-client-site null | load <bytes> | init-new
//   advise <cookie> | unadvise <cookie> | activate <l,t,r,b> | activate refused
//   deactivate | close
//   call <object> <dispid> <get|put|call> [i:<number> | s:<UTF-8 hex>]
//   new <object> | free <object>   (a sub-object made; its last reference went)
//   raise <event> | raised <event> (around the call into the sink)
//   error <what>                   (the helper broke a rule)
// and the stream it was loaded with in C:\tunara-test\player-stream.bin.
//
// It takes commands from C:\tunara-test\player-script.txt (UTF-8, fields
// separated by tabs), read by a timer on the control's thread and deleted
// once done:
//   state <n> [i4|ui4]        raise PlayStateChange (VT_UI4 unless i4)
//   media [<name> <text>]...  set the current media item and raise MediaChange
//   nomedia                   no current media item; raise MediaChange
//   error [<code> <text>]...  set the error queue and raise Error
//   event <dispid> [<n>]...   raise any event, with VT_UI4 arguments
//   on-url <command>          run the command inside the next URL put
//   on-stop <command>         run the command inside the next stop
// Codes may be written in hexadecimal (0x...).
//
// Objects are never freed, only marked dead, so that a release too many is
// recorded instead of corrupting memory.
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

const CLSID kClsidPlayer = {
    0x6BF52A52, 0x394A, 0x11D3, {0xB1, 0x53, 0x00, 0xC0, 0x4F, 0x79, 0xFA, 0xA6}};
const IID kDiidEvents = {
    0x6BF52A51, 0x394A, 0x11D3, {0xB1, 0x53, 0x00, 0xC0, 0x4F, 0x79, 0xFA, 0xA6}};

constexpr wchar_t kTestDir[] = L"C:\\tunara-test";
constexpr wchar_t kLogPath[] = L"C:\\tunara-test\\player-calls.log";
constexpr wchar_t kStreamPath[] = L"C:\\tunara-test\\player-stream.bin";
constexpr wchar_t kScriptPath[] = L"C:\\tunara-test\\player-script.txt";
constexpr wchar_t kWindowClass[] = L"TunaraTestPlayerWindow";

constexpr DISPID kEventPlayStateChange = 5101;
constexpr DISPID kEventMediaChange = 5802;
constexpr DISPID kEventError = 5501;

HINSTANCE g_hInstance = nullptr;
LONG g_nLocks = 0;

void Log(const std::string& line) {
    ::CreateDirectoryW(kTestDir, nullptr);
    const HANDLE hFile =
        ::CreateFileW(kLogPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string text = line + "\n";
    DWORD written = 0;
    ::WriteFile(hFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(hFile);
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back("0123456789abcdef"[c >> 4]);
        out.push_back("0123456789abcdef"[c & 15]);
    }
    return out;
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t end = line.find(separator, start);
        fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            return fields;
        }
        start = end + 1;
    }
}

std::wstring FromBstr(BSTR text) {
    return text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
}

// One argument of a call, as the log shows it; false if its type is wrong.
bool DescribeArg(const VARIANT& arg, VARTYPE expected, std::string& text) {
    if (arg.vt != expected) {
        text = "vt=" + std::to_string(arg.vt);
        return false;
    }
    if (expected == VT_I4) {
        text = "i:" + std::to_string(arg.lVal);
    } else {
        text = "s:" + Hex(Utf8(FromBstr(arg.bstrVal)));
    }
    return true;
}

struct MediaAttribute {
    std::wstring name;
    std::wstring text;
};

struct QueuedError {
    int32_t code;
    std::wstring description;
};

// Everything the control and its sub-objects share.
struct PlayerState {
    std::wstring url;
    bool bHasMedia = false;
    std::vector<MediaAttribute> media;
    std::vector<QueuedError> errors;
    std::vector<std::string> onUrl;
    std::vector<std::string> onStop;
    int liveSubObjects = 0;
    // getItemInfo answers for the attribute most recently named, so that a
    // repeated name can give different texts.
    long lastNamedIndex = -1;
};

// Reference counting that records instead of freeing.
class CCounted {
public:
    explicit CCounted(std::string name) : m_name(std::move(name)) {}
    virtual ~CCounted() = default;

    ULONG AddRefImpl() {
        if (m_nRef <= 0) {
            Log("error addref-dead " + m_name);
            return 0;
        }
        return static_cast<ULONG>(++m_nRef);
    }
    ULONG ReleaseImpl() {
        if (m_nRef <= 0) {
            Log("error over-release " + m_name);
            return 0;
        }
        if (--m_nRef == 0) {
            OnFinalRelease();
        }
        return static_cast<ULONG>(m_nRef);
    }

protected:
    virtual void OnFinalRelease() = 0;

    LONG m_nRef = 1;
    std::string m_name;
};

HRESULT SetResultLong(VARIANT* pResult, long value) {
    if (pResult != nullptr) {
        pResult->vt = VT_I4;
        pResult->lVal = value;
    }
    return S_OK;
}

HRESULT SetResultText(VARIANT* pResult, const std::wstring& text) {
    if (pResult != nullptr) {
        pResult->vt = VT_BSTR;
        pResult->bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    return S_OK;
}

class CPlayerControl;

// controls, settings, media item, error queue and error item.
class CSubObject final : public IDispatch, public CCounted {
public:
    enum class Kind { Controls, Settings, Media, Error, ErrorItem };

    CSubObject(Kind kind, CPlayerControl* pControl, std::shared_ptr<PlayerState> state,
               QueuedError item = {})
        : CCounted(KindName(kind)),
          m_kind(kind),
          m_pControl(pControl),
          m_state(std::move(state)),
          m_item(std::move(item)) {
        ++m_state->liveSubObjects;
        Log("new " + m_name);
    }

    static std::string KindName(Kind kind) {
        switch (kind) {
            case Kind::Controls:
                return "controls";
            case Kind::Settings:
                return "settings";
            case Kind::Media:
                return "media";
            case Kind::Error:
                return "error";
            case Kind::ErrorItem:
                return "item";
        }
        return "?";
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
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
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pCount) override {
        *pCount = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* pParams,
                                     VARIANT* pResult, EXCEPINFO*, UINT*) override;

protected:
    void OnFinalRelease() override {
        --m_state->liveSubObjects;
        Log("free " + m_name);
    }

private:
    Kind m_kind;
    CPlayerControl* m_pControl;
    std::shared_ptr<PlayerState> m_state;
    QueuedError m_item;
};

// The event connection point: the sinks advised on it, by cookie.
class CEventPoint final : public IConnectionPoint, public CCounted {
public:
    explicit CEventPoint(IConnectionPointContainer* pContainer)
        : CCounted("connection-point"), m_pContainer(pContainer) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
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
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIid) override {
        *pIid = kDiidEvents;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE
    GetConnectionPointContainer(IConnectionPointContainer** ppContainer) override {
        *ppContainer = m_pContainer;
        m_pContainer->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pSink, DWORD* pCookie) override {
        if (pSink == nullptr || pCookie == nullptr) {
            return E_POINTER;
        }
        IDispatch* pDispatch = nullptr;
        // A sink must answer to the event interface itself.
        if (FAILED(pSink->QueryInterface(kDiidEvents, reinterpret_cast<void**>(&pDispatch)))) {
            Log("error advise-sink-lacks-event-interface");
            return CONNECT_E_CANNOTCONNECT;
        }
        *pCookie = ++m_nextCookie;
        m_sinks[*pCookie] = pDispatch;
        Log("advise " + std::to_string(*pCookie));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        const auto it = m_sinks.find(cookie);
        if (it == m_sinks.end()) {
            Log("error unadvise-unknown " + std::to_string(cookie));
            return CONNECT_E_NOCONNECTION;
        }
        IDispatch* pDispatch = it->second;
        m_sinks.erase(it);
        pDispatch->Release();
        Log("unadvise " + std::to_string(cookie));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    void Fire(DISPID dispid, const std::string& name, std::vector<VARIANT> args) {
        // Sinks may come and go during the call: work on a copy.
        std::vector<IDispatch*> sinks;
        for (const auto& entry : m_sinks) {
            entry.second->AddRef();
            sinks.push_back(entry.second);
        }
        Log("raise " + name);
        DISPPARAMS params{};
        params.cArgs = static_cast<UINT>(args.size());
        params.rgvarg = args.empty() ? nullptr : args.data();
        for (IDispatch* pSink : sinks) {
            pSink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                          nullptr, nullptr);
            pSink->Release();
        }
        Log("raised " + name);
    }

protected:
    void OnFinalRelease() override {}

private:
    IConnectionPointContainer* m_pContainer;
    std::map<DWORD, IDispatch*> m_sinks;
    DWORD m_nextCookie = 0;
};

class CPlayerControl final : public IOleObject,
                             public IOleInPlaceObject,
                             public IPersistStreamInit,
                             public IDispatch,
                             public IConnectionPointContainer,
                             public IProvideClassInfo2,
                             public CCounted {
public:
    CPlayerControl() : CCounted("control"), m_state(std::make_shared<PlayerState>()) {
        ::InterlockedIncrement(&g_nLocks);
        m_pEventPoint = new CEventPoint(this);
        m_hWndTimer = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        g_hInstance, nullptr);
        if (m_hWndTimer != nullptr) {
            ::SetWindowLongPtrW(m_hWndTimer, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            ::SetTimer(m_hWndTimer, 1, 20, nullptr);
        }
        Log("create");
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IOleObject)) {
            *ppv = static_cast<IOleObject*>(this);
        } else if (::IsEqualIID(iid, IID_IOleWindow) || ::IsEqualIID(iid, IID_IOleInPlaceObject)) {
            *ppv = static_cast<IOleInPlaceObject*>(this);
        } else if (::IsEqualIID(iid, IID_IPersistStreamInit) || ::IsEqualIID(iid, IID_IPersist)) {
            *ppv = static_cast<IPersistStreamInit*>(this);
        } else if (::IsEqualIID(iid, IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
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
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

    // IOleObject
    HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* pSite) override {
        if (m_pSite != nullptr) {
            m_pSite->Release();
        }
        m_pSite = pSite;
        if (pSite == nullptr) {
            Log("set-client-site null");
            return S_OK;
        }
        pSite->AddRef();
        IOleInPlaceSiteEx* pSiteEx = nullptr;
        const bool bEx = SUCCEEDED(
            pSite->QueryInterface(IID_IOleInPlaceSiteEx, reinterpret_cast<void**>(&pSiteEx)));
        if (pSiteEx != nullptr) {
            pSiteEx->Release();
        }
        Log(std::string("set-client-site ex=") + (bEx ? "1" : "0"));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** ppSite) override {
        *ppSite = m_pSite;
        if (m_pSite != nullptr) {
            m_pSite->AddRef();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Close(DWORD) override {
        InPlaceDeactivate();
        Log("close");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG, IOleClientSite* pActiveSite, LONG,
                                     HWND hWndParent, LPCRECT) override {
        switch (verb) {
            case OLEIVERB_INPLACEACTIVATE:
            case OLEIVERB_SHOW:
            case OLEIVERB_UIACTIVATE:
                return Activate(pActiveSite != nullptr ? pActiveSite : m_pSite, hWndParent);
            case OLEIVERB_HIDE:
                if (m_hWnd != nullptr) {
                    ::ShowWindow(m_hWnd, SW_HIDE);
                }
                return S_OK;
            default:
                return OLEOBJ_S_INVALIDVERB;
        }
    }
    HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* pClsid) override {
        *pClsid = kClsidPlayer;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetUserType(DWORD, LPOLESTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetExtent(DWORD, SIZEL*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetExtent(DWORD, SIZEL* pSize) override {
        pSize->cx = 11986;
        pSize->cy = 6376;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD) override { return OLE_E_NOCONNECTION; }
    HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD, DWORD* pStatus) override {
        *pStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
                   OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IOleWindow / IOleInPlaceObject
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* phWnd) override {
        *phWnd = m_hWnd;
        return m_hWnd != nullptr ? S_OK : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override {
        if (m_pInPlaceSite == nullptr) {
            return S_OK;
        }
        if (m_hWnd != nullptr) {
            ::DestroyWindow(m_hWnd);
            m_hWnd = nullptr;
        }
        IOleInPlaceSiteEx* pSite = std::exchange(m_pInPlaceSite, nullptr);
        pSite->OnInPlaceDeactivateEx(TRUE);
        pSite->Release();
        Log("deactivate");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UIDeactivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT pPos, LPCRECT) override {
        if (m_hWnd != nullptr && pPos != nullptr) {
            ::MoveWindow(m_hWnd, pPos->left, pPos->top, pPos->right - pPos->left,
                         pPos->bottom - pPos->top, TRUE);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override { return E_NOTIMPL; }

    // IPersistStreamInit
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClsid) override {
        *pClsid = kClsidPlayer;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(LPSTREAM pStream) override {
        std::string bytes;
        char buffer[4096];
        for (;;) {
            ULONG read = 0;
            const HRESULT hr = pStream->Read(buffer, sizeof(buffer), &read);
            bytes.append(buffer, read);
            if (FAILED(hr) || read == 0) {
                break;
            }
        }
        ::CreateDirectoryW(kTestDir, nullptr);
        const HANDLE hFile = ::CreateFileW(kStreamPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ::WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            ::CloseHandle(hFile);
        }
        Log("load " + std::to_string(bytes.size()));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Save(LPSTREAM, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InitNew() override {
        Log("init-new");
        return S_OK;
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pCount) override {
        *pCount = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* pParams,
                                     VARIANT* pResult, EXCEPINFO*, UINT*) override {
        if (pResult != nullptr) {
            ::VariantInit(pResult);
        }
        if (dispid == 1 && (flags & DISPATCH_PROPERTYPUT) != 0) {
            std::string arg;
            if (!IsPut(pParams) || !DescribeArg(pParams->rgvarg[0], VT_BSTR, arg)) {
                Log("error bad-args control 1 " + arg);
                return DISP_E_TYPEMISMATCH;
            }
            m_state->url = FromBstr(pParams->rgvarg[0].bstrVal);
            Log("call control 1 put " + arg);
            RunDeferred(m_state->onUrl);
            return S_OK;
        }
        if ((flags & DISPATCH_PROPERTYGET) == 0 || pParams == nullptr || pParams->cArgs != 0) {
            Log("error unexpected control " + std::to_string(dispid));
            return DISP_E_MEMBERNOTFOUND;
        }
        CSubObject::Kind kind = CSubObject::Kind::Controls;
        switch (dispid) {
            case 4:
                kind = CSubObject::Kind::Controls;
                break;
            case 5:
                kind = CSubObject::Kind::Settings;
                break;
            case 6:
                kind = CSubObject::Kind::Media;
                break;
            case 17:
                kind = CSubObject::Kind::Error;
                break;
            default:
                Log("error unexpected control " + std::to_string(dispid));
                return DISP_E_MEMBERNOTFOUND;
        }
        Log("call control " + std::to_string(dispid) + " get");
        if (pResult == nullptr) {
            return E_INVALIDARG;
        }
        pResult->vt = VT_DISPATCH;
        pResult->pdispVal = nullptr;
        if (kind != CSubObject::Kind::Media || m_state->bHasMedia) {
            pResult->pdispVal = new CSubObject(kind, this, m_state);
        }
        return S_OK;
    }

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** ppPoint) override {
        if (!::IsEqualIID(iid, kDiidEvents)) {
            *ppPoint = nullptr;
            return CONNECT_E_NOCONNECTION;
        }
        *ppPoint = m_pEventPoint;
        m_pEventPoint->AddRef();
        return S_OK;
    }

    // IProvideClassInfo2
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTypeInfo) override {
        *ppTypeInfo = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* pGuid) override {
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID || pGuid == nullptr) {
            return E_INVALIDARG;
        }
        *pGuid = kDiidEvents;
        return S_OK;
    }

    static bool IsPut(const DISPPARAMS* pParams) {
        return pParams != nullptr && pParams->cArgs == 1 && pParams->cNamedArgs == 1 &&
               pParams->rgdispidNamedArgs != nullptr &&
               pParams->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
    }

    void OnStop() { RunDeferred(m_state->onStop); }

    void OnTimer() {
        if (m_bInScript) {
            return;
        }
        const HANDLE hFile = ::CreateFileW(kScriptPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE) {
            return;
        }
        std::string text;
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(hFile, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            text.append(buffer, read);
        }
        ::CloseHandle(hFile);
        ::DeleteFileW(kScriptPath);
        m_bInScript = true;
        for (std::string& line : Split(text, '\n')) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.empty()) {
                continue;
            }
            try {
                RunCommand(line);
            } catch (...) {
                Log("error bad-script " + Hex(line));
            }
        }
        m_bInScript = false;
        Log("script-done");
    }

protected:
    void OnFinalRelease() override {
        if (m_hWndTimer != nullptr) {
            ::KillTimer(m_hWndTimer, 1);
            ::DestroyWindow(m_hWndTimer);
            m_hWndTimer = nullptr;
        }
        if (m_hWnd != nullptr) {
            ::DestroyWindow(m_hWnd);
            m_hWnd = nullptr;
        }
        if (m_pSite != nullptr) {
            Log("error site-still-set");
        }
        Log("destroy live=" + std::to_string(m_state->liveSubObjects));
        ::InterlockedDecrement(&g_nLocks);
    }

private:
    HRESULT Activate(IOleClientSite* pSite, HWND hWndParentHint) {
        if (m_pInPlaceSite != nullptr) {
            return S_OK;
        }
        IOleInPlaceSiteEx* pSiteEx = nullptr;
        if (pSite == nullptr || FAILED(pSite->QueryInterface(IID_IOleInPlaceSiteEx,
                                                             reinterpret_cast<void**>(&pSiteEx)))) {
            Log("activate refused");
            return E_FAIL;
        }
        if (pSiteEx->CanInPlaceActivate() != S_OK) {
            pSiteEx->Release();
            Log("activate refused");
            return E_FAIL;
        }
        BOOL noRedraw = FALSE;
        pSiteEx->OnInPlaceActivateEx(&noRedraw, 0);
        HWND hWndParent = hWndParentHint;
        pSiteEx->GetWindow(&hWndParent);
        IOleInPlaceFrame* pFrame = nullptr;
        IOleInPlaceUIWindow* pDoc = nullptr;
        RECT pos{};
        RECT clip{};
        OLEINPLACEFRAMEINFO info{};
        info.cb = sizeof(info);
        pSiteEx->GetWindowContext(&pFrame, &pDoc, &pos, &clip, &info);
        if (pFrame != nullptr) {
            pFrame->Release();
        }
        if (pDoc != nullptr) {
            pDoc->Release();
        }
        m_hWnd = ::CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_VISIBLE, pos.left, pos.top,
                                   pos.right - pos.left, pos.bottom - pos.top, hWndParent, nullptr,
                                   g_hInstance, nullptr);
        m_pInPlaceSite = pSiteEx;
        Log("activate " + std::to_string(pos.left) + "," + std::to_string(pos.top) + "," +
            std::to_string(pos.right) + "," + std::to_string(pos.bottom) +
            (m_hWnd != nullptr ? "" : " no-window"));
        return S_OK;
    }

    void RunDeferred(std::vector<std::string>& queue) {
        std::vector<std::string> commands = std::move(queue);
        queue.clear();
        for (const std::string& command : commands) {
            RunCommand(command);
        }
    }

    void RunCommand(const std::string& line) {
        const std::vector<std::string> fields = Split(line, '\t');
        const std::string& verb = fields[0];
        if (verb == "on-url" || verb == "on-stop") {
            const std::string rest = line.substr(verb.size() + 1);
            (verb == "on-url" ? m_state->onUrl : m_state->onStop).push_back(rest);
            return;
        }
        // The control lives on until the event is over, whatever the
        // helper does with its references meanwhile.
        AddRef();
        if (verb == "state" && fields.size() >= 2) {
            VARIANT arg;
            ::VariantInit(&arg);
            const auto value = static_cast<long>(std::stoul(fields[1], nullptr, 0));
            if (fields.size() >= 3 && fields[2] == "i4") {
                arg.vt = VT_I4;
                arg.lVal = value;
            } else {
                arg.vt = VT_UI4;
                arg.ulVal = static_cast<ULONG>(value);
            }
            m_pEventPoint->Fire(kEventPlayStateChange, "state " + fields[1], {arg});
        } else if (verb == "event" && fields.size() >= 2) {
            std::vector<VARIANT> args;
            for (size_t i = 2; i < fields.size(); ++i) {
                VARIANT arg;
                ::VariantInit(&arg);
                arg.vt = VT_UI4;
                arg.ulVal = std::stoul(fields[i], nullptr, 0);
                args.insert(args.begin(), arg);  // the last argument first
            }
            m_pEventPoint->Fire(std::stol(fields[1]), "event " + fields[1], std::move(args));
        } else if (verb == "media" || verb == "nomedia") {
            m_state->bHasMedia = verb == "media";
            m_state->media.clear();
            for (size_t i = 1; i + 1 < fields.size(); i += 2) {
                m_state->media.push_back({Wide(fields[i]), Wide(fields[i + 1])});
            }
            VARIANT arg;
            ::VariantInit(&arg);
            arg.vt = VT_DISPATCH;
            arg.pdispVal = nullptr;
            CSubObject* pItem = nullptr;
            if (m_state->bHasMedia) {
                pItem = new CSubObject(CSubObject::Kind::Media, this, m_state);
                arg.pdispVal = pItem;
            }
            m_pEventPoint->Fire(kEventMediaChange, "media", {arg});
            if (pItem != nullptr) {
                pItem->Release();
            }
        } else if (verb == "error") {
            m_state->errors.clear();
            for (size_t i = 1; i + 1 < fields.size(); i += 2) {
                const auto code = static_cast<int32_t>(std::stoul(fields[i], nullptr, 0));
                m_state->errors.push_back({code, Wide(fields[i + 1])});
            }
            m_pEventPoint->Fire(kEventError, "error", {});
        } else {
            Log("error bad-script " + Hex(line));
        }
        Release();
    }

    std::shared_ptr<PlayerState> m_state;
    CEventPoint* m_pEventPoint = nullptr;
    IOleClientSite* m_pSite = nullptr;
    IOleInPlaceSiteEx* m_pInPlaceSite = nullptr;
    HWND m_hWnd = nullptr;
    HWND m_hWndTimer = nullptr;
    bool m_bInScript = false;
};

HRESULT CSubObject::Invoke(DISPID dispid, REFIID, LCID, WORD flags, DISPPARAMS* pParams,
                           VARIANT* pResult, EXCEPINFO*, UINT*) {
    if (pResult != nullptr) {
        ::VariantInit(pResult);
    }
    if (m_nRef <= 0) {
        Log("error call-on-dead " + m_name);
        return E_UNEXPECTED;
    }
    const std::string where = m_name + " " + std::to_string(dispid);
    const UINT argCount = pParams != nullptr ? pParams->cArgs : 0;
    const bool bGet = (flags & DISPATCH_PROPERTYGET) != 0;
    const bool bCall = (flags & DISPATCH_METHOD) != 0;
    std::string arg;
    // The shape each call must have: kind, argument type (VT_EMPTY: none).
    const auto Expect = [&](bool bKindOk, VARTYPE argType) {
        const UINT wanted = argType == VT_EMPTY ? 0 : 1;
        if (!bKindOk || argCount != wanted ||
            (wanted == 1 && !DescribeArg(pParams->rgvarg[0], argType, arg))) {
            Log("error bad-args " + where + " " + arg);
            return false;
        }
        return true;
    };
    const auto Record = [&](const char* kind) {
        Log("call " + where + " " + kind + (arg.empty() ? "" : " " + arg));
    };
    switch (m_kind) {
        case Kind::Controls:
            if (dispid == 52 && Expect(bCall, VT_EMPTY)) {
                Record("call");
                m_pControl->OnStop();
                return S_OK;
            }
            break;
        case Kind::Settings:
            if (dispid == 107 && (flags & DISPATCH_PROPERTYPUT) != 0) {
                if (!CPlayerControl::IsPut(pParams) ||
                    !DescribeArg(pParams->rgvarg[0], VT_I4, arg)) {
                    Log("error bad-args " + where + " " + arg);
                    return DISP_E_TYPEMISMATCH;
                }
                Record("put");
                return S_OK;
            }
            break;
        case Kind::Media:
            if (dispid == 759 && Expect(bGet, VT_EMPTY)) {
                Record("get");
                return SetResultLong(pResult, static_cast<long>(m_state->media.size()));
            }
            if (dispid == 760 && Expect(bCall, VT_I4)) {
                Record("call");
                const long index = pParams->rgvarg[0].lVal;
                if (index < 0 || static_cast<size_t>(index) >= m_state->media.size()) {
                    return DISP_E_BADINDEX;
                }
                m_state->lastNamedIndex = index;
                return SetResultText(pResult, m_state->media[static_cast<size_t>(index)].name);
            }
            if (dispid == 761 && Expect(bCall, VT_BSTR)) {
                Record("call");
                const std::wstring name = FromBstr(pParams->rgvarg[0].bstrVal);
                const long last = m_state->lastNamedIndex;
                if (last >= 0 && static_cast<size_t>(last) < m_state->media.size() &&
                    m_state->media[static_cast<size_t>(last)].name == name) {
                    return SetResultText(pResult, m_state->media[static_cast<size_t>(last)].text);
                }
                for (const MediaAttribute& attribute : m_state->media) {
                    if (attribute.name == name) {
                        return SetResultText(pResult, attribute.text);
                    }
                }
                return SetResultText(pResult, L"");
            }
            break;
        case Kind::Error:
            if (dispid == 851 && Expect(bCall, VT_EMPTY)) {
                Record("call");
                m_state->errors.clear();
                return S_OK;
            }
            if (dispid == 852 && Expect(bGet, VT_EMPTY)) {
                Record("get");
                return SetResultLong(pResult, static_cast<long>(m_state->errors.size()));
            }
            if (dispid == 853 && Expect(bGet, VT_I4)) {
                Record("get");
                const long index = pParams->rgvarg[0].lVal;
                if (index < 0 || static_cast<size_t>(index) >= m_state->errors.size() ||
                    pResult == nullptr) {
                    return DISP_E_BADINDEX;
                }
                pResult->vt = VT_DISPATCH;
                pResult->pdispVal = new CSubObject(Kind::ErrorItem, m_pControl, m_state,
                                                   m_state->errors[static_cast<size_t>(index)]);
                return S_OK;
            }
            break;
        case Kind::ErrorItem:
            if (dispid == 901 && Expect(bGet, VT_EMPTY)) {
                Record("get");
                return SetResultLong(pResult, m_item.code);
            }
            if (dispid == 902 && Expect(bGet, VT_EMPTY)) {
                Record("get");
                return SetResultText(pResult, m_item.description);
            }
            break;
    }
    Log("error unexpected " + where);
    return DISP_E_MEMBERNOTFOUND;
}

LRESULT CALLBACK WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        if (auto* pControl =
                reinterpret_cast<CPlayerControl*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA))) {
            pControl->OnTimer();
        }
        return 0;
    }
    return ::DefWindowProcW(hWnd, message, wParam, lParam);
}

class CClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuter, REFIID iid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (pOuter != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* pControl = new CPlayerControl;
        const HRESULT hr = pControl->QueryInterface(iid, ppv);
        pControl->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ::InterlockedIncrement(&g_nLocks);
        } else {
            ::InterlockedDecrement(&g_nLocks);
        }
        return S_OK;
    }
};

CClassFactory g_factory;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_hInstance = hInstance;
        ::DisableThreadLibraryCalls(hInstance);
        WNDCLASSW wc{};
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = hInstance;
        wc.lpszClassName = kWindowClass;
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        ::RegisterClassW(&wc);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** ppv) {
    if (!::IsEqualCLSID(clsid, kClsidPlayer)) {
        *ppv = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(iid, ppv);
}

// Objects are kept (dead) for the life of the process, so the module stays.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return S_FALSE;
}
