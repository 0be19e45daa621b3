// quodem dial: call a number, send messages and files in the order given, hang up.
#include <chrono>

#include "command.h"
#include "preflight.h"
#include "quodem/platform/telephony_service.h"
#include "session.h"
#include "signals.h"

namespace quodem::tool {

namespace {

constexpr std::chrono::seconds kHangUpLimit(10);

struct Item {
  bool is_file;
  std::string value;  // the message text or the file's path
};

int RunDial(const ParsedArgs& args) {
  if (args.Positionals().empty()) throw UsageError("the number to dial is missing");
  LimitPositionals(args, 1);
  const std::string number = args.Positionals()[0];
  const int index = LineArgument(args);
  std::vector<Item> items;
  for (const auto& [name, value] : args.Ordered()) {
    if (name == "message") {
      CheckMessageToSend(value);
      items.push_back({false, value});
    } else if (name == "send") {
      CheckFileToSend(value);
      items.push_back({true, value});
    }
  }
  const bool stay = args.Has("stay") || items.empty();
  const std::string save_dir = CheckSaveDir(args.Value("save-dir", "."));
  CheckExchange();
  auto reporter = MakeReporter(ChooseOutputForm(args.Has("json")));
  CallSession session(*reporter, index, save_dir);
  CheckLine(session.Modem(), index);
  SignalWatcher signals([&session](int) { session.Interrupt(); });

  session.BeginCall();
  if (!session.Dial(number)) {
    // Why the line could not be used (a modem device missing or in use), when known.
    const std::string why = telephony::ServiceProblem();
    reporter->Problem("cannot dial " + number + (why.empty() ? "" : ": " + why));
    return kExitCallFailed;
  }
  switch (session.WaitForConnection()) {
    case CallSession::Outcome::kInterrupted:
      session.HangUpAfterInterrupt();
      return kExitInterrupted;
    case CallSession::Outcome::kEnded:
      reporter->Problem(session.WasBusy() ? number + " is busy"
                                          : "the call to " + number + " did not connect");
      session.Cut();
      session.WaitForIdle(kHangUpLimit);
      return kExitCallFailed;
    case CallSession::Outcome::kConnected:
      break;
  }

  bool failed = false;
  for (const Item& item : items) {
    const bool ok = item.is_file ? session.SendFile(item.value) : session.SendMessage(item.value);
    if (session.Interrupted()) break;
    if (!ok) {
      failed = true;
      break;
    }
  }
  if (!session.Interrupted() && stay && !failed) {
    session.WaitForEnd();  // until the far end hangs up (or Ctrl-C)
  }
  if (session.Interrupted()) {
    session.HangUpAfterInterrupt();
    return kExitInterrupted;
  }
  if (!session.CallEnded()) {
    session.Cut();
    if (!session.WaitForIdle(kHangUpLimit)) {
      reporter->Problem("the line did not reach the idle state after hanging up");
    }
  } else {
    session.WaitForIdle(kHangUpLimit);
  }
  return failed ? kExitSendFailed : kExitOk;
}

}  // namespace

const Command kDialCommand = {
    "dial",
    "call a number and send messages and files",
    "usage: quodem dial NUMBER [--line N] [--message TEXT]... [--send FILE]...\n"
    "                   [--save-dir DIR] [--stay] [--json]\n"
    "\n"
    "Dials NUMBER on line N. Once connected it sends the messages and files in the order\n"
    "given, then hangs up. With --stay, or with nothing to send, it stays connected and\n"
    "prints what arrives until the far end hangs up or Ctrl-C.\n"
    "\n"
    "  --line N        the line to dial on (default 0; see 'quodem lines')\n"
    "  --message TEXT  send TEXT as a message (at most 65535 bytes); may be repeated\n"
    "  --send FILE     send FILE (only its name travels, not its folder); may be repeated\n"
    "  --save-dir DIR  the folder files received during the call are saved in (default:\n"
    "                  the current one)\n"
    "  --stay          stay connected after sending\n"
    "  --json          one JSON object per event on standard output\n"
    "\n"
    "NUMBER is a number of the local exchange (101, or +1 (425) 555-0101 translated with the\n"
    "dialing location), or host:port on the TCP/IP line.\n"
    "\n"
    "Exit status: 0 sent everything; 1 bad arguments (nothing was dialled); 2 busy, no\n"
    "answer or another failure before the call connected; 3 a send failed (for example the\n"
    "far end hung up); 130 interrupted (the call is hung up cleanly).\n",
    {{"line", true, false},
     {"message", true, true},
     {"send", true, true},
     {"save-dir", true, false},
     {"stay", false, false},
     {"json", false, false}},
    RunDial,
};

}  // namespace quodem::tool
