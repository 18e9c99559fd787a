// CWmp, the player control's window, and wrappers of the sub-objects it
// hands out. Every call goes by dispatch id (player/PlayerContract.h); the
// list below is all the helper ever calls.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "framework/OleControl.h"
#include "player/PlayerEvents.h"

// Sub-objects are returned in their wrappers, which release them when they
// go out of scope: nothing fetched from the player outlives the operation
// that fetched it. A failed get gives an empty wrapper, whose calls fail.
class CWMPControls : public COleDispatchDriver {
public:
    using COleDispatchDriver::COleDispatchDriver;
    BOOL stop();
};

class CWMPSettings : public COleDispatchDriver {
public:
    using COleDispatchDriver::COleDispatchDriver;
    BOOL put_volume(long volume);
};

class CWMPMedia : public COleDispatchDriver {
public:
    using COleDispatchDriver::COleDispatchDriver;
    BOOL get_attributeCount(long& count);
    BOOL getAttributeName(long index, std::wstring& name);
    BOOL getItemInfo(std::wstring_view name, std::wstring& text);
};

class CWMPErrorItem : public COleDispatchDriver {
public:
    using COleDispatchDriver::COleDispatchDriver;
    BOOL get_errorCode(long& code);
    BOOL get_errorDescription(std::wstring& description);
};

class CWMPError : public COleDispatchDriver {
public:
    using COleDispatchDriver::COleDispatchDriver;
    BOOL clearErrorQueue();
    BOOL get_errorCount(long& count);
    CWMPErrorItem get_Item(long index);
};

// The player control. The dialog template creates it and DDX_Control
// attaches it.
class CWmp : public COleControlWnd {
public:
    CWmp() = default;

    // The text goes to the player as it is, an empty one included.
    BOOL put_URL(std::wstring_view url);
    CWMPControls get_controls();
    CWMPSettings get_settings();
    CWMPMedia get_currentMedia();
    CWMPError get_error();

private:
    LPDISPATCH GetDispatchProperty(DISPID dispid);
};

// The attributes of the player's current media item, in index order. False
// (nothing to report) without a current item or when it counts no
// attributes. Reading stops at the first call that fails, so a player that
// claims more than it delivers cannot keep the helper busy.
bool ReadCurrentMedia(CWmp& player, MediaAttributes& attributes);

// The entries of the error queue, in queue order. False (nothing to
// report) when the queue counts no entries. Reading stops at the first
// entry that cannot be fetched; an entry whose code or description cannot
// be read is left out.
bool ReadErrorQueue(CWMPError& queue, std::vector<PlayerError>& errors);
