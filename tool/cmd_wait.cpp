// quodem wait: answer calls on a line, saving the files that arrive and printing messages.
#include "command.h"
#include "connect.h"
#include "preflight.h"
#include "session.h"
#include "signals.h"

namespace quodem::tool {

namespace {

int RunWait(const ParsedArgs& args) {
  LimitPositionals(args, 0);
  const bool once = args.Has("once");
  const int index = LineArgument(args);
  const ReceiveRules rules = ReceiveRulesFrom(args, ".");
  CheckExchange();
  auto reporter = MakeReporter(ChooseOutputForm(args.Has("json")));
  CallSession session(*reporter, index, rules);
  const LineChoice line = CheckLine(session.Modem(), index);
  CheckNumberFree(line);
  SignalWatcher signals([&session](int signal) { session.Interrupt(signal); });

  for (bool again = false;; again = true) {
    // Every call needs a new Wait (the line keeps its number in between). When the line
    // cannot take its number any more, the waiter says why and stops rather than wait deaf.
    const int opened = OpenForCalls(session, *reporter, line, again);
    if (opened != kExitOk) return opened;
    if (!again) AnnounceSaveDir(*reporter, rules);
    if (session.WaitForEnd() == CallSession::Outcome::kInterrupted) {
      session.HangUpAfterInterrupt();
      return session.InterruptStatus();
    }
    if (!session.WasConnected()) continue;  // offered but never connected: wait again
    // With --once the session's end (destroying the component) waits for the reader to
    // finish the last frame before the tool exits.
    if (once) return session.EndWith(kExitOk);
  }
}

}  // namespace

const Command kWaitCommand = {
    "wait",
    "answer calls and save the files that arrive",
    "usage: quodem wait [--line N] [--save-dir DIR] [--replace] [--allow-hidden] [--once]\n"
    "                   [--json]\n"
    "\n"
    "Opens line N and answers every call that comes in, printing the messages and saving\n"
    "the files it receives. After each call it waits for the next one.\n"
    "\n"
    "  --line N        the line to answer on (default 0; see 'quodem lines')\n"
    "  --save-dir DIR  the folder received files are saved in (default: the current one);\n"
    "                  created when missing\n"
    "  --replace       replace a file of the same name (default: save as 'name (1).ext')\n"
    "  --allow-hidden  accept names that begin with a dot (default: refused)\n"
    "  --once          exit after the first call has ended and its last file is saved\n"
    "  --json          one JSON object per event on standard output\n"
    "\n"
    "Exits 1 without waiting when another process already answers on the line's number, or\n"
    "when the line cannot take calls (the reason is given). Ctrl-C or SIGTERM hangs up a\n"
    "call in progress and exits with status 130; when standard output loses its reader\n"
    "(| head) it hangs up the same way and exits with status 141. With --once it exits 4\n"
    "when a file of the call was not saved (each one is reported: 'not saved: NAME: REASON').\n",
    {{"line", true, false},
     {"save-dir", true, false},
     {"replace", false, false},
     {"allow-hidden", false, false},
     {"once", false, false},
     {"json", false, false}},
    RunWait,
};

}  // namespace quodem::tool
