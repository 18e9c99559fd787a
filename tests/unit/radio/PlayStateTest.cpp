#include "radio/PlayState.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using radio::CPlayStateMachine;
using radio::PlayInput;
using radio::PlayState;
using S = PlayState;
using I = PlayInput;

struct CTransition {
    std::vector<PlayInput> before;  // brings the machine to its start state
    PlayInput input;
    std::vector<PlayState> announced;
    PlayState after;
};

class Transitions : public testing::TestWithParam<CTransition> {};

TEST_P(Transitions, Announce) {
    CPlayStateMachine machine;
    for (PlayInput input : GetParam().before) {
        machine.Apply(input);
    }
    EXPECT_EQ(machine.Apply(GetParam().input), GetParam().announced);
    EXPECT_EQ(machine.State(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Transitions,
    testing::Values(
        CTransition{{}, I::Open, {S::Transitioning}, S::Transitioning},
        CTransition{{I::Open}, I::Started, {S::Playing}, S::Playing},
        // A new URL while playing starts over; a second one while starting
        // announces nothing new.
        CTransition{{I::Open, I::Started}, I::Open, {S::Transitioning}, S::Transitioning},
        CTransition{{I::Open}, I::Open, {}, S::Transitioning},
        CTransition{{I::Open, I::Started}, I::Stalled, {S::Buffering}, S::Buffering},
        CTransition{{I::Open, I::Started, I::Stalled}, I::Started, {S::Playing}, S::Playing},
        CTransition{{I::Open, I::Started}, I::Dropped, {S::Reconnecting}, S::Reconnecting},
        CTransition{{I::Open, I::Started, I::Dropped}, I::Started, {S::Playing}, S::Playing},
        CTransition{{I::Open, I::Started}, I::Ended, {S::MediaEnded, S::Stopped}, S::Stopped},
        CTransition{{I::Open}, I::Failed, {S::Stopped}, S::Stopped},
        CTransition{{I::Open, I::Started}, I::Stop, {S::Stopped}, S::Stopped},
        CTransition{{I::Open}, I::Stop, {S::Stopped}, S::Stopped},
        CTransition{{I::Open, I::Stop}, I::Stop, {}, S::Stopped},
        CTransition{{}, I::Stop, {S::Stopped}, S::Stopped},
        CTransition{{I::Open, I::Started}, I::Pause, {S::Paused}, S::Paused},
        CTransition{{I::Open, I::Started, I::Pause}, I::Resume, {S::Playing}, S::Playing},
        CTransition{{I::Open}, I::Pause, {}, S::Transitioning},
        CTransition{{}, I::Load, {S::Ready}, S::Ready},
        CTransition{{I::Open, I::Started}, I::Load, {S::Stopped, S::Ready}, S::Ready},
        // Late reports from an engine that was already stopped change nothing.
        CTransition{{I::Open, I::Stop}, I::Started, {}, S::Stopped},
        CTransition{{I::Open, I::Stop}, I::Failed, {}, S::Stopped},
        CTransition{{I::Open, I::Stop}, I::Dropped, {}, S::Stopped},
        CTransition{{I::Open, I::Failed}, I::Ended, {}, S::Stopped}));

TEST(PlayStateMachine, ActiveWhileAnEngineShouldRun) {
    CPlayStateMachine machine;
    EXPECT_FALSE(machine.Active());
    machine.Apply(I::Open);
    EXPECT_TRUE(machine.Active());
    machine.Apply(I::Started);
    machine.Apply(I::Dropped);
    EXPECT_TRUE(machine.Active());
    machine.Apply(I::Stop);
    EXPECT_FALSE(machine.Active());
}

TEST(Reconnect, BackOffIsBounded) {
    EXPECT_EQ(radio::ReconnectDelayMs(0), -1);
    EXPECT_EQ(radio::ReconnectDelayMs(1), 250);
    EXPECT_EQ(radio::ReconnectDelayMs(2), 500);
    EXPECT_EQ(radio::ReconnectDelayMs(4), 2000);
    EXPECT_EQ(radio::ReconnectDelayMs(5), 2000);
    EXPECT_EQ(radio::ReconnectDelayMs(6), -1);
}

}  // namespace
