// EXT-X-KEY METHOD=AES-128: whole segments encrypted with AES-128 in CBC
// mode and PKCS#7 padding. What the RFC fixes (which IV, which key formats,
// how padding is checked) and the cutting of a stream into blocks are
// platform-free; the block cipher itself is the system's (SegmentCipher_win).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "radio/hls/HlsPlaylist.h"

namespace radio::hls {

using AesBlock = std::array<uint8_t, 16>;
inline constexpr size_t kAesKeyBytes = 16;

enum class KeyUse {
    Clear,              // METHOD=NONE
    Aes128,             // we decrypt it
    SampleAes,          // SAMPLE-AES: encrypted samples inside the container
    UnsupportedFormat,  // a KEYFORMAT other than identity (a DRM system)
    UnsupportedMethod,  // a METHOD the RFC does not define, or an unreadable IV
};

KeyUse ClassifyKey(const CHlsKey& key);

// The explicit IV, or else the segment's media sequence number as a 128-bit
// big-endian integer.
AesBlock SegmentIv(const CHlsKey& key, uint64_t mediaSequence);

// Checks and strips PKCS#7 padding: a whole number of blocks whose last
// byte n is 1 to 16 and whose last n bytes are all n.
bool RemovePkcs7Padding(std::vector<uint8_t>& data);

// The block cipher: decrypts whole blocks in CBC mode with the IV given,
// and leaves in iv the last cipher block, for the next call.
class ICbcDecryptor {
public:
    virtual ~ICbcDecryptor() = default;
    virtual bool Decrypt(std::span<const uint8_t> blocks, uint8_t* out, AesBlock& iv) = 0;
};

// Decrypts a segment as it arrives, in chunks cut anywhere. The last block
// is held back until Finish, where the padding is checked and removed.
class CSegmentDecryptor {
public:
    CSegmentDecryptor(ICbcDecryptor& cipher, const AesBlock& iv) : m_cipher(cipher), m_iv(iv) {}

    bool Feed(std::span<const uint8_t> data, std::vector<uint8_t>& out);
    // False for a segment that is not a whole number of blocks or whose
    // padding is wrong (a wrong key gives that, almost always).
    bool Finish(std::vector<uint8_t>& out);

private:
    ICbcDecryptor& m_cipher;
    AesBlock m_iv;
    std::vector<uint8_t> m_pending;
    bool m_bFailed = false;
};

}  // namespace radio::hls
