// The player's play state as the host sees it, in the control's numbering,
// and the transitions that the engine's reports and the host's calls cause.
#pragma once

#include <cstdint>
#include <vector>

namespace radio {

enum class PlayState : int32_t {
    Undefined = 0,
    Stopped = 1,
    Paused = 2,
    Playing = 3,
    Buffering = 6,
    Waiting = 7,
    MediaEnded = 8,
    Transitioning = 9,
    Ready = 10,
    Reconnecting = 11,
};

enum class PlayInput {
    Open,     // a URL was set (or play called) and a stream is starting
    Load,     // a URL was set without starting it
    Started,  // the engine has audio going out
    Stalled,  // the engine ran out of data
    Dropped,  // the connection broke; the engine tries again
    Ended,    // a file played to its end
    Failed,   // the engine gave up with an error
    Stop,
    Pause,
    Resume,
};

class CPlayStateMachine {
public:
    PlayState State() const { return m_state; }

    // Applies one input and returns the states to announce, in order; empty
    // when nothing changes. Reports that no longer fit (a late "Started"
    // after a stop) change nothing.
    std::vector<PlayState> Apply(PlayInput input);

    // True while an engine should be running for the current URL.
    bool Active() const;

private:
    PlayState m_state = PlayState::Undefined;
};

// Delay before reconnect attempt `attempt` (1-based) after a drop, or -1
// when no attempt is left: 250 ms doubling up to 2 s, five attempts.
int ReconnectDelayMs(int attempt);

}  // namespace radio
