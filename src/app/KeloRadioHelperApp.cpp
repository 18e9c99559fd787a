#include "app/KeloRadioHelperApp.h"

#include <commctrl.h>

#include <new>

#include "app/AboutDlg.h"
#include "app/MainFrame.h"
#include "res/resource.h"

// The one application object.
CKeloRadioHelperApp theApp;

BOOL CKeloRadioHelperApp::InitInstance() {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);

    CWinApp::InitInstance();

    if (!AfxSocketInit()) {
        AfxMessageBox(IDP_SOCKETS_INIT_FAILED);
        return FALSE;
    }
    if (!AfxOleInit()) {
        AfxMessageBox(IDP_OLE_INIT_FAILED);
        return FALSE;
    }
    AfxEnableControlContainer();

    auto* pFrame = new (std::nothrow) CMainFrame;  // the frame deletes itself with its window
    if (pFrame == nullptr) {
        return FALSE;
    }
    // The main window before its window exists: starting the UI during the
    // frame's creation looks for it.
    m_pMainWnd = pFrame;
    // A failed creation destroys the frame and posts the quit message, so
    // the loop ends at once and silently; pFrame must not be used again.
    pFrame->LoadFrame(IDR_MAINFRAME, WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE, nullptr, nullptr);
    return TRUE;
}

BOOL CKeloRadioHelperApp::OnCmdMsg(UINT id, int code, void* extra, void* handlerInfo) {
    if (code == CN_COMMAND && id == ID_APP_ABOUT) {
        OnAppAbout();
        return TRUE;
    }
    return CWinApp::OnCmdMsg(id, code, extra, handlerInfo);
}

void CKeloRadioHelperApp::OnAppAbout() {
    CAboutDlg aboutDlg;
    aboutDlg.DoModal();
}
