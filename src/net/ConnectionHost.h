// What the connection layer needs of the main frame: its registry of
// connections and its reactions to connections ending. Kept apart from the
// frame's class so that the net layer never includes the app layer.
#pragma once

#include <map>
#include <string>

#include "net/Dispatch.h"

class CWorkerSocket;

// Identifier text -> connection, in ascending code-unit order of the keys.
// The registry does not own the connections: each deletes itself.
using ConnectionRegistry = std::map<std::u16string, CWorkerSocket*>;

class IConnectionHost : public ICommandTarget {
public:
    virtual ConnectionRegistry& Connections() = 0;
    // The registry became empty: stop the player without touching the play
    // flag, then post (never send) WM_CLOSE to the frame.
    virtual void OnLastConnectionClosed() = 0;
    // The listening socket got a close notification; the frame forgets it.
    virtual void OnServerSocketClosed() = 0;
};
