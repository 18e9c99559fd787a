#include "radio/decoder/AacDecoder_win.h"

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "framework/Handles.h"
#include "radio/decoder/AacDecoder.h"

namespace radio {

namespace {

struct CModuleTraits {
    using pointer = HMODULE;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::FreeLibrary(h); }
};
using CModuleHandle = CUniqueHandle<CModuleTraits>;

using PfnMFStartup = HRESULT(WINAPI*)(ULONG, DWORD);
using PfnMFShutdown = HRESULT(WINAPI*)();
using PfnMFCreateMediaType = HRESULT(WINAPI*)(IMFMediaType**);
using PfnMFCreateSample = HRESULT(WINAPI*)(IMFSample**);
using PfnMFCreateMemoryBuffer = HRESULT(WINAPI*)(DWORD, IMFMediaBuffer**);

template <typename T>
T Proc(HMODULE module, const char* name) {
    // GetProcAddress gives a generic function pointer; the cast to the
    // documented signature is the point of loading at run time.
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Joins the calling thread's apartment, or enters the multithreaded one
// when the thread has none; leaves only what it entered.
class CComApartment {
public:
    CComApartment() {
        const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        // RPC_E_CHANGED_MODE: the thread is in a single-threaded apartment
        // already, which serves as well.
        m_bEntered = SUCCEEDED(hr);
        m_bUsable = m_bEntered || hr == RPC_E_CHANGED_MODE;
    }
    ~CComApartment() {
        if (m_bEntered) {
            ::CoUninitialize();
        }
    }
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;
    bool Usable() const { return m_bUsable; }

private:
    bool m_bEntered = false;
    bool m_bUsable = false;
};

// A failure that says the transform is gone, not that one frame was bad.
bool IsFatal(HRESULT hr) {
    return hr == E_OUTOFMEMORY || hr == E_UNEXPECTED || hr == E_POINTER ||
           hr == MF_E_TRANSFORM_TYPE_NOT_SET || hr == MF_E_SHUTDOWN || hr == RPC_E_WRONG_THREAD;
}

// Output buffers are at least this big: 2048 samples (SBR doubles the 1024)
// of eight 16-bit channels, in case the transform names no size.
constexpr DWORD kMinOutputBytes = 2048 * 8 * 2;

}  // namespace

// mfplat.dll, loaded and started once for the process's AAC streams.
class CMfRuntime {
public:
    static std::shared_ptr<CMfRuntime> Load(const wchar_t* name) {
        CModuleHandle module(::LoadLibraryW(name));
        if (!module) {
            return nullptr;
        }
        auto runtime = std::shared_ptr<CMfRuntime>(new (std::nothrow) CMfRuntime);
        if (!runtime) {
            return nullptr;
        }
        const auto startup = Proc<PfnMFStartup>(module.Get(), "MFStartup");
        runtime->m_pfnShutdown = Proc<PfnMFShutdown>(module.Get(), "MFShutdown");
        runtime->CreateMediaType = Proc<PfnMFCreateMediaType>(module.Get(), "MFCreateMediaType");
        runtime->CreateSample = Proc<PfnMFCreateSample>(module.Get(), "MFCreateSample");
        runtime->CreateMemoryBuffer =
            Proc<PfnMFCreateMemoryBuffer>(module.Get(), "MFCreateMemoryBuffer");
        if (!startup || !runtime->m_pfnShutdown || !runtime->CreateMediaType ||
            !runtime->CreateSample || !runtime->CreateMemoryBuffer ||
            FAILED(startup(MF_VERSION, MFSTARTUP_LITE))) {
            return nullptr;
        }
        runtime->m_bStarted = true;
        runtime->m_hModule = std::move(module);
        return runtime;
    }
    ~CMfRuntime() {
        if (m_bStarted) {
            m_pfnShutdown();
        }
    }
    CMfRuntime(const CMfRuntime&) = delete;
    CMfRuntime& operator=(const CMfRuntime&) = delete;

    PfnMFCreateMediaType CreateMediaType = nullptr;
    PfnMFCreateSample CreateSample = nullptr;
    PfnMFCreateMemoryBuffer CreateMemoryBuffer = nullptr;

private:
    CMfRuntime() = default;
    CModuleHandle m_hModule;
    PfnMFShutdown m_pfnShutdown = nullptr;
    bool m_bStarted = false;
};

namespace {

class CMfAacTransform final : public IAacTransform {
public:
    // Null when COM or the transform is not there.
    static std::unique_ptr<CMfAacTransform> Create(std::shared_ptr<CMfRuntime> runtime,
                                                   const CLSID& clsid) {
        std::unique_ptr<CMfAacTransform> transform(new (std::nothrow) CMfAacTransform);
        if (!transform || !transform->m_apartment.Usable()) {
            return nullptr;
        }
        transform->m_pRuntime = std::move(runtime);
        if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IMFTransform,
                                      reinterpret_cast<void**>(&transform->m_pTransform)))) {
            return nullptr;
        }
        return transform;
    }

    bool SetInputType(const CAacInputType& type) override {
        CComPtr<IMFMediaType> media;
        if (FAILED(m_pRuntime->CreateMediaType(&media))) {
            return false;
        }
        const bool set = SUCCEEDED(media->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio)) &&
                         SUCCEEDED(media->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC)) &&
                         SUCCEEDED(media->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND,
                                                    static_cast<UINT32>(type.nSampleRate))) &&
                         SUCCEEDED(media->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS,
                                                    static_cast<UINT32>(type.nChannels))) &&
                         SUCCEEDED(media->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16)) &&
                         SUCCEEDED(media->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE,
                                                    static_cast<UINT32>(type.payload))) &&
                         SUCCEEDED(media->SetBlob(MF_MT_USER_DATA, type.userData.data(),
                                                  static_cast<UINT32>(type.userData.size())));
        if (!set || FAILED(m_pTransform->SetInputType(0, media.Get(), 0))) {
            return false;
        }
        m_nInputRate = type.nSampleRate;
        return true;
    }

    bool SetPcmOutput(CPcmFormat& format) override {
        for (DWORD index = 0; index < 64; ++index) {
            CComPtr<IMFMediaType> media;
            if (FAILED(m_pTransform->GetOutputAvailableType(0, index, &media))) {
                return false;
            }
            GUID subtype = GUID_NULL;
            UINT32 bits = 0, rate = 0, channels = 0;
            if (FAILED(media->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFAudioFormat_PCM ||
                FAILED(media->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits)) || bits != 16 ||
                FAILED(media->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate)) ||
                FAILED(media->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels)) || rate == 0 ||
                channels == 0 || channels > 8) {
                continue;
            }
            if (FAILED(m_pTransform->SetOutputType(0, media.Get(), 0))) {
                continue;
            }
            MFT_OUTPUT_STREAM_INFO info = {};
            if (FAILED(m_pTransform->GetOutputStreamInfo(0, &info))) {
                return false;
            }
            m_bProvidesSamples = (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES |
                                                  MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
            m_nOutputBytes = std::max<DWORD>(info.cbSize, kMinOutputBytes);
            m_pOutput.Release();  // sized for the old format
            format.nSampleRate = static_cast<int>(rate);
            format.nChannels = static_cast<int>(channels);
            return true;
        }
        return false;
    }

    TransformStatus ProcessInput(const uint8_t* frame, size_t bytes) override {
        CComPtr<IMFSample> sample;
        CComPtr<IMFMediaBuffer> buffer;
        if (bytes == 0 || bytes > 0x100000 || FAILED(m_pRuntime->CreateSample(&sample)) ||
            FAILED(m_pRuntime->CreateMemoryBuffer(static_cast<DWORD>(bytes), &buffer))) {
            return TransformStatus::Failed;
        }
        BYTE* data = nullptr;
        if (FAILED(buffer->Lock(&data, nullptr, nullptr))) {
            return TransformStatus::Failed;
        }
        std::memcpy(data, frame, bytes);
        buffer->Unlock();
        // Timestamps in 100 ns units, one AAC frame apart: decoders that
        // look at them see a steady stream.
        const LONGLONG duration = m_nInputRate > 0 ? 1024LL * 10000000LL / m_nInputRate : 0;
        if (FAILED(buffer->SetCurrentLength(static_cast<DWORD>(bytes))) ||
            FAILED(sample->AddBuffer(buffer.Get())) || FAILED(sample->SetSampleTime(m_nTime)) ||
            FAILED(sample->SetSampleDuration(duration))) {
            return TransformStatus::Failed;
        }
        const HRESULT hr = m_pTransform->ProcessInput(0, sample.Get(), 0);
        if (hr == MF_E_NOTACCEPTING) {
            return TransformStatus::NotAccepting;
        }
        if (FAILED(hr)) {
            return IsFatal(hr) ? TransformStatus::Failed : TransformStatus::BadData;
        }
        m_nTime += duration;
        return TransformStatus::Ok;
    }

    TransformStatus ProcessOutput(std::vector<int16_t>& pcm) override {
        MFT_OUTPUT_DATA_BUFFER out = {};
        if (!m_bProvidesSamples) {
            if (!m_pOutput && !MakeOutputSample()) {
                return TransformStatus::Failed;
            }
            CComPtr<IMFMediaBuffer> buffer;
            if (FAILED(m_pOutput->GetBufferByIndex(0, &buffer)) ||
                FAILED(buffer->SetCurrentLength(0))) {
                return TransformStatus::Failed;
            }
            out.pSample = m_pOutput.Get();
        }
        DWORD status = 0;
        const HRESULT hr = m_pTransform->ProcessOutput(0, 1, &out, &status);
        if (out.pEvents != nullptr) {
            out.pEvents->Release();
        }
        // A sample the transform allocated is ours to release.
        CComPtr<IMFSample> provided;
        if (m_bProvidesSamples && out.pSample != nullptr) {
            provided.Attach(out.pSample);
        }
        if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) {
            return TransformStatus::NeedInput;
        }
        if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
            return TransformStatus::StreamChange;
        }
        if (FAILED(hr)) {
            return IsFatal(hr) ? TransformStatus::Failed : TransformStatus::BadData;
        }
        IMFSample* sample = m_bProvidesSamples ? provided.Get() : m_pOutput.Get();
        if (sample == nullptr) {
            return TransformStatus::Ok;
        }
        CComPtr<IMFMediaBuffer> buffer;
        if (FAILED(sample->ConvertToContiguousBuffer(&buffer))) {
            return TransformStatus::Failed;
        }
        BYTE* data = nullptr;
        DWORD length = 0;
        if (FAILED(buffer->Lock(&data, nullptr, &length))) {
            return TransformStatus::Failed;
        }
        const size_t count = length / sizeof(int16_t);
        const size_t at = pcm.size();
        pcm.resize(at + count);
        std::memcpy(pcm.data() + at, data, count * sizeof(int16_t));
        buffer->Unlock();
        return TransformStatus::Ok;
    }

    void Drain() override { m_pTransform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0); }
    void Flush() override {
        m_pTransform->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
        m_nTime = 0;
    }

private:
    CMfAacTransform() = default;

    bool MakeOutputSample() {
        CComPtr<IMFSample> sample;
        CComPtr<IMFMediaBuffer> buffer;
        if (FAILED(m_pRuntime->CreateSample(&sample)) ||
            FAILED(m_pRuntime->CreateMemoryBuffer(m_nOutputBytes, &buffer)) ||
            FAILED(sample->AddBuffer(buffer.Get()))) {
            return false;
        }
        m_pOutput = std::move(sample);
        return true;
    }

    // Declared so that they go in this order: the transform and the samples
    // before the apartment, the apartment before Media Foundation.
    std::shared_ptr<CMfRuntime> m_pRuntime;
    CComApartment m_apartment;
    CComPtr<IMFTransform> m_pTransform;
    CComPtr<IMFSample> m_pOutput;
    bool m_bProvidesSamples = false;
    DWORD m_nOutputBytes = kMinOutputBytes;
    int m_nInputRate = 0;
    LONGLONG m_nTime = 0;
};

std::mutex g_runtimeLock;

}  // namespace

CMfAacDecoderFactory::CMfAacDecoderFactory(CMfAacOptions options) : m_options(options) {}

CMfAacDecoderFactory::~CMfAacDecoderFactory() = default;

std::unique_ptr<IDecoder> CMfAacDecoderFactory::Create(CodecKind kind, CRadioFailure& failure) {
    if (!AacPayloadFor(kind)) {
        failure = MakeFailure(RadioError::UnsupportedFormat);
        return nullptr;
    }
    std::shared_ptr<CMfRuntime> runtime;
    {
        // Sessions of abandoned streams may still be starting on their own
        // threads while a new one asks.
        std::lock_guard<std::mutex> lock(g_runtimeLock);
        if (!m_bTried) {
            m_bTried = true;
            m_pRuntime = CMfRuntime::Load(m_options.pszMfPlat);
        }
        runtime = m_pRuntime;
    }
    if (!runtime) {
        failure = MakeFailure(RadioError::AacDecoderMissing);
        return nullptr;
    }
    auto transform = CMfAacTransform::Create(std::move(runtime), m_options.clsid);
    if (!transform) {
        failure = MakeFailure(RadioError::AacDecoderMissing);
        return nullptr;
    }
    auto decoder = std::unique_ptr<IDecoder>(new (std::nothrow) CAacDecoder(std::move(transform)));
    if (!decoder) {
        failure = MakeFailure(RadioError::AacDecoderMissing);
    }
    return decoder;
}

}  // namespace radio
