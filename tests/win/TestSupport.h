// Helpers shared by the Windows tests: bounded message pumping and ordered
// event logs.
#pragma once

#include "framework/Afx.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

// Dispatches messages until done() holds or the deadline passes; returns
// done(). WM_QUIT is not dispatched: it is counted in *pQuitCount if given.
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000,
                      int* pQuitCount = nullptr) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                if (pQuitCount != nullptr) {
                    ++*pQuitCount;
                }
                continue;
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
            if (done()) {
                return true;
            }
        }
        if (done()) {
            return true;
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        // Woken by any message; the cap lets done() poll state that changes
        // without one (a peer socket read directly, for instance).
        const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50));
        ::MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

// Dispatches everything posted so far: a thread message posted now is
// retrieved only after every message queued before it.
inline bool PumpPosted(int* pQuitCount = nullptr) {
    constexpr UINT kSentinel = WM_APP + 0x3FF;
    bool bSeen = false;
    ::PostThreadMessageW(::GetCurrentThreadId(), kSentinel, 0, 0);
    const ULONGLONG deadline = ::GetTickCount64() + 5000;
    MSG msg;
    while (!bSeen && ::GetTickCount64() < deadline) {
        if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            continue;
        }
        if (msg.hwnd == nullptr && msg.message == kSentinel) {
            bSeen = true;
        } else if (msg.message == WM_QUIT) {
            if (pQuitCount != nullptr) {
                ++*pQuitCount;
            }
        } else {
            ::DispatchMessageW(&msg);
        }
    }
    return bSeen;
}

// Removes a pending WM_QUIT; returns whether there was one.
inline bool TakeQuitMessage(WPARAM* pCode = nullptr) {
    MSG msg;
    if (!::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        return false;
    }
    if (pCode != nullptr) {
        *pCode = msg.wParam;
    }
    return true;
}

// True if expected occurs in log in this order, other entries between.
inline bool ContainsInOrder(const std::vector<std::string>& log,
                            const std::vector<std::string>& expected) {
    size_t next = 0;
    for (const std::string& entry : log) {
        if (next < expected.size() && entry == expected[next]) {
            ++next;
        }
    }
    return next == expected.size();
}

inline std::string Join(const std::vector<std::string>& log) {
    std::string text;
    for (const std::string& entry : log) {
        text += entry + ' ';
    }
    return text;
}

// Sockets: the port a socket is bound to, and a plain blocking client.
inline UINT PortOf(const CAsyncSocket& socket) {
    SOCKADDR_IN address{};
    int length = sizeof(address);
    socket.GetSockName(reinterpret_cast<SOCKADDR*>(&address), &length);
    return ntohs(address.sin_port);
}

// A plain blocking client, standing in for the peer program.
inline CSocketHandle ConnectClient(UINT port) {
    CSocketHandle client(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(client.Get(), reinterpret_cast<const SOCKADDR*>(&address), sizeof(address)) !=
        0) {
        client.Close();
    }
    return client;
}

inline bool SendAll(SOCKET socket, const std::vector<char>& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const int n = ::send(socket, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}
