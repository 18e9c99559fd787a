// CWMPDialog: the hidden dialog that hosts the player control and turns
// its events into calls on the frame.
#pragma once

#include "framework/Dialog.h"
#include "player/PlayerFrame_win.h"
#include "player/Wmp_win.h"

// Made with new; deletes itself when its window is destroyed, after telling
// the frame. Never shown.
class CWMPDialog : public CDialog {
public:
    static constexpr UINT IDD = 130;
    static constexpr UINT IDC_PLAYER = 1000;

    // pFrame is the owner the dialog reports to; it must be a window, which
    // also becomes the dialog's parent.
    explicit CWMPDialog(IPlayerFrame* pFrame);
    ~CWMPDialog() override;

    CWmp m_player;
    IPlayerFrame* m_pFrame;

protected:
    const AFX_EVENTSINKMAP* GetEventSinkMap() const override;
    void DoDataExchange(CDataExchange* pDX) override;
    void PostNcDestroy() override;

    void OnPlayStateChange(long newState);
    void OnMediaChange(LPDISPATCH item);
    void OnPlayerError();
};
