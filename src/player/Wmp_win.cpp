#include "player/Wmp_win.h"

#include "framework/WideText.h"
#include "player/PlayerContract.h"

namespace {

using namespace player;

const BYTE kParamsNone[] = VTS_NONE;
const BYTE kParamsLong[] = VTS_I4;
const BYTE kParamsText[] = VTS_BSTR;

}  // namespace

BOOL CWMPControls::stop() {
    return InvokeHelper(kDispStop, DISPATCH_METHOD, VT_EMPTY, nullptr, kParamsNone);
}

BOOL CWMPSettings::put_volume(long volume) {
    return InvokeHelper(kDispVolume, DISPATCH_PROPERTYPUT, VT_EMPTY, nullptr, kParamsLong, volume);
}

BOOL CWMPMedia::get_attributeCount(long& count) {
    return GetProperty(kDispAttributeCount, VT_I4, &count);
}

BOOL CWMPMedia::getAttributeName(long index, std::wstring& name) {
    return InvokeHelper(kDispGetAttributeName, DISPATCH_METHOD, VT_BSTR, &name, kParamsLong, index);
}

BOOL CWMPMedia::getItemInfo(std::wstring_view name, std::wstring& text) {
    return InvokeHelper(kDispGetItemInfo, DISPATCH_METHOD, VT_BSTR, &text, kParamsText, name);
}

BOOL CWMPErrorItem::get_errorCode(long& code) {
    return GetProperty(kDispErrorCode, VT_I4, &code);
}

BOOL CWMPErrorItem::get_errorDescription(std::wstring& description) {
    return GetProperty(kDispErrorDescription, VT_BSTR, &description);
}

BOOL CWMPError::clearErrorQueue() {
    return InvokeHelper(kDispClearErrorQueue, DISPATCH_METHOD, VT_EMPTY, nullptr, kParamsNone);
}

BOOL CWMPError::get_errorCount(long& count) {
    return GetProperty(kDispErrorCount, VT_I4, &count);
}

CWMPErrorItem CWMPError::get_Item(long index) {
    LPDISPATCH pItem = nullptr;
    if (!InvokeHelper(kDispErrorItem, DISPATCH_PROPERTYGET, VT_DISPATCH, &pItem, kParamsLong,
                      index)) {
        pItem = nullptr;
    }
    return CWMPErrorItem(pItem);
}

BOOL CWmp::put_URL(std::wstring_view url) {
    return InvokeHelper(kDispUrl, DISPATCH_PROPERTYPUT, VT_EMPTY, nullptr, kParamsText, url);
}

LPDISPATCH CWmp::GetDispatchProperty(DISPID dispid) {
    LPDISPATCH pDispatch = nullptr;
    if (!InvokeHelper(dispid, DISPATCH_PROPERTYGET, VT_DISPATCH, &pDispatch, kParamsNone)) {
        return nullptr;
    }
    return pDispatch;
}

CWMPControls CWmp::get_controls() {
    return CWMPControls(GetDispatchProperty(kDispControls));
}

CWMPSettings CWmp::get_settings() {
    return CWMPSettings(GetDispatchProperty(kDispSettings));
}

CWMPMedia CWmp::get_currentMedia() {
    return CWMPMedia(GetDispatchProperty(kDispCurrentMedia));
}

CWMPError CWmp::get_error() {
    return CWMPError(GetDispatchProperty(kDispError));
}

bool ReadCurrentMedia(CWmp& player, MediaAttributes& attributes) {
    CWMPMedia media = player.get_currentMedia();
    long count = 0;
    if (media.m_lpDispatch == nullptr || !media.get_attributeCount(count) || count <= 0) {
        return false;
    }
    for (long i = 0; i < count; ++i) {
        std::wstring name;
        std::wstring text;
        if (!media.getAttributeName(i, name) || !media.getItemInfo(name, text)) {
            break;
        }
        attributes.emplace_back(ToU16(name), ToU16(text));
    }
    return true;
}

bool ReadErrorQueue(CWMPError& queue, std::vector<PlayerError>& errors) {
    long count = 0;
    if (queue.m_lpDispatch == nullptr || !queue.get_errorCount(count) || count <= 0) {
        return false;
    }
    for (long i = 0; i < count; ++i) {
        CWMPErrorItem item = queue.get_Item(i);
        if (item.m_lpDispatch == nullptr) {
            break;
        }
        long code = 0;
        std::wstring description;
        if (item.get_errorCode(code) && item.get_errorDescription(description)) {
            errors.push_back({static_cast<uint32_t>(code), ToU16(description)});
        }
    }  // each item is released before the next is fetched
    return true;
}
