// HLS through the whole session: a live server on the fake clock that adds
// a segment every target duration, a decoder that turns each frame (ADTS,
// raw AAC from fMP4, or MP3) into samples carrying the frame's number, and
// the paced fake device. The numbers the device played say whether a
// segment was repeated or lost.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "SessionFakes.h"
#include "radio/decoder/AacFormat.h"
#include "radio/session/Session.h"
#include "unit/radio/hls/HlsTestUtil.h"

namespace {

using namespace session_fakes;
using hls_test::Adts;
using hls_test::Append;
using hls_test::Box;
using hls_test::Concat;
using hls_test::Esds;
using hls_test::Fragment;
using hls_test::Id3;
using hls_test::Init;
using hls_test::Mp4a;
using hls_test::Packets;
using hls_test::Pat;
using hls_test::Pes;
using hls_test::Pmt;
using hls_test::Text;
using hls_test::Trak;
using radio::NoticeKind;

constexpr int kTargetMs = 2000;
// 1024 samples at 44.1 kHz: 86 frames are 1997 ms, one segment.
constexpr int kFramesPerSegment = 86;
// An MP3 frame is 1152 samples: 76 of them are 1985 ms.
constexpr int kMp3FramesPerSegment = 76;
constexpr int kWindow = 5;  // segments in the live playlist
const std::string kHost = "http://hls.test/radio/";
const std::string kPlaylist = kHost + "live.m3u8";

enum class Shape { Ts, TsWithId3, Packed, TsMp3, Fmp4 };

int FramesPerSegment(Shape shape) {
    return shape == Shape::TsMp3 ? kMp3FramesPerSegment : kFramesPerSegment;
}

int SamplesPerFrame(Shape shape) {
    return shape == Shape::TsMp3 ? 1152 : 1024;
}

// An ADTS frame whose payload starts with its number.
Bytes NumberedFrame(uint32_t number) {
    Bytes frame = Adts(120);
    frame[7] = static_cast<uint8_t>(number >> 8);
    frame[8] = static_cast<uint8_t>(number);
    return frame;
}

// A raw AAC access unit, as an fMP4 sample holds it: its number first.
Bytes NumberedAccessUnit(uint32_t number) {
    Bytes unit(120, 0x21);
    unit[0] = static_cast<uint8_t>(number >> 8);
    unit[1] = static_cast<uint8_t>(number);
    return unit;
}

// MPEG-1 layer III, 128 kbit/s, 44.1 kHz, stereo, no padding: 417 bytes.
constexpr size_t kMp3FrameBytes = 417;
Bytes NumberedMp3Frame(uint32_t number) {
    Bytes frame(kMp3FrameBytes, 0x55);
    frame[0] = 0xFF;
    frame[1] = 0xFB;
    frame[2] = 0x90;
    frame[3] = 0x04;
    frame[4] = static_cast<uint8_t>(number >> 8);
    frame[5] = static_cast<uint8_t>(number);
    return frame;
}

const char* SegmentExtension(Shape shape) {
    switch (shape) {
        case Shape::Packed:
            return ".aac";
        case Shape::Fmp4:
            return ".m4s";
        default:
            return ".ts";
    }
}

// A live station: segment n is complete kTargetMs * (n + 1) after the start;
// the playlist lists the newest kWindow of them. It can stop updating for a
// while, refuse segments, cut segments with discontinuities, and deliver
// segments slowly.
class CLiveServer : public radio::ISourceOpener {
public:
    CLiveServer(CFakeClock& clock, Shape shape, size_t chunk)
        : m_clock(clock), m_shape(shape), m_chunk(chunk), m_nStartMs(clock.NowMs()) {}

    std::unique_ptr<radio::ISource> Open(const std::u16string& url, radio::UrlOrigin,
                                         CRadioFailure& failure) override {
        const std::string name(url.begin(), url.end());
        ++opens[name];
        CPlan plan;
        plan.chunk = m_chunk;
        plan.finalUrl = url;
        if (name == kPlaylist) {
            if (playlistDown) {
                failure = radio::MakeHttpFailure(404);
                return nullptr;
            }
            plan.contentType = "application/vnd.apple.mpegurl";
            plan.body = B(PlaylistText());
            return std::make_unique<CFakeSource>(std::move(plan), m_clock);
        }
        if (name == kHost + "init.mp4" && m_shape == Shape::Fmp4) {
            plan.body = Init(Trak(Mp4a(Esds(hls_test::kLcStereo44))));
            return std::make_unique<CFakeSource>(std::move(plan), m_clock);
        }
        const std::string prefix = kHost + "s";
        if (name.rfind(prefix, 0) != 0) {
            failure = radio::MakeHttpFailure(404);
            return nullptr;
        }
        const int n = std::stoi(name.substr(prefix.size()));
        if (failing.count(n) || n > Newest()) {
            failure = radio::MakeHttpFailure(404);
            return nullptr;
        }
        // A server slow to answer: the opener waits for the head, calling
        // the caller's idle work as the real one does.
        for (int waited = 0; waited < segmentHeadDelayMs; waited += radio::kOpenIdleMs) {
            m_clock.Advance(int64_t{radio::kOpenIdleMs} * 1000);
            if (m_clock.Cancelled() || (m_idle && !m_idle())) {
                failure = radio::MakeFailure(radio::RadioError::ConnectionLost);
                return nullptr;
            }
        }
        plan.body = Segment(n);
        plan.bytesPerSecond = segmentBytesPerSecond;
        plan.burst = 0;
        return std::make_unique<CFakeSource>(std::move(plan), m_clock);
    }
    void Abort() override {}
    void SetIdle(std::function<bool()> idle) override { m_idle = std::move(idle); }

    // The newest complete segment, as the server's encoder sees it.
    int Newest() const {
        int64_t now = m_clock.NowMs();
        if (frozenFromMs >= 0 && now >= frozenFromMs && (resumeAtMs < 0 || now < resumeAtMs)) {
            now = frozenFromMs;
        }
        return static_cast<int>((now - m_nStartMs) / kTargetMs) - 1;
    }

    std::string PlaylistText() const {
        const int newest = Newest();
        const int first = std::max(0, newest - kWindow + 1);
        std::string p =
            "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:" + std::to_string(kTargetMs / 1000) +
            "\n#EXT-X-MEDIA-SEQUENCE:" + std::to_string(first) + "\n";
        if (m_shape == Shape::Fmp4) {
            p += "#EXT-X-MAP:URI=\"init.mp4\"\n";
        }
        for (int n = first; n <= newest; ++n) {
            if (discontinuities.count(n)) {
                p += "#EXT-X-DISCONTINUITY\n";
            }
            p += "#EXTINF:1.997,Show " + std::to_string(n / 2) + "\ns" + std::to_string(n) +
                 SegmentExtension(m_shape) + "\n";
        }
        if (ended) {
            p += "#EXT-X-ENDLIST\n";
        }
        return p;
    }

    uint32_t FirstFrame(int segment) const {
        return static_cast<uint32_t>(segment * FramesPerSegment(m_shape));
    }

    Bytes Segment(int n) const {
        const int count = FramesPerSegment(m_shape);
        if (m_shape == Shape::Fmp4) {
            std::vector<Bytes> units;
            for (int i = 0; i < count; ++i) {
                units.push_back(NumberedAccessUnit(FirstFrame(n) + static_cast<uint32_t>(i)));
            }
            return Concat(
                {Box("styp", B("msdh")), Fragment(units, uint64_t{FirstFrame(n)} * 1024)});
        }
        Bytes frames;
        for (int i = 0; i < count; ++i) {
            const uint32_t number = FirstFrame(n) + static_cast<uint32_t>(i);
            Append(frames,
                   m_shape == Shape::TsMp3 ? NumberedMp3Frame(number) : NumberedFrame(number));
        }
        const int64_t pts = int64_t{FirstFrame(n)} * SamplesPerFrame(m_shape) * 90000 / 44100;
        const std::string song = "Song " + std::to_string(n);
        if (m_shape == Shape::Packed) {
            // The networks' shape: an ID3 tag with the title, then ADTS.
            return Concat(
                {Id3(4, {{"TPE1", Text(3, B("Artist"))}, {"TIT2", Text(3, B(song))}}), frames});
        }
        // Each segment starts its continuity counters afresh, as segmenters
        // write them.
        int pat = 0, pmt = 0, audio = 0, id3 = 0;
        const bool id3Stream = m_shape == Shape::TsWithId3;
        // MPEG-1 audio (0x03) for MP3, ADTS AAC (0x0F) otherwise.
        std::vector<hls_test::PmtStream> streams{
            {static_cast<uint8_t>(m_shape == Shape::TsMp3 ? 0x03 : 0x0F), 0x101, {}}};
        if (id3Stream) {
            streams.push_back({0x15, 0x102, {}});
        }
        Bytes out = Packets(0, Pat(0x1000), pat, true);
        Append(out, Packets(0x1000, Pmt(streams), pmt, true));
        if (id3Stream) {
            // The title changes halfway through the segment.
            const int64_t half = pts + int64_t{kFramesPerSegment / 2} * 1024 * 90000 / 44100;
            Append(out, Packets(0x102, Pes(0xBD, Id3(4, {{"TIT2", Text(3, B(song))}}), half), id3));
        }
        Append(out, Packets(0x101, Pes(0xC0, frames, pts), audio));
        return out;
    }

    std::map<std::string, int> opens;
    std::set<int> failing;
    std::set<int> discontinuities;
    int64_t frozenFromMs = -1;  // the playlist stops updating then...
    int64_t resumeAtMs = -1;    // ...until then (never when negative)
    bool ended = false;
    bool playlistDown = false;
    int segmentBytesPerSecond = 0;
    int segmentHeadDelayMs = 0;

private:
    std::function<bool()> m_idle;
    CFakeClock& m_clock;
    Shape m_shape;
    size_t m_chunk;
    int64_t m_nStartMs;
};

// Every frame becomes stereo samples of the frame's number: 1024 for each
// ADTS frame or raw access unit, 1152 for each MP3 frame.
class CNumberDecoder : public radio::IDecoder {
public:
    explicit CNumberDecoder(int& resets) : m_nResets(resets) {}
    bool Open(const radio::CCodecConfig& config, CRadioFailure&) override {
        m_kind = config.kind;
        if (config.kind == radio::CodecKind::AacRaw) {
            // The init segment's AudioSpecificConfig, as the real stage needs it.
            return config.audioSpecificConfig == hls_test::kLcStereo44;
        }
        return config.kind == radio::CodecKind::AacAdts || config.kind == radio::CodecKind::Mp3;
    }
    bool Decode(const uint8_t* frames, size_t bytes, radio::IPcmSink& sink,
                CRadioFailure&) override {
        if (m_kind == radio::CodecKind::AacRaw) {
            // One access unit per call: no header says where one ends.
            if (bytes != 120) {
                return false;
            }
            Emit(frames[0] << 8 | frames[1], 1024, sink);
            return true;
        }
        if (m_kind == radio::CodecKind::Mp3) {
            size_t pos = 0;
            while (pos + kMp3FrameBytes <= bytes) {
                if (frames[pos] != 0xFF || frames[pos + 1] != 0xFB) {
                    return false;
                }
                if (!Emit(frames[pos + 4] << 8 | frames[pos + 5], 1152, sink)) {
                    return true;
                }
                pos += kMp3FrameBytes;
            }
            return pos == bytes;
        }
        size_t pos = 0;
        while (pos + radio::kAdtsHeaderBytes <= bytes) {
            const auto header = radio::ParseAdtsHeader(frames + pos);
            if (!header || pos + header->nFrameBytes > bytes) {
                return false;  // the session must hand whole frames
            }
            if (!Emit(frames[pos + 7] << 8 | frames[pos + 8], 1024, sink)) {
                return true;
            }
            pos += header->nFrameBytes;
        }
        return pos == bytes;
    }
    bool Drain(radio::IPcmSink&, CRadioFailure&) override { return true; }
    void Reset() override { ++m_nResets; }

private:
    bool Emit(int number, size_t samples, radio::IPcmSink& sink) {
        m_samples.assign(samples * 2, static_cast<int16_t>(number & 0x7FFF));
        return sink.OnPcm({44100, 2}, m_samples.data(), m_samples.size());
    }

    int& m_nResets;
    radio::CodecKind m_kind = radio::CodecKind::AacAdts;
    std::vector<int16_t> m_samples;
};

class CNumberDecoders : public radio::IDecoderFactory {
public:
    std::unique_ptr<radio::IDecoder> Create(radio::CodecKind, CRadioFailure&) override {
        ++created;
        return std::make_unique<CNumberDecoder>(resets);
    }
    int created = 0;
    int resets = 0;
};

struct CHlsParam {
    Shape shape;
    size_t chunk;
};

class HlsSession : public testing::TestWithParam<CHlsParam> {
protected:
    HlsSession() : server(clock, GetParam().shape, GetParam().chunk), output(clock), sink(clock) {}

    void Run() {
        radio::CSessionStages stages{server, decoders, output, clock, sink};
        radio::CSession session(stages, U(kPlaylist), limits);
        startMs = clock.NowMs();
        session.Run();
        skippedSegments = session.SkippedSegments();
        reconnects = session.Reconnects();
    }

    // The frame numbers the device played, once each.
    std::vector<int> Played() const { return output.Played(); }

    // Frames played twice, or a frame missing between two played ones that
    // is not of a segment in `lost`.
    std::string Faults(const std::set<int>& lost = {}) const {
        const std::vector<int> played = Played();
        std::string faults;
        for (size_t i = 1; i < played.size(); ++i) {
            if (played[i] <= played[i - 1]) {
                faults += "repeat at " + std::to_string(played[i]) + "; ";
                continue;
            }
            for (int f = played[i - 1] + 1; f < played[i]; ++f) {
                if (!lost.count(f / FramesPerSegment(GetParam().shape))) {
                    faults += "gap at " + std::to_string(f) + "; ";
                    break;
                }
            }
        }
        return faults;
    }

    std::vector<std::u16string> Titles() const {
        std::vector<std::u16string> titles;
        for (const auto& n : sink.notices) {
            if (n.notice.kind == NoticeKind::Media &&
                (titles.empty() || titles.back() != n.notice.media.strTitle)) {
                titles.push_back(n.notice.media.strTitle);
            }
        }
        return titles;
    }

    CFakeClock clock;
    CLiveServer server;
    CNumberDecoders decoders;
    CFakeOutput output;
    CFakeSink sink;
    radio::CSessionLimits limits;
    int64_t startMs = 0;
    uint64_t skippedSegments = 0;
    int reconnects = 0;
};

// Start the session some way into the station's life, so that the live
// window is full.
void JoinLate(CFakeClock& clock) {
    clock.Advance(int64_t{kTargetMs} * 8 * 1000 + 300000);
}

TEST_P(HlsSession, LiveStationPlaysFromTheLiveEdgeWithoutGapsOrRepeats) {
    JoinLate(clock);
    clock.cancelAtMs = clock.NowMs() + 16000;
    const int first = server.Newest() - 3;
    Run();
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started}));
    const auto started = sink.First(NoticeKind::Started);
    ASSERT_TRUE(started);
    EXPECT_LE(started->atMs - startMs, 300);
    EXPECT_EQ(output.dryUs, 0);
    const std::vector<int> played = Played();
    ASSERT_FALSE(played.empty());
    // At least three target durations from the live end: with segments a
    // little shorter than the target, four of them.
    EXPECT_EQ(played.front(), static_cast<int>(server.FirstFrame(first)));
    EXPECT_EQ(Faults(), "");
    // 16 s of audio, give or take what the device holds.
    EXPECT_GE(played.size(), static_cast<size_t>(15 * 44100 / SamplesPerFrame(GetParam().shape)));
    const auto media = sink.First(NoticeKind::Media);
    ASSERT_TRUE(media);
    const std::u16string fileType = GetParam().shape == Shape::Packed ? u"hls-aac"
                                    : GetParam().shape == Shape::Fmp4 ? u"hls-fmp4"
                                                                      : u"hls-ts";
    EXPECT_EQ(media->notice.media.strFileType, fileType);
    // No master: the first frame's own rate, 128 kbit/s for the MP3 frames,
    // about 44 kbit/s for the AAC ones.
    const int bitrate = GetParam().shape == Shape::TsMp3 ? 128000 : 44000;
    EXPECT_GT(media->notice.media.nBitrate, bitrate * 8 / 10);
    EXPECT_LT(media->notice.media.nBitrate, bitrate * 12 / 10);
    EXPECT_EQ(decoders.created, 1);
    EXPECT_EQ(skippedSegments, 0u);
}

// Each shape's titles: EXTINF where the stream has no ID3, ID3 where it
// does (the tag at a packed segment's head, or the timed ID3 stream of the
// TS), each taken as its audio is decoded, not when its segment was read.
TEST_P(HlsSession, TitlesFollowTheAudio) {
    JoinLate(clock);
    clock.cancelAtMs = clock.NowMs() + 9000;
    const int first = server.Newest() - 3;
    Run();
    std::vector<std::u16string> expected;
    auto name = [](const std::string& s) { return U(s); };
    switch (GetParam().shape) {
        case Shape::Ts:
        case Shape::TsMp3:
        case Shape::Fmp4:
            // Two segments a show.
            for (int n = first; n < first + 5; ++n) {
                if (expected.empty() || expected.back() != name("Show " + std::to_string(n / 2)))
                    expected.push_back(name("Show " + std::to_string(n / 2)));
            }
            break;
        case Shape::Packed:
            for (int n = first; n < first + 5; ++n)
                expected.push_back(name("Artist - Song " + std::to_string(n)));
            break;
        case Shape::TsWithId3:
            // The first segment's audio before its tag has no title yet.
            expected.push_back(u"");
            for (int n = first; n < first + 4; ++n)
                expected.push_back(name("Song " + std::to_string(n)));
            break;
    }
    const std::vector<std::u16string> titles = Titles();
    ASSERT_GE(titles.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(titles[i], expected[i]) << i;
    }
    if (GetParam().shape == Shape::Packed) {
        // Segment k's title comes as its audio plays: about two seconds
        // apart, although the first three segments were read at once.
        std::vector<int64_t> at;
        for (const auto& n : sink.notices) {
            if (n.notice.kind == NoticeKind::Media) {
                at.push_back(n.atMs);
            }
        }
        ASSERT_GE(at.size(), 3u);
        EXPECT_GE(at[2] - at[1], kTargetMs - 100);
        EXPECT_LE(at[2] - at[1], kTargetMs + 100);
    }
}

TEST_P(HlsSession, SegmentThatFailsTwiceIsSkippedAndTheRestPlays) {
    JoinLate(clock);
    const int first = server.Newest() - 3;
    server.failing = {first + 1, first + 4};
    clock.cancelAtMs = clock.NowMs() + 14000;
    Run();
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started}));
    for (int n : server.failing) {
        EXPECT_EQ(
            server.opens[kHost + "s" + std::to_string(n) + SegmentExtension(GetParam().shape)], 2)
            << n;
    }
    EXPECT_EQ(skippedSegments, 2u);
    EXPECT_EQ(Faults(server.failing), "");
    const std::vector<int> played = Played();
    ASSERT_FALSE(played.empty());
    EXPECT_GE(played.back(), static_cast<int>(server.FirstFrame(first + 5)));
    // The decoder starts afresh after each hole.
    EXPECT_GE(decoders.resets, 2);
}

TEST_P(HlsSession, DiscontinuityResetsTheDecoderWithoutAStateChange) {
    JoinLate(clock);
    const int first = server.Newest() - 3;
    server.discontinuities = {first + 2, first + 3};
    clock.cancelAtMs = clock.NowMs() + 10000;
    Run();
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started}));
    EXPECT_GE(decoders.resets, 2);
    EXPECT_EQ(Faults(), "");
    EXPECT_EQ(output.dryUs, 0);
}

TEST_P(HlsSession, FinishedPlaylistPlaysToItsEndOnce) {
    clock.Advance(int64_t{kTargetMs} * 4 * 1000);  // four segments
    server.ended = true;
    server.frozenFromMs = clock.NowMs();
    Run();
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started, NoticeKind::Ended}));
    const std::vector<int> played = Played();
    ASSERT_FALSE(played.empty());
    EXPECT_EQ(played.front(), 0);
    EXPECT_EQ(played.back(), 4 * FramesPerSegment(GetParam().shape) - 1);
    EXPECT_EQ(Faults(), "");
    EXPECT_EQ(server.opens[kPlaylist], 2);  // looked at once, loaded once
}

// A playlist that stops updating: three target durations without a new
// segment are a drop (11), reconnected within the budget of a dropped
// stream.
struct CStallCase {
    const char* name;
    int resumeAfterMs;  // after the freeze; negative: never
    std::vector<NoticeKind> expected;
};

TEST_P(HlsSession, PlaylistThatStopsUpdating) {
    const CStallCase cases[] = {
        // The read-ahead still plays when the drop is seen: no state 6.
        {"comes back while reconnecting",
         7500,
         {NoticeKind::Started, NoticeKind::Dropped, NoticeKind::Started}},
        // Each reconnect finds the same stale playlist and drops again,
        // until the budget of a dropped stream is spent.
        {"never comes back",
         -1,
         {NoticeKind::Started, NoticeKind::Dropped, NoticeKind::Dropped, NoticeKind::Dropped,
          NoticeKind::Dropped, NoticeKind::Dropped, NoticeKind::Dropped, NoticeKind::Failed}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeClock clock;
        CLiveServer server(clock, GetParam().shape, GetParam().chunk);
        CFakeOutput output(clock);
        CFakeSink sink(clock);
        CNumberDecoders decoders;
        JoinLate(clock);
        server.frozenFromMs = clock.NowMs() + 1000;
        if (c.resumeAfterMs >= 0) {
            server.resumeAtMs = server.frozenFromMs + c.resumeAfterMs;
        }
        clock.cancelAtMs = clock.NowMs() + 60000;
        radio::CSessionStages stages{server, decoders, output, clock, sink};
        radio::CSession session(stages, U(kPlaylist), limits);
        session.Run();
        EXPECT_EQ(sink.Kinds(), c.expected);
        const auto dropped = sink.First(NoticeKind::Dropped);
        ASSERT_TRUE(dropped);
        // The last new segment came with the playlist before the freeze.
        EXPECT_GE(dropped->atMs - server.frozenFromMs, 3 * kTargetMs - kTargetMs);
        EXPECT_LE(dropped->atMs - server.frozenFromMs, 3 * kTargetMs + kTargetMs);
        if (c.resumeAfterMs < 0) {
            EXPECT_EQ(sink.notices.back().notice.failure.code,
                      radio::MakeFailure(radio::RadioError::ConnectionLost).code);
            EXPECT_LT(clock.NowMs(), clock.cancelAtMs);
        } else {
            // Rejoined: what played before the drop is not played again.
            const auto played = output.Played();
            for (size_t i = 1; i < played.size(); ++i) {
                ASSERT_GT(played[i], played[i - 1]) << i;
            }
            EXPECT_GE(session.Reconnects(), 1);
        }
    }
}

// Each segment's answer comes 600 ms after its request, longer than the
// device holds: the device is fed while the opener waits.
TEST_P(HlsSession, SegmentsSlowToAnswerDoNotStarveTheDevice) {
    JoinLate(clock);
    server.segmentHeadDelayMs = 600;
    clock.cancelAtMs = clock.NowMs() + 14000;
    Run();
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started}));
    EXPECT_EQ(output.dryUs, 0);
    EXPECT_EQ(Faults(), "");
    EXPECT_EQ(skippedSegments, 0u);
}

// Stop: within one short wait, wherever the session is.
TEST_P(HlsSession, StopIsHeardWithinOneShortWait) {
    const struct {
        const char* name;
        int stopAfterMs;
        int bytesPerSecond;
        int headDelayMs = 0;
    } cases[] = {
        {"waiting for the next reload", 7000, 0},
        {"during a slow segment fetch", 1500, 2000},
        {"during the first segment", 100, 2000},
        {"waiting for the first segment's answer", 100, 0, 3000},
        {"waiting for a later segment's answer", 5000, 0, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeClock clock;
        CLiveServer server(clock, GetParam().shape, GetParam().chunk);
        server.segmentBytesPerSecond = c.bytesPerSecond;
        server.segmentHeadDelayMs = c.headDelayMs;
        CFakeOutput output(clock);
        CFakeSink sink(clock);
        CNumberDecoders decoders;
        JoinLate(clock);
        clock.cancelAtMs = clock.NowMs() + c.stopAfterMs;
        radio::CSessionStages stages{server, decoders, output, clock, sink};
        radio::CSession session(stages, U(kPlaylist), limits);
        session.Run();
        EXPECT_LE(clock.NowMs() - clock.cancelAtMs, limits.nReadWaitMs + 10);
        EXPECT_EQ(sink.Count(NoticeKind::Failed), 0);
        EXPECT_FALSE(output.IsOpen());
    }
}

std::string ParamName(const testing::TestParamInfo<CHlsParam>& info) {
    static const char* const kShapes[] = {"Ts", "TsWithId3", "Packed", "TsMp3", "Fmp4"};
    return std::string(kShapes[static_cast<int>(info.param.shape)]) + "_chunk" +
           std::to_string(info.param.chunk);
}

INSTANTIATE_TEST_SUITE_P(Shapes, HlsSession,
                         testing::Values(CHlsParam{Shape::Ts, 65536}, CHlsParam{Shape::Ts, 1},
                                         CHlsParam{Shape::TsWithId3, 7},
                                         CHlsParam{Shape::Packed, 65536},
                                         CHlsParam{Shape::Packed, 1},
                                         CHlsParam{Shape::TsMp3, 65536}, CHlsParam{Shape::TsMp3, 5},
                                         CHlsParam{Shape::Fmp4, 65536}, CHlsParam{Shape::Fmp4, 3}),
                         ParamName);

// A stand-in block cipher for CBC: each block XORed with the key's first
// byte. Enough to tell whether the session decrypts with the stream's key.
class CXorCbc : public radio::hls::ICbcDecryptor {
public:
    explicit CXorCbc(uint8_t key) : m_key(key) {}
    bool Decrypt(std::span<const uint8_t> blocks, uint8_t* out, radio::hls::AesBlock& iv) override {
        for (size_t at = 0; at < blocks.size(); at += iv.size()) {
            for (size_t i = 0; i < iv.size(); ++i) {
                const uint8_t cipher = blocks[at + i];
                out[at + i] = static_cast<uint8_t>(cipher ^ m_key ^ iv[i]);
                iv[i] = cipher;
            }
        }
        return true;
    }

private:
    uint8_t m_key;
};

Bytes XorCbcEncrypt(Bytes plain, uint8_t key) {
    const size_t pad = 16 - plain.size() % 16;
    plain.resize(plain.size() + pad, static_cast<uint8_t>(pad));
    uint8_t iv[16] = {};
    for (size_t at = 0; at < plain.size(); at += 16) {
        for (size_t i = 0; i < 16; ++i) {
            plain[at + i] = static_cast<uint8_t>(plain[at + i] ^ iv[i] ^ key);
            iv[i] = plain[at + i];
        }
    }
    return plain;
}

// A master with an audio rendition, leading to a finished playlist of
// AES-128 packed-audio segments: the rendition's name and the variant's
// bandwidth describe the item, and every frame plays once.
TEST(HlsSessionMaster, EncryptedRenditionPlaysWithItsNameAndBandwidth) {
    CFakeClock clock;
    CFakeOpener opener(clock);
    CFakeOutput output(clock);
    CFakeSink sink(clock);
    CNumberDecoders decoders;
    auto serve = [&](const std::string& url, Bytes body) {
        CPlan plan;
        plan.body = std::move(body);
        plan.chunk = 333;
        opener.Serve(url, {plan});
    };
    serve(kHost + "master.m3u8",
          B("#EXTM3U\n"
            "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"Radio X\",DEFAULT=YES,"
            "URI=\"audio/hi.m3u8\"\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=128000,CODECS=\"mp4a.40.2\",AUDIO=\"a\"\n"
            "audio/hi.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=64000,CODECS=\"mp4a.40.2\"\nlo.m3u8\n"));
    serve(kHost + "audio/hi.m3u8",
          B("#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:7\n"
            "#EXT-X-KEY:METHOD=AES-128,URI=\"/keys/k1\",IV=0x00000000000000000000000000000000\n"
            "#EXTINF:2,\nseg7.aac\n#EXTINF:2,\nseg8.aac\n#EXT-X-ENDLIST\n"));
    serve("http://hls.test/keys/k1", Bytes(16, 0x5C));
    for (int n : {7, 8}) {
        Bytes frames;
        for (int i = 0; i < kFramesPerSegment; ++i) {
            Append(frames, NumberedFrame(static_cast<uint32_t>(n * kFramesPerSegment + i)));
        }
        serve(kHost + "audio/seg" + std::to_string(n) + ".aac", XorCbcEncrypt(frames, 0x5C));
    }
    radio::CSessionStages stages{opener, decoders, output, clock, sink};
    radio::CSession session(stages, U(kHost + "master.m3u8"));
    session.SetHlsCipher(
        [](std::span<const uint8_t> key) { return std::make_unique<CXorCbc>(key[0]); });
    session.Run();
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started, NoticeKind::Ended}));
    const auto media = sink.First(NoticeKind::Media);
    ASSERT_TRUE(media);
    EXPECT_EQ(media->notice.media.strName, u"Radio X");
    EXPECT_EQ(media->notice.media.strTitle, u"Radio X");
    EXPECT_EQ(media->notice.media.nBitrate, 128000);
    EXPECT_EQ(media->notice.media.strFileType, u"hls-aac");
    const std::vector<int> played = output.Played();
    ASSERT_EQ(played.size(), static_cast<size_t>(2 * kFramesPerSegment));
    EXPECT_EQ(played.front(), 7 * kFramesPerSegment);
    EXPECT_EQ(played.back(), 9 * kFramesPerSegment - 1);
    // The key was fetched once for both segments.
    EXPECT_EQ(std::count(opener.opened.begin(), opener.opened.end(), U("http://hls.test/keys/k1")),
              1);
}

// What cannot play fails once, with a cause the listener can read.
TEST(HlsSessionFails, WithOneClearError) {
    const struct {
        const char* name;
        std::string playlist;
        bool withCipher;
        radio::RadioError error;
    } cases[] = {
        {"SAMPLE-AES",
         "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\"\n"
         "#EXTINF:2,\ns0.ts\n",
         true, radio::RadioError::UnsupportedFormat},
        {"AES-128 without the system's AES",
         "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n"
         "#EXTINF:2,\ns0.ts\n",
         false, radio::RadioError::UnsupportedFormat},
        {"target duration over a minute", "#EXTM3U\n#EXT-X-TARGETDURATION:61\n#EXTINF:2,\ns0.ts\n",
         true, radio::RadioError::UnsupportedFormat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeClock clock;
        CFakeOpener opener(clock);
        CFakeOutput output(clock);
        CFakeSink sink(clock);
        CNumberDecoders decoders;
        CPlan playlist;
        playlist.body = B(c.playlist);
        playlist.contentType = "application/vnd.apple.mpegurl";
        opener.Serve(kPlaylist, {playlist});
        CPlan key;
        key.body = Bytes(16, 0x11);
        opener.Serve(kHost + "k", {key});
        CPlan segment;
        segment.body = Bytes(1024, 0x47);
        opener.Serve(kHost + "s0.ts", {segment});
        radio::CSessionStages stages{opener, decoders, output, clock, sink};
        radio::CSession session(stages, U(kPlaylist));
        if (c.withCipher) {
            session.SetHlsCipher([](std::span<const uint8_t>) { return nullptr; });
        }
        session.Run();
        ASSERT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Failed}));
        EXPECT_EQ(sink.notices.back().notice.failure.code, radio::MakeFailure(c.error).code);
        EXPECT_FALSE(sink.notices.back().notice.failure.description.empty());
    }
}

}  // namespace
