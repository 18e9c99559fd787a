#include "player/PlayerEvents.h"

#include "net/Events.h"

std::unique_ptr<CAmfMessage> BuildStatusEvent(int32_t newState) {
    auto message = std::make_unique<CAmfMessage>();
    BuildEventEnvelope(*message, kStatusEvent, MakeInteger(*message, newState));
    return message;
}

std::unique_ptr<CAmfMessage> BuildMediaEvent(const MediaAttributes& attributes) {
    auto message = std::make_unique<CAmfMessage>();
    auto data = MakeArray(*message);
    for (const auto& [name, text] : attributes) {
        data->SetMember(name, MakeString(*message, text));
    }
    BuildEventEnvelope(*message, kMediaEvent, std::move(data));
    return message;
}

std::unique_ptr<CAmfMessage> BuildErrorEvent(const std::vector<PlayerError>& errors) {
    auto message = std::make_unique<CAmfMessage>();
    auto data = MakeArray(*message);
    for (const PlayerError& error : errors) {
        auto entry = MakeArray(*message);
        entry->SetMember(u"code", MakeDouble(*message, static_cast<int32_t>(error.code)));
        entry->SetMember(u"description", MakeString(*message, error.description));
        data->AddElement(std::move(entry));
    }
    BuildEventEnvelope(*message, kErrorEvent, std::move(data));
    return message;
}
