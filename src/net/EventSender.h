// Sends events to every connected UI.
#pragma once

#include "amf/Amf.h"
#include "net/ConnectionHost.h"

// Encodes message once per connection, in ascending identifier order, and
// queues each result as a frame. Nothing is stored or retried.
void BroadcastEvent(IConnectionHost& frame, CAmfMessage& message);
// Ask the UI to minimise or close itself (used when no launcher runs).
void SendMinimizeEvent(IConnectionHost& frame);
void SendCloseEvent(IConnectionHost& frame);
