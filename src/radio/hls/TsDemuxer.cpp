#include "radio/hls/TsDemuxer.h"

#include <algorithm>

#include "radio/hls/Id3Reader.h"

namespace radio::hls {

namespace {

constexpr uint8_t kSync = 0x47;
constexpr size_t kMaxSectionBytes = 1024;  // 3 + the largest section_length, 1021

bool IsAudioType(int type) {
    return type == 0x0F || type == 0x03 || type == 0x04;
}

// Stream types that carry audio we do not decode (LATM AAC, AC-3, E-AC-3,
// DTS, and the ATSC and private forms of them).
bool IsOtherAudioType(int type) {
    return type == 0x11 || type == 0x81 || type == 0x87 || type == 0x82 || type == 0x83 ||
           type == 0x84 || type == 0x85 || type == 0x86 || type == 0x8A;
}

bool HasId3Identifier(std::span<const uint8_t> descriptor) {
    for (size_t i = 0; i + 4 <= descriptor.size(); ++i) {
        if (descriptor[i] == 'I' && descriptor[i + 1] == 'D' && descriptor[i + 2] == '3' &&
            descriptor[i + 3] == ' ') {
            return true;
        }
    }
    return false;
}

int64_t ReadPts(const uint8_t* p) {
    return (int64_t{(p[0] >> 1) & 0x07} << 30) | (int64_t{p[1]} << 22) |
           (int64_t{p[2] >> 1} << 15) | (int64_t{p[3]} << 7) | (p[4] >> 1);
}

// Stream ids whose PES packets carry no optional header.
bool HasPesHeader(uint8_t streamId) {
    return streamId != 0xBC && streamId != 0xBE && streamId != 0xBF && streamId != 0xF0 &&
           streamId != 0xF1 && streamId != 0xFF && streamId != 0xF2 && streamId != 0xF8;
}

}  // namespace

uint32_t Crc32Mpeg(std::span<const uint8_t> data) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t b : data) {
        crc ^= uint32_t{b} << 24;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
        }
    }
    return crc;
}

void CTsDemuxer::Feed(std::span<const uint8_t> data, CDemuxOutput& out) {
    if (m_bFailed) {
        return;
    }
    m_pOut = &out;
    m_buffer.insert(m_buffer.end(), data.begin(), data.end());
    Drain(false);
    m_pOut = nullptr;
}

void CTsDemuxer::EndSegment(CDemuxOutput& out) {
    m_pOut = &out;
    if (!m_bFailed) {
        Drain(true);
    }
    m_buffer.clear();
    m_nPos = 0;
    m_bSynced = false;
    m_cc = MakeUnknownCc();
    m_repeated = {};
    PesDone(m_audio, m_nAudioPid, out);
    PesDone(m_id3, m_nId3Pid, out);
    m_packed.Finish(out);
    m_packed.Reset();
    m_pOut = nullptr;
}

void CTsDemuxer::Drain(bool finishing) {
    while (!m_bFailed) {
        const size_t left = m_buffer.size() - m_nPos;
        if (left < kPacketBytes) {
            break;
        }
        const uint8_t* p = m_buffer.data() + m_nPos;
        bool take = false;
        if (p[0] == kSync) {
            if (m_bSynced) {
                take = true;
            } else {
                // Sync is taken where two more packets confirm it, or where
                // the segment ends before they could.
                const bool second = left >= 2 * kPacketBytes;
                const bool third = left >= 3 * kPacketBytes;
                if (!finishing && !third) {
                    break;
                }
                take = (!second || p[kPacketBytes] == kSync) &&
                       (!third || p[2 * kPacketBytes] == kSync);
            }
        } else if (m_bSynced) {
            m_bSynced = false;
            ++m_nSyncLosses;
        }
        if (take) {
            m_bSynced = true;
            m_nJunk = 0;
            Packet(p, *m_pOut);
            m_nPos += kPacketBytes;
        } else {
            ++m_nPos;
            if (++m_nJunk > kMaxJunk) {
                m_bFailed = true;
            }
        }
    }
    if (m_nPos > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_nPos));
        m_nPos = 0;
    }
}

void CTsDemuxer::Packet(const uint8_t* p, CDemuxOutput& out) {
    if (p[1] & 0x80) {
        return;  // the transport error indicator: the packet is known bad
    }
    const bool start = (p[1] & 0x40) != 0;
    const int pid = ((p[1] & 0x1F) << 8) | p[2];
    const int scrambling = p[3] >> 6;
    const int control = (p[3] >> 4) & 0x03;
    const int cc = p[3] & 0x0F;
    if (control == 0 || pid == 0x1FFF) {
        return;
    }
    size_t pos = 4;
    bool discontinuity = false;
    if (control & 0x02) {
        const size_t length = p[4];
        if (length > ((control & 0x01) ? 182u : 183u)) {
            return;
        }
        discontinuity = length > 0 && (p[5] & 0x80);
        pos = 5 + length;
    }
    if (!(control & 0x01)) {
        return;  // adaptation field only: no payload, no count
    }
    const bool watched = pid == 0 || pid == m_nPmtPid || pid == m_nAudioPid || pid == m_nId3Pid;
    if (!watched) {
        return;
    }
    const int last = m_cc[static_cast<size_t>(pid)];
    m_cc[static_cast<size_t>(pid)] = static_cast<int8_t>(cc);
    if (last >= 0 && !discontinuity) {
        // A packet may be sent twice on purpose, but only once in a row.
        if (cc == last && !m_repeated[static_cast<size_t>(pid)]) {
            m_repeated[static_cast<size_t>(pid)] = true;
            return;
        }
        m_repeated[static_cast<size_t>(pid)] = false;
        if (cc != ((last + 1) & 0x0F) || cc == last) {
            ++m_nContinuityErrors;
            // Packets were lost: what was being gathered on this PID is
            // incomplete and would decode as noise.
            if (pid == 0) {
                m_pat.bActive = false;
            } else if (pid == m_nPmtPid) {
                m_pmt.bActive = false;
            } else if (pid == m_nAudioPid) {
                m_audio.bBroken = true;
            } else if (pid == m_nId3Pid) {
                m_id3.bBroken = true;
            }
        }
    }
    if (scrambling != 0) {
        return;
    }
    const std::span<const uint8_t> payload(p + pos, kPacketBytes - pos);
    if (pid == 0) {
        SectionPayload(m_pat, pid, payload, start);
    } else if (pid == m_nPmtPid) {
        SectionPayload(m_pmt, pid, payload, start);
    } else if (pid == m_nAudioPid) {
        PesPayload(m_audio, pid, payload, start, out);
    } else if (pid == m_nId3Pid) {
        PesPayload(m_id3, pid, payload, start, out);
    }
}

void CTsDemuxer::SectionPayload(CSection& section, int pid, std::span<const uint8_t> payload,
                                bool start) {
    if (!start) {
        if (section.bActive) {
            SectionData(section, pid, payload);
        }
        return;
    }
    if (payload.empty()) {
        return;
    }
    const size_t pointer = payload[0];
    if (1 + pointer > payload.size()) {
        section.bActive = false;
        return;
    }
    if (section.bActive) {
        SectionData(section, pid, payload.subspan(1, pointer));
        section.bActive = false;  // what is still not whole never will be
    }
    // A new section starts after the pointer; more may follow it, up to
    // the stuffing.
    auto rest = payload.subspan(1 + pointer);
    while (!rest.empty() && rest[0] != 0xFF) {
        section.bytes.clear();
        section.bActive = true;
        const size_t used = SectionData(section, pid, rest);
        if (section.bActive) {
            return;  // continues in the next packet
        }
        rest = rest.subspan(used);
    }
}

// Appends to the section being gathered and returns the bytes it used; a
// whole section is handled and stops being active.
size_t CTsDemuxer::SectionData(CSection& section, int pid, std::span<const uint8_t> data) {
    size_t used = 0;
    while (true) {
        const size_t have = section.bytes.size();
        const size_t need =
            have < 3 ? 3 : 3 + (((section.bytes[1] & 0x0F) << 8) | section.bytes[2]);
        if (need > kMaxSectionBytes) {
            section.bActive = false;
            return data.size();
        }
        if (have >= 3 && have == need) {
            section.bActive = false;
            Table(pid, section.bytes);
            return used;
        }
        if (used == data.size()) {
            return used;
        }
        const size_t take = std::min(need - have, data.size() - used);
        section.bytes.insert(section.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(used),
                             data.begin() + static_cast<std::ptrdiff_t>(used + take));
        used += take;
    }
}

void CTsDemuxer::Table(int pid, std::span<const uint8_t> section) {
    // A table with the long syntax: 8 bytes of header, entries, 4 of CRC.
    if (section.size() < 12 || !(section[1] & 0x80) || Crc32Mpeg(section) != 0) {
        return;
    }
    if (!(section[5] & 0x01)) {
        return;  // not yet current
    }
    if (pid == 0 && section[0] == 0x00) {
        Pat(section);
    } else if (pid == m_nPmtPid && section[0] == 0x02) {
        Pmt(section);
    }
}

void CTsDemuxer::Pat(std::span<const uint8_t> section) {
    for (size_t i = 8; i + 4 <= section.size() - 4; i += 4) {
        const int program = (section[i] << 8) | section[i + 1];
        const int pid = ((section[i + 2] & 0x1F) << 8) | section[i + 3];
        if (program != 0) {
            if (pid != m_nPmtPid) {
                m_nPmtPid = pid;
                m_pmt = CSection{};
            }
            return;
        }
    }
}

void CTsDemuxer::Pmt(std::span<const uint8_t> section) {
    const size_t end = section.size() - 4;
    const size_t programInfo = ((section[10] & 0x0F) << 8) | section[11];
    size_t i = 12 + programInfo;
    int audioPid = -1;
    int audioType = 0;
    int id3Pid = -1;
    bool otherAudio = false;
    while (i + 5 <= end) {
        const int type = section[i];
        const int pid = ((section[i + 1] & 0x1F) << 8) | section[i + 2];
        const size_t infoBytes = ((section[i + 3] & 0x0F) << 8) | section[i + 4];
        if (i + 5 + infoBytes > end) {
            break;
        }
        const auto info = section.subspan(i + 5, infoBytes);
        if (IsAudioType(type) && audioPid < 0) {
            audioPid = pid;
            audioType = type;
        } else if (IsOtherAudioType(type)) {
            otherAudio = true;
        } else if (id3Pid < 0 && ((type == 0x15 && (info.empty() || HasId3Identifier(info))) ||
                                  (type == 0x06 && HasId3Identifier(info)))) {
            id3Pid = pid;
        }
        i += 5 + infoBytes;
    }
    if (audioPid != m_nAudioPid || audioType != m_nAudioType) {
        m_audio = CPes{};
        m_packed.Reset();
        m_nAudioPid = audioPid;
        m_nAudioType = audioType;
    }
    if (id3Pid != m_nId3Pid) {
        m_id3 = CPes{};
        m_nId3Pid = id3Pid;
    }
    m_bUnsupportedAudio = audioPid < 0 && otherAudio;
}

void CTsDemuxer::PesPayload(CPes& pes, int pid, std::span<const uint8_t> payload, bool start,
                            CDemuxOutput& out) {
    if (start) {
        PesDone(pes, pid, out);
        pes.bytes.assign(payload.begin(), payload.end());
        pes.bActive = true;
        pes.bBroken = false;
    } else if (pes.bActive && !pes.bBroken) {
        if (pes.bytes.size() + payload.size() > kMaxPesBytes) {
            pes.bBroken = true;
        } else {
            pes.bytes.insert(pes.bytes.end(), payload.begin(), payload.end());
        }
    } else {
        return;
    }
    // A PES with a length is whole as soon as that much has come.
    if (pes.bytes.size() >= 6) {
        const size_t length = (size_t{pes.bytes[4]} << 8) | pes.bytes[5];
        if (length != 0 && pes.bytes.size() >= 6 + length) {
            PesDone(pes, pid, out);
        }
    }
}

void CTsDemuxer::PesDone(CPes& pes, int pid, CDemuxOutput& out) {
    if (!pes.bActive) {
        return;
    }
    pes.bActive = false;
    const std::vector<uint8_t> bytes = std::move(pes.bytes);
    pes.bytes.clear();
    if (pes.bBroken || bytes.size() < 9 || bytes[0] != 0 || bytes[1] != 0 || bytes[2] != 1) {
        return;
    }
    const size_t length = (size_t{bytes[4]} << 8) | bytes[5];
    size_t end = bytes.size();
    if (length != 0 && 6 + length < end) {
        end = 6 + length;
    }
    size_t start = 6;
    int64_t pts = kNoPts;
    if (HasPesHeader(bytes[3])) {
        if ((bytes[6] & 0xC0) != 0x80) {
            return;
        }
        const size_t headerBytes = bytes[8];
        start = 9 + headerBytes;
        if (start > end) {
            return;
        }
        if ((bytes[7] & 0x80) && headerBytes >= 5) {
            pts = ReadPts(bytes.data() + 9);
        }
    }
    const std::span<const uint8_t> payload(bytes.data() + start, end - start);
    if (pid == m_nId3Pid) {
        CId3Tag tag;
        if (ReadId3(payload, tag) == Id3Status::Ok) {
            if (auto title = Id3DisplayTitle(tag)) {
                out.titles.push_back(CTimedTitle{*title, pts});
            }
        }
        return;
    }
    if (m_nAudioType == 0x0F) {
        if (pts != kNoPts) {
            m_packed.SetPts(pts);
        }
        m_packed.Feed(payload, out);
    } else if (!payload.empty()) {
        out.audio.format = CodedFormat::MpegAudio;
        out.frames.push_back(CCodedFrame{{payload.begin(), payload.end()}, pts});
    }
}

}  // namespace radio::hls
