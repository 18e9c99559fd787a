// What all connections of the process share: the bounds on the memory they
// hold together, their number, and the clock that tells a stalled frame.
#pragma once

#include <chrono>
#include <cstddef>

#include "net/Frame.h"
#include "net/FrameReceiver.h"
#include "net/MemoryBudget.h"

struct CConnectionLimits {
    // Payload bytes being collected, over all connections.
    CMemoryBudget partial{kMaxPartialTotal};
    // Outbound bytes queued, over all connections.
    CMemoryBudget unsent{kMaxUnsentTotal};
    size_t nMaxConnections = kMaxConnections;
    // Read through on every use, so a test can put a clock of its own in.
    CFrameReceiver::Clock clock = &std::chrono::steady_clock::now;
};

// The one set of the process; everything runs on the GUI thread.
CConnectionLimits& SharedConnectionLimits();
