// Sends events to every connected UI.
#pragma once

#include "amf/Amf.h"
#include "net/ConnectionHost.h"

// Encodes message once per connection, in ascending identifier order, and
// queues each result as a frame. Nothing is stored or retried.
void BroadcastEvent(ConnectionRegistry& connections, CAmfMessage& message);
// Ask the UI to minimise or close itself (used when no launcher runs).
void SendMinimizeEvent(ConnectionRegistry& connections);
void SendCloseEvent(ConnectionRegistry& connections);
