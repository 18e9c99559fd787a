// Turns a decoded payload from the UI into a call on the main frame.
#pragma once

#include <string>

#include "amf/Amf.h"

// The operations the commands reach. The main frame implements it; the
// dispatcher decides only which operation a command names, and the frame
// owns the policy behind each operation.
class ICommandTarget {
public:
    virtual ~ICommandTarget() = default;

    virtual bool HasPlayerDialog() = 0;
    virtual void PlayUrl(const std::u16string& url) = 0;
    virtual void StopPlayback() = 0;
    // Called also without a player: the frame stores the volume regardless.
    virtual void ApplyVolume(const std::u16string& text) = 0;
    virtual void ShowTouchKeyboard() = 0;
    virtual void StylusShow() = 0;
    virtual void StylusHide() = 0;
    // Has the shell open url; only ever called with a non-empty text.
    virtual void OpenUrl(const std::u16string& url) = 0;
    virtual void LauncherMinimize() = 0;
    virtual void LauncherClose() = 0;
};

// Runs the command that message carries, if it is one: exactly one top-level
// value, an array that carried associative members, with a "type" member
// naming a known command. Anything else is dropped without a trace; the UI
// never gets an answer.
void DispatchCommand(const CAmfMessage& message, ICommandTarget& frame);
