// Move-only owners for Win32 handles and COM interface pointers.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <unknwn.h>

#include <memory>
#include <utility>

// Owns one handle; Traits says what is invalid and how to close. Copying is
// not allowed, so a handle is closed exactly once.
template <typename Traits>
class CUniqueHandle {
public:
    using pointer = typename Traits::pointer;

    CUniqueHandle() noexcept = default;
    explicit CUniqueHandle(pointer h) noexcept : m_h(h) {}
    ~CUniqueHandle() { Close(); }

    CUniqueHandle(CUniqueHandle&& other) noexcept : m_h(other.Detach()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
        if (this != std::addressof(other)) {
            Attach(other.Detach());
        }
        return *this;
    }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;

    pointer Get() const noexcept { return m_h; }
    bool IsValid() const noexcept { return Traits::IsValid(m_h); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Takes ownership of h, closing what was held before.
    void Attach(pointer h) noexcept {
        if (h == m_h) {
            return;
        }
        Close();
        m_h = h;
    }

    // Gives up ownership without closing.
    [[nodiscard]] pointer Detach() noexcept { return std::exchange(m_h, Traits::Invalid()); }

    // Keeps the thread's last-error value so that a caller can still read the
    // error of the call that failed after storing its (invalid) result.
    void Close() noexcept {
        if (Traits::IsValid(m_h)) {
            const DWORD lastError = ::GetLastError();
            Traits::Close(std::exchange(m_h, Traits::Invalid()));
            ::SetLastError(lastError);
        } else {
            m_h = Traits::Invalid();
        }
    }

private:
    pointer m_h = Traits::Invalid();
};

struct CKernelHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    // Some APIs fail with NULL, others (CreateFile) with INVALID_HANDLE_VALUE.
    static bool IsValid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

struct CSocketHandleTraits {
    using pointer = SOCKET;
    static pointer Invalid() noexcept { return INVALID_SOCKET; }
    static bool IsValid(pointer s) noexcept { return s != INVALID_SOCKET; }
    static void Close(pointer s) noexcept { ::closesocket(s); }
};

template <typename T>
struct CGdiObjectTraits {
    using pointer = T;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::DeleteObject(h); }
};

struct CMemoryDcTraits {
    using pointer = HDC;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::DeleteDC(h); }
};

struct CWindowHandleTraits {
    using pointer = HWND;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::DestroyWindow(h); }
};

struct CMenuHandleTraits {
    using pointer = HMENU;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::DestroyMenu(h); }
};

using CHandle = CUniqueHandle<CKernelHandleTraits>;
using CSocketHandle = CUniqueHandle<CSocketHandleTraits>;
template <typename T>
using CGdiObjectHandle = CUniqueHandle<CGdiObjectTraits<T>>;
using CBitmapHandle = CGdiObjectHandle<HBITMAP>;
// For CreateCompatibleDC; a DC from GetDC/GetWindowDC is a CWindowDc.
using CDcHandle = CUniqueHandle<CMemoryDcTraits>;
// Only for windows that no CWnd owns; a CWnd destroys its own window.
using CWindowHandle = CUniqueHandle<CWindowHandleTraits>;
using CMenuHandle = CUniqueHandle<CMenuHandleTraits>;

// A DC from GetDC or GetWindowDC, released with the window it came from.
// A null window means the screen, which is released the same way.
class CWindowDc {
public:
    CWindowDc() noexcept = default;
    ~CWindowDc() { Release(); }

    static CWindowDc FromClient(HWND hWnd) noexcept { return CWindowDc(hWnd, ::GetDC(hWnd)); }
    static CWindowDc FromWindow(HWND hWnd) noexcept { return CWindowDc(hWnd, ::GetWindowDC(hWnd)); }

    CWindowDc(CWindowDc&& other) noexcept
        : m_hWnd(std::exchange(other.m_hWnd, nullptr)),
          m_hDC(std::exchange(other.m_hDC, nullptr)) {}
    CWindowDc& operator=(CWindowDc&& other) noexcept {
        if (this != std::addressof(other)) {
            Release();
            m_hWnd = std::exchange(other.m_hWnd, nullptr);
            m_hDC = std::exchange(other.m_hDC, nullptr);
        }
        return *this;
    }
    CWindowDc(const CWindowDc&) = delete;
    CWindowDc& operator=(const CWindowDc&) = delete;

    HDC Get() const noexcept { return m_hDC; }
    HWND GetWindow() const noexcept { return m_hWnd; }
    explicit operator bool() const noexcept { return m_hDC != nullptr; }

    void Release() noexcept {
        if (m_hDC != nullptr) {
            ::ReleaseDC(m_hWnd, m_hDC);
        }
        m_hDC = nullptr;
        m_hWnd = nullptr;
    }

private:
    CWindowDc(HWND hWnd, HDC hDC) noexcept : m_hWnd(hDC != nullptr ? hWnd : nullptr), m_hDC(hDC) {}

    HWND m_hWnd = nullptr;
    HDC m_hDC = nullptr;
};

// Holds one reference to a COM object. Constructing from a raw pointer adds a
// reference; Attach adopts one that the caller already owns.
template <typename T>
class CComPtr {
public:
    CComPtr() noexcept = default;
    explicit CComPtr(T* p) noexcept : m_p(p) {
        if (m_p != nullptr) {
            m_p->AddRef();
        }
    }
    ~CComPtr() { Release(); }

    CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) {
            Attach(std::exchange(other.m_p, nullptr));
        }
        return *this;
    }
    CComPtr(const CComPtr&) = delete;
    CComPtr& operator=(const CComPtr&) = delete;

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // For out-parameters: drops the current reference so that a pointer
    // written by the callee is not leaked over an old one.
    T** operator&() noexcept {
        Release();
        return &m_p;
    }

    void Attach(T* p) noexcept {
        T* pOld = std::exchange(m_p, p);
        if (pOld != nullptr) {
            pOld->Release();
        }
    }
    [[nodiscard]] T* Detach() noexcept { return std::exchange(m_p, nullptr); }

    void Release() noexcept {
        if (T* p = std::exchange(m_p, nullptr)) {
            p->Release();
        }
    }

    // Hands out an extra reference, as COM out-parameters require.
    HRESULT CopyTo(T** pp) const noexcept {
        if (pp == nullptr) {
            return E_POINTER;
        }
        *pp = m_p;
        if (m_p != nullptr) {
            m_p->AddRef();
        }
        return S_OK;
    }

    template <typename Q>
    HRESULT QueryInterface(Q** pp) const noexcept {
        if (pp == nullptr) {
            return E_POINTER;
        }
        *pp = nullptr;
        if (m_p == nullptr) {
            return E_POINTER;
        }
        return m_p->QueryInterface(IID_PPV_ARGS(pp));
    }

private:
    T* m_p = nullptr;
};
