#include "player/PlayerHost_win.h"

#include <new>
#include <vector>

#include "framework/WideText.h"
#include "net/VolumeScan.h"

CPlayerHost::CPlayerHost(IPlayerSink& sink, CWMPDialog*& pPlayerDialog, int32_t& nVolume,
                         bool& bPlaying)
    : m_sink(sink), m_pPlayerDialog(pPlayerDialog), m_nVolume(nVolume), m_bPlaying(bPlaying) {}

CPlayerHost::~CPlayerHost() {
    if (m_pPlayerDialog != nullptr) {
        m_pPlayerDialog->DestroyWindow();  // deletes the dialog, clears the pointer
    }
}

bool CPlayerHost::CreatePlayerDialog(CWnd* pOwner) {
    auto* pDialog = new (std::nothrow) CWMPDialog(*this, m_pPlayerDialog, pOwner);
    if (pDialog == nullptr) {
        return false;
    }
    m_pPlayerDialog = pDialog;
    // A dialog whose window never came is deleted here; one whose window
    // came and went has already deleted itself and cleared the pointer.
    if (!pDialog->Create(CWMPDialog::IDD) && m_pPlayerDialog == pDialog) {
        m_pPlayerDialog = nullptr;
        delete pDialog;
    }
    return m_pPlayerDialog != nullptr;
}

// The flag changes only after the player call returns, in both directions:
// a state change raised inside the call sees the flag as it was before, and
// an error raised inside the URL's put clears it before the put returns.
void CPlayerHost::PlayUrl(const std::u16string& url) {
    if (m_pPlayerDialog == nullptr) {
        return;
    }
    m_pPlayerDialog->m_player.put_URL(ToWide(url));
    m_bPlaying = true;
}

void CPlayerHost::StopPlayback() {
    if (m_pPlayerDialog == nullptr) {
        return;
    }
    StopControl();
    m_bPlaying = false;
}

void CPlayerHost::ApplyVolume(const std::u16string& text) {
    if (ScanVolume(text, m_nVolume) == VolumeScanResult::EndOfInput || m_pPlayerDialog == nullptr) {
        return;
    }
    CWMPSettings settings = m_pPlayerDialog->m_player.get_settings();
    settings.put_volume(m_nVolume);
}

void CPlayerHost::StopForLastUi() {
    StopControl();
}

void CPlayerHost::StopControl() {
    if (m_pPlayerDialog == nullptr) {
        return;
    }
    CWMPControls controls = m_pPlayerDialog->m_player.get_controls();
    controls.stop();
}

void CPlayerHost::OnPlayStateChange(long newState) {
    // Only what the UI asked to play is reported.
    if (m_bPlaying) {
        m_sink.OnPlayState(static_cast<int32_t>(newState));
    }
}

void CPlayerHost::OnMediaChange(LPDISPATCH /*pItem*/) {
    // The event names whichever item changed, a playlist entry not playing
    // included; the UI is told about the one playing, so that is read.
    MediaAttributes attributes;
    if (m_pPlayerDialog != nullptr && ReadCurrentMedia(m_pPlayerDialog->m_player, attributes)) {
        m_sink.OnMediaAttributes(attributes);
    }
}

void CPlayerHost::OnPlayerError() {
    if (m_pPlayerDialog == nullptr) {
        return;
    }
    CWMPError queue = m_pPlayerDialog->m_player.get_error();
    std::vector<PlayerError> errors;
    if (!ReadErrorQueue(queue, errors)) {
        return;  // nothing to report: playback goes on
    }
    // Emptied as soon as it is read, so that an error raised by a later call
    // (the stop below included) finds only new entries; stopped after the
    // report, so that the UI hears of the error before the stop's own state
    // changes, which are still reported because the flag is cleared last.
    queue.clearErrorQueue();
    m_sink.OnPlayerErrors(errors);
    StopControl();
    m_bPlaying = false;
}
