// The errors the radio player puts in its error queue: a code the host can
// look up (Windows Media / Media Foundation codes where one fits, otherwise
// the Windows code of the failure) and a plain description. docs/protocol.md
// lists them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace radio {

enum class RadioError {
    FileNotFound,       // a local file or path that does not exist
    CannotConnect,      // refused, unreachable or unknown host
    Timeout,            // the server accepted but did not answer in time
    HttpStatus,         // the server answered with an HTTP error status
    TooManyRedirects,   // redirect loop or chain beyond the bound
    UnsupportedScheme,  // neither http, https nor a file
    UnsupportedFormat,  // the data is neither MP3 nor PCM WAV
    MetadataTooLarge,   // response headers or metadata beyond the bounds
    ConnectionLost,     // the stream dropped and every reconnect failed
    EmptyPlaylist,      // a playlist without one playable entry
    NoAudioDevice,      // no output device could be opened
    DecoderMissing,     // the system's MP3 decoder refused the stream
    ReadFailed,         // a local file could not be read
    AacDecoderMissing,  // no AAC decoder transform, or none that takes the stream
    AacDecodeFailed,    // the AAC decoder failed, or decoded nothing for 2 s
};

struct CRadioErrorInfo {
    uint32_t code;
    std::u16string_view description;
};

// HTTP errors carry the status in the code (0x80190000 + status), as the
// Windows HTTP_E_STATUS_* codes do.
inline constexpr uint32_t kHttpStatusBase = 0x80190000u;

constexpr CRadioErrorInfo DescribeError(RadioError error) {
    switch (error) {
        case RadioError::FileNotFound:
            return {0x80070002u, u"The file could not be found."};
        case RadioError::CannotConnect:
            return {0xC00D4287u, u"The server could not be reached."};
        case RadioError::Timeout:
            return {0xC00D4278u, u"The server did not answer in time."};
        case RadioError::HttpStatus:
            return {kHttpStatusBase, u"The server answered with an error."};
        case RadioError::TooManyRedirects:
            return {0xC00D4277u, u"The server redirected too many times."};
        case RadioError::UnsupportedScheme:
            return {0xC00D36C3u, u"The address is not an http, https or file address."};
        case RadioError::UnsupportedFormat:
            return {0xC00D36C4u, u"The data is not MP3 or PCM WAV audio."};
        case RadioError::MetadataTooLarge:
            return {0xC00D428Fu, u"The server sent more metadata than allowed."};
        case RadioError::ConnectionLost:
            return {0xC00D4283u, u"The connection was lost and could not be restored."};
        case RadioError::EmptyPlaylist:
            return {0xC00D36C4u, u"The playlist holds no playable entry."};
        case RadioError::NoAudioDevice:
            return {0xC00D4E84u, u"No audio output device could be opened."};
        case RadioError::DecoderMissing:
            return {0xC00D36B4u, u"The system's MP3 decoder could not decode the stream."};
        case RadioError::ReadFailed:
            return {0xC00D426Au, u"The file could not be read."};
        case RadioError::AacDecoderMissing:  // MF_E_TOPO_CODEC_NOT_FOUND
            return {0xC00D5212u, u"This system has no AAC decoder."};
        case RadioError::AacDecodeFailed:  // MF_E_INVALID_STREAM_DATA
            return {0xC00D36CBu, u"The system's AAC decoder could not decode the stream."};
    }
    return {0x80004005u, u"Playback failed."};
}

// One entry for the error queue.
struct CRadioFailure {
    uint32_t code = 0;
    std::u16string description;
};

CRadioFailure MakeFailure(RadioError error);
// An HTTP error status, with the status in the code and the text.
CRadioFailure MakeHttpFailure(int status);

}  // namespace radio
