// The source stage: bytes from an address. Behind it are WinHTTP, a plain
// socket client for servers whose answer WinHTTP refuses, and local files.
// Reads never block for long, so that the session can watch the output
// while the network is silent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "radio/RadioErrors.h"

namespace radio {

// What the server (or the file system) said about the stream.
struct CSourceInfo {
    bool bNetwork = false;
    std::string strContentType;  // as sent, parameters included
    size_t nMetaInt = 0;         // icy-metaint, 0 without metadata
    int64_t nLength = -1;        // bytes, when known
    int nIcyBitrate = 0;         // kbit/s as announced
    std::u16string strName;      // icy-name
    std::u16string strGenre;     // icy-genre
    std::u16string strHomePage;  // icy-url
    std::u16string strFinalUrl;  // after redirects
};

// A stream that has answered and then falls silent fails at its source only
// after this long. Shorter silences are the session's to judge: its stall
// limit turns silence into a reconnect, and a source that failed first
// would decide that for it.
constexpr int kSourceSilenceMs = 15000;

enum class ReadResult {
    Data,  // got > 0 bytes
    Idle,  // nothing arrived within the wait; the stream is still open
    End,   // the stream ended cleanly
    Failed,
};

class ISource {
public:
    virtual ~ISource() = default;
    virtual const CSourceInfo& Info() const = 0;
    // Up to cap bytes, waiting at most waitMs for the first of them.
    virtual ReadResult Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                            CRadioFailure& failure) = 0;
};

// Where an address came from decides what it may name: an address read from
// the network (a playlist entry, a redirect) may only be http or https.
enum class UrlOrigin { Host, Network };

// Opens addresses; follows redirects itself. Abort may be called from any
// thread and makes every Open and Read in progress return at once.
class ISourceOpener {
public:
    virtual ~ISourceOpener() = default;
    virtual std::unique_ptr<ISource> Open(const std::u16string& url, UrlOrigin origin,
                                          CRadioFailure& failure) = 0;
    virtual void Abort() = 0;
    // While an Open waits for the network (the connection, the answer's
    // head), idle is called on the caller's thread every kOpenIdleMs; false
    // ends the wait as Abort would, for that Open only. For a caller that
    // has other work while it opens: the HLS session feeds the device
    // between segments, and a server slow to answer must not starve it. An
    // empty function takes it away. Openers whose Open never waits long
    // (fakes, files) need not call it.
    virtual void SetIdle(std::function<bool()> idle) { static_cast<void>(idle); }
};

constexpr int kOpenIdleMs = 50;

}  // namespace radio
