// Line-control internals shared by the callback, state handling and call control.
#pragma once

#include <optional>

#include "quodem/component/quodem.h"

namespace quodem::line {

// The CallRecord.State value for a LINECALLSTATE_ bit; nothing for a bit the component does
// not track (the recorded state then stays as it is).
std::optional<int> MapCallState(DWORD line_call_state);

// Sets "LineModemEvent" (opened by name, set, closed again). Does nothing when no component
// holds the event.
void SignalLineEvent();
// Resets it the same way.
void ResetLineEvent();

// Records the identifier of the call request just started as CallRecord.RequestId. A failure
// reply for that request may already have reached the callback (the service delivers it on
// its own thread as soon as the request function has returned); it is applied now, as the
// callback would have: stored in CallRecord.LastResult and signalled.
void SetPendingRequest(LONG request_id);

}  // namespace quodem::line
