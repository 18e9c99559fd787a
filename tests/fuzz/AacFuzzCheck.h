// The properties the AAC fuzz target checks, shared with the unit test that
// replays its seeds and saved inputs (tests/unit/radio/decoder).
//
// Input: byte 0 holds flags (bit 0: the stream is LOAS/LATM, else ADTS;
// bit 1: the end of the input is announced once everything is fed), byte 1
// the length N of a schedule, the next N bytes the schedule, the rest the
// station's byte stream. The stream is fed in pieces of (s + 1) bytes, s
// taken cyclically from the schedule (all at once without one), and the
// frames are taken after every piece, as the session does.
//
// Properties:
//  - the frames given out, and the counts of skipped bytes and resyncs, are
//    the same however the stream is cut;
//  - every frame is a whole frame of the stream's kind: an ADTS header whose
//    length is the frame's and whose profile, rate and channels are those of
//    the first frame; a LOAS sync whose length is the frame's;
//  - the frames are pieces of the stream, in order and without overlap, and
//    with the skipped bytes they never add up to more than was fed;
//  - a scanner that failed gives nothing more, and failing takes more than
//    kMaxJunk bytes without a frame;
//  - detection by bytes finds a frame where it says, and an answer found
//    from half the stream stands once all of it is there;
//  - the AudioSpecificConfig built from an ADTS header reads back as that
//    header, and the two readers of a configuration (the one of fragmented
//    MP4, the one of LATM's StreamMuxConfig) agree on what both accept.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "radio/decoder/AacDecoder.h"
#include "radio/decoder/AacFormat.h"
#include "radio/hls/Fmp4Reader.h"

namespace aac_fuzz {

struct Scan {
    std::vector<std::vector<uint8_t>> frames;
    uint64_t skipped = 0;
    int resyncs = 0;
    bool failed = false;
};

// Feeds stream in the pieces schedule gives, taking frames after each.
inline Scan RunScanner(radio::CodecKind kind, std::span<const uint8_t> stream,
                       std::span<const uint8_t> schedule, bool finish) {
    radio::CAacFrameScanner scanner(kind);
    Scan scan;
    const auto drain = [&] {
        while (const auto frame = scanner.NextFrame()) {
            scan.frames.emplace_back(frame->begin(), frame->end());
        }
    };
    size_t pos = 0;
    size_t step = 0;
    while (pos < stream.size()) {
        size_t piece = stream.size() - pos;
        if (!schedule.empty()) {
            piece = std::min<size_t>(piece, size_t{schedule[step++ % schedule.size()]} + 1);
        }
        scanner.Feed(stream.subspan(pos, piece));
        pos += piece;
        drain();
    }
    if (finish) {
        scanner.Finish();
        drain();
    }
    scan.skipped = scanner.SkippedBytes();
    scan.resyncs = scanner.Resyncs();
    scan.failed = scanner.Failed();
    if (scan.failed && scanner.NextFrame()) {
        scan.frames.push_back({});  // caught below as a frame of no bytes
    }
    return scan;
}

inline std::string CheckFrames(radio::CodecKind kind, const Scan& scan,
                               std::span<const uint8_t> stream) {
    size_t from = 0;
    uint64_t given = 0;
    std::optional<radio::CAdtsHeader> first;
    for (const auto& frame : scan.frames) {
        if (kind == radio::CodecKind::AacLatm) {
            const auto bytes = frame.size() >= radio::kLoasHeaderBytes
                                   ? radio::ParseLoasFrameBytes(frame.data())
                                   : std::nullopt;
            if (!bytes || *bytes != frame.size()) {
                return "a LATM frame that is not one LOAS frame";
            }
        } else {
            const auto header = frame.size() >= radio::kAdtsHeaderBytes
                                    ? radio::ParseAdtsHeader(frame.data())
                                    : std::nullopt;
            if (!header || header->nFrameBytes != frame.size()) {
                return "an ADTS frame that is not one ADTS frame";
            }
            if (!first) {
                first = header;
            } else if (header->nProfile != first->nProfile ||
                       header->nSampleRateIndex != first->nSampleRateIndex ||
                       header->nChannelConfig != first->nChannelConfig) {
                return "ADTS frames of another configuration in one run";
            }
        }
        const auto at = std::search(stream.begin() + static_cast<std::ptrdiff_t>(from),
                                    stream.end(), frame.begin(), frame.end());
        if (at == stream.end()) {
            return "a frame that is not a later piece of the stream";
        }
        from = static_cast<size_t>(at - stream.begin()) + frame.size();
        given += frame.size();
    }
    if (given + scan.skipped > stream.size()) {
        return "frames and skipped bytes add up to more than was fed";
    }
    if (static_cast<uint64_t>(scan.resyncs) > scan.skipped) {
        return "a resync that skipped nothing";
    }
    if (scan.failed && scan.skipped <= radio::CAacFrameScanner::kMaxJunk) {
        return "failed before kMaxJunk bytes of junk";
    }
    return {};
}

inline std::string CheckDetection(std::span<const uint8_t> stream) {
    using R = radio::CCodecDetection::Result;
    const auto whole = radio::DetectCodecByBytes(stream, true);
    if (whole.result == R::NeedMore) {
        return "detection waits for more at the end of the data";
    }
    if (whole.result == R::Found) {
        if (whole.nOffset >= stream.size()) {
            return "detection found a frame past the data";
        }
        const uint8_t* p = stream.data() + whole.nOffset;
        const size_t left = stream.size() - whole.nOffset;
        bool there = false;
        switch (whole.kind) {
            case radio::CodecKind::AacAdts:
                there = left >= radio::kAdtsHeaderBytes && radio::ParseAdtsHeader(p);
                break;
            case radio::CodecKind::AacLatm:
                there = left >= radio::kLoasHeaderBytes && radio::ParseLoasFrameBytes(p);
                break;
            default:
                there = true;  // the MP3 scanner has properties of its own
                break;
        }
        if (!there) {
            return "detection found a frame where there is none";
        }
    }
    const auto half = radio::DetectCodecByBytes(stream.first(stream.size() / 2), false);
    if (half.result == R::NotFound && stream.size() / 2 < radio::kMaxDetectBytes) {
        return "detection gave up on a stream that goes on";
    }
    if (half.result == R::Found &&
        (whole.result != R::Found || whole.kind != half.kind || whole.nOffset != half.nOffset)) {
        return "detection changed its answer when more data came";
    }
    return {};
}

inline std::string CheckConfigs(const Scan& adts, std::span<const uint8_t> stream) {
    for (const auto& frame : adts.frames) {
        const auto header = radio::ParseAdtsHeader(frame.data());
        const auto asc = radio::AdtsAudioSpecificConfig(*header);
        const auto read = radio::hls::ParseAudioSpecificConfig(asc);
        if (!read || read->nObjectType != header->nProfile + 1 ||
            read->nSampleRate != header->nSampleRate || read->nChannels != header->nChannelConfig) {
            return "the configuration built from an ADTS header reads back otherwise";
        }
        const auto userData = radio::BuildHeAacUserData(radio::AacPayload::Adts, asc);
        if (userData.size() != 12 + asc.size() || userData[0] != 1 ||
            !std::equal(asc.begin(), asc.end(), userData.begin() + 12)) {
            return "HEAACWAVEINFO's tail is not payload type, fields and configuration";
        }
    }
    // The stream's first bytes as a configuration, read both ways: a LOAS
    // frame whose StreamMuxConfig header is all zeros holds it byte-aligned.
    const auto asc = stream.first(std::min<size_t>(stream.size(), 16));
    std::vector<uint8_t> loas = {0x56, 0xE0, static_cast<uint8_t>(2 + asc.size()), 0, 0};
    loas.insert(loas.end(), asc.begin(), asc.end());
    const auto fromMp4 = radio::hls::ParseAudioSpecificConfig(asc);
    const auto fromLatm = radio::ParseLatmConfig(loas.data(), loas.size());
    if (fromMp4 && fromLatm &&
        (fromMp4->nSampleRate != fromLatm->nSampleRate ||
         fromMp4->nChannels != fromLatm->nChannels)) {
        return "the two configuration readers disagree";
    }
    if (fromLatm &&
        (fromLatm->nSampleRate <= 0 || fromLatm->nChannels < 0 || fromLatm->nChannels > 15)) {
        return "a LATM configuration with an impossible rate or channel count";
    }
    return {};
}

inline std::string CheckAac(const uint8_t* data, size_t size) {
    if (size < 2 || size_t{data[1]} + 2 > size) {
        return {};
    }
    const auto kind = (data[0] & 1) ? radio::CodecKind::AacLatm : radio::CodecKind::AacAdts;
    const bool finish = (data[0] & 2) != 0;
    const std::span<const uint8_t> schedule(data + 2, data[1]);
    const std::span<const uint8_t> stream(data + 2 + data[1], size - 2 - data[1]);

    const Scan cut = RunScanner(kind, stream, schedule, finish);
    const Scan whole = RunScanner(kind, stream, {}, finish);
    if (cut.frames != whole.frames || cut.skipped != whole.skipped ||
        cut.resyncs != whole.resyncs || cut.failed != whole.failed) {
        return "the scan depends on how the stream is cut";
    }
    std::string why = CheckFrames(kind, whole, stream);
    if (why.empty()) {
        why = CheckDetection(stream);
    }
    if (why.empty()) {
        why = CheckConfigs(kind == radio::CodecKind::AacAdts ? whole : Scan{}, stream);
    }
    return why;
}

}  // namespace aac_fuzz
