// CWMPDialog: the hidden dialog that hosts the player control and passes its
// events on, with what they carry, to the object it reports to.
#pragma once

#include "framework/Dialog.h"
#include "player/Wmp_win.h"
#include "res/resource.h"

class CWMPDialog;

// What the dialog reports: the control's three events.
class IPlayerDialogEvents {
public:
    virtual void OnPlayStateChange(long newState) = 0;
    // pItem is the media item whose attributes changed; valid only during
    // the call.
    virtual void OnMediaChange(LPDISPATCH pItem) = 0;
    virtual void OnPlayerError() = 0;

protected:
    ~IPlayerDialogEvents() = default;
};

// Made with new; deletes itself when its window is destroyed, after setting
// the pointer that names it to null. Never shown.
class CWMPDialog : public CDialog {
public:
    static constexpr UINT IDD = IDD_PLAYER_DIALOG;

    // The dialog reports to events and is named by rpSelf, which it clears
    // when it goes; pOwner owns its window, so that the dialog never
    // outlives the window of the object it reports to.
    CWMPDialog(IPlayerDialogEvents& events, CWMPDialog*& rpSelf, CWnd* pOwner);
    ~CWMPDialog() override;

    CWmp m_player;

protected:
    const AFX_EVENTSINKMAP* GetEventSinkMap() const override;
    void DoDataExchange(CDataExchange* pDX) override;
    void PostNcDestroy() override;

    void OnPlayStateChange(long newState);
    void OnMediaChange(LPDISPATCH pItem);
    void OnPlayerError();

private:
    IPlayerDialogEvents& m_events;
    CWMPDialog*& m_rpSelf;
};
