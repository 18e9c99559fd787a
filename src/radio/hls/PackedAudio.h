// Packed audio: segments that are a bare ADTS (or MPEG audio) stream with an
// ID3 tag at their head, as the large radio networks serve them. The same
// reader cuts the ADTS payload of an MPEG-TS audio stream into frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "radio/decoder/AacFormat.h"
#include "radio/hls/CodedAudio.h"

namespace radio::hls {

// The ADTS header and its AudioSpecificConfig are the decoder stage's too.
using radio::AdtsAudioSpecificConfig;
using radio::CAdtsHeader;
using radio::ParseAdtsHeader;

class CPackedAudioReader {
public:
    // Bytes without a frame before the reader gives up on the stream.
    static constexpr size_t kMaxJunk = 64 * 1024;

    // Data may be cut anywhere. Frames, the format and titles from ID3 tags
    // (at the head or between frames) are appended to out.
    void Feed(std::span<const uint8_t> data, CDemuxOutput& out);
    // The end of the stream: the last frame goes out without a follower to
    // confirm it.
    void Finish(CDemuxOutput& out);
    // Gives the next frame that starts at or after the next byte fed this
    // timestamp; the frames after it count on from there.
    void SetPts(int64_t pts);
    // Forgets everything, for the next segment after a discontinuity.
    void Reset() { *this = CPackedAudioReader(); }

    bool Failed() const { return m_bFailed; }
    CodedFormat Format() const { return m_format; }

private:
    void Drain(CDemuxOutput& out);
    // True when it consumed something or decided; false when it needs more.
    bool Step(CDemuxOutput& out);
    void Emit(const CAdtsHeader& header, CDemuxOutput& out);
    void Skip(size_t count);
    void Compact();

    std::vector<uint8_t> m_buffer;
    size_t m_nPos = 0;
    uint64_t m_nOffset = 0;  // stream offset of m_buffer[m_nPos]
    size_t m_nJunk = 0;
    size_t m_nTagSkip = 0;  // bytes of a tag too large to read, still to skip
    bool m_bFinished = false;
    bool m_bFailed = false;
    CodedFormat m_format = CodedFormat::None;
    std::optional<CAdtsHeader> m_kind;  // the stream's first frame
    std::optional<uint64_t> m_nPtsOffset;
    int64_t m_nPendingPts = kNoPts;
    int64_t m_nBasePts = kNoPts;
    uint64_t m_nSamples = 0;  // since m_nBasePts
};

}  // namespace radio::hls
