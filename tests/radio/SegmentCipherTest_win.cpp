// AES-128-CBC through CNG, as EXT-X-KEY segments are decrypted, against
// vectors made with `openssl enc -aes-128-cbc` (PKCS#7 padding):
//   key 000102030405060708090a0b0c0d0e0f, the plain text below.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "radio/hls/SegmentCipher_win.h"

namespace {

using radio::hls::AesBlock;

std::vector<uint8_t> Hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

const std::string kPlain = "An HLS segment, encrypted with AES-128 in CBC.";
const std::vector<uint8_t> kKey = Hex("000102030405060708090a0b0c0d0e0f");
// IV a0a1...af, given explicitly.
const std::vector<uint8_t> kCipherExplicitIv =
    Hex("c79a644d28cd657536081b5bb76f73f8e443ace6567cc1851652300a18536e9ca349fc5db57ef0455672c1592d"
        "987c17");
// No IV attribute: the media sequence number 7 is the IV.
const std::vector<uint8_t> kCipherSequence7 =
    Hex("b7bfff5755249abf68eb715fc6a33ee9d1af105e50e7da530ea915b16bc0397948d3e1eb6e321b36436d530f4c"
        "42e39d");

std::string Decrypt(const std::vector<uint8_t>& key, const AesBlock& iv,
                    const std::vector<uint8_t>& cipherText, size_t chunk, bool& ok) {
    auto cipher = radio::hls::CCngAesDecryptor::Create(key);
    ok = false;
    if (!cipher)
        return {};
    radio::hls::CSegmentDecryptor decryptor(*cipher, iv);
    std::vector<uint8_t> out;
    for (size_t pos = 0; pos < cipherText.size(); pos += chunk) {
        if (!decryptor.Feed({cipherText.data() + pos, std::min(chunk, cipherText.size() - pos)},
                            out)) {
            return {};
        }
    }
    ok = decryptor.Finish(out);
    return std::string(out.begin(), out.end());
}

TEST(SegmentCipher, ExplicitIvInAnyChunks) {
    AesBlock iv;
    for (size_t i = 0; i < 16; ++i)
        iv[i] = static_cast<uint8_t>(0xA0 + i);
    for (size_t chunk : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{48}}) {
        bool ok = false;
        EXPECT_EQ(Decrypt(kKey, iv, kCipherExplicitIv, chunk, ok), kPlain) << chunk;
        EXPECT_TRUE(ok) << chunk;
    }
}

TEST(SegmentCipher, IvFromTheMediaSequence) {
    radio::hls::CHlsKey key;
    key.method = radio::hls::KeyMethod::Aes128;
    bool ok = false;
    EXPECT_EQ(Decrypt(kKey, radio::hls::SegmentIv(key, 7), kCipherSequence7, 5, ok), kPlain);
    EXPECT_TRUE(ok);
}

TEST(SegmentCipher, WrongKeyFailsThePaddingCheck) {
    std::vector<uint8_t> wrong = kKey;
    wrong[0] ^= 0xFF;
    AesBlock iv;
    for (size_t i = 0; i < 16; ++i)
        iv[i] = static_cast<uint8_t>(0xA0 + i);
    bool ok = true;
    Decrypt(wrong, iv, kCipherExplicitIv, 48, ok);
    EXPECT_FALSE(ok);
}

TEST(SegmentCipher, KeysOfTheWrongSizeAreRefused) {
    EXPECT_FALSE(radio::hls::CCngAesDecryptor::Create(std::vector<uint8_t>(15, 1)));
    EXPECT_FALSE(radio::hls::CCngAesDecryptor::Create(std::vector<uint8_t>(32, 1)));
    EXPECT_TRUE(radio::hls::CCngAesDecryptor::Create(kKey));
}

}  // namespace
