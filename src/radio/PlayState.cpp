#include "radio/PlayState.h"

namespace radio {

bool CPlayStateMachine::Active() const {
    switch (m_state) {
        case PlayState::Transitioning:
        case PlayState::Playing:
        case PlayState::Paused:
        case PlayState::Buffering:
        case PlayState::Waiting:
        case PlayState::Reconnecting:
            return true;
        default:
            return false;
    }
}

std::vector<PlayState> CPlayStateMachine::Apply(PlayInput input) {
    PlayState next = m_state;
    std::vector<PlayState> announced;
    switch (input) {
        case PlayInput::Open:
            next = PlayState::Transitioning;
            break;
        case PlayInput::Load:
            if (Active()) {
                announced.push_back(PlayState::Stopped);
            }
            next = PlayState::Ready;
            break;
        case PlayInput::Started:
            if (m_state == PlayState::Transitioning || m_state == PlayState::Buffering ||
                m_state == PlayState::Reconnecting || m_state == PlayState::Waiting) {
                next = PlayState::Playing;
            }
            break;
        case PlayInput::Stalled:
            if (m_state == PlayState::Playing) {
                next = PlayState::Buffering;
            }
            break;
        case PlayInput::Dropped:
            if (m_state == PlayState::Playing || m_state == PlayState::Buffering ||
                m_state == PlayState::Transitioning || m_state == PlayState::Paused) {
                next = PlayState::Reconnecting;
            }
            break;
        case PlayInput::Ended:
            if (Active()) {
                announced.push_back(PlayState::MediaEnded);
                next = PlayState::Stopped;
            }
            break;
        case PlayInput::Failed:
            if (Active()) {
                next = PlayState::Stopped;
            }
            break;
        case PlayInput::Stop:
            if (m_state != PlayState::Stopped) {
                next = PlayState::Stopped;
            }
            break;
        case PlayInput::Pause:
            if (m_state == PlayState::Playing || m_state == PlayState::Buffering) {
                next = PlayState::Paused;
            }
            break;
        case PlayInput::Resume:
            if (m_state == PlayState::Paused) {
                next = PlayState::Playing;
            }
            break;
    }
    if (next != m_state) {
        announced.push_back(next);
    }
    m_state = next;
    return announced;
}

int ReconnectDelayMs(int attempt) {
    constexpr int kAttempts = 5;
    if (attempt < 1 || attempt > kAttempts) {
        return -1;
    }
    int delay = 250;
    for (int i = 1; i < attempt && delay < 2000; ++i) {
        delay *= 2;
    }
    return delay;
}

}  // namespace radio
