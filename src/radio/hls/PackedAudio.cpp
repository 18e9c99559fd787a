#include "radio/hls/PackedAudio.h"

#include "radio/AudioFormat.h"
#include "radio/hls/Id3Reader.h"

namespace radio::hls {

namespace {

bool SameKind(const CAdtsHeader& a, const CAdtsHeader& b) {
    return a.nSampleRateIndex == b.nSampleRateIndex && a.nChannelConfig == b.nChannelConfig &&
           a.nProfile == b.nProfile;
}

}  // namespace

void CPackedAudioReader::SetPts(int64_t pts) {
    m_nPendingPts = pts;
    m_nPtsOffset = m_nOffset + (m_buffer.size() - m_nPos);
}

void CPackedAudioReader::Feed(std::span<const uint8_t> data, CDemuxOutput& out) {
    if (m_bFailed) {
        return;
    }
    if (m_format == CodedFormat::MpegAudio) {
        // The MP3 frame scanner downstream finds the frames and skips tags.
        if (!data.empty()) {
            out.frames.push_back(CCodedFrame{{data.begin(), data.end()}, kNoPts});
            m_nOffset += data.size();
        }
        return;
    }
    if (m_nTagSkip > 0) {
        const size_t skip = std::min(m_nTagSkip, data.size());
        m_nTagSkip -= skip;
        m_nOffset += skip;
        data = data.subspan(skip);
    }
    m_buffer.insert(m_buffer.end(), data.begin(), data.end());
    Drain(out);
}

void CPackedAudioReader::Finish(CDemuxOutput& out) {
    m_bFinished = true;
    if (!m_bFailed) {
        Drain(out);
    }
}

void CPackedAudioReader::Drain(CDemuxOutput& out) {
    while (!m_bFailed && Step(out)) {
    }
    Compact();
}

void CPackedAudioReader::Skip(size_t count) {
    m_nPos += count;
    m_nOffset += count;
}

void CPackedAudioReader::Compact() {
    if (m_nPos > 0 && (m_nPos >= m_buffer.size() || m_nPos >= 64 * 1024)) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_nPos));
        m_nPos = 0;
    }
}

void CPackedAudioReader::Emit(const CAdtsHeader& header, CDemuxOutput& out) {
    if (m_nPtsOffset && m_nOffset >= *m_nPtsOffset) {
        m_nBasePts = m_nPendingPts;
        m_nSamples = 0;
        m_nPtsOffset.reset();
    }
    if (!m_kind) {
        m_kind = header;
        m_format = CodedFormat::AdtsAac;
        out.audio.format = CodedFormat::AdtsAac;
        out.audio.nSampleRate = header.nSampleRate;
        out.audio.nChannels = header.nChannelConfig;
        out.audio.asc = AdtsAudioSpecificConfig(header);
    }
    CCodedFrame frame;
    const uint8_t* p = m_buffer.data() + m_nPos;
    frame.bytes.assign(p, p + header.nFrameBytes);
    if (m_nBasePts != kNoPts) {
        frame.nPts = m_nBasePts + static_cast<int64_t>(m_nSamples * 90000 /
                                                       static_cast<uint64_t>(header.nSampleRate));
    }
    m_nSamples += 1024u * static_cast<unsigned>(header.nBlocks);
    out.frames.push_back(std::move(frame));
    Skip(header.nFrameBytes);
    m_nJunk = 0;
}

bool CPackedAudioReader::Step(CDemuxOutput& out) {
    const size_t left = m_buffer.size() - m_nPos;
    const uint8_t* p = m_buffer.data() + m_nPos;
    if (left == 0) {
        return false;
    }
    // An ID3 tag: at the head of the segment, or between frames for a title
    // change.
    size_t tagBytes = 0;
    const Id3Status tagHead = Id3TagSize({p, left}, tagBytes);
    if (tagHead == Id3Status::NeedMore) {
        if (!m_bFinished) {
            return false;
        }
    } else if (tagHead == Id3Status::Ok) {
        if (tagBytes - kId3HeaderBytes > kMaxId3ParseBytes) {
            const size_t here = std::min(tagBytes, left);
            m_nTagSkip = tagBytes - here;
            Skip(here);
            return true;
        }
        if (left < tagBytes) {
            return false;
        }
        CId3Tag tag;
        if (ReadId3({p, left}, tag) == Id3Status::Ok) {
            if (auto title = Id3DisplayTitle(tag)) {
                out.titles.push_back(CTimedTitle{*title, tag.pts.value_or(kNoPts)});
            }
            if (tag.pts && !m_kind) {
                // The head tag's timestamp is that of the first frame.
                m_nPendingPts = *tag.pts;
                m_nPtsOffset = m_nOffset + tagBytes;
            }
        }
        Skip(tagBytes);
        return true;
    }
    if (left < 7) {
        if (!m_bFinished) {
            return false;
        }
        m_nJunk += left;
        Skip(left);
        return false;
    }
    const auto header = ParseAdtsHeader(p);
    if (header && (!m_kind || SameKind(*header, *m_kind))) {
        const size_t next = header->nFrameBytes;
        // Inside a run of frames a whole frame is taken as it is; after junk
        // (or at the start) the frame after it must confirm it.
        const bool inRun = m_kind && m_nJunk == 0;
        if (left < next) {
            if (!m_bFinished) {
                return false;
            }
        } else if (inRun) {
            Emit(*header, out);
            return true;
        } else if (left >= next + 7) {
            const auto follower = ParseAdtsHeader(p + next);
            const bool tagFollows = p[next] == 'I' && p[next + 1] == 'D' && p[next + 2] == '3';
            if ((follower && SameKind(*follower, *header)) || tagFollows) {
                Emit(*header, out);
                return true;
            }
        } else if (left == next && m_bFinished) {
            Emit(*header, out);
            return true;
        } else if (!m_bFinished) {
            return false;
        }
    } else if (const auto mp3 = m_kind ? std::nullopt : ParseMp3Header(p)) {
        // A packed MP3 segment, taken once a second frame follows the first:
        // the rest is passed on as it comes.
        const size_t next = mp3->nFrameBytes;
        if (left < next + 4 && !m_bFinished) {
            return false;
        }
        if (left >= next + 4 && ParseMp3Header(p + next)) {
            m_format = CodedFormat::MpegAudio;
            out.audio.format = CodedFormat::MpegAudio;
            out.audio.nSampleRate = mp3->nSampleRate;
            out.audio.nChannels = mp3->nChannels;
            out.frames.push_back(CCodedFrame{{p, p + left}, kNoPts});
            Skip(left);
            return false;
        }
    }
    Skip(1);
    if (++m_nJunk > kMaxJunk) {
        m_bFailed = true;
    }
    return true;
}

}  // namespace radio::hls
