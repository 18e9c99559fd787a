// AES-128-CBC through the system's cryptography (CNG, bcrypt.dll), behind
// the platform-free ICbcDecryptor.
#pragma once

#include <memory>
#include <span>

#include "radio/hls/SegmentCrypto.h"

namespace radio::hls {

class CCngAesDecryptor : public ICbcDecryptor {
public:
    // nullptr when the key is not 16 bytes or the system refuses it.
    static std::unique_ptr<CCngAesDecryptor> Create(std::span<const uint8_t> key);
    ~CCngAesDecryptor() override;
    CCngAesDecryptor(const CCngAesDecryptor&) = delete;
    CCngAesDecryptor& operator=(const CCngAesDecryptor&) = delete;

    bool Decrypt(std::span<const uint8_t> blocks, uint8_t* out, AesBlock& iv) override;

private:
    CCngAesDecryptor() = default;
    struct CHandles;
    std::unique_ptr<CHandles> m_pHandles;
};

}  // namespace radio::hls
