#include "radio/RadioAutomation_win.h"

#include <new>

#include "framework/WideText.h"
#include "radio/RadioDispatch_win.h"
#include "radio/RadioPlayer_win.h"

namespace radio {

namespace {

// The objects below that act on the player keep it alive while they exist.
class CPlayerChild : public CDispatchObject {
public:
    explicit CPlayerChild(CRadioPlayer& player) : m_player(player) { m_player.AddRef(); }

protected:
    ~CPlayerChild() override { m_player.Release(); }

    CRadioPlayer& m_player;
};

class CControlsObject final : public CPlayerChild {
public:
    using CPlayerChild::CPlayerChild;

private:
    static constexpr DISPID kPlay = player::kDispPlay;
    static constexpr DISPID kStop = player::kDispStop;
    static constexpr DISPID kPause = player::kDispPause;

    std::span<const CDispName> Names() const override {
        static constexpr CDispName kNames[] = {
            {L"play", kPlay}, {L"stop", kStop}, {L"pause", kPause}};
        return kNames;
    }

    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT*, UINT*) override {
        if ((flags & DISPATCH_METHOD) == 0) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (id != kPlay && id != kStop && id != kPause) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (const HRESULT hr = NoArguments(params); FAILED(hr)) {
            return hr;
        }
        if (id == kPlay) {
            m_player.Play();
        } else if (id == kStop) {
            m_player.Stop();
        } else {
            m_player.Pause();
        }
        return S_OK;
    }
};

class CSettingsObject final : public CPlayerChild {
public:
    using CPlayerChild::CPlayerChild;

private:
    static constexpr DISPID kAutoStart = player::kDispAutoStart;
    static constexpr DISPID kMute = player::kDispMute;
    static constexpr DISPID kVolume = player::kDispVolume;
    static constexpr DISPID kEnableErrorDialogs = player::kDispEnableErrorDialogs;

    std::span<const CDispName> Names() const override {
        static constexpr CDispName kNames[] = {{L"autoStart", kAutoStart},
                                               {L"mute", kMute},
                                               {L"volume", kVolume},
                                               {L"enableErrorDialogs", kEnableErrorDialogs}};
        return kNames;
    }

    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                         UINT* argErr) override {
        if (id != kAutoStart && id != kMute && id != kVolume && id != kEnableErrorDialogs) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (IsPut(flags)) {
            CVariant value;
            const HRESULT hr = PutArgument(params, id == kVolume ? VT_I4 : VT_BOOL, value, argErr);
            if (FAILED(hr)) {
                return hr;
            }
            const bool flag = id != kVolume && value.Get().boolVal != VARIANT_FALSE;
            switch (id) {
                case kVolume:
                    // Kept as given; only the output is clamped.
                    m_player.SetVolume(value.Get().lVal);
                    break;
                case kAutoStart:
                    m_player.SetAutoStart(flag);
                    break;
                case kMute:
                    m_player.SetMute(flag);
                    break;
                default:
                    m_player.SetErrorDialogs(flag);
                    break;
            }
            return S_OK;
        }
        if (!IsGet(flags)) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (const HRESULT hr = NoArguments(params); FAILED(hr)) {
            return hr;
        }
        switch (id) {
            case kVolume:
                return ReturnLong(result, m_player.Volume());
            case kAutoStart:
                return ReturnBool(result, m_player.AutoStart());
            case kMute:
                return ReturnBool(result, m_player.Mute());
            default:
                return ReturnBool(result, m_player.ErrorDialogs());
        }
    }
};

class CMediaObject final : public CDispatchObject {
public:
    explicit CMediaObject(const CStreamInfo& media)
        : m_media(media), m_attributes(BuildMediaAttributes(media)) {}

private:
    static constexpr DISPID kSourceUrl = player::kDispSourceUrl;
    static constexpr DISPID kDuration = player::kDispDuration;
    static constexpr DISPID kDurationString = player::kDispDurationString;
    static constexpr DISPID kAttributeCount = player::kDispAttributeCount;
    static constexpr DISPID kGetAttributeName = player::kDispGetAttributeName;
    static constexpr DISPID kGetItemInfo = player::kDispGetItemInfo;
    static constexpr DISPID kName = player::kDispName;

    std::span<const CDispName> Names() const override {
        static constexpr CDispName kNames[] = {{L"sourceURL", kSourceUrl},
                                               {L"duration", kDuration},
                                               {L"durationString", kDurationString},
                                               {L"attributeCount", kAttributeCount},
                                               {L"getAttributeName", kGetAttributeName},
                                               {L"getItemInfo", kGetItemInfo},
                                               {L"name", kName}};
        return kNames;
    }

    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                         UINT* argErr) override {
        if (!IsGet(flags)) {
            return DISP_E_MEMBERNOTFOUND;
        }
        switch (id) {
            case kGetAttributeName: {
                CVariant index;
                if (const HRESULT hr = CallArgument(params, 0, 1, VT_I4, index, argErr);
                    FAILED(hr)) {
                    return hr;
                }
                const LONG i = index.Get().lVal;
                if (i < 0 || static_cast<size_t>(i) >= m_attributes.size()) {
                    return E_INVALIDARG;
                }
                return ReturnString(result, m_attributes[static_cast<size_t>(i)].first);
            }
            case kGetItemInfo: {
                CVariant name;
                if (const HRESULT hr = CallArgument(params, 0, 1, VT_BSTR, name, argErr);
                    FAILED(hr)) {
                    return hr;
                }
                const BSTR wanted = name.Get().bstrVal;
                for (const auto& [key, text] : m_attributes) {
                    const std::wstring wideKey = ToWide(key);
                    if (::CompareStringOrdinal(wideKey.c_str(), -1,
                                               wanted != nullptr ? wanted : L"", -1,
                                               TRUE) == CSTR_EQUAL) {
                        return ReturnString(result, text);
                    }
                }
                // An attribute the item does not have reads as empty.
                return ReturnString(result, u"");
            }
            default:
                break;
        }
        if (const HRESULT hr = NoArguments(params); FAILED(hr)) {
            return hr;
        }
        switch (id) {
            case kAttributeCount:
                return ReturnLong(result, static_cast<LONG>(m_attributes.size()));
            case kSourceUrl:
                return ReturnString(result, m_media.strSourceUrl);
            case kName:
                return ReturnString(result, m_media.strTitle);
            case kDuration:
                return ReturnDouble(result, m_media.dDuration > 0 ? m_media.dDuration : 0.0);
            case kDurationString:
                return ReturnString(result,
                                    m_media.dDuration > 0 ? FormatSeconds(m_media.dDuration) : u"");
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    const CStreamInfo m_media;
    const CAttributeList m_attributes;
};

class CErrorItemObject final : public CDispatchObject {
public:
    explicit CErrorItemObject(const CRadioFailure& failure) : m_failure(failure) {}

private:
    static constexpr DISPID kErrorCode = player::kDispErrorCode;
    static constexpr DISPID kErrorDescription = player::kDispErrorDescription;

    std::span<const CDispName> Names() const override {
        static constexpr CDispName kNames[] = {{L"errorCode", kErrorCode},
                                               {L"errorDescription", kErrorDescription}};
        return kNames;
    }

    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                         UINT*) override {
        if (!IsGet(flags) || (id != kErrorCode && id != kErrorDescription)) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (const HRESULT hr = NoArguments(params); FAILED(hr)) {
            return hr;
        }
        if (id == kErrorCode) {
            return ReturnLong(result, static_cast<LONG>(m_failure.code));
        }
        return ReturnString(result, m_failure.description);
    }

    const CRadioFailure m_failure;
};

class CErrorQueueObject final : public CPlayerChild {
public:
    using CPlayerChild::CPlayerChild;

private:
    static constexpr DISPID kClearErrorQueue = player::kDispClearErrorQueue;
    static constexpr DISPID kErrorCount = player::kDispErrorCount;
    static constexpr DISPID kItem = player::kDispErrorItem;

    std::span<const CDispName> Names() const override {
        static constexpr CDispName kNames[] = {
            {L"clearErrorQueue", kClearErrorQueue}, {L"errorCount", kErrorCount}, {L"item", kItem}};
        return kNames;
    }

    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                         UINT* argErr) override {
        switch (id) {
            case kClearErrorQueue:
                if ((flags & DISPATCH_METHOD) == 0) {
                    return DISP_E_MEMBERNOTFOUND;
                }
                if (const HRESULT hr = NoArguments(params); FAILED(hr)) {
                    return hr;
                }
                m_player.ClearErrors();
                return S_OK;
            case kErrorCount:
                if (!IsGet(flags)) {
                    return DISP_E_MEMBERNOTFOUND;
                }
                if (const HRESULT hr = NoArguments(params); FAILED(hr)) {
                    return hr;
                }
                return ReturnLong(result, static_cast<LONG>(m_player.Errors().size()));
            case kItem: {
                if (!IsGet(flags)) {
                    return DISP_E_MEMBERNOTFOUND;
                }
                CVariant index;
                if (const HRESULT hr = CallArgument(params, 0, 1, VT_I4, index, argErr);
                    FAILED(hr)) {
                    return hr;
                }
                const LONG i = index.Get().lVal;
                const auto& errors = m_player.Errors();
                if (i < 0 || static_cast<size_t>(i) >= errors.size()) {
                    return E_INVALIDARG;
                }
                IDispatch* pItem = NewErrorItemObject(errors[static_cast<size_t>(i)]);
                return pItem != nullptr ? ReturnDispatch(result, pItem) : E_OUTOFMEMORY;
            }
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }
};

}  // namespace

IDispatch* NewControlsObject(CRadioPlayer& player) {
    return new (std::nothrow) CControlsObject(player);
}

IDispatch* NewSettingsObject(CRadioPlayer& player) {
    return new (std::nothrow) CSettingsObject(player);
}

IDispatch* NewErrorQueueObject(CRadioPlayer& player) {
    return new (std::nothrow) CErrorQueueObject(player);
}

IDispatch* NewMediaObject(const CStreamInfo& media) {
    try {
        return new CMediaObject(media);
    } catch (...) {
        return nullptr;
    }
}

IDispatch* NewErrorItemObject(const CRadioFailure& failure) {
    try {
        return new CErrorItemObject(failure);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace radio
