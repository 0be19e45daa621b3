// quodem wait: answer calls on a line, saving the files that arrive and printing messages.
#include <chrono>

#include "command.h"
#include "preflight.h"
#include "quodem/platform/telephony_service.h"
#include "session.h"
#include "signals.h"

namespace quodem::tool {

namespace {

int RunWait(const ParsedArgs& args) {
  LimitPositionals(args, 0);
  const bool once = args.Has("once");
  const int index = LineArgument(args);
  const std::string save_dir = CheckSaveDir(args.Value("save-dir", "."));
  CheckExchange();
  auto reporter = MakeReporter(ChooseOutputForm(args.Has("json")));
  CallSession session(*reporter, index, save_dir);
  const LineChoice line = CheckLine(session.Modem(), index);
  CheckNumberFree(line);
  SignalWatcher signals([&session](int) { session.Interrupt(); });

  for (;;) {
    session.BeginCall();
    if (session.Interrupted()) return kExitInterrupted;
    // The component closes the line when a call goes idle, so every call needs a new Wait.
    if (!session.Wait()) {
      // The line could not take its number (another process waits on it, or it cannot be
      // used): say why and stop, rather than wait on a line no call can reach.
      const std::string why = telephony::ServiceProblem();
      reporter->Problem("cannot wait on line " + std::to_string(line.index) + " (" + line.name +
                        ")" + (why.empty() ? "" : ": " + why));
      return kExitCallFailed;
    }
    reporter->Waiting(line.index, line.name, line.info.address);
    const auto lines = telephony::ListLines();
    if (line.info.device_id < lines.size() &&
        lines[line.info.device_id].hold == telephony::NumberHold::kInUseByCall) {
      reporter->Problem("number " + line.info.address +
                        " is in use by another process's outgoing call; calls are answered "
                        "as soon as it is free");
    }
    if (session.WaitForEnd() == CallSession::Outcome::kInterrupted) {
      session.HangUpAfterInterrupt();
      return kExitInterrupted;
    }
    if (!session.WasConnected()) continue;  // offered but never connected: wait again
    // With --once the session's end (destroying the component) waits for the reader to
    // finish the last frame before the tool exits.
    if (once) return kExitOk;
  }
}

}  // namespace

const Command kWaitCommand = {
    "wait",
    "answer calls and save the files that arrive",
    "usage: quodem wait [--line N] [--save-dir DIR] [--once] [--json]\n"
    "\n"
    "Opens line N and answers every call that comes in, printing the messages and saving\n"
    "the files it receives. After each call it waits for the next one.\n"
    "\n"
    "  --line N        the line to answer on (default 0; see 'quodem lines')\n"
    "  --save-dir DIR  the folder received files are saved in (default: the current one);\n"
    "                  a file of the same name there is replaced\n"
    "  --once          exit after the first call has ended and its last file is saved\n"
    "  --json          one JSON object per event on standard output\n"
    "\n"
    "Exits 1 without waiting when another process already answers on the line's number.\n"
    "Ctrl-C hangs up a call in progress and exits with status 130.\n",
    {{"line", true, false},
     {"save-dir", true, false},
     {"once", false, false},
     {"json", false, false}},
    RunWait,
};

}  // namespace quodem::tool
