// Turns a display that was left rotated by a quarter turn back upright, so
// that the full-screen UI starts the right way round. Upside down (180
// degrees) is taken as intended and left alone.
#pragma once

#include <windows.h>

// The two display calls, as a seam for tests (Wine cannot rotate a display).
class IDisplaySettings {
public:
    virtual ~IDisplaySettings() = default;
    virtual BOOL EnumCurrent(DEVMODEW& mode) = 0;
    virtual LONG Change(DEVMODEW& mode, DWORD flags) = 0;
};

// EnumDisplaySettingsW / ChangeDisplaySettingsW on the display we run on.
class CSystemDisplaySettings : public IDisplaySettings {
public:
    BOOL EnumCurrent(DEVMODEW& mode) override;
    LONG Change(DEVMODEW& mode, DWORD flags) override;
};

// The value the installed base has always passed: stored in the registry
// for all users (0x01 | 0x08) plus 0x10, which the headers name
// CDS_SET_PRIMARY (CDS_RESET itself is 0x40000000).
inline constexpr DWORD kOrientationResetFlags = 0x19;

// Reads the current mode; at 90 or 270 degrees writes it back with only the
// orientation changed. Failures of either call are ignored.
void ResetRotatedDisplay(IDisplaySettings& display);
