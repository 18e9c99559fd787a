#include "radio/session/Session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SessionFakes.h"
#include "unit/radio/hls/HlsTestUtil.h"

namespace {

using namespace session_fakes;
using radio::NoticeKind;

const std::string kUrl = "http://radio/live";

// One session against the fakes, at one read size.
class SessionTest : public testing::TestWithParam<size_t> {
protected:
    SessionTest() : opener(clock), output(clock), sink(clock) {}

    CPlan Live(Bytes body, size_t burst, EndKind end = EndKind::Hang) {
        CPlan plan;
        plan.body = std::move(body);
        plan.burst = burst;
        plan.bytesPerSecond = kBytesPerSecond;
        plan.end = end;
        plan.chunk = GetParam();
        return plan;
    }

    void Run(const std::string& url = kUrl) {
        radio::CSessionStages stages{opener, decoders, output, clock, sink};
        radio::CSession session(stages, U(url), limits);
        startMs = clock.NowMs();
        session.Run();
        opens = session.Opens();
        skipped = session.SkippedFrames();
    }

    // The frame numbers played are increasing: nothing played twice.
    static bool Increasing(const std::vector<int>& played) {
        for (size_t i = 1; i < played.size(); ++i) {
            if (played[i] <= played[i - 1]) {
                return false;
            }
        }
        return true;
    }

    CFakeClock clock;
    CFakeOpener opener;
    CFakeDecoderFactory decoders;
    CFakeOutput output;
    CFakeSink sink;
    radio::CSessionLimits limits;
    int64_t startMs = 0;
    int opens = 0;
    uint64_t skipped = 0;
};

TEST_P(SessionTest, StationWithBurstStartsAt200msAndPlaysWithoutGaps) {
    opener.Serve(kUrl, {Live(Frames(0, FramesFor(30000)), 4 * kBytesPerSecond)});
    clock.cancelAtMs = clock.NowMs() + 12000;
    Run();
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started}));
    const auto started = sink.First(NoticeKind::Started);
    ASSERT_TRUE(started);
    EXPECT_LE(started->atMs - startMs, 100);
    EXPECT_EQ(output.dryUs, 0);
    const auto played = output.Played();
    ASSERT_GT(played.size(), FramesFor(11000));
    EXPECT_EQ(played.front(), 0);
    EXPECT_TRUE(Increasing(played));
    EXPECT_EQ(played.back() - played.front() + 1, static_cast<int>(played.size()));
}

// Once seconds are read ahead, the thread wakes when the device wants
// more, not for every packet the server sends; a station that runs dry
// still gets the waits that see it at once.
TEST_P(SessionTest, WakeUpsWhilePlayingFollowTheDeviceNotThePackets) {
    struct CCase {
        const char* name;
        int burstMs;
        double maxPerSecond;
    };
    const CCase cases[] = {
        {"four seconds ahead", 4000, 6.0},
        {"one second ahead", 1000, 6.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeClock localClock;
        CFakeOpener localOpener(localClock);
        CFakeOutput localOutput(localClock);
        CFakeSink localSink(localClock);
        localOpener.Serve(kUrl, {Live(Frames(0, FramesFor(40000)),
                                      static_cast<size_t>(c.burstMs) * kBytesPerSecond / 1000)});
        localClock.cancelAtMs = localClock.NowMs() + 22000;
        radio::CSessionStages stages{localOpener, decoders, localOutput, localClock, localSink};
        radio::CSession session(stages, U(kUrl), limits);
        session.Run();
        EXPECT_EQ(localSink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started}));
        EXPECT_EQ(localOutput.dryUs, 0);
        const auto played = localOutput.Played();
        ASSERT_GT(played.size(), FramesFor(20000));
        EXPECT_EQ(played.back() - played.front() + 1, static_cast<int>(played.size()));
        // About 11 packets a second arrive; the device's 500 ms want filling
        // a few times a second.
        EXPECT_LE(static_cast<double>(localClock.sleeps) / 22.0, c.maxPerSecond) << c.name;
    }
}

TEST_P(SessionTest, StationWithoutBurstStartsOnce200msAreDecoded) {
    opener.Serve(kUrl, {Live(Frames(0, FramesFor(10000)), 0)});
    clock.cancelAtMs = clock.NowMs() + 5000;
    Run();
    const auto started = sink.First(NoticeKind::Started);
    ASSERT_TRUE(started);
    // 200 ms of audio at real time, and the scanner's look-ahead of a few
    // frames to confirm sync.
    EXPECT_GE(started->atMs - startMs, 200);
    EXPECT_LE(started->atMs - startMs, 400);
    EXPECT_EQ(sink.Count(NoticeKind::Stalled), 0);
}

TEST_P(SessionTest, LocalFilePlaysToItsEndOnce) {
    CPlan plan;
    plan.body = Frames(0, 200);
    plan.network = false;
    plan.chunk = GetParam();
    plan.length = static_cast<int64_t>(plan.body.size());
    opener.Serve("C:\\music\\song.mp3", {plan});
    Run("C:\\music\\song.mp3");
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started, NoticeKind::Ended}));
    const auto media = sink.First(NoticeKind::Media);
    ASSERT_TRUE(media);
    EXPECT_EQ(media->notice.media.strTitle, u"song");
    EXPECT_EQ(media->notice.media.strFileType, u"mp3");
    EXPECT_NEAR(media->notice.media.dDuration, 200 * 417 * 8 / 128000.0, 0.01);
    const auto played = output.Played();
    ASSERT_FALSE(played.empty());
    EXPECT_TRUE(Increasing(played));
    // The scanner may hold back the very last frame it cannot confirm.
    EXPECT_GE(played.back(), 198);
    EXPECT_EQ(output.dryUs, 0);
}

struct CStallCase {
    const char* name;
    int burstMs;
    int stallMs;
    std::vector<NoticeKind> expected;
    bool gap;
};

class SessionStall : public SessionTest {};

// The read-ahead rides out what the burst gave; a longer stall runs the
// output dry (6), and one past the stall bound is a drop (11) that
// reconnects and plays again (3).
TEST_P(SessionStall, Cases) {
    const CStallCase cases[] = {
        {"three seconds, four ahead", 4000, 3000, {NoticeKind::Started}, false},
        {"1.5 s without burst",
         0,
         1500,
         {NoticeKind::Started, NoticeKind::Stalled, NoticeKind::Started},
         true},
        {"ten seconds",
         4000,
         10000,
         {NoticeKind::Started, NoticeKind::Stalled, NoticeKind::Dropped, NoticeKind::Started},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeClock localClock;
        CFakeOpener localOpener(localClock);
        CFakeOutput localOutput(localClock);
        CFakeSink localSink(localClock);
        CFakeDecoderFactory localDecoders;
        const size_t at = static_cast<size_t>(c.burstMs + 3000) * kBytesPerSecond / 1000;
        CPlan plan = Live(Frames(0, FramesFor(60000)), static_cast<size_t>(c.burstMs) * 16);
        plan.stalls = {{at, c.stallMs}};
        CPlan again = Live(Frames(0, FramesFor(60000)), 0);
        localOpener.Serve(kUrl, {plan, again});
        localClock.cancelAtMs = localClock.NowMs() + 25000;
        radio::CSessionStages stages{localOpener, localDecoders, localOutput, localClock,
                                     localSink};
        radio::CSession session(stages, U(kUrl), limits);
        const int64_t start = localClock.NowMs();
        session.Run();
        EXPECT_EQ(localSink.Kinds(), c.expected);
        EXPECT_EQ(localOutput.dryUs > 0, c.gap);
        if (const auto stalled = localSink.First(NoticeKind::Stalled)) {
            // The dry device is seen while it is dry: the read-ahead lasted
            // burst + 3 s, plus the 200 ms decoded at the start.
            const int64_t dryAt = start + c.burstMs + 3000;
            EXPECT_GE(stalled->atMs, dryAt - 400);
            EXPECT_LE(stalled->atMs, dryAt + 300 + 300);
        }
        if (c.stallMs > limits.nStallMs) {
            const auto dropped = localSink.First(NoticeKind::Dropped);
            ASSERT_TRUE(dropped);
            // The stall began once three seconds had come at real time.
            EXPECT_NEAR(static_cast<double>(dropped->atMs - start), 3000.0 + limits.nStallMs,
                        400.0);
        }
    }
}

// A reconnect to a server that bursts: the new connection starts with
// frames already played (or about to be); they are skipped, and nothing
// plays twice or is lost.
TEST_P(SessionTest, ReconnectSkipsTheRepeatedBurst) {
    const uint32_t total = FramesFor(20000);
    Bytes first = Frames(0, 300);
    first.resize(first.size() - 100);  // cut in the middle of a frame
    Bytes second = Frames(250, total - 250);
    opener.Serve(
        kUrl, {Live(first, 4 * kBytesPerSecond, EndKind::Fail), Live(second, 4 * kBytesPerSecond)});
    clock.cancelAtMs = clock.NowMs() + 15000;
    Run();
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started, NoticeKind::Dropped,
                                                     NoticeKind::Started}));
    const auto played = output.Played();
    ASSERT_GT(played.size(), 400u);
    EXPECT_TRUE(Increasing(played));
    // Every frame once: the repeat is gone and the frames the first
    // connection lost are there.
    EXPECT_EQ(played.back() - played.front() + 1, static_cast<int>(played.size()));
    EXPECT_GE(skipped, 45u);
    EXPECT_EQ(decoders.resets, 0);
    EXPECT_EQ(output.dryUs, 0);
}

TEST_P(SessionTest, ReconnectWithoutOverlapPlaysOnFromTheNewStart) {
    Bytes first = Frames(0, 300);
    opener.Serve(kUrl, {Live(first, 4 * kBytesPerSecond, EndKind::Fail),
                        Live(Frames(5000, FramesFor(20000)), 4 * kBytesPerSecond)});
    clock.cancelAtMs = clock.NowMs() + 12000;
    Run();
    const auto played = output.Played();
    EXPECT_TRUE(Increasing(played));
    ASSERT_FALSE(played.empty());
    EXPECT_GE(played.back(), 5000);
    EXPECT_EQ(std::count(played.begin(), played.end(), 5000), 1);
    EXPECT_GE(std::count_if(played.begin(), played.end(), [](int n) { return n < 300; }), 297);
    EXPECT_EQ(skipped, 0u);
    // The decoder starts afresh where the streams meet.
    EXPECT_EQ(decoders.resets, 1);
}

// A drop on a station without a burst leaves the device dry while the
// session reconnects (state 11, not 6): the new connection starts as a
// station does, once 200 ms are ready, not after the second an underrun
// waits for.
TEST_P(SessionTest, ReconnectAfterTheOutputRanDryStartsAt200ms) {
    opener.Serve(kUrl, {Live(Frames(0, FramesFor(3000)), 0, EndKind::Fail),
                        Live(Frames(5000, FramesFor(10000)), 0)});
    clock.cancelAtMs = clock.NowMs() + 9000;
    Run();
    ASSERT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started, NoticeKind::Dropped,
                                                     NoticeKind::Started}));
    const int64_t droppedAt = sink.First(NoticeKind::Dropped)->atMs;
    const int64_t backAt = sink.notices.back().atMs;
    // The first attempt 250 ms after the drop, then 200 ms of audio at real
    // time and the scanner's look-ahead.
    EXPECT_GE(backAt - droppedAt, 250 + limits.nStartMs);
    EXPECT_LT(backAt - droppedAt, 250 + limits.nResumeMs);
    EXPECT_EQ(sink.Count(NoticeKind::Stalled), 0);
}

// A station that answers and closes at once gets a bounded number of
// reconnects, not one every 250 ms for ever.
TEST_P(SessionTest, ReconnectsGiveUpWhenTheServerKeepsClosing) {
    CPlan closes = Live({}, 0, EndKind::End);
    opener.Serve(kUrl, {Live(Frames(0, FramesFor(3000)), SIZE_MAX, EndKind::End), closes});
    clock.cancelAtMs = clock.NowMs() + 600000;
    Run();
    ASSERT_FALSE(sink.notices.empty());
    EXPECT_EQ(sink.notices.back().notice.kind, NoticeKind::Failed);
    EXPECT_EQ(sink.notices.back().notice.failure.code,
              radio::MakeFailure(radio::RadioError::ConnectionLost).code);
    EXPECT_EQ(opener.opened.size(), 1u + 5u);
    EXPECT_LT(clock.NowMs() - startMs, 20000);
}

// The budget comes back once audio has played for a while after a drop:
// two drops far apart each get their five attempts.
TEST_P(SessionTest, ReconnectBudgetRefillsAfterAudioPlays) {
    limits.nRefillMs = 3000;
    const auto piece = [&](uint32_t first) {
        return Live(Frames(first, FramesFor(5000)), 4 * kBytesPerSecond, EndKind::Fail);
    };
    opener.Serve(
        kUrl, {piece(0), std::nullopt, std::nullopt, std::nullopt, std::nullopt, piece(10000),
               std::nullopt, std::nullopt, std::nullopt, std::nullopt, piece(20000), std::nullopt});
    clock.cancelAtMs = clock.NowMs() + 60000;
    Run();
    EXPECT_EQ(sink.Count(NoticeKind::Failed), 1);
    EXPECT_GE(opener.opened.size(), 12u);
    const auto played = output.Played();
    EXPECT_GE(played.back(), 20000);
}

TEST_P(SessionTest, TitlesAreTakenAtMostOnceASecond) {
    // icy-metaint 16 and a new title in every block.
    const Bytes audio = Frames(0, FramesFor(8000));
    Bytes stream;
    int n = 0;
    for (size_t pos = 0; pos < audio.size(); pos += 16) {
        stream.insert(stream.end(), audio.begin() + static_cast<ptrdiff_t>(pos),
                      audio.begin() + static_cast<ptrdiff_t>(std::min(pos + 16, audio.size())));
        std::string meta = "StreamTitle='t" + std::to_string(n++) + "';";
        meta.resize((meta.size() + 15) / 16 * 16, '\0');
        stream.push_back(static_cast<uint8_t>(meta.size() / 16));
        stream.insert(stream.end(), meta.begin(), meta.end());
    }
    CPlan plan = Live(stream, SIZE_MAX, EndKind::Hang);
    plan.bytesPerSecond = 0;
    plan.metaInt = 16;
    opener.Serve(kUrl, {plan});
    clock.cancelAtMs = clock.NowMs() + 6000;
    Run();
    std::vector<int64_t> times;
    for (const auto& notice : sink.notices) {
        if (notice.notice.kind == NoticeKind::Media) {
            times.push_back(notice.atMs);
        }
    }
    ASSERT_GE(times.size(), 2u);
    EXPECT_LE(times.size(), 8u);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], 1000);
    }
}

TEST_P(SessionTest, StopDuringAStallEndsWithoutANotice) {
    CPlan plan = Live(Frames(0, FramesFor(20000)), 2 * kBytesPerSecond);
    plan.stalls = {{3 * kBytesPerSecond, 60000}};
    opener.Serve(kUrl, {plan});
    // The stall begins after one second; what was read lasts three.
    clock.cancelAtMs = clock.NowMs() + 2500;
    Run();
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started}));
    EXPECT_LT(clock.NowMs() - clock.cancelAtMs, 200);
}

// An AAC station's bitrate: icy-br when it announces one; otherwise measured
// over half a second of frames and said then, in a second media item, never
// guessed from the first frame (here a large one, as encoders often write).
TEST_P(SessionTest, AacBitrateIsAnnouncedOrMeasuredNotGuessed) {
    struct Case {
        const char* name;
        int icyKbps;
        std::vector<int> bitrates;  // of the media items, in order
    };
    // 800 bytes, then 450-byte frames of 1024 samples at 44.1 kHz: 22 frames
    // (10,250 bytes in 0.511 s) are the first half second measured.
    const Case cases[] = {
        {"measured", 0, {0, 161000}},
        {"announced", 96, {96000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes body = hls_test::Adts(800 - 7);
        for (int i = 0; i < 200; ++i) {
            const Bytes frame = hls_test::Adts(450 - 7);
            body.insert(body.end(), frame.begin(), frame.end());
        }
        CPlan plan = Live(body, 4 * 20000);
        plan.bytesPerSecond = 20000;
        plan.contentType = "audio/aac";
        plan.icyBitrate = c.icyKbps;
        opener.Serve(kUrl, {plan});
        sink.notices.clear();
        clock.cancelAtMs = clock.NowMs() + 2000;
        Run();
        std::vector<int> bitrates;
        for (const auto& n : sink.notices) {
            if (n.notice.kind == NoticeKind::Media) {
                EXPECT_EQ(n.notice.media.strFileType, u"aac");
                bitrates.push_back(n.notice.media.nBitrate);
            }
        }
        EXPECT_EQ(bitrates, c.bitrates);
        EXPECT_EQ(sink.First(NoticeKind::Started).has_value(), true);
    }
}

INSTANTIATE_TEST_SUITE_P(ReadSizes, SessionTest, testing::Values(1, 7, 4096, 8192));
INSTANTIATE_TEST_SUITE_P(ReadSizes, SessionStall, testing::Values(7, 8192));

// Failures before anything plays: one Failed notice with the cause.
struct CFailCase {
    const char* name;
    std::string body;
    bool decoderMissing;
    radio::RadioError error;
};

class SessionFails : public testing::TestWithParam<CFailCase> {};

TEST_P(SessionFails, WithOneError) {
    const auto& c = GetParam();
    CFakeClock clock;
    CFakeOpener opener(clock);
    CFakeOutput output(clock);
    CFakeSink sink(clock);
    CFakeDecoderFactory decoders;
    decoders.missing = c.decoderMissing;
    CPlan plan;
    plan.body = c.body == "mp3" ? Frames(0, 100) : B(c.body);
    opener.Serve(kUrl, {plan});
    radio::CSessionStages stages{opener, decoders, output, clock, sink};
    radio::CSession session(stages, U(kUrl));
    session.Run();
    ASSERT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Failed}));
    EXPECT_EQ(sink.notices.back().notice.failure.code, radio::MakeFailure(c.error).code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionFails,
    testing::Values(CFailCase{"html", "<html><body>" + std::string(5000, 'x') + "</body></html>",
                              false, radio::RadioError::UnsupportedFormat},
                    CFailCase{"empty", "", false, radio::RadioError::UnsupportedFormat},
                    CFailCase{"no decoder", "mp3", true, radio::RadioError::DecoderMissing},
                    CFailCase{"hls sample aes",
                              "#EXTM3U\n#EXT-X-TARGETDURATION:6\n"
                              "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"k\"\n#EXTINF:6,\na.ts\n",
                              false, radio::RadioError::UnsupportedFormat}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

// A server that sends its whole announced body and then drops the
// connection has said what it had: its page is judged, not the drop.
TEST(SessionEnds, AFailingReadAfterTheWholeBodyIsTheEnd) {
    for (const bool audio : {false, true}) {
        CFakeClock clock;
        CFakeOpener opener(clock);
        CFakeOutput output(clock);
        CFakeSink sink(clock);
        CFakeDecoderFactory decoders;
        CPlan plan;
        plan.body = audio ? Frames(0, 100) : B("<html>" + std::string(22000, 'p') + "</html>");
        plan.length = static_cast<int64_t>(plan.body.size());
        plan.end = EndKind::Fail;
        opener.Serve(kUrl, {plan});
        radio::CSessionStages stages{opener, decoders, output, clock, sink};
        radio::CSession session(stages, U(kUrl));
        session.Run();
        if (audio) {
            EXPECT_EQ(sink.Kinds(),
                      (std::vector<NoticeKind>{NoticeKind::Started, NoticeKind::Ended}));
        } else {
            ASSERT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Failed}));
            EXPECT_EQ(sink.notices.back().notice.failure.code,
                      radio::MakeFailure(radio::RadioError::UnsupportedFormat).code);
        }
    }
}

class SessionPlaylists : public testing::Test {
protected:
    SessionPlaylists() : opener(clock), output(clock), sink(clock) {}

    void ServeText(const std::string& url, const std::string& text,
                   const std::string& type = "text/plain") {
        CPlan plan;
        plan.body = B(text);
        plan.contentType = type;
        opener.Serve(url, {plan});
    }
    void ServeAudio(const std::string& url) {
        CPlan plan;
        plan.body = Frames(0, FramesFor(3000));
        plan.length = static_cast<int64_t>(plan.body.size());
        opener.Serve(url, {plan});
    }
    void Run(const std::string& url) {
        radio::CSessionStages stages{opener, decoders, output, clock, sink};
        radio::CSession session(stages, U(url));
        session.Run();
    }

    CFakeClock clock;
    CFakeOpener opener;
    CFakeDecoderFactory decoders;
    CFakeOutput output;
    CFakeSink sink;
};

TEST_F(SessionPlaylists, EntriesAreTriedInOrderUntilOnePlays) {
    const std::vector<std::pair<std::string, std::string>> lists = {
        {"http://h/a/list.m3u", "#EXTM3U\nhttp://h/missing.mp3\n../live.mp3\n"},
        {"http://h/a/list.pls", "[playlist]\nFile2=../live.mp3\nFile1=http://h/missing.mp3\n"},
        {"http://h/a/list.xspf",
         "<?xml version=\"1.0\"?>\n<playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\">"
         "<trackList><track><location>http://h/missing.mp3</location></track>"
         "<track><location>../live.mp3</location></track></trackList></playlist>"},
    };
    for (const auto& [url, text] : lists) {
        SCOPED_TRACE(url);
        opener.opened.clear();
        sink.notices.clear();
        ServeText(url, text);
        ServeAudio("http://h/live.mp3");
        Run(url);
        EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started, NoticeKind::Ended}));
        EXPECT_EQ(opener.opened, (std::vector<std::u16string>{U(url), u"http://h/missing.mp3",
                                                              u"http://h/live.mp3"}));
        EXPECT_EQ(opener.origins.back(), radio::UrlOrigin::Network);
    }
}

// A network playlist may name only http and https: never a file, a share or
// a device, which are not even opened.
TEST_F(SessionPlaylists, NetworkEntriesMayNotNameLocalThings) {
    ServeText("http://h/list.m3u",
              "file:///C:/secret.mp3\nC:\\secret.mp3\n\\\\server\\share\\a.mp3\n"
              "\\\\.\\pipe\\x\nftp://h/a.mp3\n");
    Run("http://h/list.m3u");
    EXPECT_EQ(opener.opened, (std::vector<std::u16string>{u"http://h/list.m3u"}));
    ASSERT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Failed}));
    EXPECT_EQ(sink.notices.back().notice.failure.code,
              radio::MakeFailure(radio::RadioError::UnsupportedScheme).code);
}

// Three levels of 64 entries that all fail: one session opens at most its
// budget of addresses.
TEST_F(SessionPlaylists, FanOutIsBounded) {
    const std::function<void(const std::string&, int)> serve = [&](const std::string& url,
                                                                   int level) {
        std::string text = "#EXTM3U\n";
        for (int i = 0; i < 64; ++i) {
            const std::string entry = url + "_" + std::to_string(i) + ".m3u";
            text += entry + "\n";
            if (level < 3 && i < 2) {
                serve(entry, level + 1);
            }
        }
        ServeText(url + (level == 0 ? "" : ""), text);
    };
    serve("http://h/l", 0);
    Run("http://h/l");
    EXPECT_LE(opener.opened.size(), 16u);
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Failed}));
}

// A playlist server that drips a byte every four seconds cannot hold the
// session: the body has a deadline.
TEST_F(SessionPlaylists, DrippingPlaylistTimesOut) {
    CPlan plan;
    plan.body = B("#EXTM3U\n" + std::string(200, '#'));
    plan.contentType = "audio/x-mpegurl";
    plan.bytesPerSecond = 1;
    plan.burst = 8;
    plan.chunk = 1;
    opener.Serve("http://h/drip.m3u", {plan});
    Run("http://h/drip.m3u");
    ASSERT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Failed}));
    EXPECT_EQ(sink.notices.back().notice.failure.code,
              radio::MakeFailure(radio::RadioError::Timeout).code);
    EXPECT_LE(clock.NowMs(), 1000 + 11000);
}

TEST_F(SessionPlaylists, LocalPlaylistMayNameLocalFiles) {
    CPlan list;
    list.body = B("song.mp3\n");
    list.network = false;
    list.contentType = "";
    opener.Serve("C:\\radio\\list.m3u", {list});
    CPlan song;
    song.body = Frames(0, 50);
    song.network = false;
    opener.Serve("C:\\radio\\song.mp3", {song});
    Run("C:\\radio\\list.m3u");
    EXPECT_EQ(sink.Kinds(), (std::vector<NoticeKind>{NoticeKind::Started, NoticeKind::Ended}));
    EXPECT_EQ(opener.origins.back(), radio::UrlOrigin::Host);
}

}  // namespace
