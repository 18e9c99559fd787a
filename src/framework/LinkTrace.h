// Time stamps along the command link (socket notification, reads, payload,
// decode, dispatch, send), for the link benchmark. Off unless the environment
// variable TUNARA_LINK_TRACE names a file; the stamps are kept in memory and
// written there as text when the process ends. When off, each stamp costs one
// test of a flag.
#pragma once

#include <cstdint>

namespace LinkTrace {

namespace detail {
extern bool g_bOn;
}

inline bool IsOn() {
    return detail::g_bOn;
}

// Wall-clock time in nanoseconds since 1970, the clock a Linux client reads
// with time.time_ns(), so that both sides' stamps can be compared.
int64_t Now();

enum class Counter {
    ReadNotifications,  // FD_READ handled
    EmptyReads,         // FD_READ with nothing left to read: skipped
    WriteNotifications,
    OtherNotifications,
    Passes,  // OnReceive calls made for read notifications
    Receives,
    ReceiveNs,
    Sends,
    SendNs,
    PendingQueries,  // FIONREAD
    PendingQueryNs,
    DeferredFlushes,
    DroppedNotifications,  // queued FD_READ taken out after passes
    HeldReleases,          // sockets that sent what they held for a streaming one
    Count
};

void Add(Counter counter, int64_t amount = 1);

// A read notification starts being handled.
void OnNotification();
// The first bytes of a new frame were read.
void OnFrameStarted();
void OnPayloadComplete();
void OnDecoded();
// An event frame was queued for sending while a payload is being handled.
void OnQueued();
// A send took bytes: the events of the payloads handled so far are out.
void OnSent();
void OnHandled();

}  // namespace LinkTrace
