// Resource identifiers of TunaraHelper.exe.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_ABOUTBOX 100
#define IDP_OLE_INIT_FAILED 100
#define IDP_SOCKETS_INIT_FAILED 104
#define AFX_IDS_APP_TITLE 0xE000
#define IDB_START_PICTURE 133
