// Resource identifiers of TunaraHelper.exe; the framework's standard ids
// (menu commands, the application title) come from its own header.
#pragma once

#include "framework/AfxRes.h"

#define IDR_MAINFRAME 128
#define IDD_ABOUTBOX 100
#define IDP_OLE_INIT_FAILED 100
#define IDP_SOCKETS_INIT_FAILED 104
#define IDB_START_PICTURE 133
#define IDD_PLAYER_DIALOG 130
// The player control, item of IDD_PLAYER_DIALOG.
#define IDC_PLAYER 1000

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
