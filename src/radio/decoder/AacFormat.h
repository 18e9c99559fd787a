// AAC in the two shapes radio stations send it: ADTS (a 7- or 9-byte header
// before every frame) and LOAS/LATM (an 11-bit sync word and a length, the
// configuration inside the stream). Finding the frames, telling the codec
// from the content type or the bytes, the configuration the system's decoder
// is opened with, and the bitrate measured from the frames. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "radio/decoder/Decoder.h"

namespace radio {

struct CAdtsHeader {
    int nProfile = 0;  // the MPEG-4 audio object type minus one (1 for AAC-LC)
    int nSampleRateIndex = 0;
    int nSampleRate = 0;
    int nChannelConfig = 0;   // 0: given in the stream itself
    size_t nHeaderBytes = 0;  // 7, or 9 with a CRC
    size_t nFrameBytes = 0;   // header included
    int nBlocks = 1;          // raw data blocks in the frame, each 1024 samples
};

inline constexpr size_t kAdtsHeaderBytes = 7;
inline constexpr size_t kLoasHeaderBytes = 3;
inline constexpr int kAacSamplesPerBlock = 1024;

// The header at p (at least 7 bytes), if it is one: sync word, layer 0, a
// sample rate that exists and a frame length that holds its own header.
std::optional<CAdtsHeader> ParseAdtsHeader(const uint8_t* p);

// The two-byte AudioSpecificConfig that the header stands for.
std::vector<uint8_t> AdtsAudioSpecificConfig(const CAdtsHeader& header);

// The whole LOAS frame's size (sync and length included) that the 3 bytes
// at p announce, if they are a LOAS sync.
std::optional<size_t> ParseLoasFrameBytes(const uint8_t* p);

// What the transform is told about its input (MF_MT_AAC_PAYLOAD_TYPE).
enum class AacPayload : uint16_t {
    Raw = 0,   // raw access units, configured by the AudioSpecificConfig
    Adts = 1,  // every frame with its ADTS header
    Loas = 3,  // LOAS/LATM
};

// 0xFE: "no audio profile specified", so that the decoder takes what the
// stream itself says instead of refusing a profile it was not told about.
inline constexpr uint16_t kAacProfileUnspecified = 0xFE;

// The part of HEAACWAVEINFO after its WAVEFORMATEX (payload type, profile
// and level, structure type, reserved fields: 12 bytes, little-endian),
// followed by the AudioSpecificConfig: the decoder's MF_MT_USER_DATA.
std::vector<uint8_t> BuildHeAacUserData(AacPayload payload, std::span<const uint8_t> asc,
                                        uint16_t profileLevel = kAacProfileUnspecified);

// The payload type a coded stream of this kind is fed as; nullopt for a kind
// that is not AAC.
std::optional<AacPayload> AacPayloadFor(CodecKind kind);

// Cuts a byte stream into whole ADTS or LOAS frames. Sync is taken only where
// three frames of the same kind follow each other with consistent lengths, so
// that noise is not taken for audio. Once synced, a frame goes out when the
// next one starts where its length says; where it does not (a damaged
// stretch in a live stream), that frame is dropped and the scanner searches
// byte by byte for three frames in a row again. ID3v2 tags before or between
// frames are skipped. More than kMaxJunk bytes without a frame makes the
// stream "not audio".
class CAacFrameScanner {
public:
    static constexpr size_t kMaxJunk = 64 * 1024;

    // kind is AacAdts or AacLatm; anything else is taken as AacAdts.
    explicit CAacFrameScanner(CodecKind kind = CodecKind::AacAdts);

    void Feed(std::span<const uint8_t> data);
    // The end of the input: frames that cannot be confirmed by followers
    // are still given out once sync was found.
    void Finish() { m_bFinished = true; }

    // The next whole frame, header included; valid until the next call of
    // Feed or NextFrame.
    std::optional<std::span<const uint8_t>> NextFrame();

    bool Failed() const { return m_bFailed; }
    bool Synced() const { return m_bHaveKind; }
    // ADTS: the header of the first frame of the run sync was taken on.
    const CAdtsHeader& Adts() const { return m_adts; }
    // Times sync was lost after it had been taken: each one is a damaged
    // stretch skipped.
    int Resyncs() const { return m_nResyncs; }
    // Bytes thrown away while searching, over the whole stream.
    uint64_t SkippedBytes() const { return m_nSkippedTotal; }

private:
    struct CFrameKind {
        size_t nBytes = 0;
        uint32_t nKey = 0;  // frames of one stream share it
    };
    std::optional<CFrameKind> ParseAt(size_t pos) const;
    size_t HeaderBytes() const;
    std::optional<bool> Confirm(size_t pos, const CFrameKind& first) const;
    // Whether a frame of the stream's kind (or a tag) starts at `at`;
    // nullopt while that is not known yet.
    std::optional<bool> FollowerFits(size_t at) const;
    void Discard(size_t count);
    enum class TagResult { None, Skipped, NeedMore };
    TagResult SkipTag();

    CodecKind m_kind;
    std::vector<uint8_t> m_buffer;
    size_t m_nPos = 0;
    size_t m_nSkip = 0;  // bytes of a tag still to be skipped
    size_t m_nJunk = 0;
    uint64_t m_nSkippedTotal = 0;
    int m_nResyncs = 0;
    bool m_bSynced = false;    // the next bytes are expected to be a frame
    bool m_bHaveKind = false;  // m_nKey holds the stream's kind
    bool m_bFinished = false;
    bool m_bFailed = false;
    uint32_t m_nKey = 0;
    CAdtsHeader m_adts;
};

// The codec a content type names (parameters and case ignored): audio/aac,
// audio/aacp, audio/x-aac as ADTS, audio/mp4a-latm as LATM, audio/mpeg and
// its aliases as MP3. nullopt for anything else, or nothing.
std::optional<CodecKind> CodecForContentType(std::string_view contentType);

struct CCodecDetection {
    enum class Result {
        Found,     // kind and nOffset are set
        NeedMore,  // a frame starts here but its followers have not arrived
        NotFound,  // no codec of ours in these bytes
    };
    Result result = Result::NotFound;
    CodecKind kind = CodecKind::Mp3;
    size_t nOffset = 0;  // where the first confirmed frame starts
};

inline constexpr size_t kMaxDetectBytes = 64 * 1024;

// Finds the first offset in head where three MP3, ADTS or LOAS frames in a
// row begin (after an ID3v2 tag at the very start). With end set, the chain
// may stop at the end of the data. Past kMaxDetectBytes the answer is final.
CCodecDetection DetectCodecByBytes(std::span<const uint8_t> head, bool end);

// What a stream plays: the bytes decide where they show a codec, as servers
// label streams wrongly; the content type only where the bytes show nothing
// of ours (the frame scanner then finds the frames or gives up).
CCodecDetection DetectCodec(std::string_view contentType, std::span<const uint8_t> head, bool end);

// The "FileType" attribute for the codec a stream plays.
std::u16string_view CodecFileType(CodecKind kind);

// The average bitrate of the frames seen, for a stream that does not
// announce one: bytes over the time the frames last.
class CBitrateMeter {
public:
    // A frame of bytes that decodes to samples (per channel) at sampleRate.
    void Add(size_t bytes, int samples, int sampleRate);
    // kbit/s rounded, 0 until minMs of audio were measured.
    int Kbps(int minMs = 500) const;

private:
    uint64_t m_nBytes = 0;
    double m_dSeconds = 0;
};

// icy-br when the server announces one, else the measured rate.
inline int ChooseBitrateKbps(int icyKbps, int measuredKbps) {
    return icyKbps > 0 ? icyKbps : measuredKbps;
}

}  // namespace radio
