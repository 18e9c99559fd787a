#include "net/EventSender.h"

#include <cstdint>
#include <vector>

#include "net/Events.h"
#include "net/WorkerSocket_win.h"

void BroadcastEvent(ConnectionRegistry& connections, CAmfMessage& message) {
    // A send can end a connection (a send error, a peer that stopped
    // reading) and so change the registry under the walk: walk a copy of
    // the keys and look each one up afresh.
    std::vector<std::u16string> ids;
    ids.reserve(connections.size());
    for (const auto& entry : connections) {
        ids.push_back(entry.first);
    }
    for (const std::u16string& id : ids) {
        auto it = connections.find(id);
        if (it == connections.end() || it->second == nullptr) {
            continue;
        }
        std::vector<uint8_t> bytes;
        message.Encode(bytes);
        it->second->SendFrame(bytes);
    }
}

void SendMinimizeEvent(ConnectionRegistry& connections) {
    auto message = BuildBooleanEvent(kMinimizeEvent);
    BroadcastEvent(connections, *message);
}

void SendCloseEvent(ConnectionRegistry& connections) {
    auto message = BuildBooleanEvent(kCloseEvent);
    BroadcastEvent(connections, *message);
}
