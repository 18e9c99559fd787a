#include "player/WMPDialog_win.h"

namespace {

// Dispatch ids of the player's events.
constexpr DISPID kEventPlayStateChange = 5101;
constexpr DISPID kEventMediaChange = 5802;
constexpr DISPID kEventError = 5501;

}  // namespace

CWMPDialog::CWMPDialog(IPlayerFrame* pFrame)
    : CDialog(IDD, dynamic_cast<CWnd*>(pFrame)), m_pFrame(pFrame) {}

CWMPDialog::~CWMPDialog() = default;

const AFX_EVENTSINKMAP* CWMPDialog::GetEventSinkMap() const {
    static const AFX_EVENTSINKMAP_ENTRY s_entries[] = {
        {IDC_PLAYER, kEventPlayStateChange, AfxEventHandler<&CWMPDialog::OnPlayStateChange>},
        {IDC_PLAYER, kEventMediaChange, AfxEventHandler<&CWMPDialog::OnMediaChange>},
        {IDC_PLAYER, kEventError, AfxEventHandler<&CWMPDialog::OnPlayerError>},
    };
    static const AFX_EVENTSINKMAP s_map{&CDialog::eventsinkMap, s_entries};
    return &s_map;
}

void CWMPDialog::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PLAYER, m_player);
}

void CWMPDialog::PostNcDestroy() {
    CDialog::PostNcDestroy();
    if (m_pFrame != nullptr) {
        m_pFrame->OnPlayerDialogDestroyed(this);
    }
    delete this;
}

void CWMPDialog::OnPlayStateChange(long newState) {
    m_pFrame->SendStatusEvent(newState);
}

void CWMPDialog::OnMediaChange(LPDISPATCH) {
    m_pFrame->SendMediaEvent();
}

void CWMPDialog::OnPlayerError() {
    m_pFrame->SendErrorEvent();
}
