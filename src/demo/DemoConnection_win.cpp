#include "demo/DemoConnection_win.h"

#include <ws2tcpip.h>

CDemoConnection::CDemoConnection(HWND hWnd, IDemoConnectionOwner& owner)
    : m_hWnd(hWnd), m_owner(owner) {}

void CDemoConnection::Start() {
    m_bStopped = false;
    Connect();
}

void CDemoConnection::Stop() {
    m_bStopped = true;
    ::KillTimer(m_hWnd, kRetryTimerId);
    m_socket.Close();
    m_bConnected = false;
    m_outgoing.clear();
}

void CDemoConnection::Connect() {
    m_socket.Attach(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!m_socket) {
        Drop();
        return;
    }
    // Selecting makes the socket non-blocking; connect then completes with
    // FD_CONNECT, carrying the error when nobody listens yet.
    if (::WSAAsyncSelect(m_socket.Get(), m_hWnd, kSocketMessage,
                         FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        Drop();
        return;
    }
    BOOL noDelay = TRUE;
    ::setsockopt(m_socket.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof(noDelay));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(kPort);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(m_socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
            0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        Drop();
    }
}

void CDemoConnection::Drop() {
    const bool wasConnected = m_bConnected;
    m_socket.Close();
    m_bConnected = false;
    m_outgoing.clear();
    m_reader = demo::CEventFrameReader();
    if (m_bStopped) {
        return;
    }
    ::SetTimer(m_hWnd, kRetryTimerId, kRetryMs, nullptr);
    if (wasConnected) {
        m_owner.OnDisconnected();
    }
}

void CDemoConnection::OnRetryTimer() {
    ::KillTimer(m_hWnd, kRetryTimerId);
    if (!m_bStopped && !m_socket) {
        Connect();
    }
}

bool CDemoConnection::Send(const std::vector<uint8_t>& frame) {
    if (!m_bConnected || frame.empty()) {
        return false;
    }
    m_outgoing.insert(m_outgoing.end(), frame.begin(), frame.end());
    Flush();
    return true;
}

void CDemoConnection::Flush() {
    while (!m_outgoing.empty() && m_socket) {
        const int sent = ::send(m_socket.Get(), reinterpret_cast<const char*>(m_outgoing.data()),
                                static_cast<int>(m_outgoing.size()), 0);
        if (sent == SOCKET_ERROR) {
            if (::WSAGetLastError() != WSAEWOULDBLOCK) {
                Drop();
            }
            return;  // the rest goes out on FD_WRITE
        }
        m_outgoing.erase(m_outgoing.begin(), m_outgoing.begin() + sent);
    }
}

bool CDemoConnection::Receive() {
    uint8_t buffer[16384];
    const int received = ::recv(m_socket.Get(), reinterpret_cast<char*>(buffer), sizeof(buffer), 0);
    if (received == 0) {
        return false;
    }
    if (received == SOCKET_ERROR) {
        return ::WSAGetLastError() == WSAEWOULDBLOCK;
    }
    m_reader.Append(buffer, static_cast<size_t>(received));
    std::vector<uint8_t> payload;
    while (m_reader.Next(payload)) {
        m_owner.OnEventPayload(payload);
        // The owner may have stopped the connection (a closeEvent).
        if (!m_socket) {
            return true;
        }
    }
    return !m_reader.IsBroken();
}

void CDemoConnection::OnSocketMessage(WPARAM wParam, LPARAM lParam) {
    // Notifications of a socket closed meanwhile may still be queued.
    if (!m_socket || static_cast<SOCKET>(wParam) != m_socket.Get()) {
        return;
    }
    const int event = WSAGETSELECTEVENT(lParam);
    const int error = WSAGETSELECTERROR(lParam);
    switch (event) {
        case FD_CONNECT:
            if (error != 0) {
                Drop();
                return;
            }
            m_bConnected = true;
            m_owner.OnConnected();
            break;
        case FD_READ:
            if (!Receive()) {
                Drop();
            }
            break;
        case FD_WRITE:
            Flush();
            break;
        case FD_CLOSE:
            // Events sent just before the close are still to be read.
            while (m_socket && error == 0) {
                u_long pending = 0;
                if (::ioctlsocket(m_socket.Get(), FIONREAD, &pending) != 0 || pending == 0 ||
                    !Receive()) {
                    break;
                }
            }
            if (m_socket) {
                Drop();
            }
            break;
        default:
            break;
    }
}
