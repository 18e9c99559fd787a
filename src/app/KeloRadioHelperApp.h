// The application object: brings up sockets, OLE and the hidden main frame,
// then runs the message loop until the quit message.
#pragma once

#include "framework/WinApp.h"

class CKeloRadioHelperApp : public CWinApp {
public:
    CKeloRadioHelperApp() = default;
    ~CKeloRadioHelperApp() override = default;

    BOOL InitInstance() override;
    // The command map: ID_APP_ABOUT, then the framework's own commands.
    BOOL OnCmdMsg(UINT id, int code, void* extra, void* handlerInfo) override;

    // Shows the About box modally. Nobody can reach the hidden frame's menu
    // or keys, but the command stays routed.
    void OnAppAbout();
};
