#include "radio/hls/SegmentCipher_win.h"

#include <windows.h>

#include <bcrypt.h>

#include <climits>
#include <cstring>

namespace radio::hls {

namespace {

struct CAlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE h) const { BCryptCloseAlgorithmProvider(h, 0); }
};
struct CKeyCloser {
    void operator()(BCRYPT_KEY_HANDLE h) const { BCryptDestroyKey(h); }
};
using AlgorithmHandle = std::unique_ptr<void, CAlgorithmCloser>;
using KeyHandle = std::unique_ptr<void, CKeyCloser>;

bool Ok(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

struct CCngAesDecryptor::CHandles {
    AlgorithmHandle algorithm;
    KeyHandle key;  // destroyed before the algorithm it came from
};

std::unique_ptr<CCngAesDecryptor> CCngAesDecryptor::Create(std::span<const uint8_t> key) {
    if (key.size() != kAesKeyBytes) {
        return nullptr;
    }
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0))) {
        return nullptr;
    }
    auto handles = std::make_unique<CHandles>();
    handles->algorithm.reset(algorithm);
    static const wchar_t kCbc[] = BCRYPT_CHAIN_MODE_CBC;
    if (!Ok(BCryptSetProperty(algorithm, BCRYPT_CHAINING_MODE,
                              reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kCbc)), sizeof(kCbc),
                              0))) {
        return nullptr;
    }
    BCRYPT_KEY_HANDLE keyHandle = nullptr;
    // The key object's memory is the system's to manage (Windows 7 and later).
    if (!Ok(BCryptGenerateSymmetricKey(algorithm, &keyHandle, nullptr, 0,
                                       const_cast<PUCHAR>(key.data()),
                                       static_cast<ULONG>(key.size()), 0))) {
        return nullptr;
    }
    handles->key.reset(keyHandle);
    std::unique_ptr<CCngAesDecryptor> decryptor(new CCngAesDecryptor());
    decryptor->m_pHandles = std::move(handles);
    return decryptor;
}

CCngAesDecryptor::~CCngAesDecryptor() = default;

bool CCngAesDecryptor::Decrypt(std::span<const uint8_t> blocks, uint8_t* out, AesBlock& iv) {
    if (blocks.empty()) {
        return true;
    }
    if (blocks.size() % 16 != 0 || blocks.size() > ULONG_MAX) {
        return false;
    }
    // The next IV is the last cipher block. CNG may or may not write it back
    // into the IV buffer, so it is taken from the input, before out (which
    // may be the same memory) is written.
    AesBlock next;
    std::memcpy(next.data(), blocks.data() + blocks.size() - 16, 16);
    AesBlock work = iv;
    ULONG written = 0;
    const NTSTATUS status = BCryptDecrypt(m_pHandles->key.get(), const_cast<PUCHAR>(blocks.data()),
                                          static_cast<ULONG>(blocks.size()), nullptr, work.data(),
                                          static_cast<ULONG>(work.size()), out,
                                          static_cast<ULONG>(blocks.size()), &written, 0);
    if (!Ok(status) || written != blocks.size()) {
        return false;
    }
    iv = next;
    return true;
}

}  // namespace radio::hls
