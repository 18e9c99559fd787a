#include "framework/LinkTrace.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace LinkTrace {

namespace detail {
bool g_bOn = false;
}

namespace {

struct CFrameStamps {
    int64_t nNotificationsAtStart = 0;
    int64_t nPassesAtStart = 0;
    int64_t nNotifications = 0;
    int64_t nPasses = 0;
    int64_t notify = 0;
    int64_t header = 0;
    int64_t payload = 0;
    int64_t decoded = 0;
    int64_t queued = 0;
    int64_t sent = 0;
    int64_t handled = 0;
};

using PreciseTimeFunction = VOID(WINAPI*)(LPFILETIME);

// Unix epoch in FILETIME units (100 ns since 1601).
constexpr int64_t kUnixEpoch = 116444736000000000LL;

const char* const kCounterNames[] = {
    "read_notifications",
    "empty_reads",
    "write_notifications",
    "other_notifications",
    "passes",
    "receives",
    "receive_ns",
    "sends",
    "send_ns",
    "fionread",
    "fionread_ns",
    "deferred_flushes",
    "dropped_notifications",
    "held_releases",
};
static_assert(sizeof(kCounterNames) / sizeof(kCounterNames[0]) ==
              static_cast<size_t>(Counter::Count));

class CTrace {
public:
    CTrace() {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = ::GetEnvironmentVariableW(L"TUNARA_LINK_TRACE", path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            return;
        }
        // Windows 8 and later; Wine has it too. Without it the coarse clock.
        m_pPreciseTime =
            reinterpret_cast<PreciseTimeFunction>(reinterpret_cast<void*>(::GetProcAddress(
                ::GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
        try {
            m_strPath.assign(path, length);
            m_frames.reserve(100000);
        } catch (...) {
            return;
        }
        detail::g_bOn = true;
    }

    ~CTrace() {
        if (!detail::g_bOn) {
            return;
        }
        detail::g_bOn = false;
        FILE* file = ::_wfopen(m_strPath.c_str(), L"w");
        if (file == nullptr) {
            return;
        }
        std::fputs("#", file);
        for (size_t i = 0; i < static_cast<size_t>(Counter::Count); ++i) {
            std::fprintf(file, " %s=%lld", kCounterNames[i], static_cast<long long>(m_counters[i]));
        }
        std::fputs("\n", file);
        for (size_t i = 0; i < m_frames.size(); ++i) {
            const CFrameStamps& f = m_frames[i];
            std::fprintf(file, "%u,%lld,%lld,%lld,%lld,%lld,%lld,%lld,%lld,%lld,%lld\n",
                         static_cast<unsigned>(i), static_cast<long long>(f.nNotificationsAtStart),
                         static_cast<long long>(f.nNotifications),
                         static_cast<long long>(f.nPasses), static_cast<long long>(f.notify),
                         static_cast<long long>(f.header), static_cast<long long>(f.payload),
                         static_cast<long long>(f.decoded), static_cast<long long>(f.queued),
                         static_cast<long long>(f.sent), static_cast<long long>(f.handled));
        }
        std::fclose(file);
    }

    CTrace(const CTrace&) = delete;
    CTrace& operator=(const CTrace&) = delete;

    int64_t Now() const {
        FILETIME time{};
        if (m_pPreciseTime != nullptr) {
            m_pPreciseTime(&time);
        } else {
            ::GetSystemTimeAsFileTime(&time);
        }
        const int64_t ticks = static_cast<int64_t>(
            (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
        return (ticks - kUnixEpoch) * 100;
    }

    void Add(Counter counter, int64_t amount) {
        m_counters[static_cast<size_t>(counter)] += amount;
    }

    void OnNotification() {
        m_lastNotify = Now();
        Add(Counter::ReadNotifications, 1);
    }

    void OnFrameStarted() {
        if (m_frames.size() == m_frames.capacity()) {
            return;  // a full trace keeps its first frames
        }
        CFrameStamps stamps;
        stamps.nNotificationsAtStart = Count(Counter::ReadNotifications);
        stamps.nPassesAtStart = Count(Counter::Passes);
        stamps.notify = m_lastNotify;
        stamps.header = Now();
        m_frames.push_back(stamps);
        m_bInFrame = true;
    }

    void OnPayloadComplete() {
        CFrameStamps* pFrame = Current();
        if (pFrame == nullptr) {
            return;
        }
        pFrame->payload = Now();
        pFrame->nNotifications =
            Count(Counter::ReadNotifications) - pFrame->nNotificationsAtStart + 1;
        pFrame->nPasses = Count(Counter::Passes) - pFrame->nPassesAtStart;
        m_bInFrame = false;
        m_nHandling = m_frames.size();
        // Frames whose events are out stop following later sends.
        while (m_nFirstUnsent + 1 < m_nHandling && m_frames[m_nFirstUnsent].sent != 0) {
            ++m_nFirstUnsent;
        }
    }

    void OnDecoded() {
        if (CFrameStamps* pFrame = Handling()) {
            pFrame->decoded = Now();
        }
    }

    void OnQueued() {
        CFrameStamps* pFrame = Handling();
        if (pFrame != nullptr && pFrame->queued == 0) {
            pFrame->queued = Now();
        }
    }

    void OnSent() {
        const int64_t now = Now();
        for (size_t i = m_nFirstUnsent; i < m_nHandling; ++i) {
            m_frames[i].sent = now;
        }
    }

    void OnHandled() {
        if (CFrameStamps* pFrame = Handling()) {
            pFrame->handled = Now();
        }
    }

private:
    int64_t Count(Counter counter) const { return m_counters[static_cast<size_t>(counter)]; }
    CFrameStamps* Current() { return m_bInFrame && !m_frames.empty() ? &m_frames.back() : nullptr; }
    CFrameStamps* Handling() {
        return m_nHandling > 0 && m_nHandling <= m_frames.size() ? &m_frames[m_nHandling - 1]
                                                                 : nullptr;
    }

    std::wstring m_strPath;
    PreciseTimeFunction m_pPreciseTime = nullptr;
    std::vector<CFrameStamps> m_frames;
    int64_t m_counters[static_cast<size_t>(Counter::Count)] = {};
    int64_t m_lastNotify = 0;
    bool m_bInFrame = false;
    size_t m_nHandling = 0;  // 1-based index of the frame whose payload runs
    size_t m_nFirstUnsent = 0;
};

CTrace g_trace;

}  // namespace

int64_t Now() {
    return g_trace.Now();
}
void Add(Counter counter, int64_t amount) {
    g_trace.Add(counter, amount);
}
void OnNotification() {
    g_trace.OnNotification();
}
void OnFrameStarted() {
    g_trace.OnFrameStarted();
}
void OnPayloadComplete() {
    g_trace.OnPayloadComplete();
}
void OnDecoded() {
    g_trace.OnDecoded();
}
void OnQueued() {
    g_trace.OnQueued();
}
void OnSent() {
    g_trace.OnSent();
}
void OnHandled() {
    g_trace.OnHandled();
}

}  // namespace LinkTrace
