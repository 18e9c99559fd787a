// CPlayerHost: the helper's one way to the player. It makes the hidden
// dialog that hosts the control, carries out the UI's player commands on
// it, and turns the control's events into plain data for an IPlayerSink.
#pragma once

#include <cstdint>
#include <string>

#include "player/PlayerSink.h"
#include "player/WMPDialog_win.h"

class CWnd;

// The state it works on is the frame's, which holds every long-lived piece of
// the helper: the dialog pointer (null without a player), the last volume
// the UI set, and the flag that playback was asked for. The host is the one
// place that reads or changes them.
//
// Everything runs on the GUI thread, and the control may raise its events
// from inside any call made on it: each operation below is written to be
// entered again from within its own player call.
class CPlayerHost final : private IPlayerDialogEvents {
public:
    CPlayerHost(IPlayerSink& sink, CWMPDialog*& pPlayerDialog, int32_t& nVolume, bool& bPlaying);
    // Ends a dialog that is still there, so that it cannot report to a host
    // that is gone.
    ~CPlayerHost();
    CPlayerHost(const CPlayerHost&) = delete;
    CPlayerHost& operator=(const CPlayerHost&) = delete;

    // Makes the hidden dialog, and with it the control, owned by pOwner.
    // False, and no player, if the dialog could not be made.
    bool CreatePlayerDialog(CWnd* pOwner);
    bool HasPlayer() const { return m_pPlayerDialog != nullptr; }

    // "wmpPlay": the URL goes to the player as it is, an empty one included.
    void PlayUrl(const std::u16string& url);
    // "wmpStop".
    void StopPlayback();
    // "wmpSetVolume": the text is scanned as a number even without a player;
    // text that is not a number applies the last volume again.
    void ApplyVolume(const std::u16string& text);
    // The last UI has gone: the player stops, the flag is left as it is.
    void StopForLastUi();

private:
    void OnPlayStateChange(long newState) override;
    void OnMediaChange(LPDISPATCH pItem) override;
    void OnPlayerError() override;

    // controls.stop(), if there is a player.
    void StopControl();

    IPlayerSink& m_sink;
    CWMPDialog*& m_pPlayerDialog;
    int32_t& m_nVolume;
    bool& m_bPlaying;
};
