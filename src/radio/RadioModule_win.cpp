// The DLL's entry points: the class object, unloading, and registration for
// the player's class id.
//
// Registration goes per user (HKCU\Software\Classes) on Windows and per
// machine under Wine, whose COM reads the machine's classes only. It saves
// a registration it replaces and puts it back when unregistered, and it
// never removes a registration that is not its own.
//
//   regsvr32 TunaraPlayer.dll                   register
//   regsvr32 /u TunaraPlayer.dll                unregister
//   regsvr32 /n /i:ifneeded TunaraPlayer.dll    register only where no usable
//                                               player control is installed
#include <windows.h>
#include <ole2.h>
#include <olectl.h>

#include <atomic>
#include <string>

#include "radio/RadioDispatch_win.h"
#include "radio/RadioPlayer_win.h"

namespace radio {

namespace {

HMODULE g_hModule = nullptr;
std::atomic<long> g_nObjects{0};
std::atomic<long> g_nLocks{0};

constexpr wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{6BF52A52-394A-11D3-B153-00C04F79FAA6}";
constexpr wchar_t kServerKey[] =
    L"Software\\Classes\\CLSID\\{6BF52A52-394A-11D3-B153-00C04F79FAA6}\\InprocServer32";
constexpr wchar_t kSavedServer[] = L"TunaraPlayerReplacedServer";
constexpr wchar_t kSavedThreading[] = L"TunaraPlayerReplacedThreadingModel";

class CRegKey {
public:
    CRegKey() = default;
    ~CRegKey() {
        if (m_hKey != nullptr) {
            ::RegCloseKey(m_hKey);
        }
    }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    bool Create(HKEY root, const wchar_t* path) {
        return ::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &m_hKey,
                                 nullptr) == ERROR_SUCCESS;
    }
    bool Open(HKEY root, const wchar_t* path, REGSAM access) {
        return ::RegOpenKeyExW(root, path, 0, access, &m_hKey) == ERROR_SUCCESS;
    }
    bool Read(const wchar_t* name, std::wstring& value) const {
        DWORD type = 0;
        DWORD bytes = 0;
        if (::RegQueryValueExW(m_hKey, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ) || bytes > 64 * 1024) {
            return false;
        }
        std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
        if (::RegQueryValueExW(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                               &bytes) != ERROR_SUCCESS) {
            return false;
        }
        text.resize(bytes / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') {
            text.pop_back();
        }
        value = text;
        return true;
    }
    bool Write(const wchar_t* name, const std::wstring& value) {
        return ::RegSetValueExW(
                   m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    void Delete(const wchar_t* name) { ::RegDeleteValueW(m_hKey, name); }

private:
    HKEY m_hKey = nullptr;
};

bool RunningOnWine() {
    const HMODULE hNtdll = ::GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && ::GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}

HKEY RegistrationRoot() {
    return RunningOnWine() ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(g_hModule, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

HRESULT Register() {
    const std::wstring path = ModulePath();
    if (path.empty()) {
        return SELFREG_E_CLASS;
    }
    const HKEY root = RegistrationRoot();
    CRegKey classKey;
    CRegKey serverKey;
    CRegKey controlKey;
    if (!classKey.Create(root, kClassKey) || !serverKey.Create(root, kServerKey)) {
        return SELFREG_E_CLASS;
    }
    std::wstring previous;
    std::wstring saved;
    if (serverKey.Read(nullptr, previous) && !previous.empty() && !SamePath(previous, path) &&
        !serverKey.Read(kSavedServer, saved)) {
        std::wstring threading;
        serverKey.Read(L"ThreadingModel", threading);
        if (!serverKey.Write(kSavedServer, previous) ||
            !serverKey.Write(kSavedThreading, threading)) {
            return SELFREG_E_CLASS;
        }
    }
    if (!classKey.Write(nullptr, L"TunaraPlayer internet radio player") ||
        !serverKey.Write(nullptr, path) || !serverKey.Write(L"ThreadingModel", L"Apartment")) {
        return SELFREG_E_CLASS;
    }
    const std::wstring controlPath = std::wstring(kClassKey) + L"\\Control";
    controlKey.Create(root, controlPath.c_str());
    return S_OK;
}

HRESULT Unregister() {
    const HKEY root = RegistrationRoot();
    const std::wstring path = ModulePath();
    std::wstring current;
    {
        CRegKey serverKey;
        if (!serverKey.Open(root, kServerKey, KEY_READ | KEY_WRITE) ||
            !serverKey.Read(nullptr, current)) {
            return S_OK;  // nothing registered
        }
        if (!SamePath(current, path)) {
            return S_OK;  // someone else's registration stays
        }
        std::wstring previous;
        if (serverKey.Read(kSavedServer, previous)) {
            std::wstring threading;
            serverKey.Read(kSavedThreading, threading);
            if (!serverKey.Write(nullptr, previous) ||
                (!threading.empty() && !serverKey.Write(L"ThreadingModel", threading))) {
                return SELFREG_E_CLASS;
            }
            serverKey.Delete(kSavedServer);
            serverKey.Delete(kSavedThreading);
            return S_OK;
        }
    }
    const LSTATUS status = ::RegDeleteTreeW(root, kClassKey);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

// True when the registered control can be driven by dispatch id: a built-in
// control that exists but refuses automation calls is not.
bool InstalledControlWorks() {
    {
        CRegKey serverKey;
        std::wstring current;
        if (serverKey.Open(RegistrationRoot(), kServerKey, KEY_READ) &&
            serverKey.Read(nullptr, current) && SamePath(current, ModulePath())) {
            return true;  // this player already
        }
    }
    const HRESULT init = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool works = false;
    {
        CComPtr<IDispatch> pPlayer;
        if (SUCCEEDED(::CoCreateInstance(kClsidRadioPlayer, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_PPV_ARGS(&pPlayer))) &&
            pPlayer) {
            DISPPARAMS none{};
            VARIANT result;
            ::VariantInit(&result);
            works =
                SUCCEEDED(pPlayer->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                          &none, &result, nullptr, nullptr));
            ::VariantClear(&result);
        }
    }
    if (SUCCEEDED(init)) {
        ::CoUninitialize();
    }
    return works;
}

class CClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // A static object: its references only keep the module loaded.
    ULONG STDMETHODCALLTYPE AddRef() override {
        ModuleAddRef();
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        ModuleRelease();
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuter, REFIID iid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (pOuter != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        CRadioPlayer* player = CRadioPlayer::Create();
        if (player == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = player->QueryInterface(iid, ppv);
        player->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++g_nLocks;
        } else {
            --g_nLocks;
        }
        return S_OK;
    }
};

CClassFactory g_factory;

}  // namespace

void ModuleAddRef() {
    ++g_nObjects;
}

void ModuleRelease() {
    --g_nObjects;
}

HMODULE ModuleHandle() {
    return g_hModule;
}

}  // namespace radio

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        radio::g_hModule = hInstance;
        ::DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!::IsEqualCLSID(clsid, radio::kClsidRadioPlayer)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return radio::g_factory.QueryInterface(iid, ppv);
}

STDAPI DllCanUnloadNow() {
    return radio::g_nObjects.load() == 0 && radio::g_nLocks.load() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    return radio::Register();
}

STDAPI DllUnregisterServer() {
    return radio::Unregister();
}

STDAPI DllInstall(BOOL install, LPCWSTR cmdLine) {
    const bool ifNeeded = cmdLine != nullptr &&
                          ::CompareStringOrdinal(cmdLine, -1, L"ifneeded", -1, TRUE) == CSTR_EQUAL;
    if (!install) {
        return radio::Unregister();
    }
    if (ifNeeded && radio::InstalledControlWorks()) {
        return S_OK;
    }
    return radio::Register();
}
