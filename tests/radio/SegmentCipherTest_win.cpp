// AES-128-CBC through CNG, as EXT-X-KEY segments are decrypted, against
// vectors made with `openssl enc -aes-128-cbc` (PKCS#7 padding):
//   key 000102030405060708090a0b0c0d0e0f, the plain text below.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "radio/hls/HlsPlaylist.h"
#include "radio/hls/SegmentCipher_win.h"
#include "radio/hls/TsDemuxer.h"

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

// The stream ffmpeg encrypted (tests/radio/data/hls_aes): the IV from its
// playlist, the key from its file, the segment decrypted and demuxed.
std::vector<uint8_t> DataFile(const std::string& name) {
    std::string path = std::string(RADIO_HLS_DATA) + "/" + name;
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

TEST(SegmentCipher, FfmpegEncryptedStream) {
    const auto playlist =
        radio::hls::ParseHlsPlaylist(DataFile("index.m3u8"), u"http://127.0.0.1/enc/index.m3u8");
    ASSERT_EQ(playlist.error, radio::hls::HlsError::None);
    ASSERT_FALSE(playlist.media.segments.empty());
    const auto& segment = playlist.media.segments[0];
    ASSERT_TRUE(segment.pKey);
    ASSERT_EQ(radio::hls::ClassifyKey(*segment.pKey), radio::hls::KeyUse::Aes128);
    const auto key = DataFile("key.bin");
    const auto body = DataFile("index0.ts");
    ASSERT_EQ(key.size(), 16u);
    auto cipher = radio::hls::CCngAesDecryptor::Create(key);
    ASSERT_TRUE(cipher);
    radio::hls::CSegmentDecryptor decryptor(
        *cipher, radio::hls::SegmentIv(*segment.pKey, segment.nSequence));
    std::vector<uint8_t> plain;
    ASSERT_TRUE(decryptor.Feed(body, plain));
    ASSERT_TRUE(decryptor.Finish(plain));
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(plain[0], 0x47);
    EXPECT_EQ(plain.size() % 188, 0u);
    radio::hls::CTsDemuxer demuxer;
    radio::hls::CDemuxOutput out;
    demuxer.Feed(plain, out);
    demuxer.EndSegment(out);
    EXPECT_EQ(out.audio.format, radio::hls::CodedFormat::AdtsAac);
    EXPECT_EQ(out.audio.nSampleRate, 44100);
    EXPECT_NEAR(static_cast<double>(out.frames.size()), 2.02 * 44100 / 1024, 2);
    EXPECT_EQ(demuxer.ContinuityErrors(), 0u);
}

}  // namespace
