// The stream-format step between the source and the read-ahead: cuts the
// ICY metadata out of the bytes, picks what the audio is from its content
// type and first bytes, and turns the audio into whole units for the
// decoder (MP3 frames, blocks of WAV samples).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "radio/AudioFormat.h"
#include "radio/IcyDemuxer.h"
#include "radio/decoder/AacFormat.h"
#include "radio/decoder/Decoder.h"
#include "radio/session/CompressedBuffer.h"

namespace radio {

// Longest title, name or genre the player keeps; more is not a title.
inline constexpr size_t kMaxFieldChars = 256;

std::u16string BoundedField(std::u16string text);

// The audio part of the stream, and the newest title in it. Only the last
// title of a read counts: a server that sends one in every block must not
// make the session announce hundreds.
class CMetaReader {
public:
    explicit CMetaReader(size_t metaInt) : m_demuxer(metaInt) {}
    // Appends the audio in data to audio; the newest title found, if any.
    std::optional<std::u16string> Feed(std::span<const uint8_t> data, std::vector<uint8_t>& audio);

private:
    CIcyDemuxer m_demuxer;
    std::vector<std::string> m_blocks;
};

enum class AudioKind { Mp3, AacAdts, AacLatm, Wav };

// What kind of audio the first bytes are: the bytes decide where they show
// frames of ours, the content type where they do not. MP3 is the default:
// its scanner decides later whether the bytes are audio at all.
AudioKind SniffAudio(std::string_view contentType, std::span<const uint8_t> head, bool end);

// The FileType attribute of the media item.
const char16_t* FileTypeFor(AudioKind kind);

class CAudioFramer {
public:
    explicit CAudioFramer(AudioKind kind)
        : m_kind(kind),
          m_aac(kind == AudioKind::AacLatm ? CodecKind::AacLatm : CodecKind::AacAdts) {}

    AudioKind Kind() const { return m_kind; }
    void Feed(std::span<const uint8_t> data);
    // The end of the input: what is held is given out as far as it goes.
    void Finish();

    enum class Step { Unit, NeedMore, NotAudio };
    Step Next(CCodedUnit& unit);

    // Known once the first unit came out.
    bool Ready() const { return m_bReady; }
    // The decoder's configuration (MP3 and AAC).
    CCodecConfig Config() const;
    const CMp3FrameInfo& Mp3Info() const { return m_scanner.Info(); }
    const CWavFormat& Wav() const { return m_wav; }
    // The audio's bitrate in bits per second, as far as the stream says;
    // for AAC, 0 until enough frames were measured.
    int Bitrate() const;

private:
    Step NextMp3(CCodedUnit& unit);
    Step NextWav(CCodedUnit& unit);
    Step NextAac(CCodedUnit& unit);

    AudioKind m_kind;
    bool m_bReady = false;
    bool m_bFinished = false;
    CMp3FrameScanner m_scanner;
    CAacFrameScanner m_aac;
    // WAV: bytes not yet given out, from m_nPos on.
    std::vector<uint8_t> m_pending;
    size_t m_nPos = 0;
    CWavFormat m_wav;
    uint64_t m_nWavLeft = 0;
    // AAC frames differ in size, and a station may burst its first seconds:
    // the rate is said only once half a second of frames was measured.
    CBitrateMeter m_aacMeter;
};

}  // namespace radio
