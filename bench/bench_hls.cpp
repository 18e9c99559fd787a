// Google benchmarks for the HLS readers (docs/performance.md, "HLS
// readers"): what the source stage spends per segment and per playlist
// reload, on segments ffmpeg made (tests/fuzz/corpus) and on playlists of
// the sizes live stations serve. Bytes processed are input bytes.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "radio/hls/Fmp4Reader.h"
#include "radio/hls/HlsPlaylist.h"
#include "radio/hls/LiveWindow.h"
#include "radio/hls/PackedAudio.h"
#include "radio/hls/TsDemuxer.h"

namespace {

std::vector<uint8_t> Seed(const std::string& path) {
    std::ifstream in(std::string(HLS_CORPUS_DIR) + "/" + path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

// Segments arrive in network reads; 16 KiB is what a read brings at most.
constexpr size_t kRead = 16 * 1024;

void TsSegment(benchmark::State& state) {
    const auto segment = Seed("hls_ts/ffmpeg_aac.ts");
    radio::hls::CTsDemuxer demuxer;
    for (auto _ : state) {
        radio::hls::CDemuxOutput out;
        for (size_t pos = 0; pos < segment.size(); pos += kRead) {
            demuxer.Feed({segment.data() + pos, std::min(kRead, segment.size() - pos)}, out);
        }
        demuxer.EndSegment(out);
        benchmark::DoNotOptimize(out.frames.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * segment.size()));
}
BENCHMARK(TsSegment);

void PackedSegment(benchmark::State& state) {
    const auto segment = Seed("hls_packed/ffmpeg_adts_id3.aac");
    for (auto _ : state) {
        radio::hls::CPackedAudioReader reader;
        radio::hls::CDemuxOutput out;
        for (size_t pos = 0; pos < segment.size(); pos += kRead) {
            reader.Feed({segment.data() + pos, std::min(kRead, segment.size() - pos)}, out);
        }
        reader.Finish(out);
        benchmark::DoNotOptimize(out.frames.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * segment.size()));
}
BENCHMARK(PackedSegment);

void Fmp4Segment(benchmark::State& state) {
    const auto init = Seed("hls_fmp4/ffmpeg_init.mp4");
    const auto both = Seed("hls_fmp4/ffmpeg_init_and_fragment.mp4");
    const std::span<const uint8_t> fragment(both.data() + init.size(), both.size() - init.size());
    radio::hls::CMp4AudioTrack track;
    radio::hls::ReadInitSegment(init, track);
    for (auto _ : state) {
        radio::hls::CDemuxOutput out;
        radio::hls::ReadMediaSegment(fragment, track, out);
        benchmark::DoNotOptimize(out.frames.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fragment.size()));
}
BENCHMARK(Fmp4Segment);

// A live playlist as CDNs serve them; the long one stays under the 1 MiB
// bound without the date-time tags.
std::string LivePlaylist(int segments, bool dateTimes) {
    std::string p =
        "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:183422\n";
    for (int i = 0; i < segments; ++i) {
        if (dateTimes)
            p += "#EXT-X-PROGRAM-DATE-TIME:2026-12-08T13:00:00.000Z\n";
        p += "#EXTINF:6.000,\nsegment_183422_" + std::to_string(i) + ".ts?token=0123456789abcdef\n";
    }
    return p;
}

// One reload: parse the playlist and follow it in the live window.
void PlaylistReload(benchmark::State& state) {
    const std::string text = LivePlaylist(static_cast<int>(state.range(0)), state.range(1) != 0);
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                                         text.size());
    radio::hls::CLiveWindow window;
    int64_t now = 0;
    for (auto _ : state) {
        const auto playlist =
            radio::hls::ParseHlsPlaylist(bytes, u"https://cdn.example.net/live/radio1/index.m3u8");
        if (playlist.error != radio::hls::HlsError::None) {
            state.SkipWithError("the playlist does not parse");
            break;
        }
        benchmark::DoNotOptimize(window.Update(playlist.media, now += 6000));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(PlaylistReload)->Args({6, 1})->Args({10000, 0});

}  // namespace
