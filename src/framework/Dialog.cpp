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
    : m_nIDHelp(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
    // Normally done when the window was destroyed; this covers an object
    // deleted while its window still exists.
    DestroyControlSites();
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) {
    const HINSTANCE hInstance = AfxGetResourceHandle();
    const auto LoadBytes = [hInstance](UINT id, LPCWSTR type) -> std::span<const BYTE> {
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
    };
    const std::span<const BYTE> dialogTemplate = LoadBytes(nIDTemplate, RT_DIALOG);
    if (dialogTemplate.empty()) {
        return FALSE;
    }
    m_nIDHelp = nIDTemplate;
    return CreateIndirect(dialogTemplate, pParentWnd, LoadBytes(nIDTemplate, RT_DLGINIT));
}

BOOL CDialog::CreateIndirect(std::span<const BYTE> dialogTemplate, CWnd* pParentWnd,
                             std::span<const BYTE> dialogInit) {
    if (m_hWnd != nullptr) {
        return FALSE;
    }
    std::vector<BYTE> windowTemplate;
    try {
        if (!AfxSplitDialogTemplate(dialogTemplate, windowTemplate, m_pendingControls)) {
            return FALSE;
        }
        m_dialogInit.assign(dialogInit.begin(), dialogInit.end());
    } catch (...) {
        return FALSE;
    }
    CWnd* pOwner = pParentWnd != nullptr ? pParentWnd : m_pParentWnd;
    if (pOwner == nullptr) {
        pOwner = AfxGetMainWnd();
    }
    const HWND hWndOwner = pOwner != nullptr ? pOwner->m_hWnd : nullptr;

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

BOOL CDialog::OnWndMsg(UINT, WPARAM, LPARAM, LRESULT*) {
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
    // The dialog manager's default focus would activate a hidden dialog and
    // take the activation from whatever had it. Once shown, a dialog gets
    // its focus on activation anyway.
    return bDefaultFocus && ::IsWindowVisible(hWnd);
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
