#include "player/WMPDialog_win.h"

#include "player/PlayerContract.h"

CWMPDialog::CWMPDialog(IPlayerDialogEvents& events, CWMPDialog*& rpSelf, CWnd* pOwner)
    : CDialog(IDD, pOwner), m_events(events), m_rpSelf(rpSelf) {}

CWMPDialog::~CWMPDialog() = default;

const AFX_EVENTSINKMAP* CWMPDialog::GetEventSinkMap() const {
    static const AFX_EVENTSINKMAP_ENTRY s_entries[] = {
        {IDC_PLAYER, player::kEventPlayStateChange,
         AfxEventHandler<&CWMPDialog::OnPlayStateChange>},
        {IDC_PLAYER, player::kEventMediaChange, AfxEventHandler<&CWMPDialog::OnMediaChange>},
        {IDC_PLAYER, player::kEventError, AfxEventHandler<&CWMPDialog::OnPlayerError>},
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
    if (m_rpSelf == this) {
        m_rpSelf = nullptr;
    }
    delete this;
}

void CWMPDialog::OnPlayStateChange(long newState) {
    m_events.OnPlayStateChange(newState);
}

void CWMPDialog::OnMediaChange(LPDISPATCH pItem) {
    m_events.OnMediaChange(pItem);
}

void CWMPDialog::OnPlayerError() {
    m_events.OnPlayerError();
}
