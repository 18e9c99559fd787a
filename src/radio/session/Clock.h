// The session's notion of time, injected so that tests run it against a
// fake clock and never sleep.
#pragma once

#include <cstdint>

namespace radio {

class IClock {
public:
    virtual ~IClock() = default;
    virtual int64_t NowMs() const = 0;
    // Waits (really, or by advancing a fake clock) unless cancelled;
    // false when cancelled.
    virtual bool SleepMs(int ms) = 0;
};

}  // namespace radio
