// The About box: the program's name and version over the hidden frame.
#pragma once

#include "framework/Dialog.h"
#include "res/resource.h"

class CAboutDlg : public CDialog {
public:
    static constexpr UINT IDD = IDD_ABOUTBOX;

    CAboutDlg();
};
