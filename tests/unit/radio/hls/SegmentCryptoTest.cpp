#include "radio/hls/SegmentCrypto.h"

#include <gtest/gtest.h>

namespace {

using radio::hls::AesBlock;
using radio::hls::CHlsKey;
using radio::hls::KeyMethod;
using radio::hls::KeyUse;

TEST(SegmentCrypto, IvFromTheSequenceNumberOrExplicit) {
    CHlsKey key;
    key.method = KeyMethod::Aes128;
    AesBlock expected{};
    expected[15] = 0x2A;
    EXPECT_EQ(radio::hls::SegmentIv(key, 42), expected);
    expected = {};
    for (int i = 8; i < 16; ++i) {
        expected[i] = static_cast<uint8_t>(i - 7);
    }
    EXPECT_EQ(radio::hls::SegmentIv(key, 0x0102030405060708ULL), expected);
    AesBlock explicitIv;
    explicitIv.fill(0xEE);
    key.iv = explicitIv;
    EXPECT_EQ(radio::hls::SegmentIv(key, 42), explicitIv);
}

TEST(SegmentCrypto, KeyUses) {
    struct {
        KeyMethod method;
        const char* format;
        KeyUse expected;
    } cases[] = {
        {KeyMethod::None, "identity", KeyUse::Clear},
        {KeyMethod::Aes128, "identity", KeyUse::Aes128},
        {KeyMethod::Aes128, "com.apple.streamingkeydelivery", KeyUse::UnsupportedFormat},
        {KeyMethod::SampleAes, "identity", KeyUse::SampleAes},
        {KeyMethod::Other, "identity", KeyUse::UnsupportedMethod},
    };
    for (const auto& c : cases) {
        CHlsKey key;
        key.method = c.method;
        key.strKeyFormat = c.format;
        EXPECT_EQ(radio::hls::ClassifyKey(key), c.expected) << c.format;
    }
}

TEST(SegmentCrypto, Pkcs7Padding) {
    struct {
        const char* name;
        std::vector<uint8_t> data;
        bool ok;
        size_t left;
    } cases[] = {
        {"one byte", std::vector<uint8_t>(15, 7), false, 0},
        {"full pad block", std::vector<uint8_t>(32, 16), true, 16},
        {"pad of one",
         [] {
             std::vector<uint8_t> v(16, 9);
             v[15] = 1;
             return v;
         }(),
         true, 15},
        {"pad of five",
         [] {
             std::vector<uint8_t> v(16, 9);
             for (int i = 11; i < 16; ++i) {
                 v[i] = 5;
             }
             return v;
         }(),
         true, 11},
        {"zero pad", std::vector<uint8_t>(16, 0), false, 0},
        {"pad over 16", std::vector<uint8_t>(32, 17), false, 0},
        {"inconsistent pad",
         [] {
             std::vector<uint8_t> v(16, 3);
             v[13] = 4;
             return v;
         }(),
         false, 0},
        {"empty", {}, false, 0},
        {"not whole blocks", std::vector<uint8_t>(17, 1), false, 0},
    };
    for (auto c : cases) {
        EXPECT_EQ(radio::hls::RemovePkcs7Padding(c.data), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(c.data.size(), c.left) << c.name;
        }
    }
}

// A stand-in block cipher: "decrypting" a block XORs it with the key byte. Chained
// as CBC it shows whether the decryptor keeps the chain across chunks.
class CFakeCipher : public radio::hls::ICbcDecryptor {
public:
    explicit CFakeCipher(uint8_t key = 0x5C) : m_key(key) {}
    bool Decrypt(std::span<const uint8_t> blocks, uint8_t* out, AesBlock& iv) override {
        ++calls;
        if (blocks.size() % 16 != 0) {
            return false;
        }
        for (size_t b = 0; b < blocks.size(); b += 16) {
            AesBlock next;
            for (size_t i = 0; i < 16; ++i) {
                next[i] = blocks[b + i];
            }
            for (size_t i = 0; i < 16; ++i) {
                out[b + i] = static_cast<uint8_t>((blocks[b + i] ^ m_key) ^ iv[i]);
            }
            iv = next;
        }
        return true;
    }
    int calls = 0;

private:
    uint8_t m_key;
};

std::vector<uint8_t> Encrypt(std::vector<uint8_t> plain, AesBlock iv) {
    const uint8_t pad = static_cast<uint8_t>(16 - plain.size() % 16);
    plain.resize(plain.size() + pad, pad);
    std::vector<uint8_t> out(plain.size());
    for (size_t b = 0; b < plain.size(); b += 16) {
        for (size_t i = 0; i < 16; ++i) {
            out[b + i] = static_cast<uint8_t>((plain[b + i] ^ iv[i]) ^ 0x5C);
        }
        for (size_t i = 0; i < 16; ++i) {
            iv[i] = out[b + i];
        }
    }
    return out;
}

TEST(SegmentCrypto, DecryptsInChunksCutAnywhere) {
    AesBlock iv;
    for (size_t i = 0; i < 16; ++i) {
        iv[i] = static_cast<uint8_t>(i * 17);
    }
    for (size_t length : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{1000}}) {
        std::vector<uint8_t> plain(length);
        for (size_t i = 0; i < length; ++i) {
            plain[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        const std::vector<uint8_t> cipherText = Encrypt(plain, iv);
        for (size_t chunk : {size_t{1}, size_t{5}, size_t{16}, size_t{33}, size_t{4096}}) {
            CFakeCipher cipher;
            radio::hls::CSegmentDecryptor decryptor(cipher, iv);
            std::vector<uint8_t> out;
            for (size_t pos = 0; pos < cipherText.size(); pos += chunk) {
                ASSERT_TRUE(decryptor.Feed(
                    {cipherText.data() + pos, std::min(chunk, cipherText.size() - pos)}, out));
            }
            ASSERT_TRUE(decryptor.Finish(out)) << length << "/" << chunk;
            EXPECT_EQ(out, plain) << length << "/" << chunk;
        }
    }
}

TEST(SegmentCrypto, WrongKeyOrCutSegmentFails) {
    AesBlock iv{};
    std::vector<uint8_t> cipherText = Encrypt(std::vector<uint8_t>(40, 1), iv);
    {
        CFakeCipher cipher;
        radio::hls::CSegmentDecryptor decryptor(cipher, iv);
        std::vector<uint8_t> out;
        decryptor.Feed({cipherText.data(), cipherText.size() - 3}, out);
        EXPECT_FALSE(decryptor.Finish(out));  // not a whole number of blocks
    }
    {
        CFakeCipher cipher(0x33);  // the wrong key
        radio::hls::CSegmentDecryptor decryptor(cipher, iv);
        std::vector<uint8_t> out;
        decryptor.Feed(cipherText, out);
        EXPECT_FALSE(decryptor.Finish(out));
    }
}

}  // namespace
