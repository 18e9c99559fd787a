#include "app/DisplayOrientation.h"

BOOL CSystemDisplaySettings::EnumCurrent(DEVMODEW& mode) {
    return ::EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode);
}

LONG CSystemDisplaySettings::Change(DEVMODEW& mode, DWORD flags) {
    return ::ChangeDisplaySettingsW(&mode, flags);
}

void ResetRotatedDisplay(IDisplaySettings& display) {
    DEVMODEW mode = {};
    mode.dmSize = sizeof(mode);
    display.EnumCurrent(mode);
    if (mode.dmDisplayOrientation == DMDO_90 || mode.dmDisplayOrientation == DMDO_270) {
        // Width, height and the field mask stay as read: a quarter turn back
        // is exactly what the driver is asked for.
        mode.dmDisplayOrientation = DMDO_DEFAULT;
        display.Change(mode, kOrientationResetFlags);
    }
}
