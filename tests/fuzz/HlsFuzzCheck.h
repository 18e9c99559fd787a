// The properties the HLS fuzz targets check, shared with the unit test that
// replays the seed corpora and saved inputs (tests/unit/radio/hls/
// HlsFuzzReplayTest.cpp). Each returns an empty string when the property
// holds and what broke otherwise. Refusing an input is always fine; what is
// checked is that whatever comes out is bounded by what went in, and that
// the readers that take data in chunks give the same result however the
// data is cut.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "radio/RadioUrl.h"
#include "HlsFakes.h"
#include "radio/hls/Fmp4Reader.h"
#include "radio/hls/HlsPlaylist.h"
#include "radio/hls/HlsStream.h"
#include "radio/hls/Id3Reader.h"
#include "radio/hls/LiveWindow.h"
#include "radio/hls/PackedAudio.h"
#include "radio/hls/TsDemuxer.h"

namespace hls_fuzz {

inline bool ValidUtf16(const std::u16string& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] >= 0xD800 && s[i] <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

inline bool IsHttp(const std::u16string& uri) {
    const auto kind = radio::ClassifySource(uri);
    return kind == radio::SourceKind::Http || kind == radio::SourceKind::Https;
}

inline std::string CheckPlaylist(const uint8_t* data, size_t size) {
    using namespace radio::hls;
    const std::u16string base = u"https://radio.example/live/index.m3u8";
    const CHlsPlaylist p = ParseHlsPlaylist({data, size}, base);
    if (p.error != HlsError::None) {
        return {};
    }
    const CMediaPlaylist& m = p.media;
    if (m.segments.size() > kMaxHlsSegments) {
        return "too many segments";
    }
    if (m.nTargetDurationMs > kMaxTargetDurationMs) {
        return "target duration over the limit";
    }
    size_t uriChars = 0;
    for (size_t i = 0; i < m.segments.size(); ++i) {
        const CHlsSegment& s = m.segments[i];
        if (s.nSequence != m.nMediaSequence + i) {
            return "sequence numbers not consecutive";
        }
        if (!IsHttp(s.strUri)) {
            return "a segment URI that is not http(s)";
        }
        if (s.nDurationMs < 0) {
            return "a negative duration";
        }
        if (s.pKey && s.pKey->method == KeyMethod::Aes128 && s.pKey->strKeyFormat == "identity" &&
            !IsHttp(s.pKey->strUri)) {
            return "a key URI that is not http(s)";
        }
        if (s.pMap && !IsHttp(s.pMap->strUri)) {
            return "a map URI that is not http(s)";
        }
        if (!ValidUtf16(s.strTitle)) {
            return "a title that is not UTF-16";
        }
        uriChars += s.strUri.size();
    }
    if (uriChars > kMaxHlsUriChars) {
        return "URIs over their bound";
    }
    for (const auto& v : p.master.variants) {
        if (!IsHttp(v.strUri)) {
            return "a variant URI that is not http(s)";
        }
    }
    for (const auto& choice : ChooseVariants(p.master)) {
        if (!IsHttp(choice.strUri)) {
            return "a choice that is not http(s)";
        }
    }
    // Loading the same playlist twice brings nothing new the second time,
    // and the first hands out a tail of it.
    CLiveWindow window;
    const auto first = window.Update(m, 0);
    if (first.segments.size() > m.segments.size()) {
        return "more segments than listed";
    }
    if (!first.segments.empty() &&
        first.segments.back().nSequence != m.nMediaSequence + m.segments.size() - 1) {
        return "the start is not a tail of the playlist";
    }
    const auto second = window.Update(m, 1000);
    if (!second.segments.empty() || second.nSkipped != 0 || second.bRestarted) {
        return "a reload of the same playlist gave something";
    }
    return {};
}

inline bool SameOutput(const radio::hls::CDemuxOutput& a, const radio::hls::CDemuxOutput& b) {
    if (a.audio.format != b.audio.format || a.titles.size() != b.titles.size()) {
        return false;
    }
    for (size_t i = 0; i < a.titles.size(); ++i) {
        if (a.titles[i].strTitle != b.titles[i].strTitle || a.titles[i].nPts != b.titles[i].nPts) {
            return false;
        }
    }
    if (a.audio.format == radio::hls::CodedFormat::MpegAudio) {
        // Elementary MPEG audio is passed on as it comes: only the bytes count.
        std::vector<uint8_t> x, y;
        for (const auto& f : a.frames) {
            x.insert(x.end(), f.bytes.begin(), f.bytes.end());
        }
        for (const auto& f : b.frames) {
            y.insert(y.end(), f.bytes.begin(), f.bytes.end());
        }
        return x == y;
    }
    if (a.frames.size() != b.frames.size()) {
        return false;
    }
    for (size_t i = 0; i < a.frames.size(); ++i) {
        if (a.frames[i].bytes != b.frames[i].bytes || a.frames[i].nPts != b.frames[i].nPts) {
            return false;
        }
    }
    return true;
}

inline size_t FrameBytes(const radio::hls::CDemuxOutput& out) {
    size_t n = 0;
    for (const auto& f : out.frames) {
        n += f.bytes.size();
    }
    return n;
}

// The chunk size comes from the input itself, so the fuzzer explores cuts.
inline size_t ChunkFor(const uint8_t* data, size_t size) {
    return size == 0 ? 1 : 1 + data[size / 2] % 251;
}

template <typename Reader, typename FeedFn, typename EndFn>
radio::hls::CDemuxOutput Run(const uint8_t* data, size_t size, size_t chunk, FeedFn feed,
                             EndFn end) {
    Reader reader;
    radio::hls::CDemuxOutput out;
    for (size_t pos = 0; pos < size; pos += chunk) {
        feed(reader, std::span<const uint8_t>(data + pos, std::min(chunk, size - pos)), out);
    }
    end(reader, out);
    return out;
}

inline std::string CheckTs(const uint8_t* data, size_t size) {
    using radio::hls::CTsDemuxer;
    auto feed = [](CTsDemuxer& r, std::span<const uint8_t> d, radio::hls::CDemuxOutput& o) {
        r.Feed(d, o);
    };
    auto end = [](CTsDemuxer& r, radio::hls::CDemuxOutput& o) { r.EndSegment(o); };
    const auto whole = Run<CTsDemuxer>(data, size, size ? size : 1, feed, end);
    const auto cut = Run<CTsDemuxer>(data, size, ChunkFor(data, size), feed, end);
    if (!SameOutput(whole, cut)) {
        return "cutting the stream changed what came out";
    }
    if (FrameBytes(whole) > size) {
        return "more audio out than bytes in";
    }
    for (const auto& t : whole.titles) {
        if (!ValidUtf16(t.strTitle)) {
            return "a title that is not UTF-16";
        }
    }
    return {};
}

inline std::string CheckPacked(const uint8_t* data, size_t size) {
    using radio::hls::CPackedAudioReader;
    auto feed = [](CPackedAudioReader& r, std::span<const uint8_t> d, radio::hls::CDemuxOutput& o) {
        r.Feed(d, o);
    };
    auto end = [](CPackedAudioReader& r, radio::hls::CDemuxOutput& o) { r.Finish(o); };
    const auto whole = Run<CPackedAudioReader>(data, size, size ? size : 1, feed, end);
    const auto cut = Run<CPackedAudioReader>(data, size, ChunkFor(data, size), feed, end);
    if (!SameOutput(whole, cut)) {
        return "cutting the stream changed what came out";
    }
    if (FrameBytes(whole) > size) {
        return "more audio out than bytes in";
    }
    for (const auto& f : whole.frames) {
        if (whole.audio.format == radio::hls::CodedFormat::AdtsAac &&
            (f.bytes.size() < 7 || !radio::hls::ParseAdtsHeader(f.bytes.data()))) {
            return "a frame that does not start with an ADTS header";
        }
    }
    return {};
}

inline std::string CheckFmp4(const uint8_t* data, size_t size) {
    using namespace radio::hls;
    // The input is an init segment, and also the media segment: an init
    // segment followed by fragments reads as both.
    CMp4AudioTrack track;
    if (ReadInitSegment({data, size}, track) != Mp4Error::None) {
        // Fragments may still be read against a made-up track.
        track = CMp4AudioTrack{};
        track.nTrackId = 1;
        track.nTimescale = 44100;
    }
    if (track.audio.format == CodedFormat::RawAac && track.audio.asc.empty()) {
        return "AAC without its config";
    }
    CDemuxOutput out;
    ReadMediaSegment({data, size}, track, out);
    if (FrameBytes(out) > size) {
        return "more audio out than bytes in";
    }
    if (out.frames.size() > kMaxMp4SamplesPerSegment) {
        return "more samples than the bound";
    }
    return {};
}

inline std::string CheckId3(const uint8_t* data, size_t size) {
    using namespace radio::hls;
    CId3Tag tag;
    const Id3Status status = ReadId3({data, size}, tag);
    if (status == Id3Status::Ok && tag.nTagBytes > size) {
        return "a tag larger than the input";
    }
    if (status == Id3Status::NeedMore && tag.nTagBytes != 0 && tag.nTagBytes <= size) {
        return "asked for more than the whole tag";
    }
    if (tag.title && !ValidUtf16(*tag.title)) {
        return "a title that is not UTF-16";
    }
    if (tag.artist && !ValidUtf16(*tag.artist)) {
        return "an artist that is not UTF-16";
    }
    if (tag.pts && (*tag.pts < 0 || *tag.pts >= (int64_t{1} << 33))) {
        return "a timestamp past 33 bits";
    }
    return {};
}

// The source stage over a server that serves the input: up to the first NUL
// as the playlist, the rest as every other address (segments, keys, init
// sections). Whatever it does, it ends, and between two segments that do
// not ask for a decoder reset the sequence numbers follow on by one: never
// a segment twice, never a gap without saying so.
inline std::string CheckStream(const uint8_t* data, size_t size) {
    using namespace radio::hls;
    const uint8_t* nul = std::find(data, data + size, uint8_t{0});
    const hls_fakes::Bytes playlist(data, nul);
    const hls_fakes::Bytes rest(nul == data + size ? nul : nul + 1, data + size);
    hls_fakes::CFakeOpener opener;
    opener.Serve("http://radio.test/index.m3u8", {{true, playlist}});
    opener.fallback = {true, rest};
    hls_fakes::CFakeClock clock;
    CHlsStream stream(opener, clock, nullptr);
    radio::CRadioFailure failure;
    if (!stream.Open(u"http://radio.test/index.m3u8", failure)) {
        return failure.description.empty() ? "a failure without a description" : "";
    }
    CHlsSegmentOutput out;
    bool havePrevious = false;
    uint64_t previous = 0;
    size_t served = 0;
    for (int step = 0; step < 64; ++step) {
        const HlsStep result = stream.Next(out, failure);
        if (result == HlsStep::Failed && failure.description.empty()) {
            return "a failure without a description";
        }
        if (result != HlsStep::Segment)
            return {};
        if (havePrevious && !out.bResetDecoder && out.nSequence != previous + 1) {
            return "a segment twice, or a gap without a reset";
        }
        served += FrameBytes(out.demux);
        if (served > rest.size() * static_cast<size_t>(step + 1))
            return "more audio than was served";
        previous = out.nSequence;
        havePrevious = true;
    }
    return {};
}

}  // namespace hls_fuzz
