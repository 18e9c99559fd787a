#include "net/Events.h"

#include <utility>

namespace {

std::unique_ptr<CAmfValue> MakeValue(CAmfMessage& message, AmfType type) {
    auto value = std::make_unique<CAmfValue>(&message);
    value->m_nType = type;
    return value;
}

}  // namespace

std::unique_ptr<CAmfValue> MakeString(CAmfMessage& message, const std::u16string& text) {
    auto value = MakeValue(message, AMF_STRING);
    value->m_strValue = text;
    return value;
}

std::unique_ptr<CAmfValue> MakeInteger(CAmfMessage& message, int32_t number) {
    auto value = MakeValue(message, AMF_INTEGER);
    value->m_nValue = number;
    return value;
}

std::unique_ptr<CAmfValue> MakeDouble(CAmfMessage& message, double number) {
    auto value = MakeValue(message, AMF_DOUBLE);
    value->m_dValue = number;
    return value;
}

std::unique_ptr<CAmfValue> MakeBoolean(CAmfMessage& message, bool flag) {
    auto value = MakeValue(message, AMF_BOOLEAN);
    value->m_bValue = flag ? 1 : 0;
    return value;
}

std::unique_ptr<CAmfValue> MakeArray(CAmfMessage& message) {
    auto value = MakeValue(message, AMF_ARRAY);
    value->m_bHasMembers = 1;
    return value;
}

CAmfValue& BuildEventEnvelope(CAmfMessage& message, const std::u16string& name,
                              std::unique_ptr<CAmfValue> data) {
    auto root = MakeArray(message);
    root->SetMember(u"type", MakeString(message, name));
    root->SetMember(u"data", std::move(data));
    CAmfValue& result = *root;
    message.AddValue(std::move(root));
    return result;
}

std::unique_ptr<CAmfMessage> BuildBooleanEvent(const std::u16string& name) {
    auto message = std::make_unique<CAmfMessage>();
    BuildEventEnvelope(*message, name, MakeBoolean(*message, true));
    return message;
}
