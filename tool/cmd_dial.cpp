// quodem dial: call a number, send messages and files in the order given, hang up.
#include "command.h"
#include "connect.h"
#include "preflight.h"
#include "session.h"
#include "signals.h"

namespace quodem::tool {

namespace {

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
  const ReceiveRules rules = ReceiveRulesFrom(args, "");
  CheckExchange();
  auto reporter = MakeReporter(ChooseOutputForm(args.Has("json")));
  CallSession session(*reporter, index, rules);
  const LineChoice line = CheckLine(session.Modem(), index);
  SignalWatcher signals([&session](int signal) { session.Interrupt(signal); });

  const int connected = Connect(session, *reporter, line, number);
  if (connected != kExitOk) return connected;
  AnnounceSaveDir(*reporter, rules);
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
    return session.InterruptStatus();
  }
  session.HangUp();
  return session.EndWith(failed ? kExitSendFailed : kExitOk);
}

}  // namespace

const Command kDialCommand = {
    "dial",
    "call a number and send messages and files",
    "usage: quodem dial NUMBER [--line N] [--message TEXT]... [--send FILE]...\n"
    "                   [--save-dir DIR [--replace] [--allow-hidden]] [--stay] [--json]\n"
    "\n"
    "Dials NUMBER on line N. Once connected it sends the messages and files in the order\n"
    "given, then hangs up. With --stay, or with nothing to send, it stays connected and\n"
    "prints what arrives until the far end hangs up or Ctrl-C.\n"
    "\n"
    "  --line N        the line to dial on (default 0; see 'quodem lines')\n"
    "  --message TEXT  send TEXT as a message (at most 65535 bytes); may be repeated\n"
    "  --send FILE     send FILE (only its name travels, not its folder); may be repeated\n"
    "  --save-dir DIR  save the files the far end sends in DIR (created when missing);\n"
    "                  without it every file it sends is refused\n"
    "  --replace       replace a file of the same name (default: save as 'name (1).ext')\n"
    "  --allow-hidden  accept names that begin with a dot (default: refused)\n"
    "  --stay          stay connected after sending\n"
    "  --json          one JSON object per event on standard output\n"
    "\n"
    "NUMBER is a number of the local exchange (101, or +1 (425) 555-0101 translated with the\n"
    "dialing location), or host:port on the TCP/IP line.\n"
    "\n"
    "Exit status: 0 sent everything; 1 bad arguments or a line that cannot be used (nothing\n"
    "was dialled); 2 the call failed before it connected (busy, no answer, nobody waiting,\n"
    "not a modem line; the reason is given); 3 a send failed (for example the far end hung\n"
    "up); 4 all was sent but a file the far end sent was not saved (each one is reported:\n"
    "'not saved: NAME: REASON'); 130 interrupted, 141 standard output closed (the call is\n"
    "hung up cleanly first).\n",
    {{"line", true, false},
     {"message", true, true},
     {"send", true, true},
     {"save-dir", true, false},
     {"replace", false, false},
     {"allow-hidden", false, false},
     {"stay", false, false},
     {"json", false, false}},
    RunDial,
};

}  // namespace quodem::tool
