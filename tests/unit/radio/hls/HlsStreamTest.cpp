#include "radio/hls/HlsStream.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "HlsTestUtil.h"
#include "fuzz/HlsFakes.h"

namespace {

using namespace hls_test;
using radio::CRadioFailure;
using radio::hls::CHlsSegmentOutput;
using radio::hls::CHlsStream;
using radio::hls::HlsStep;
using namespace hls_fakes;

// TS segments of one continuous stream: the counters follow on.
struct CTsWriter {
    int pat = 0, pmt = 0, audio = 0;
    Bytes Segment(int frames, uint8_t fill) {
        Bytes out = Packets(0, Pat(0x1000), pat, true);
        Append(out, Packets(0x1000, Pmt({{0x0F, 0x101, {}}}), pmt, true));
        Bytes payload;
        for (int i = 0; i < frames; ++i)
            Append(payload, Adts(100, fill));
        Append(out, Packets(0x101, Pes(0xC0, payload, 0), audio));
        return out;
    }
};

const std::string kHost = "http://radio.test/live/";

std::string MediaPlaylist(uint64_t first, int count, bool ended = false,
                          const std::string& extra = "", const std::string& ext = ".ts") {
    std::string p =
        "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-MEDIA-SEQUENCE:" + std::to_string(first) + "\n" +
        extra;
    for (int i = 0; i < count; ++i) {
        p += "#EXTINF:4,Show " + std::to_string(first + i) + "\ns" + std::to_string(first + i) +
             ext + "\n";
    }
    if (ended)
        p += "#EXT-X-ENDLIST\n";
    return p;
}

class HlsStreamTest : public testing::Test {
protected:
    CHlsStream MakeStream() { return CHlsStream(opener, clock, nullptr); }
    void ServeSegments(int from, int to) {
        for (int i = from; i < to; ++i) {
            opener.Serve(kHost + "s" + std::to_string(i) + ".ts",
                         {{true, ts.Segment(3, static_cast<uint8_t>(i))}});
        }
    }
    int Opens(const std::string& url) { return opener.opens[CFakeOpener::U(url)]; }

    CFakeOpener opener;
    CFakeClock clock;
    CTsWriter ts;
    CRadioFailure failure;
};

TEST_F(HlsStreamTest, LiveWindowReloadsAndStall) {
    ServeSegments(0, 8);
    opener.Serve(kHost + "index.m3u8",
                 {{true, B(MediaPlaylist(0, 6))}, {true, B(MediaPlaylist(1, 6))}});
    CHlsStream stream = MakeStream();
    ASSERT_TRUE(stream.Open(CFakeOpener::U(kHost + "index.m3u8"), failure));
    CHlsSegmentOutput out;
    // Three target durations from the live end: segments 3, 4 and 5.
    for (uint64_t expected : {3u, 4u, 5u, 6u}) {
        ASSERT_EQ(stream.Next(out, failure), HlsStep::Segment) << expected;
        EXPECT_EQ(out.nSequence, expected);
        EXPECT_EQ(out.demux.frames.size(), 3u);
        EXPECT_EQ(out.demux.audio.format, radio::hls::CodedFormat::AdtsAac);
        EXPECT_EQ(out.strExtinfTitle,
                  u"Show " + std::u16string(1, static_cast<char16_t>(u'0' + expected)));
        EXPECT_FALSE(out.bResetDecoder);
    }
    EXPECT_EQ(std::u16string(radio::hls::FileTypeFor(stream.Kind())), u"hls-ts");
    // The playlist stops changing: after three target durations without a
    // new segment the stream has stalled.
    const int64_t lastNew = clock.now;
    EXPECT_EQ(stream.Next(out, failure), HlsStep::Stalled);
    EXPECT_GE(clock.now - lastNew, 3 * 4000 - 4000);
    for (int i = 0; i < 8; ++i)
        EXPECT_LE(Opens(kHost + "s" + std::to_string(i) + ".ts"), 1) << i;
    EXPECT_EQ(Opens(kHost + "s0.ts"), 0);
}

TEST_F(HlsStreamTest, FailedSegmentRetriedOnceThenSkipped) {
    ServeSegments(0, 3);
    opener.Serve(kHost + "s1.ts", {{false, {}}});
    opener.Serve(kHost + "index.m3u8", {{true, B(MediaPlaylist(0, 3, true))}});
    CHlsStream stream = MakeStream();
    ASSERT_TRUE(stream.Open(CFakeOpener::U(kHost + "index.m3u8"), failure));
    CHlsSegmentOutput out;
    ASSERT_EQ(stream.Next(out, failure), HlsStep::Segment);
    EXPECT_EQ(out.nSequence, 0u);
    ASSERT_EQ(stream.Next(out, failure), HlsStep::Segment);
    EXPECT_EQ(out.nSequence, 2u);
    EXPECT_TRUE(out.bResetDecoder);  // the decoder must not splice across the hole
    EXPECT_EQ(Opens(kHost + "s1.ts"), 2);
    EXPECT_EQ(stream.SkippedSegments(), 1u);
    // A finished playlist ends after its last segment, with no reload.
    EXPECT_EQ(stream.Next(out, failure), HlsStep::Ended);
    EXPECT_EQ(Opens(kHost + "index.m3u8"), 1);
}

TEST_F(HlsStreamTest, MasterVariantsRenditionsAndDepth) {
    ServeSegments(0, 2);
    const std::string media = MediaPlaylist(0, 2, true);
    opener.Serve(
        kHost + "master.m3u8",
        {{true,
          B("#EXTM3U\n"
            "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"Radio X\",DEFAULT=YES,URI=\"hi.m3u8\"\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS=\"mp4a.40.2\",AUDIO=\"a\"\nhi.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.5\"\nlo.m3u8\n")}});
    opener.Serve(kHost + "hi.m3u8", {{false, {}}});  // the best one is down
    opener.Serve(kHost + "lo.m3u8", {{true, B(media)}});
    {
        CHlsStream stream = MakeStream();
        ASSERT_TRUE(stream.Open(CFakeOpener::U(kHost + "master.m3u8"), failure));
        EXPECT_EQ(stream.Bitrate(), 64000u);
        EXPECT_EQ(stream.MediaUrl(), CFakeOpener::U(kHost + "lo.m3u8"));
        EXPECT_TRUE(stream.Name().empty());
    }
    opener.Serve(kHost + "hi.m3u8", {{true, B(media)}});
    {
        CHlsStream stream = MakeStream();
        ASSERT_TRUE(stream.Open(CFakeOpener::U(kHost + "master.m3u8"), failure));
        EXPECT_EQ(stream.Bitrate(), 128000u);
        EXPECT_EQ(stream.Name(), u"Radio X");
    }
    // Masters that lead to masters: three levels are fine, four are not.
    auto chain = [&](int levels) {
        for (int i = 0; i < levels; ++i) {
            opener.Serve(kHost + "m" + std::to_string(i) + ".m3u8",
                         {{true, B("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nm" +
                                   std::to_string(i + 1) + ".m3u8\n")}});
        }
        opener.Serve(kHost + "m" + std::to_string(levels) + ".m3u8", {{true, B(media)}});
        CHlsStream stream = MakeStream();
        return stream.Open(CFakeOpener::U(kHost + "m0.m3u8"), failure);
    };
    EXPECT_TRUE(chain(3));
    EXPECT_FALSE(chain(4));
    EXPECT_NE(failure.description.find(u"3 levels"), std::u16string::npos);
}

TEST_F(HlsStreamTest, PlaylistFaultsGiveClearFailures) {
    struct {
        const char* name;
        std::string body;
        std::u16string says;
    } cases[] = {
        {"target duration", "#EXTM3U\n#EXT-X-TARGETDURATION:61\n#EXTINF:1,\na.ts\n", u"60 s"},
        {"not a playlist", "<html>", u"#EXTM3U"},
        {"nothing decodable", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1,CODECS=\"ac-3\"\nx.m3u8\n",
         u"decode"},
        {"local segment", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:1,\nfile:///etc/passwd\n",
         u"http"},
    };
    for (const auto& c : cases) {
        opener.Serve(kHost + "bad.m3u8", {{true, B(c.body)}});
        CHlsStream stream = MakeStream();
        EXPECT_FALSE(stream.Open(CFakeOpener::U(kHost + "bad.m3u8"), failure)) << c.name;
        EXPECT_NE(failure.description.find(c.says), std::u16string::npos) << c.name;
        EXPECT_EQ(failure.code, radio::MakeFailure(radio::RadioError::UnsupportedFormat).code)
            << c.name;
    }
    opener.Serve(kHost + "big.m3u8", {{true, Bytes(radio::hls::kMaxHlsPlaylistBytes + 1, '#')}});
    CHlsStream stream = MakeStream();
    EXPECT_FALSE(stream.Open(CFakeOpener::U(kHost + "big.m3u8"), failure));
}

TEST_F(HlsStreamTest, UnsupportedEncryptionFails) {
    opener.Serve(kHost + "index.m3u8",
                 {{true, B(MediaPlaylist(
                             0, 1, true,
                             "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\",KEYFORMAT=\"identity\"\n"))}});
    CHlsStream stream = MakeStream();
    ASSERT_TRUE(stream.Open(CFakeOpener::U(kHost + "index.m3u8"), failure));
    CHlsSegmentOutput out;
    EXPECT_EQ(stream.Next(out, failure), HlsStep::Failed);
    EXPECT_NE(failure.description.find(u"SAMPLE-AES"), std::u16string::npos);
}

// A stand-in block cipher (each block XORed with the key's first byte, in
// CBC), so the stream's key handling is tested without the system's AES.
class CXorCipher : public radio::hls::ICbcDecryptor {
public:
    explicit CXorCipher(uint8_t key) : m_key(key) {}
    bool Decrypt(std::span<const uint8_t> blocks, uint8_t* out, radio::hls::AesBlock& iv) override {
        for (size_t b = 0; b < blocks.size(); b += 16) {
            radio::hls::AesBlock next;
            std::copy(blocks.begin() + static_cast<std::ptrdiff_t>(b),
                      blocks.begin() + static_cast<std::ptrdiff_t>(b + 16), next.begin());
            for (size_t i = 0; i < 16; ++i)
                out[b + i] = static_cast<uint8_t>(blocks[b + i] ^ m_key ^ iv[i]);
            iv = next;
        }
        return true;
    }

private:
    uint8_t m_key;
};

Bytes XorEncrypt(Bytes plain, uint8_t key, radio::hls::AesBlock iv) {
    const uint8_t pad = static_cast<uint8_t>(16 - plain.size() % 16);
    plain.resize(plain.size() + pad, pad);
    for (size_t b = 0; b < plain.size(); b += 16) {
        for (size_t i = 0; i < 16; ++i)
            plain[b + i] = static_cast<uint8_t>(plain[b + i] ^ iv[i] ^ key);
        std::copy(plain.begin() + static_cast<std::ptrdiff_t>(b),
                  plain.begin() + static_cast<std::ptrdiff_t>(b + 16), iv.begin());
    }
    return plain;
}

TEST_F(HlsStreamTest, Aes128KeyFetchedOnceIvFromSequence) {
    const Bytes key(16, 0x42);
    opener.Serve(kHost + "key.bin", {{true, key}});
    for (int i = 7; i < 9; ++i) {
        radio::hls::CHlsKey k;
        opener.Serve(kHost + "s" + std::to_string(i) + ".ts",
                     {{true, XorEncrypt(ts.Segment(2, 1), 0x42,
                                        radio::hls::SegmentIv(k, static_cast<uint64_t>(i)))}});
    }
    opener.Serve(
        kHost + "index.m3u8",
        {{true, B(MediaPlaylist(7, 2, true, "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\"\n"))}});
    CHlsStream stream(opener, clock, [](std::span<const uint8_t> k) {
        return std::make_unique<CXorCipher>(k[0]);
    });
    ASSERT_TRUE(stream.Open(CFakeOpener::U(kHost + "index.m3u8"), failure));
    CHlsSegmentOutput out;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(stream.Next(out, failure), HlsStep::Segment);
        EXPECT_EQ(out.demux.frames.size(), 2u);
    }
    EXPECT_EQ(Opens(kHost + "key.bin"), 1);
    // A key that is not 16 bytes stops the stream with a clear failure.
    opener.Serve(kHost + "key.bin", {{true, Bytes(20, 1)}});
    CHlsStream again(opener, clock,
                     [](std::span<const uint8_t> k) { return std::make_unique<CXorCipher>(k[0]); });
    ASSERT_TRUE(again.Open(CFakeOpener::U(kHost + "index.m3u8"), failure));
    EXPECT_EQ(again.Next(out, failure), HlsStep::Failed);
    EXPECT_NE(failure.description.find(u"16 bytes"), std::u16string::npos);
}

TEST_F(HlsStreamTest, PackedAudioWithTitles) {
    for (int i = 0; i < 2; ++i) {
        opener.Serve(kHost + "s" + std::to_string(i) + ".aac",
                     {{true, Concat({Id3(4, {{"TIT2", Text(3, B("Song " + std::to_string(i)))}}),
                                     Adts(50), Adts(51)})}});
    }
    opener.Serve(kHost + "index.m3u8", {{true, B(MediaPlaylist(0, 2, true, "", ".aac"))}});
    CHlsStream stream = MakeStream();
    ASSERT_TRUE(stream.Open(CFakeOpener::U(kHost + "index.m3u8"), failure));
    CHlsSegmentOutput out;
    ASSERT_EQ(stream.Next(out, failure), HlsStep::Segment);
    ASSERT_EQ(out.demux.titles.size(), 1u);
    EXPECT_EQ(out.demux.titles[0].strTitle, u"Song 0");
    EXPECT_EQ(out.demux.frames.size(), 2u);
    EXPECT_EQ(std::u16string(radio::hls::FileTypeFor(stream.Kind())), u"hls-aac");
}

TEST_F(HlsStreamTest, CancelledWhileWaitingForAReload) {
    ServeSegments(0, 3);
    opener.Serve(kHost + "index.m3u8", {{true, B(MediaPlaylist(0, 3))}});
    CHlsStream stream = MakeStream();
    ASSERT_TRUE(stream.Open(CFakeOpener::U(kHost + "index.m3u8"), failure));
    CHlsSegmentOutput out;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(stream.Next(out, failure), HlsStep::Segment);
    clock.cancelled = true;
    EXPECT_EQ(stream.Next(out, failure), HlsStep::Cancelled);
}

}  // namespace
