// TunaraPlayer.dll driven the way the helper drives it: created through its
// class object, called by dispatch id, its events received through its
// connection point on this thread's message loop.
#include <winsock2.h>
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "framework/Handles.h"

namespace {

const CLSID kClsid = {0x6BF52A52, 0x394A, 0x11D3, {0xB1, 0x53, 0x00, 0xC0, 0x4F, 0x79, 0xFA, 0xA6}};
const IID kDiidEvents = {
    0x6BF52A51, 0x394A, 0x11D3, {0xB1, 0x53, 0x00, 0xC0, 0x4F, 0x79, 0xFA, 0xA6}};

constexpr DISPID kUrl = 1, kControls = 4, kSettings = 5, kCurrentMedia = 6, kPlayState = 10,
                 kError = 17, kStop = 52, kVolume = 107, kAutoStart = 101, kAttributeCount = 759,
                 kGetAttributeName = 760, kGetItemInfo = 761, kClearErrorQueue = 851,
                 kErrorCount = 852, kItem = 853, kErrorCode = 901, kErrorDescription = 902;
constexpr DISPID kPlayStateChange = 5101, kMediaChange = 5802, kErrorEvent = 5501;

std::wstring WinePath(const char* unixPath) {
    std::string path = unixPath;
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    return std::wstring(path.begin(), path.end());
}

HMODULE g_hPlayer = nullptr;

// Pumps this thread's messages until done() or the time is up.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return true;
}

HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(args.size()),
                      0};
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    VARIANT scratch;
    ::VariantInit(&scratch);
    const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                      result != nullptr ? result : &scratch, nullptr, nullptr);
    ::VariantClear(&scratch);
    return hr;
}

VARIANT Long(LONG value) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

// The caller frees the string with the VARIANT.
VARIANT Text(const std::wstring& value) {
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = ::SysAllocString(value.c_str());
    return v;
}

CComPtr<IDispatch> GetObject(IDispatch* object, DISPID id) {
    VARIANT result;
    ::VariantInit(&result);
    CComPtr<IDispatch> out;
    if (SUCCEEDED(Call(object, id, DISPATCH_PROPERTYGET, {}, &result)) &&
        result.vt == VT_DISPATCH) {
        out.Attach(result.pdispVal);
    } else {
        ::VariantClear(&result);
    }
    return out;
}

LONG GetLong(IDispatch* object, DISPID id, std::vector<VARIANT> args = {}) {
    VARIANT result;
    ::VariantInit(&result);
    EXPECT_EQ(Call(object, id, DISPATCH_PROPERTYGET, std::move(args), &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    return result.lVal;
}

std::wstring GetText(IDispatch* object, DISPID id, std::vector<VARIANT> args, WORD flags) {
    VARIANT result;
    ::VariantInit(&result);
    EXPECT_EQ(Call(object, id, flags, args, &result), S_OK);
    for (auto& arg : args) {
        ::VariantClear(&arg);
    }
    std::wstring text;
    if (result.vt == VT_BSTR && result.bstrVal != nullptr) {
        text.assign(result.bstrVal, ::SysStringLen(result.bstrVal));
    }
    ::VariantClear(&result);
    return text;
}

struct CEvent {
    DISPID id;
    LONG value;
    DWORD thread;
};

// Records the player's events. Like the helper it can answer an error by
// emptying the queue and stopping, from inside the event.
class CEventSink final : public IDispatch {
public:
    std::vector<CEvent> events;
    IDispatch* pStopOnError = nullptr;
    bool bInsideCall = false;  // set by the test around its own calls
    int nEventsInsideCalls = 0;
    std::vector<std::pair<std::wstring, std::wstring>> lastMedia;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IDispatch) ||
            ::IsEqualIID(iid, kDiidEvents)) {
            *ppv = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        LONG value = 0;
        if (params != nullptr && params->cArgs == 1 && params->rgvarg[0].vt == VT_I4) {
            value = params->rgvarg[0].lVal;
        }
        events.push_back({id, value, ::GetCurrentThreadId()});
        if (bInsideCall) {
            ++nEventsInsideCalls;
        }
        if (id == kMediaChange && params != nullptr && params->cArgs == 1 &&
            params->rgvarg[0].vt == VT_DISPATCH) {
            ReadMedia(params->rgvarg[0].pdispVal);
        }
        if (id == kErrorEvent && pStopOnError != nullptr) {
            CComPtr<IDispatch> queue = GetObject(pStopOnError, kError);
            Call(queue.Get(), kClearErrorQueue, DISPATCH_METHOD, {}, nullptr);
            CComPtr<IDispatch> controls = GetObject(pStopOnError, kControls);
            Call(controls.Get(), kStop, DISPATCH_METHOD, {}, nullptr);
        }
        return S_OK;
    }

    void ReadMedia(IDispatch* media) {
        lastMedia.clear();
        const LONG count = GetLong(media, kAttributeCount);
        for (LONG i = 0; i < count; ++i) {
            const std::wstring name = GetText(media, kGetAttributeName, {Long(i)}, DISPATCH_METHOD);
            lastMedia.emplace_back(name,
                                   GetText(media, kGetItemInfo, {Text(name)}, DISPATCH_METHOD));
        }
    }

    std::wstring Attribute(const std::wstring& name) const {
        for (const auto& [key, text] : lastMedia) {
            if (key == name) {
                return text;
            }
        }
        return L"<none>";
    }

    std::vector<LONG> States() const {
        std::vector<LONG> states;
        for (const auto& event : events) {
            if (event.id == kPlayStateChange) {
                states.push_back(event.value);
            }
        }
        return states;
    }
    bool Has(DISPID id) const {
        for (const auto& event : events) {
            if (event.id == id) {
                return true;
            }
        }
        return false;
    }
    bool HasState(LONG state) const {
        for (LONG s : States()) {
            if (s == state) {
                return true;
            }
        }
        return false;
    }
};

class RadioPlayer : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(g_hPlayer, nullptr);
        auto getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
            reinterpret_cast<void*>(::GetProcAddress(g_hPlayer, "DllGetClassObject")));
        ASSERT_NE(getClassObject, nullptr);
        CComPtr<IClassFactory> factory;
        ASSERT_EQ(getClassObject(kClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
                  S_OK);
        ASSERT_EQ(
            factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&m_player)),
            S_OK);
        CComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(m_player.QueryInterface(&container), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(kDiidEvents, &m_point), S_OK);
        ASSERT_EQ(m_point->Advise(&m_sink, &m_dwCookie), S_OK);
    }

    void TearDown() override {
        if (m_point) {
            m_point->Unadvise(m_dwCookie);
        }
        m_point.Release();
        m_player.Release();
    }

    void PutUrl(const std::wstring& url) {
        VARIANT text = Text(url);
        m_sink.bInsideCall = true;
        ASSERT_EQ(Call(m_player.Get(), kUrl, DISPATCH_PROPERTYPUT, {text}, nullptr), S_OK);
        m_sink.bInsideCall = false;
        ::VariantClear(&text);
    }

    void Stop() {
        CComPtr<IDispatch> controls = GetObject(m_player.Get(), kControls);
        ASSERT_TRUE(controls);
        m_sink.bInsideCall = true;
        ASSERT_EQ(Call(controls.Get(), kStop, DISPATCH_METHOD, {}, nullptr), S_OK);
        m_sink.bInsideCall = false;
    }

    LONG ErrorCount() {
        CComPtr<IDispatch> queue = GetObject(m_player.Get(), kError);
        return GetLong(queue.Get(), kErrorCount);
    }

    LONG FirstErrorCode() {
        CComPtr<IDispatch> queue = GetObject(m_player.Get(), kError);
        VARIANT item;
        ::VariantInit(&item);
        EXPECT_EQ(Call(queue.Get(), kItem, DISPATCH_PROPERTYGET, {Long(0)}, &item), S_OK);
        EXPECT_EQ(item.vt, VT_DISPATCH);
        const LONG code = GetLong(item.pdispVal, kErrorCode);
        EXPECT_FALSE(GetText(item.pdispVal, kErrorDescription, {}, DISPATCH_PROPERTYGET).empty());
        ::VariantClear(&item);
        return code;
    }

    CComPtr<IDispatch> m_player;
    CComPtr<IConnectionPoint> m_point;
    CEventSink m_sink;
    DWORD m_dwCookie = 0;
};

TEST_F(RadioPlayer, PublishedNamesHaveTheirIds) {
    struct {
        DISPID object;  // 0: the control itself
        const wchar_t* name;
        DISPID id;
    } cases[] = {{0, L"URL", kUrl},
                 {0, L"controls", kControls},
                 {0, L"settings", kSettings},
                 {0, L"currentMedia", kCurrentMedia},
                 {0, L"error", kError},
                 {0, L"playState", kPlayState},
                 {kControls, L"play", 51},
                 {kControls, L"stop", kStop},
                 {kControls, L"pause", 53},
                 {kSettings, L"volume", kVolume},
                 {kSettings, L"AUTOSTART", kAutoStart},
                 {kError, L"clearErrorQueue", kClearErrorQueue},
                 {kError, L"errorCount", kErrorCount},
                 {kError, L"item", kItem}};
    for (const auto& c : cases) {
        CComPtr<IDispatch> object = c.object == 0 ? CComPtr<IDispatch>(m_player.Get())
                                                  : GetObject(m_player.Get(), c.object);
        ASSERT_TRUE(object);
        LPOLESTR name = const_cast<LPOLESTR>(c.name);
        DISPID id = 0;
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK)
            << c.name;
        EXPECT_EQ(id, c.id) << c.name;
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"noSuchMember");
    DISPID id = 0;
    EXPECT_EQ(m_player->GetIDsOfNames(IID_NULL, &unknown, 1, LOCALE_USER_DEFAULT, &id),
              DISP_E_UNKNOWNNAME);
}

TEST_F(RadioPlayer, VolumeIsKeptAsGiven) {
    CComPtr<IDispatch> settings = GetObject(m_player.Get(), kSettings);
    for (LONG volume : {75, 150, -5, 0}) {
        ASSERT_EQ(Call(settings.Get(), kVolume, DISPATCH_PROPERTYPUT, {Long(volume)}, nullptr),
                  S_OK);
        EXPECT_EQ(GetLong(settings.Get(), kVolume), volume);
    }
    VARIANT text = Text(L"not a number");
    EXPECT_EQ(Call(settings.Get(), kVolume, DISPATCH_PROPERTYPUT, {text}, nullptr),
              DISP_E_TYPEMISMATCH);
    ::VariantClear(&text);
}

// The stream that the helper's dialog template holds for the control.
std::vector<uint8_t> DialogStream() {
    std::vector<uint8_t> s = {0, 0, 0, 0, 0, 3, 0, 0};
    auto le16 = [&](uint16_t v) { s.insert(s.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    auto le32 = [&](uint32_t v) {
        s.insert(s.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    };
    auto str = [&](const wchar_t* t) {
        le16(8);
        le32(static_cast<uint32_t>((wcslen(t) + 1) * 2));
        for (; *t; ++t)
            le16(*t);
        le16(0);
    };
    auto r8 = [&](uint64_t bits) {
        le16(5);
        le32(uint32_t(bits));
        le32(uint32_t(bits >> 32));
    };
    auto i4 = [&](uint32_t v) {
        le16(3);
        le32(v);
    };
    auto b = [&](bool v) {
        le16(11);
        le16(v ? 0xFFFF : 0);
    };
    le16(8);
    le32(0);
    r8(0x3FF0000000000000ull);
    i4(0);
    r8(0);
    str(L"");
    i4(1);
    b(true);
    i4(0);
    b(true);
    str(L"");
    i4(50);
    b(false);
    str(L"full");
    b(false), b(false), b(true), b(true), b(false);
    str(L""), str(L""), str(L""), str(L"");
    b(false);
    le32(11986);
    le32(6376);
    return s;
}

CComPtr<IStream> StreamOf(const std::vector<uint8_t>& bytes) {
    CComPtr<IStream> stream;
    EXPECT_EQ(::CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    ULONG written = 0;
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
}

TEST_F(RadioPlayer, LoadsTheDialogStream) {
    const auto bytes = DialogStream();
    ASSERT_EQ(bytes.size(), 166u);
    CComPtr<IPersistStreamInit> persist;
    ASSERT_EQ(m_player.QueryInterface(&persist), S_OK);
    CComPtr<IDispatch> settings = GetObject(m_player.Get(), kSettings);
    ASSERT_EQ(Call(settings.Get(), kVolume, DISPATCH_PROPERTYPUT, {Long(9)}, nullptr), S_OK);
    ASSERT_EQ(persist->Load(StreamOf(bytes).Get()), S_OK);
    EXPECT_EQ(GetLong(settings.Get(), kVolume), 50);
    // A cut-off stream is refused and changes nothing.
    ASSERT_EQ(Call(settings.Get(), kVolume, DISPATCH_PROPERTYPUT, {Long(9)}, nullptr), S_OK);
    EXPECT_EQ(persist->Load(StreamOf({bytes.begin(), bytes.begin() + 100}).Get()), E_FAIL);
    EXPECT_EQ(GetLong(settings.Get(), kVolume), 9);
}

struct CFailureCase {
    const char* name;
    std::wstring url;
    uint32_t code;
};

class PlayerFailures : public RadioPlayer, public testing::WithParamInterface<CFailureCase> {};

TEST_P(PlayerFailures, GiveOneErrorAndStop) {
    // Answer the error the way the helper does: read, clear, stop.
    m_sink.pStopOnError = m_player.Get();
    PutUrl(GetParam().url);
    // Nothing is raised inside the put: the host sets its own state after it.
    EXPECT_EQ(m_sink.nEventsInsideCalls, 0);
    ASSERT_TRUE(PumpUntil([&] { return m_sink.Has(kErrorEvent); }, 10000));
    EXPECT_EQ(m_sink.States().front(), 9);
    EXPECT_EQ(m_sink.States().back(), 1);
    EXPECT_EQ(ErrorCount(), 0);  // the handler cleared it
    m_sink.pStopOnError = nullptr;
}

TEST_P(PlayerFailures, QueueHoldsCodeAndDescription) {
    PutUrl(GetParam().url);
    ASSERT_TRUE(PumpUntil([&] { return m_sink.Has(kErrorEvent); }, 10000));
    ASSERT_EQ(ErrorCount(), 1);
    EXPECT_EQ(static_cast<uint32_t>(FirstErrorCode()), GetParam().code);
    // Without a stop from the host the player stops by itself.
    ASSERT_TRUE(PumpUntil([&] { return m_sink.HasState(1); }, 1000));
}

std::wstring GarbageFile() {
    wchar_t dir[MAX_PATH];
    ::GetTempPathW(MAX_PATH, dir);
    const std::wstring path = std::wstring(dir) + L"radio-garbage.mp3";
    std::mt19937 random(3);
    std::string bytes(200000, '\0');
    for (auto& c : bytes) {
        c = static_cast<char>(random());
    }
    FILE* file = _wfopen(path.c_str(), L"wb");
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    return path;
}

// A port on which nothing listens.
uint16_t ClosedPort() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int size = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &size);
    ::closesocket(s);
    return ntohs(addr.sin_port);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerFailures,
    testing::Values(CFailureCase{"MissingFile", L"C:\\no-such-folder\\missing.mp3", 0x80070002u},
                    CFailureCase{"UnknownScheme", L"mms://radio.example/live", 0xC00D36C3u},
                    CFailureCase{"Garbage", GarbageFile(), 0xC00D36C4u},
                    CFailureCase{"Refused",
                                 L"http://127.0.0.1:" + std::to_wstring(ClosedPort()) + L"/",
                                 0xC00D4287u}),
    [](const testing::TestParamInfo<CFailureCase>& info) { return std::string(info.param.name); });

struct CFileCase {
    const char* name;
    const char* file;
    const wchar_t* fileType;
    const wchar_t* bitrate;
};

// Playing needs an audio device; under Wine that is an ALSA device (an
// .asoundrc with a null PCM in the test HOME will do).
bool HaveAudioDevice() {
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
    return ::waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY) ==
           MMSYSERR_NOERROR;
}

class PlayerFiles : public RadioPlayer, public testing::WithParamInterface<CFileCase> {
protected:
    void SetUp() override {
        if (!HaveAudioDevice()) {
            GTEST_SKIP() << "no audio device";
        }
        RadioPlayer::SetUp();
    }
};

TEST_P(PlayerFiles, PlayToTheEnd) {
    const std::wstring path =
        WinePath(RADIO_TEST_AUDIO) + L"\\" +
        std::wstring(GetParam().file, GetParam().file + strlen(GetParam().file));
    PutUrl(path);
    ASSERT_TRUE(PumpUntil([&] { return m_sink.HasState(3) || m_sink.Has(kErrorEvent); }, 5000));
    ASSERT_FALSE(m_sink.Has(kErrorEvent))
        << "error " << std::hex << (ErrorCount() ? FirstErrorCode() : 0);
    EXPECT_EQ(m_sink.Attribute(L"FileType"), GetParam().fileType);
    EXPECT_EQ(m_sink.Attribute(L"Bitrate"), GetParam().bitrate);
    EXPECT_EQ(m_sink.Attribute(L"MediaType"), L"audio");
    EXPECT_EQ(m_sink.Attribute(L"Title"), L"tone");
    EXPECT_EQ(m_sink.Attribute(L"Duration").substr(0, 3), L"1.5");
    ASSERT_TRUE(PumpUntil([&] { return m_sink.HasState(1); }, 5000));
    EXPECT_EQ(m_sink.States(), (std::vector<LONG>{9, 3, 8, 1}));
    for (const auto& event : m_sink.events) {
        EXPECT_EQ(event.thread, ::GetCurrentThreadId());
    }
}

TEST_P(PlayerFiles, StopIsImmediateAndRaisedInsideTheCall) {
    const std::wstring path =
        WinePath(RADIO_TEST_AUDIO) + L"\\" +
        std::wstring(GetParam().file, GetParam().file + strlen(GetParam().file));
    PutUrl(path);
    ASSERT_TRUE(PumpUntil([&] { return m_sink.HasState(3); }, 5000));
    const auto start = std::chrono::steady_clock::now();
    Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(m_sink.nEventsInsideCalls, 1);
    EXPECT_EQ(m_sink.States().back(), 1);
    // Nothing of the old stream comes after the stop.
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(m_sink.States().back(), 1);
    EXPECT_EQ(GetLong(m_player.Get(), kPlayState), 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, PlayerFiles,
                         testing::Values(CFileCase{"Wav", "tone.wav", L"wav", L"1411200"},
                                         CFileCase{"Mp3", "tone.mp3", L"mp3", L"128000"}),
                         [](const testing::TestParamInfo<CFileCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RadioPlayer, StopEndsAHungConnectionAtOnce) {
    // A server that accepts and never answers.
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    int size = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size);
    PutUrl(L"http://127.0.0.1:" + std::to_wstring(ntohs(addr.sin_port)) + L"/stream");
    ASSERT_TRUE(PumpUntil([&] { return m_sink.HasState(9); }, 2000));
    PumpUntil([] { return false; }, 300);
    const auto start = std::chrono::steady_clock::now();
    Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(m_sink.States().back(), 1);
    EXPECT_FALSE(m_sink.Has(kErrorEvent));
    ::closesocket(listener);
}

TEST_F(RadioPlayer, CurrentMediaFollowsTheUrl) {
    EXPECT_FALSE(GetObject(m_player.Get(), kCurrentMedia));
    CComPtr<IDispatch> settings = GetObject(m_player.Get(), kSettings);
    VARIANT off;
    ::VariantInit(&off);
    off.vt = VT_BOOL;
    off.boolVal = VARIANT_FALSE;
    ASSERT_EQ(Call(settings.Get(), kAutoStart, DISPATCH_PROPERTYPUT, {off}, nullptr), S_OK);
    PutUrl(L"http://radio.example/live");
    CComPtr<IDispatch> media = GetObject(m_player.Get(), kCurrentMedia);
    ASSERT_TRUE(media);
    EXPECT_EQ(GetText(media.Get(), kGetItemInfo, {Text(L"sourceurl")}, DISPATCH_METHOD),
              L"http://radio.example/live");
    // Without autoStart nothing plays: the state is "ready".
    ASSERT_TRUE(PumpUntil([&] { return m_sink.HasState(10); }, 1000));
    EXPECT_FALSE(m_sink.HasState(9));
}

class CEnvironment : public testing::Environment {
public:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        g_hPlayer = ::LoadLibraryW(WinePath(RADIO_PLAYER_DLL).c_str());
    }
    void TearDown() override {
        if (g_hPlayer != nullptr) {
            auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
                reinterpret_cast<void*>(::GetProcAddress(g_hPlayer, "DllCanUnloadNow")));
            EXPECT_EQ(canUnload(), S_OK) << "objects of the player still alive";
            ::FreeLibrary(g_hPlayer);
        }
        ::WSACleanup();
        ::CoUninitialize();
    }
};

const auto* const g_environment = testing::AddGlobalTestEnvironment(new CEnvironment);

}  // namespace
