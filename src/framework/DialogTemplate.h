// Reading the dialog resources that hold ActiveX controls: extended dialog
// templates whose items name a class id, and the initialisation data
// (resource type 240) that carries each control's persisted state.
#pragma once

#include <windows.h>

#include <span>
#include <vector>

// Resource type of dialog initialisation data.
#define RT_DLGINIT MAKEINTRESOURCEW(240)
// Initialisation record message: the data is the control's persisted
// stream, for IPersistStreamInit::Load.
inline constexpr WORD WM_OCC_LOADFROMSTREAM = 0x0376;

// An item of a dialog template that is an ActiveX control.
struct CDialogControlItem {
    CLSID clsid;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;  // dialog units
    DWORD id;
    // The item before it in the template, whose window it follows in the
    // z-order (and so in the tab order); none for the first item.
    bool bHasPrevious;
    DWORD previousId;
};

// Splits an extended dialog template into one that CreateDialogIndirect can
// make (the control items left out: a class id is no window class) and the
// control items. A classic template holds none and is copied unchanged.
// False if the template is malformed (truncated, too few items).
bool AfxSplitDialogTemplate(std::span<const BYTE> dialogTemplate, std::vector<BYTE>& windowTemplate,
                            std::vector<CDialogControlItem>& controls);

// Finds the record of control ctrlId with message in dialog initialisation
// data: records of WORD id, WORD message, DWORD length and length bytes,
// ended by a zero id. Stops, without a match, at a malformed record.
bool AfxFindDlgInitRecord(std::span<const BYTE> dialogInit, WORD ctrlId, WORD message,
                          std::span<const BYTE>& data);
