// The demo UI's connection to the helper: a non-blocking socket whose
// notifications arrive as window messages (WSAAsyncSelect), so that the UI
// keeps its one thread. It connects again every 200 ms until the helper
// listens, and again after the helper has gone.
#pragma once

#include "framework/Handles.h"

#include <cstdint>
#include <vector>

#include "demo/DemoProtocol.h"

class IDemoConnectionOwner {
public:
    virtual void OnConnected() = 0;
    virtual void OnDisconnected() = 0;
    virtual void OnEventPayload(const std::vector<uint8_t>& payload) = 0;

protected:
    ~IDemoConnectionOwner() = default;
};

class CDemoConnection {
public:
    static constexpr UINT kSocketMessage = WM_APP + 1;
    static constexpr UINT_PTR kRetryTimerId = 100;
    static constexpr UINT kRetryMs = 200;
    static constexpr u_short kPort = 33645;

    // Notifications go to hWnd, which passes kSocketMessage and the retry
    // timer on to OnSocketMessage and OnRetryTimer.
    CDemoConnection(HWND hWnd, IDemoConnectionOwner& owner);
    CDemoConnection(const CDemoConnection&) = delete;
    CDemoConnection& operator=(const CDemoConnection&) = delete;

    void Start();
    // Closes the connection for good: no more attempts, no notifications.
    void Stop();
    bool IsConnected() const { return m_bConnected; }

    // Queues a whole frame; what the socket does not take now goes out on
    // FD_WRITE. False when not connected.
    bool Send(const std::vector<uint8_t>& frame);

    void OnSocketMessage(WPARAM wParam, LPARAM lParam);
    void OnRetryTimer();

private:
    void Connect();
    void Drop();
    void Flush();
    // Reads what is there; false when the peer closed or the read failed.
    bool Receive();

    HWND m_hWnd;
    IDemoConnectionOwner& m_owner;
    CSocketHandle m_socket;
    bool m_bConnected = false;
    bool m_bStopped = false;
    std::vector<uint8_t> m_outgoing;
    demo::CEventFrameReader m_reader;
};
