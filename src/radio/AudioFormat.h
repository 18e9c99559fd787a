// Recognising the two audio formats the player plays: MPEG audio layer III
// frames (found in a byte stream that may start or be interrupted with
// anything else) and PCM WAV files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace radio {

struct CMp3FrameInfo {
    int nVersion = 0;  // 1 for MPEG-1, 2 for MPEG-2, 25 for MPEG-2.5
    int nBitrate = 0;  // kbit/s
    int nSampleRate = 0;
    int nChannels = 0;
    size_t nFrameBytes = 0;
    int nSamplesPerFrame = 0;
};

// The frame that a 4-byte header describes, if it is a valid layer III
// header (free-format and reserved values refused).
std::optional<CMp3FrameInfo> ParseMp3Header(const uint8_t* header);

// Cuts a byte stream into whole MP3 frames. Sync is taken only where three
// frames of the same kind follow each other, so that text or noise is not
// taken for audio; ID3v2 tags are skipped whatever their size, ID3v1 tags
// between frames too. More than kMaxJunk bytes without a frame makes the
// stream "not audio".
class CMp3FrameScanner {
public:
    static constexpr size_t kMaxJunk = 64 * 1024;

    void Feed(std::span<const uint8_t> data);
    // Marks the end of the input: frames that cannot be confirmed by the
    // frames after them are still given out once sync was found.
    void Finish() { m_bFinished = true; }

    // The next whole frame, valid until the next call of Feed or NextFrame.
    std::optional<std::span<const uint8_t>> NextFrame();

    bool Failed() const { return m_bFailed; }
    // True once the stream's kind is known (three frames in a row seen).
    bool Synced() const { return m_bHaveInfo; }
    // The frame kind the stream was synced to; the bitrate is the last
    // frame's.
    const CMp3FrameInfo& Info() const { return m_info; }
    // Bytes held for frames not yet complete.
    size_t Buffered() const { return m_buffer.size() - m_nPos; }

private:
    bool Compatible(const CMp3FrameInfo& frame) const;
    // Frames at pos confirmed by `count` followers; nullopt while more data
    // is needed.
    std::optional<bool> Confirm(size_t pos, int count) const;
    void Discard(size_t count);
    enum class TagResult { None, Skipped, NeedMore };
    TagResult SkipTags();

    std::vector<uint8_t> m_buffer;
    size_t m_nPos = 0;
    size_t m_nSkip = 0;  // bytes of a tag still to be skipped
    size_t m_nJunk = 0;
    bool m_bSynced = false;    // the next bytes are expected to be a frame
    bool m_bHaveInfo = false;  // m_info holds the stream's kind
    bool m_bFinished = false;
    bool m_bFailed = false;
    CMp3FrameInfo m_info;
};

struct CWavFormat {
    int nChannels = 0;
    int nSampleRate = 0;
    int nBitsPerSample = 0;  // 8 or 16
    size_t nDataOffset = 0;
    // Bytes of sample data; 0 or 0xFFFFFFFF in a header written before the
    // length was known means "to the end".
    uint32_t nDataBytes = 0;
};

enum class WavParse { NeedMore, Ok, Unsupported };

inline constexpr size_t kMaxWavHeaderBytes = 64 * 1024;

bool LooksLikeWav(std::span<const uint8_t> head);
// Finds the format and the start of the samples; only 8- and 16-bit PCM with
// one or two channels is supported.
WavParse ParseWavHeader(std::span<const uint8_t> head, CWavFormat& format);

inline int ClampVolume(int volume) {
    return volume < 0 ? 0 : (volume > 100 ? 100 : volume);
}

// Scales 16-bit samples in place by volume/100 (the volume clamped to
// 0..100 first).
void ScalePcm16(int16_t* samples, size_t count, int volume);
// 8-bit WAV samples are unsigned around 128; the output is always 16-bit.
void Pcm8To16(const uint8_t* in, size_t count, int16_t* out);

}  // namespace radio
