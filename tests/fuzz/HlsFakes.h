// Fakes of the engine's stages for the HLS source stage: a server of fixed
// answers behind ISourceOpener, and a clock that only moves when waited on.
// Shared by its unit tests and its fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "radio/session/Clock.h"
#include "radio/source/Source.h"

namespace hls_fakes {

using Bytes = std::vector<uint8_t>;
using radio::CRadioFailure;

// A server of fixed answers: each address serves its answers in turn, the
// last one from then on. An empty body with ok false is a 404.
struct CAnswer {
    bool ok = true;
    Bytes body;
};

class CFakeSource : public radio::ISource {
public:
    CFakeSource(Bytes body, std::u16string finalUrl) : m_body(std::move(body)) {
        m_info.bNetwork = true;
        m_info.strFinalUrl = std::move(finalUrl);
    }
    const radio::CSourceInfo& Info() const override { return m_info; }
    radio::ReadResult Read(uint8_t* buffer, size_t cap, int, size_t& got, CRadioFailure&) override {
        if (m_nPos == m_body.size())
            return radio::ReadResult::End;
        got = std::min({cap, m_body.size() - m_nPos, size_t{1000}});
        std::copy(m_body.begin() + static_cast<std::ptrdiff_t>(m_nPos),
                  m_body.begin() + static_cast<std::ptrdiff_t>(m_nPos + got), buffer);
        m_nPos += got;
        return radio::ReadResult::Data;
    }

private:
    Bytes m_body;
    size_t m_nPos = 0;
    radio::CSourceInfo m_info;
};

class CFakeOpener : public radio::ISourceOpener {
public:
    std::unique_ptr<radio::ISource> Open(const std::u16string& url, radio::UrlOrigin,
                                         CRadioFailure& failure) override {
        ++opens[url];
        auto it = answers.find(url);
        if ((it == answers.end() || it->second.empty()) && fallback) {
            return std::make_unique<CFakeSource>(fallback->body, url);
        }
        if (it == answers.end() || it->second.empty()) {
            failure = radio::MakeHttpFailure(404);
            return nullptr;
        }
        const size_t index = std::min(served[url]++, it->second.size() - 1);
        const CAnswer& answer = it->second[index];
        if (!answer.ok) {
            failure = radio::MakeHttpFailure(404);
            return nullptr;
        }
        return std::make_unique<CFakeSource>(answer.body, url);
    }
    void Abort() override {}

    void Serve(const std::string& url, std::vector<CAnswer> list) {
        answers[U(url)] = std::move(list);
    }
    static std::u16string U(const std::string& s) { return std::u16string(s.begin(), s.end()); }

    std::map<std::u16string, std::vector<CAnswer>> answers;
    std::map<std::u16string, size_t> served;
    std::map<std::u16string, int> opens;
    std::optional<CAnswer> fallback;  // for every address not served otherwise
};

class CFakeClock : public radio::IClock {
public:
    int64_t NowMs() const override { return now; }
    bool SleepMs(int ms) override {
        now += ms;
        return !cancelled;
    }
    int64_t now = 1000;
    bool cancelled = false;
};

}  // namespace hls_fakes
