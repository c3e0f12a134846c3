// The turn that lets one script run at a time.
#pragma once

namespace fernhollow {

// Whether a script holds the turn: one runs at a time, as the exchange
// files have one name each. Owned by the connection loop, shared by its
// handlers.
struct ScriptTurn {
    bool taken = false;
};

} // namespace fernhollow
