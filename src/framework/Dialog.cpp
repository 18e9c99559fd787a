#include "framework/Dialog.h"

#include <utility>

namespace {

// Whether the dialog being created got bound to its window: if creation
// fails after that, PostNcDestroy may already have deleted it.
struct CDialogCreation {
    CDialog* pDialog;
    bool bBound;
};

thread_local CDialogCreation* t_pCreation = nullptr;

// A stream over a copy of bytes, sized exactly (an HGLOBAL may be larger
// than asked for, and the control must see only the record's bytes).
CComPtr<IStream> MakeStream(std::span<const BYTE> bytes) {
    CComPtr<IStream> pStream;
    HGLOBAL hGlobal = ::GlobalAlloc(GMEM_MOVEABLE, bytes.empty() ? 1 : bytes.size());
    if (hGlobal == nullptr) {
        return pStream;
    }
    if (void* p = ::GlobalLock(hGlobal); p != nullptr) {
        if (!bytes.empty()) {
            ::CopyMemory(p, bytes.data(), bytes.size());
        }
        ::GlobalUnlock(hGlobal);
    } else {
        ::GlobalFree(hGlobal);
        return pStream;
    }
    if (FAILED(::CreateStreamOnHGlobal(hGlobal, TRUE, &pStream)) || !pStream) {
        ::GlobalFree(hGlobal);
        pStream.Release();
        return pStream;
    }
    ULARGE_INTEGER size{};
    size.QuadPart = bytes.size();
    if (FAILED(pStream->SetSize(size))) {
        pStream.Release();
    }
    return pStream;
}

// A resource of the resource module, in place; empty if it is missing.
std::span<const BYTE> LoadResourceBytes(UINT id, LPCWSTR type) {
    const HINSTANCE hInstance = AfxGetResourceHandle();
    const HRSRC hResource = ::FindResourceW(hInstance, MAKEINTRESOURCEW(id), type);
    if (hResource == nullptr) {
        return {};
    }
    const HGLOBAL hData = ::LoadResource(hInstance, hResource);
    const void* pData = hData != nullptr ? ::LockResource(hData) : nullptr;
    if (pData == nullptr) {
        return {};
    }
    return {static_cast<const BYTE*>(pData), ::SizeofResource(hInstance, hResource)};
}

}  // namespace

const AFX_EVENTSINKMAP CDialog::eventsinkMap{nullptr, {}};

void DDX_Control(CDataExchange* pDX, int nIDC, COleControlWnd& rControl) {
    if (rControl.m_pCtrlSite || rControl.m_hWnd != nullptr) {
        return;  // bound by an earlier pass
    }
    COleControlSite* pSite = pDX->m_pDlgWnd->GetControlSite(static_cast<UINT>(nIDC));
    if (pSite == nullptr || !pSite->BindWindow(&rControl)) {
        pDX->Fail();
    }
}

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
    // Normally done when the window was destroyed; this covers an object
    // deleted while its window still exists.
    DestroyControlSites();
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) {
    const std::span<const BYTE> dialogTemplate = LoadResourceBytes(nIDTemplate, RT_DIALOG);
    if (dialogTemplate.empty()) {
        return FALSE;
    }
    m_nIDTemplate = nIDTemplate;
    return CreateIndirect(dialogTemplate, pParentWnd, LoadResourceBytes(nIDTemplate, RT_DLGINIT));
}

BOOL CDialog::CreateIndirect(std::span<const BYTE> dialogTemplate, CWnd* pParentWnd,
                             std::span<const BYTE> dialogInit) {
    if (m_hWnd != nullptr) {
        return FALSE;
    }
    std::vector<BYTE> windowTemplate;
    if (!PrepareTemplate(dialogTemplate, dialogInit, windowTemplate)) {
        return FALSE;
    }
    const HWND hWndOwner = OwnerWindow(pParentWnd);

    CDialogCreation creation{this, false};
    CDialogCreation* const pPrevious = std::exchange(t_pCreation, &creation);
    const HWND hWnd = ::CreateDialogIndirectParamW(
        AfxGetResourceHandle(), reinterpret_cast<LPCDLGTEMPLATEW>(windowTemplate.data()), hWndOwner,
        AfxDlgProc, reinterpret_cast<LPARAM>(this));
    t_pCreation = pPrevious;
    if (hWnd == nullptr || !::IsWindow(hWnd)) {
        // Once bound, the window has been through WM_NCDESTROY and this
        // object may be gone.
        if (!creation.bBound) {
            m_pendingControls.clear();
            m_dialogInit.clear();
        }
        return FALSE;
    }
    return TRUE;
}

INT_PTR CDialog::DoModal() {
    if (m_hWnd != nullptr) {
        return -1;
    }
    const std::span<const BYTE> dialogTemplate = LoadResourceBytes(m_nIDTemplate, RT_DIALOG);
    std::vector<BYTE> windowTemplate;
    if (dialogTemplate.empty() ||
        !PrepareTemplate(dialogTemplate, LoadResourceBytes(m_nIDTemplate, RT_DLGINIT),
                         windowTemplate)) {
        return -1;
    }
    // The dialog box disables its owner while it runs its own message loop
    // and enables it again before it returns.
    m_bModal = true;
    const INT_PTR result = ::DialogBoxIndirectParamW(
        AfxGetResourceHandle(), reinterpret_cast<LPCDLGTEMPLATEW>(windowTemplate.data()),
        OwnerWindow(nullptr), AfxDlgProc, reinterpret_cast<LPARAM>(this));
    m_bModal = false;
    m_pendingControls.clear();
    m_dialogInit.clear();
    return result;
}

void CDialog::EndDialog(int nResult) {
    if (m_hWnd != nullptr) {
        ::EndDialog(m_hWnd, nResult);
    }
}

BOOL CDialog::PrepareTemplate(std::span<const BYTE> dialogTemplate,
                              std::span<const BYTE> dialogInit, std::vector<BYTE>& windowTemplate) {
    try {
        if (!AfxSplitDialogTemplate(dialogTemplate, windowTemplate, m_pendingControls)) {
            return FALSE;
        }
        m_dialogInit.assign(dialogInit.begin(), dialogInit.end());
    } catch (...) {
        m_pendingControls.clear();
        return FALSE;
    }
    return TRUE;
}

HWND CDialog::OwnerWindow(CWnd* pParentWnd) const {
    CWnd* pOwner = pParentWnd != nullptr ? pParentWnd : m_pParentWnd;
    if (pOwner == nullptr) {
        pOwner = AfxGetMainWnd();
    }
    return pOwner != nullptr ? pOwner->m_hWnd : nullptr;
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange exchange(this, bSaveAndValidate);
    DoDataExchange(&exchange);
    return !exchange.m_bFailed;
}

BOOL CDialog::MapDialogRect(RECT* pRect) const {
    return ::MapDialogRect(m_hWnd, pRect);
}

COleControlSite* CDialog::GetControlSite(UINT nID) const {
    for (const CComPtr<COleControlSite>& pSite : m_controlSites) {
        if (pSite->GetID() == nID) {
            return pSite.Get();
        }
    }
    return nullptr;
}

BOOL CDialog::OnEvent(UINT nCtrlId, DISPID dispid, const DISPPARAMS& params) {
    for (const AFX_EVENTSINKMAP* pMap = GetEventSinkMap(); pMap != nullptr; pMap = pMap->pBaseMap) {
        for (const AFX_EVENTSINKMAP_ENTRY& entry : pMap->entries) {
            if (entry.nCtrlId == nCtrlId && entry.dispid == dispid) {
                return entry.pfnInvoke(this, params) ? TRUE : FALSE;
            }
        }
    }
    return FALSE;
}

const AFX_EVENTSINKMAP* CDialog::GetEventSinkMap() const {
    return &eventsinkMap;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

void CDialog::OnOK() {
    if (m_bModal && UpdateData(TRUE)) {
        EndDialog(IDOK);
    }
}

void CDialog::OnCancel() {
    if (m_bModal) {
        EndDialog(IDCANCEL);
    }
}

BOOL CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM, LRESULT* pResult) {
    // The dialog manager turns Enter, Esc and the close box into these
    // commands; everything else is left to it.
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            *pResult = 0;
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            *pResult = 0;
            return TRUE;
        }
    }
    return FALSE;
}

BOOL CDialog::HandleInitDialog(HWND hWnd) {
    if (!Attach(hWnd)) {
        return FALSE;
    }
    if (t_pCreation != nullptr && t_pCreation->pDialog == this) {
        t_pCreation->bBound = true;
    }
    CreateDlgControls();
    const BOOL bDefaultFocus = OnInitDialog();
    // The dialog manager's default focus would activate a hidden modeless
    // dialog and take the activation from whatever had it. Once shown, such
    // a dialog gets its focus on activation anyway. A modal dialog is shown
    // right after this and wants its default button focused.
    return bDefaultFocus && (m_bModal || ::IsWindowVisible(hWnd));
}

void CDialog::CreateDlgControls() {
    const std::vector<CDialogControlItem> items = std::move(m_pendingControls);
    m_pendingControls.clear();
    for (const CDialogControlItem& item : items) {
        RECT rect = {item.x, item.y, item.x + item.cx, item.y + item.cy};
        MapDialogRect(&rect);
        CComPtr<IStream> pStream;
        std::span<const BYTE> record;
        if (AfxFindDlgInitRecord(m_dialogInit, static_cast<WORD>(item.id), WM_OCC_LOADFROMSTREAM,
                                 record)) {
            pStream.Attach(MakeStream(record).Detach());
        }
        CComPtr<COleControlSite> pSite = COleControlSite::Create(m_hWnd, this);
        // A control that cannot be made leaves the dialog without it; its
        // users find no site and do nothing.
        if (!pSite->CreateControl(item.clsid, item.style, rect, item.id, pStream.Get())) {
            pSite->DestroyControl();
            continue;
        }
        if (const HWND hWndCtrl = pSite->GetControlWindow(); hWndCtrl != nullptr) {
            const HWND hWndAfter = item.bHasPrevious
                                       ? ::GetDlgItem(m_hWnd, static_cast<int>(item.previousId))
                                       : HWND_TOP;
            if (hWndAfter != nullptr) {
                ::SetWindowPos(hWndCtrl, hWndAfter, 0, 0, 0, 0,
                               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
            }
        }
        m_controlSites.push_back(std::move(pSite));
    }
    m_dialogInit.clear();
}

void CDialog::DestroyControlSites() {
    // Moved out first: a control's teardown can raise events that look
    // the sites up again.
    std::vector<CComPtr<COleControlSite>> sites = std::move(m_controlSites);
    m_controlSites.clear();
    for (CComPtr<COleControlSite>& pSite : sites) {
        pSite->DestroyControl();
    }
}

INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == WM_INITDIALOG) {
            auto* pDialog = reinterpret_cast<CDialog*>(lParam);
            return pDialog != nullptr ? pDialog->HandleInitDialog(hWnd) : FALSE;
        }
        auto* pDialog = dynamic_cast<CDialog*>(CWnd::FromHandlePermanent(hWnd));
        if (pDialog == nullptr) {
            return FALSE;
        }
        switch (message) {
            case WM_DESTROY:
                // The controls go while their windows and the dialog's
                // still exist.
                pDialog->DestroyControlSites();
                break;
            case WM_NCDESTROY:
                (void)pDialog->Detach();
                pDialog->PostNcDestroy();  // may delete the object
                return FALSE;
            default:
                break;
        }
        LRESULT result = 0;
        if (!pDialog->OnWndMsg(message, wParam, lParam, &result)) {
            return FALSE;
        }
        ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}
