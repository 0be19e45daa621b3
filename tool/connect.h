// Setting up a call, shared by the commands: dialing (dial, chat, demo) and opening a line
// for incoming calls (wait, chat --wait). A failure is told in words a user can act on, and
// as a Failure with a stable reason for programs (docs/cli.md lists the reasons).
#pragma once

#include <string>

#include "preflight.h"
#include "reporter.h"
#include "session.h"

namespace quodem::tool {

// Begins a call and opens the line for it (Wait), then reports the line as waiting, at the
// address it really listens on (first saying so when its number is still in use by another
// process's outgoing call). Returns kExitOk when waiting; otherwise the failure has been
// reported (with the provider's reason) and the status to exit with is returned: 1 when the
// line cannot take calls, 2 when it could before (`again`: opened once more after a call)
// and cannot now, or the interrupt's status.
int OpenForCalls(CallSession& session, Reporter& reporter, const LineChoice& line,
                 bool again = false);

// Dials `number`, or, when it is empty, waits on `line` for a call that connects (a call
// that ends first is waited out, and the line opened again). Returns kExitOk once connected;
// otherwise the failure has been reported, the line hung up, and the status to exit with is
// returned: 1 a set-up problem, 2 the call failed, 130 or 141 interrupted.
int Connect(CallSession& session, Reporter& reporter, const LineChoice& line,
            const std::string& number);

// Why the call to `number` on `line` did not connect, from what Dial, state handling and the
// line's ending said.
Failure DescribeFailedCall(const CallSession& session, const LineChoice& line,
                           const std::string& number);

}  // namespace quodem::tool
