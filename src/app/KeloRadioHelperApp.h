// The application object: brings up sockets, OLE and the hidden main frame,
// then runs the message loop until the quit message.
#pragma once

#include "framework/WinApp.h"

class CKeloRadioHelperApp : public CWinApp {
public:
    CKeloRadioHelperApp() = default;
    BOOL InitInstance() override;
};
