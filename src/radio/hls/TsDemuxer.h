// MPEG-TS segments: the program tables (PAT, PMT), then the PES packets of
// the first audio stream we can decode (AAC in ADTS, stream type 0x0F; MPEG
// audio, 0x03 and 0x04) and of a timed ID3 stream (0x15), fed in chunks cut
// anywhere. Damage costs the packets it touches, never the stream: a packet
// that loses sync is searched past, a continuity error drops the PES it broke.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "radio/hls/CodedAudio.h"
#include "radio/hls/PackedAudio.h"

namespace radio::hls {

class CTsDemuxer {
public:
    static constexpr size_t kPacketBytes = 188;
    // An audio PES is a few kilobytes; anything beyond this is damage.
    static constexpr size_t kMaxPesBytes = 256 * 1024;
    // Bytes without a packet before the demuxer gives up on the stream.
    static constexpr size_t kMaxJunk = 64 * 1024;

    void Feed(std::span<const uint8_t> data, CDemuxOutput& out);
    // The end of a segment: what is pending goes out. The tables stay, as
    // the next segment continues the stream. The continuity counters do
    // not: many segmenters start them afresh in each segment, and the first
    // packet of a PID whose count happens to match the last one would be
    // taken for a repeat and dropped (a title, or the start of the audio).
    void EndSegment(CDemuxOutput& out);
    // Forgets everything, for a discontinuity.
    void Reset() { *this = CTsDemuxer(); }

    bool Failed() const { return m_bFailed || m_packed.Failed(); }
    // The program names audio, but none we can decode.
    bool UnsupportedAudio() const { return m_bUnsupportedAudio; }
    int AudioStreamType() const { return m_nAudioType; }
    size_t ContinuityErrors() const { return m_nContinuityErrors; }
    size_t SyncLosses() const { return m_nSyncLosses; }

private:
    struct CSection {
        std::vector<uint8_t> bytes;
        bool bActive = false;
    };
    struct CPes {
        std::vector<uint8_t> bytes;
        bool bActive = false;
        bool bBroken = false;
    };

    void Drain(bool finishing);
    void Packet(const uint8_t* p, CDemuxOutput& out);
    void SectionPayload(CSection& section, int pid, std::span<const uint8_t> payload, bool start);
    size_t SectionData(CSection& section, int pid, std::span<const uint8_t> data);
    void Table(int pid, std::span<const uint8_t> section);
    void Pat(std::span<const uint8_t> section);
    void Pmt(std::span<const uint8_t> section);
    void PesPayload(CPes& pes, int pid, std::span<const uint8_t> payload, bool start,
                    CDemuxOutput& out);
    void PesDone(CPes& pes, int pid, CDemuxOutput& out);

    std::vector<uint8_t> m_buffer;
    size_t m_nPos = 0;
    CDemuxOutput* m_pOut = nullptr;
    bool m_bSynced = false;
    bool m_bFailed = false;
    bool m_bUnsupportedAudio = false;
    size_t m_nJunk = 0;
    size_t m_nContinuityErrors = 0;
    size_t m_nSyncLosses = 0;
    std::array<int8_t, 8192> m_cc = MakeUnknownCc();
    std::array<bool, 8192> m_repeated{};

    int m_nPmtPid = -1;
    int m_nAudioPid = -1;
    int m_nAudioType = 0;
    int m_nId3Pid = -1;
    CSection m_pat;
    CSection m_pmt;
    CPes m_audio;
    CPes m_id3;
    CPackedAudioReader m_packed;

    static std::array<int8_t, 8192> MakeUnknownCc() {
        std::array<int8_t, 8192> cc;
        cc.fill(-1);
        return cc;
    }
};

// The CRC of MPEG-2 program tables (polynomial 0x04C11DB7, no reflection).
uint32_t Crc32Mpeg(std::span<const uint8_t> data);

}  // namespace radio::hls
