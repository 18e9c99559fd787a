// Fake stages for the session: a server that delivers a planned byte
// stream in real time (bursts, stalls, cuts), an MP3 decoder that turns
// each frame into samples carrying the frame's number, a sound device that
// plays in real time on a fake clock and counts how long it was dry, and a
// notice sink that records everything with its time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "radio/decoder/Decoder.h"
#include "radio/output/Output.h"
#include "radio/session/Clock.h"
#include "radio/session/Notice.h"
#include "radio/source/Source.h"

namespace session_fakes {

using Bytes = std::vector<uint8_t>;
using radio::CRadioFailure;
using radio::ReadResult;

inline std::u16string U(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

inline Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// MPEG-1 layer III, 128 kbit/s, 44.1 kHz, stereo, no padding: 417 bytes and
// 1152 samples (26.1 ms) a frame; the frame's number rides in its payload.
inline constexpr size_t kFrameBytes = 417;
inline constexpr int kFrameUs = 1152 * 1000000 / 44100;
inline constexpr int kBytesPerSecond = 16000;

inline Bytes Frame(uint32_t number) {
    Bytes f(kFrameBytes, 0x55);
    f[0] = 0xFF;
    f[1] = 0xFB;
    f[2] = 0x90;
    f[3] = 0x00;
    for (int i = 0; i < 4; ++i) {
        f[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(number >> (8 * i));
    }
    return f;
}

inline Bytes Frames(uint32_t first, uint32_t count) {
    Bytes out;
    for (uint32_t n = first; n < first + count; ++n) {
        const Bytes f = Frame(n);
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

// Frames for about ms milliseconds.
inline uint32_t FramesFor(int ms) {
    return static_cast<uint32_t>(int64_t{ms} * 1000 / kFrameUs);
}

class CFakeClock : public radio::IClock {
public:
    int64_t NowMs() const override { return m_nUs / 1000; }
    int64_t NowUs() const { return m_nUs; }
    bool SleepMs(int ms) override {
        Advance(int64_t{ms} * 1000);
        return !Cancelled();
    }
    void Advance(int64_t us) {
        if (us > 0) {
            m_nUs += us;
            ++sleeps;
        }
    }
    bool Cancelled() const { return cancelAtMs >= 0 && NowMs() >= cancelAtMs; }

    int64_t cancelAtMs = -1;  // the listener presses stop then
    // Times the session's thread waited for something (a read, the device,
    // a sleep): its wake-ups.
    int64_t sleeps = 0;

private:
    int64_t m_nUs = 1000000;
};

enum class EndKind { End, Fail, Hang };

// One connection's plan.
struct CPlan {
    Bytes body;
    size_t burst = SIZE_MAX;                     // bytes there at once; the rest at rate
    int bytesPerSecond = 0;                      // 0: everything at once
    std::vector<std::pair<size_t, int>> stalls;  // at byte offset, for ms
    EndKind end = EndKind::End;
    size_t chunk = 8192;  // most bytes one read gives
    size_t metaInt = 0;
    bool network = true;
    int64_t length = -1;
    std::string contentType = "audio/mpeg";
    std::u16string finalUrl;
    int icyBitrate = 0;
    std::u16string name;
};

class CFakeSource : public radio::ISource {
public:
    static constexpr int64_t kPacket = 1460;

    CFakeSource(CPlan plan, CFakeClock& clock) : m_plan(std::move(plan)), m_clock(clock) {
        m_info.bNetwork = m_plan.network;
        m_info.strContentType = m_plan.contentType;
        m_info.nMetaInt = m_plan.metaInt;
        m_info.nLength = m_plan.length;
        m_info.strFinalUrl = m_plan.finalUrl;
        m_info.nIcyBitrate = m_plan.icyBitrate;
        m_info.strName = m_plan.name;
        m_nStartUs = clock.NowUs();
    }
    const radio::CSourceInfo& Info() const override { return m_info; }

    ReadResult Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                    CRadioFailure& failure) override {
        got = 0;
        if (m_clock.Cancelled()) {
            return ReadResult::Failed;
        }
        const int64_t waitUs = int64_t{waitMs} * 1000;
        if (m_nStallUntilUs > m_clock.NowUs()) {
            m_clock.Advance(std::min(waitUs, m_nStallUntilUs - m_clock.NowUs()));
            return ReadResult::Idle;
        }
        if (m_nStall < m_plan.stalls.size() && m_plan.stalls[m_nStall].first <= m_nPos) {
            const int64_t us = int64_t{m_plan.stalls[m_nStall].second} * 1000;
            m_nStallUntilUs = m_clock.NowUs() + us;
            m_nStalledUs += us;
            ++m_nStall;
            m_clock.Advance(std::min(waitUs, us));
            return ReadResult::Idle;
        }
        if (m_nPos == m_plan.body.size()) {
            if (m_plan.end == EndKind::End) {
                return ReadResult::End;
            }
            if (m_plan.end == EndKind::Fail) {
                failure = radio::MakeFailure(radio::RadioError::ConnectionLost);
                return ReadResult::Failed;
            }
            m_clock.Advance(waitUs);
            return ReadResult::Idle;
        }
        size_t deliverable = m_plan.body.size() - m_nPos;
        if (m_plan.bytesPerSecond > 0) {
            // Bytes arrive in whole packets, as from a socket.
            const int64_t burst = static_cast<int64_t>(std::min(m_plan.burst, m_plan.body.size()));
            const int64_t elapsed = m_clock.NowUs() - m_nStartUs - m_nStalledUs;
            const int64_t paced = elapsed * m_plan.bytesPerSecond / 1000000;
            const int64_t sent = burst + paced / kPacket * kPacket;
            deliverable = static_cast<size_t>(std::clamp<int64_t>(
                sent - static_cast<int64_t>(m_nPos), 0, static_cast<int64_t>(deliverable)));
            if (deliverable == 0) {
                const int64_t nextPaced = (paced / kPacket + 1) * kPacket;
                const int64_t dueUs = nextPaced * 1000000 / m_plan.bytesPerSecond - elapsed + 1;
                // A read that may not wait returns at once.
                m_clock.Advance(std::min(std::max<int64_t>(dueUs, 1), waitUs));
                return ReadResult::Idle;
            }
        }
        if (m_nStall < m_plan.stalls.size()) {
            deliverable = std::min(deliverable, m_plan.stalls[m_nStall].first - m_nPos);
        }
        got = std::min({cap, m_plan.chunk, deliverable});
        std::memcpy(buffer, m_plan.body.data() + m_nPos, got);
        m_nPos += got;
        return ReadResult::Data;
    }

private:
    CPlan m_plan;
    CFakeClock& m_clock;
    radio::CSourceInfo m_info;
    size_t m_nPos = 0;
    size_t m_nStall = 0;
    int64_t m_nStartUs = 0;
    int64_t m_nStallUntilUs = 0;
    int64_t m_nStalledUs = 0;
};

// Each address answers with its plans in turn, the last one from then on;
// an address without plans is a 404.
class CFakeOpener : public radio::ISourceOpener {
public:
    explicit CFakeOpener(CFakeClock& clock) : m_clock(clock) {}

    std::unique_ptr<radio::ISource> Open(const std::u16string& url, radio::UrlOrigin origin,
                                         CRadioFailure& failure) override {
        opened.push_back(url);
        origins.push_back(origin);
        auto it = plans.find(url);
        if (it == plans.end() || it->second.empty()) {
            failure = radio::MakeHttpFailure(404);
            return nullptr;
        }
        const size_t index = std::min(served[url]++, it->second.size() - 1);
        std::optional<CPlan>& plan = it->second[index];
        if (!plan) {
            failure = radio::MakeFailure(radio::RadioError::CannotConnect);
            return nullptr;
        }
        CPlan copy = *plan;
        if (copy.finalUrl.empty()) {
            copy.finalUrl = url;
        }
        return std::make_unique<CFakeSource>(std::move(copy), m_clock);
    }
    void Abort() override {}

    // A plan of nullopt is a refused connection.
    void Serve(const std::string& url, std::vector<std::optional<CPlan>> list) {
        plans[U(url)] = std::move(list);
    }

    std::map<std::u16string, std::vector<std::optional<CPlan>>> plans;
    std::map<std::u16string, size_t> served;
    std::vector<std::u16string> opened;
    std::vector<radio::UrlOrigin> origins;

private:
    CFakeClock& m_clock;
};

// Every frame becomes 1152 stereo samples of the frame's number.
class CFakeDecoder : public radio::IDecoder {
public:
    explicit CFakeDecoder(int& resets) : m_nResets(resets) {}
    bool Open(const radio::CCodecConfig& config, CRadioFailure&) override {
        m_format = {config.nSampleRate, config.nChannels};
        return true;
    }
    bool Decode(const uint8_t* frames, size_t bytes, radio::IPcmSink& sink,
                CRadioFailure&) override {
        for (size_t pos = 0; pos + kFrameBytes <= bytes; pos += kFrameBytes) {
            uint32_t number = 0;
            for (int i = 0; i < 4; ++i) {
                number |= uint32_t{frames[pos + 4 + static_cast<size_t>(i)]} << (8 * i);
            }
            m_samples.assign(1152 * 2, static_cast<int16_t>(number & 0x7FFF));
            if (!sink.OnPcm(m_format, m_samples.data(), m_samples.size())) {
                return true;
            }
        }
        return true;
    }
    bool Drain(radio::IPcmSink&, CRadioFailure&) override { return true; }
    void Reset() override { ++m_nResets; }

private:
    int& m_nResets;
    radio::CPcmFormat m_format;
    std::vector<int16_t> m_samples;
};

class CFakeDecoderFactory : public radio::IDecoderFactory {
public:
    std::unique_ptr<radio::IDecoder> Create(radio::CodecKind, CRadioFailure& failure) override {
        ++created;
        if (missing) {
            failure = radio::MakeFailure(radio::RadioError::DecoderMissing);
            return nullptr;
        }
        return std::make_unique<CFakeDecoder>(resets);
    }
    bool missing = false;
    int created = 0;
    int resets = 0;
};

// A device that plays in real time on the fake clock, holding at most
// capacityMs. It keeps what it played as runs of equal samples.
class CFakeOutput : public radio::IOutput {
public:
    explicit CFakeOutput(CFakeClock& clock) : m_clock(clock) {}

    bool Open(const radio::CPcmFormat& format, CRadioFailure&) override {
        Advance();
        m_format = format;
        m_bOpen = true;
        ++opens;
        m_nLastUs = m_nOpenUs = m_clock.NowUs();
        m_nClockFrames = 0;
        return true;
    }
    bool IsOpen() const override { return m_bOpen; }
    radio::CPcmFormat Format() const override { return m_format; }
    size_t Write(const int16_t* samples, size_t count) override {
        Advance();
        const int64_t capacity = int64_t{capacityMs} * m_format.nSampleRate / 1000;
        const int64_t room = std::max<int64_t>(capacity - m_nQueuedFrames, 0);
        const size_t take = std::min<size_t>(
            count, static_cast<size_t>(room) * static_cast<size_t>(m_format.nChannels));
        for (size_t i = 0; i < take; i += static_cast<size_t>(m_format.nChannels)) {
            if (runs.empty() || runs.back().first != samples[i]) {
                runs.emplace_back(samples[i], 0);
            }
            ++runs.back().second;
        }
        m_nQueuedFrames += static_cast<int64_t>(take / static_cast<size_t>(m_format.nChannels));
        if (take > 0) {
            // Dry time counts as a gap only when something followed it, not
            // the device running out at the end.
            dryUs += m_nPendingDryUs;
            m_nPendingDryUs = 0;
            m_bStarted = true;
        }
        return take;
    }
    void Flush() override {}
    int64_t QueuedMs() const override {
        const_cast<CFakeOutput*>(this)->Advance();
        return m_format.nSampleRate > 0 ? m_nQueuedFrames * 1000 / m_format.nSampleRate : 0;
    }
    void WaitForRoom(int waitMs) override {
        m_clock.Advance(int64_t{waitMs} * 1000);
        Advance();
    }
    void Close() override {
        m_bOpen = false;
        m_nQueuedFrames = 0;
    }

    // The frame numbers played, each once per run.
    std::vector<int> Played() const {
        std::vector<int> out;
        for (const auto& run : runs) {
            out.push_back(run.first);
        }
        return out;
    }

    int capacityMs = 500;
    int opens = 0;
    int64_t dryUs = 0;  // time the device had nothing between samples
    std::vector<std::pair<int16_t, int64_t>> runs;

private:
    // Plays in real time from the last open on, counted from that moment so
    // that no fraction of a frame is lost between calls.
    void Advance() {
        const int64_t now = m_clock.NowUs();
        if (!m_bOpen || m_format.nSampleRate == 0 || now <= m_nLastUs) {
            return;
        }
        const int64_t clockFrames = (now - m_nOpenUs) * m_format.nSampleRate / 1000000;
        const int64_t frames = clockFrames - m_nClockFrames;
        m_nClockFrames = clockFrames;
        m_nLastUs = now;
        if (frames > m_nQueuedFrames && m_bStarted) {
            m_nPendingDryUs += (frames - m_nQueuedFrames) * 1000000 / m_format.nSampleRate;
        }
        m_nQueuedFrames = std::max<int64_t>(m_nQueuedFrames - frames, 0);
    }

    CFakeClock& m_clock;
    radio::CPcmFormat m_format;
    bool m_bOpen = false;
    bool m_bStarted = false;
    int64_t m_nQueuedFrames = 0;
    int64_t m_nLastUs = 0;
    int64_t m_nOpenUs = 0;
    int64_t m_nClockFrames = 0;
    int64_t m_nPendingDryUs = 0;
};

struct CTimedNotice {
    radio::CNotice notice;
    int64_t atMs = 0;
};

class CFakeSink : public radio::INoticeSink {
public:
    explicit CFakeSink(CFakeClock& clock) : m_clock(clock) {}
    void Post(radio::CNotice notice) override {
        if (!Cancelled()) {
            notices.push_back({std::move(notice), m_clock.NowMs()});
        }
    }
    bool Cancelled() const override { return m_clock.Cancelled(); }

    std::vector<radio::NoticeKind> Kinds(bool withMedia = false) const {
        std::vector<radio::NoticeKind> out;
        for (const auto& n : notices) {
            if (withMedia || n.notice.kind != radio::NoticeKind::Media) {
                out.push_back(n.notice.kind);
            }
        }
        return out;
    }
    int Count(radio::NoticeKind kind) const {
        return static_cast<int>(
            std::count_if(notices.begin(), notices.end(),
                          [kind](const auto& n) { return n.notice.kind == kind; }));
    }
    std::optional<CTimedNotice> First(radio::NoticeKind kind) const {
        for (const auto& n : notices) {
            if (n.notice.kind == kind) {
                return n;
            }
        }
        return std::nullopt;
    }

    std::vector<CTimedNotice> notices;

private:
    CFakeClock& m_clock;
};

}  // namespace session_fakes
