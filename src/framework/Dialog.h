// CDialog: a modeless dialog made from a template that may hold ActiveX
// controls, with data exchange and an event sink map for those controls.
#pragma once

#include "framework/ControlSite.h"
#include "framework/DialogTemplate.h"
#include "framework/OleControl.h"

#include <vector>

class CDialog;

// The state of one UpdateData pass.
class CDataExchange {
public:
    CDataExchange(CDialog* pDlgWnd, BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

    // Marks the pass as failed; UpdateData then returns FALSE.
    void Fail() { m_bFailed = TRUE; }

    BOOL m_bSaveAndValidate;
    CDialog* m_pDlgWnd;
    BOOL m_bFailed = FALSE;
};

// Binds rControl to the control with child id nIDC that the dialog's
// template created. Fails the pass if there is no such control.
void DDX_Control(CDataExchange* pDX, int nIDC, COleControlWnd& rControl);

// A dialog made from a template, modeless (Create) or modal (DoModal). Items
// of its template whose class is a class id ("{...}") are ActiveX controls:
// the dialog creates them itself at their template positions, loaded from
// the dialog's initialisation data, and tears them down before its window
// goes.
class CDialog : public CWnd {
public:
    CDialog() = default;
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Creates the window from template nIDTemplate and, if there is one,
    // the initialisation data (resource type 240) of the same id. With no
    // parent given the dialog is owned by the parent given at construction,
    // else by the main window, so it never outlives the window it reports
    // to. On FALSE with the object already deleted by PostNcDestroy, which
    // only happens if OnInitDialog destroyed the window.
    BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    // The same from a template in memory; dialogInit may be empty.
    BOOL CreateIndirect(std::span<const BYTE> dialogTemplate, CWnd* pParentWnd,
                        std::span<const BYTE> dialogInit = {});

    // Shows the dialog of the template given at construction modally over
    // its owner (the parent given at construction, else the main window)
    // and returns the code it was ended with: IDOK, IDCANCEL or what
    // EndDialog was given; -1 if the dialog could not be made.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult);

    // Runs DoDataExchange; FALSE if any exchange failed.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    BOOL MapDialogRect(RECT* pRect) const;
    // The site of the template control with child id nID, or null.
    COleControlSite* GetControlSite(UINT nID) const;

    // Called by the control sites for every control event; looks the event
    // up in GetEventSinkMap and its base maps. TRUE if a handler ran.
    virtual BOOL OnEvent(UINT nCtrlId, DISPID dispid, const DISPPARAMS& params);
    virtual const AFX_EVENTSINKMAP* GetEventSinkMap() const;

    // An empty map, the base of every dialog's map.
    static const AFX_EVENTSINKMAP eventsinkMap;

protected:
    // After the template's controls exist: exchanges data into the controls.
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX);
    // The OK and Cancel buttons (and Enter and Esc). A modal dialog ends
    // with IDOK once its data is saved, or with IDCANCEL; a modeless one
    // stays until its window is destroyed.
    virtual void OnOK();
    virtual void OnCancel();
    // The dialog procedure gets every message; DefDlgProc does the rest.
    // Unlike CWnd's, this map handles nothing by default: a dialog's default
    // processing is "not handled", not DefWindowProc.
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

    UINT m_nIDTemplate = 0;
    CWnd* m_pParentWnd = nullptr;

private:
    friend INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    BOOL HandleInitDialog(HWND hWnd);
    // Splits the template and keeps its controls and initialisation data
    // for WM_INITDIALOG; FALSE on a template that cannot be read.
    BOOL PrepareTemplate(std::span<const BYTE> dialogTemplate, std::span<const BYTE> dialogInit,
                         std::vector<BYTE>& windowTemplate);
    HWND OwnerWindow(CWnd* pParentWnd) const;
    void CreateDlgControls();
    void DestroyControlSites();

    std::vector<CDialogControlItem> m_pendingControls;
    std::vector<BYTE> m_dialogInit;
    std::vector<CComPtr<COleControlSite>> m_controlSites;
    bool m_bModal = false;
};

INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
