// What the player dialog needs of the frame that owns it. The frame
// implements it, so that the player layer never includes the app layer.
#pragma once

class CWMPDialog;

class IPlayerFrame {
public:
    // The player's events, each read from the player and sent to the UI.
    virtual void SendStatusEvent(long newState) = 0;
    virtual void SendMediaEvent() = 0;
    virtual void SendErrorEvent() = 0;
    // The dialog's window is gone and the object is about to be deleted.
    virtual void OnPlayerDialogDestroyed(CWMPDialog* pDialog) = 0;

protected:
    ~IPlayerFrame() = default;
};
