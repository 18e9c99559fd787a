#include "app/AboutDlg.h"

// Everything it shows is in its template; OK and Esc end it.
CAboutDlg::CAboutDlg() : CDialog(IDD) {}
